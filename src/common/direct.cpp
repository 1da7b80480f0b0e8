#include "direct.hpp"

// Where an instance dict keeps a key, to read it again without a lookup.
// The layout is the interpreter's own, so its header is used where it is
// known (3.11); elsewhere every read is a lookup.
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000 && defined(__has_include)
#if __has_include(<internal/pycore_dict.h>)
#define Py_BUILD_CORE 1
#include <internal/pycore_dict.h>
#undef Py_BUILD_CORE
#define TVK_DICT_SLOTS 1
#endif
#endif

namespace tvk {

namespace {

// d[name] for an exact str name, its hash taken from the string.
[[gnu::always_inline]] inline PyObject* dict_item(PyObject* d, PyObject* name) {
    Py_hash_t h = PyUnicode_CheckExact(name) ? reinterpret_cast<PyASCIIObject*>(name)->hash : -1;
    PyObject* v = h == -1 ? PyDict_GetItemWithError(d, name) : _PyDict_GetItem_KnownHash(d, name, h);
    if (!v && PyErr_Occurred()) throw py::error_already_set();
    return v;
}

// The names of a type's data descriptors (properties, slots, __dict__ ...),
// which win over the instance dict, when there are few; count -1 when there
// are too many to keep (then each name is looked up).
struct DataNames {
    static constexpr int kMax = 16;
    std::array<PyObject*, kMax> names{};  // borrowed from the type dicts, valid while the version holds
    int count = 0;
    std::uint64_t hash_bits = 0;  // one bit per name's hash; a name whose bit is clear is none of them
    bool unhashed = false;        // some name had no hash computed: no bit to trust

    [[gnu::always_inline]] bool shadows(PyObject* name) const {
        Py_hash_t h = PyUnicode_CheckExact(name) ? reinterpret_cast<PyASCIIObject*>(name)->hash : -1;
        if (h != -1 && !unhashed && !((hash_bits >> (static_cast<std::uint64_t>(h) & 63)) & 1)) return false;
        for (int i = 0; i < count; ++i) {
            PyObject* n = names[i];
            if (n == name) return true;
            // Equal texts have equal hashes; a hash not yet computed decides nothing.
            Py_hash_t hn = reinterpret_cast<PyASCIIObject*>(n)->hash;
            if (h != -1 && hn != -1 && h != hn) continue;
            if (PyUnicode_Compare(n, name) == 0) return true;
            if (PyErr_Occurred()) throw py::error_already_set();
        }
        return false;
    }
};

DataNames data_names(PyTypeObject* tp) {
    DataNames dn;
    PyObject* mro = tp->tp_mro;
    if (!mro) return DataNames{{}, -1, 0, true};
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* dict = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (dict && PyDict_Next(dict, &pos, &key, &value)) {
            if (!Py_TYPE(value)->tp_descr_set) continue;
            if (!PyUnicode_CheckExact(key)) return DataNames{{}, -1, 0, true};
            bool known = false;  // a name an earlier class of the MRO has already
            for (int j = 0; j < dn.count && !known; ++j) known = dn.names[j] == key;
            if (known) continue;
            if (dn.count == DataNames::kMax) return DataNames{{}, -1, 0, true};
            dn.names[dn.count++] = key;
            Py_hash_t h = reinterpret_cast<PyASCIIObject*>(key)->hash;
            if (h == -1)
                dn.unhashed = true;
            else
                dn.hash_bits |= std::uint64_t{1} << (static_cast<std::uint64_t>(h) & 63);
        }
    }
    return dn;
}

TypeMemo<DataNames, 128> g_data_names;

// True when `name` is a data descriptor of tp (so the instance dict does not
// decide self.name).
[[gnu::noinline]] bool data_descriptor_slow(PyTypeObject* tp, PyObject* name) {
    const DataNames* dn = g_data_names.find(tp);
    if (!dn && type_version(tp)) {
        PyObject* probe = _PyType_Lookup(tp, name);  // gives the type its version tag
        (void)probe;
        dn = g_data_names.store(tp, data_names(tp));
    }
    if (dn && dn->count >= 0) return dn->shadows(name);
    PyObject* d = _PyType_Lookup(tp, name);
    return d && Py_TYPE(d)->tp_descr_set;
}

[[gnu::always_inline]] inline bool data_descriptor(PyTypeObject* tp, PyObject* name) {
    const DataNames* dn = g_data_names.find(tp);
    if (dn && dn->count >= 0) return dn->shadows(name);
    return data_descriptor_slow(tp, name);
}

#ifdef TVK_DICT_SLOTS
// Instances of one class share the keys of their dicts (split dicts), so
// the slot of a field is the same in all of them. A read remembers it, with
// the class whose attribute lookup it stood for (none of the class's data
// descriptors bears the name, at the class's version tag), and the next read
// of that field from a dict with those keys goes straight to the slot, as the
// interpreter's own attribute caches do. Plain memory, only compared: a
// remembered slot is used only when the dict's keys still hold this very name
// there.
struct Slot {
    PyObject* name = nullptr;
    const void* keys = nullptr;
    PyTypeObject* tp = nullptr;
    unsigned tp_version = 0;
    Py_ssize_t ix = 0;
};
Slot g_slots[512];

[[gnu::always_inline]] inline Slot& slot_of(PyObject* name, const void* keys) {
    auto p = reinterpret_cast<std::uintptr_t>(name) ^ (reinterpret_cast<std::uintptr_t>(keys) >> 3);
    return g_slots[((p >> 4) ^ (p >> 13)) & 511];
}

// The value of `name` in a split dict, read from its remembered slot;
// nullptr when nothing is remembered or the slot holds no value.
[[gnu::always_inline]] inline PyObject* remembered_item(PyTypeObject* tp, PyObject* dict, PyObject* name) {
    auto* d = reinterpret_cast<PyDictObject*>(dict);
    if (!d->ma_values) return nullptr;
    PyDictKeysObject* k = d->ma_keys;
    const Slot& s = slot_of(name, k);
    if (s.name != name || s.keys != k || s.tp != tp || s.tp_version != type_version(tp)) return nullptr;
    if (s.ix >= k->dk_nentries || DK_UNICODE_ENTRIES(k)[s.ix].me_key != name) return nullptr;
    return d->ma_values->values[s.ix];
}

// Remembers where a split dict keeps `name`, just read from it as the
// attribute of an instance of tp.
[[gnu::noinline]] void remember_item(PyTypeObject* tp, PyObject* dict, PyObject* name) {
    auto* d = reinterpret_cast<PyDictObject*>(dict);
    unsigned v = type_version(tp);
    if (!d->ma_values || !v) return;
    PyDictKeysObject* k = d->ma_keys;
    PyDictUnicodeEntry* e = DK_UNICODE_ENTRIES(k);
    for (Py_ssize_t i = 0; i < k->dk_nentries; ++i)
        if (e[i].me_key == name) {
            slot_of(name, k) = {name, k, tp, v, i};
            return;
        }
}
#endif

#ifdef TVK_DICT_SLOTS
// The value of `name` among the inline values of self (no dict made of them
// yet), read from the slot its class's shared keys give the name: the same
// keys a dict made of them would have, so the slot is remembered as for
// split dicts. nullptr when the keys do not hold the name or the slot is
// empty, or when a data descriptor of the class would take the read.
PyObject* inline_item(PyTypeObject* tp, PyObject* self, PyObject* name) {
    auto* values = reinterpret_cast<PyDictValues**>(self)[-4];
    PyDictKeysObject* k = reinterpret_cast<PyHeapTypeObject*>(tp)->ht_cached_keys;
    if (!values || !k || k->dk_kind != DICT_KEYS_SPLIT) return nullptr;
    PyDictUnicodeEntry* e = DK_UNICODE_ENTRIES(k);
    const Slot& s = slot_of(name, k);
    if (s.name == name && s.keys == k && s.tp == tp && s.tp_version == type_version(tp) && s.ix < k->dk_nentries &&
        e[s.ix].me_key == name)
        return values->values[s.ix];
    if (data_descriptor(tp, name)) return nullptr;
    unsigned v = type_version(tp);
    for (Py_ssize_t i = 0; i < k->dk_nentries; ++i)
        if (e[i].me_key == name) {
            if (v) slot_of(name, k) = {name, k, tp, v, i};
            return values->values[i];
        }
    return nullptr;
}
#else
inline PyObject* remembered_item(PyTypeObject*, PyObject*, PyObject*) { return nullptr; }
inline void remember_item(PyTypeObject*, PyObject*, PyObject*) {}
inline PyObject* inline_item(PyTypeObject*, PyObject*, PyObject*) { return nullptr; }
#endif

// The instance dict as it is: `dict` is nullptr for an instance whose
// attributes are still kept inline (3.11 keeps them so until someone asks
// for __dict__; making the dict would cost an allocation and the locality of
// the inline values) or that has none. False when the object has no dict
// the interpreter could give.
[[gnu::always_inline]] inline bool instance_dict(PyObject* self, PyObject*& dict) {
    dict = nullptr;
    PyTypeObject* tp = Py_TYPE(self);
    if (tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) {
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
        // The managed dict pointer, three words before the object; the
        // inline values pointer sits one word before it.
        dict = reinterpret_cast<PyObject**>(self)[-3];
        return true;
#else
        return false;
#endif
    }
    PyObject** dp = _PyObject_GetDictPtr(self);
    if (!dp) return false;
    dict = *dp;
    return true;
}

}  // namespace

PyObject* Instance::direct(PyObject* name) const {
    bool absent = false;
    return direct(name, absent);
}

PyObject* Instance::direct(PyObject* name, bool& absent) const {
    absent = false;
    PyTypeObject* tp = Py_TYPE(self_);
    if (tp->tp_getattro != PyObject_GenericGetAttr) return nullptr;
    PyObject* dict = nullptr;
    if (!instance_dict(self_, dict)) return nullptr;
    if (!dict) {
        // Inline values are read in place where their slot is known; an
        // instance without any attribute storage has nothing to read.
        if (tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) return inline_item(tp, self_, name);
        absent = _PyType_Lookup(tp, name) == nullptr;
        return nullptr;
    }
    if (PyObject* v = remembered_item(tp, dict, name)) return v;
    if (data_descriptor(tp, name)) return nullptr;  // it wins over the dict
    PyObject* v = dict_item(dict, name);
    if (v)
        remember_item(tp, dict, name);
    else
        absent = _PyType_Lookup(tp, name) == nullptr;
    return v;
}

namespace {

// Dicts seen lacking a set of names, each at the version tag it had then:
// an unchanged dict still lacks them. Plain memory, compared only.
struct Lacking {
    PyObject* dict = nullptr;
    std::uintptr_t names = 0;
    std::uint64_t version = 0;
};
Lacking g_lacking[256];

#ifdef TVK_DICT_SLOTS
// Shared keys seen holding none of a set of names, with their entry count
// then. Plain memory, compared only.
struct KeysLacking {
    PyTypeObject* tp = nullptr;
    unsigned version = 0;
    const void* keys = nullptr;
    std::uintptr_t names = 0;
    Py_ssize_t entries = 0;
};
KeysLacking g_keys_lacking[128];
#endif

bool dict_lacks(PyObject* dict, std::initializer_list<PyObject*> names) {
    if (PyDict_GET_SIZE(dict) == 0) return true;
    std::uintptr_t key = 0;
    for (PyObject* name : names) key = key * 31 + reinterpret_cast<std::uintptr_t>(name);
    auto p = reinterpret_cast<std::uintptr_t>(dict);
    Lacking& seen = g_lacking[((p >> 4) ^ (p >> 12) ^ key) & 255];
    const std::uint64_t version = reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
    if (seen.dict == dict && seen.names == key && seen.version == version) return true;
    for (PyObject* name : names)
        if (dict_item(dict, name)) return false;
    seen = {dict, key, version};
    return true;
}

}  // namespace

bool Instance::lacks(std::initializer_list<PyObject*> names) const {
    PyObject* dict = nullptr;
    PyTypeObject* tp = Py_TYPE(self_);
    if (!instance_dict(self_, dict)) return false;  // let the generic path decide
    if (dict) return dict_lacks(dict, names);
    if (!(tp->tp_flags & Py_TPFLAGS_MANAGED_DICT)) return true;  // no attributes at all
#ifdef TVK_DICT_SLOTS
    // Inline values: read where the class's shared keys put each name, no
    // dict made; a name they do not hold, or an empty slot, is absent.
    auto* values = reinterpret_cast<PyDictValues**>(self_)[-4];
    PyDictKeysObject* keys = reinterpret_cast<PyHeapTypeObject*>(tp)->ht_cached_keys;
    if (values && keys && keys->dk_kind == DICT_KEYS_SPLIT) {
        // Shared keys only ever grow: the keys of a class seen without any
        // of the names still lack them all while they hold as many entries
        // (the class, by its version tag, being the same one).
        std::uintptr_t set = 0;
        for (PyObject* name : names) set = set * 31 + reinterpret_cast<std::uintptr_t>(name);
        auto p = reinterpret_cast<std::uintptr_t>(tp);
        const unsigned version = type_version(tp);
        KeysLacking& seen = g_keys_lacking[((p >> 4) ^ (p >> 12) ^ set) & 127];
        if (version && seen.tp == tp && seen.version == version && seen.keys == keys && seen.names == set &&
            seen.entries == keys->dk_nentries)
            return true;
        bool none_held = true;
        PyDictUnicodeEntry* entries = DK_UNICODE_ENTRIES(keys);
        for (PyObject* name : names) {
            Py_hash_t h = PyUnicode_CheckExact(name) ? reinterpret_cast<PyASCIIObject*>(name)->hash : -1;
            if (h == -1) return false;  // let the generic path decide
            for (Py_ssize_t i = 0; i < keys->dk_nentries; ++i) {
                PyObject* key = entries[i].me_key;
                if (key != name && (reinterpret_cast<PyASCIIObject*>(key)->hash != h || PyUnicode_Compare(key, name)))
                    continue;
                if (values->values[i]) return false;
                none_held = false;
                break;
            }
        }
        if (none_held && version) seen = {tp, version, keys, set, keys->dk_nentries};
        return true;
    }
#endif
    // Otherwise the dict is made once (the object is about to be read again
    // and again) and asked.
    PyObject** dp = _PyObject_GetDictPtr(self_);
    if (!dp) return false;
    return !*dp || dict_lacks(*dp, names);
}

namespace {
// Makes the instance dict of obj when its attributes are still inline;
// false when it has none to make.
bool made_dict(PyObject* obj) {
    if (Py_TYPE(obj)->tp_getattro != PyObject_GenericGetAttr) return false;
    PyObject** dp = _PyObject_GetDictPtr(obj);
    return dp && *dp;
}
}  // namespace

bool AttrChain::Link::same() const {
    if (!obj || Py_TYPE(obj) != tp || tp_version == 0 || type_version(tp) != tp_version) return false;
    PyObject* d = nullptr;
    return instance_dict(obj, d) && d == dict && dict &&
           reinterpret_cast<PyDictObject*>(dict)->ma_version_tag == dict_version;
}

bool AttrChain::Link::set(PyObject* o) {
    obj = o;
    tp = Py_TYPE(o);
    tp_version = type_version(tp);
    if (!instance_dict(o, dict)) dict = nullptr;
    if (!dict || !tp_version) return false;
    dict_version = reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
    return true;
}

py::object AttrChain::get(PyObject* obj, PyObject* first, PyObject* second) {
    // The chain is read again and again: both objects get their dicts made.
    PyObject* mid = made_dict(obj) ? Instance(obj).direct(first) : nullptr;
    if (!mid) return getattr(getattr(obj, first), second);
    // Many objects share one middle object (instructions their kernel): the
    // second link is remembered by the middle object, whoever led to it.
    if (result_ && mid == mid_.obj && names_[0] == first && names_[1] == second && mid_.same())
        return py::reinterpret_borrow<py::object>(result_);
    result_ = nullptr;
    py::object keep_mid = py::reinterpret_borrow<py::object>(mid);
    PyObject* end = made_dict(mid) ? Instance(mid).direct(second) : nullptr;
    if (!end) return getattr(keep_mid, second);
    // The second link came straight from an instance dict: remember it.
    if (mid_.set(mid)) {
        names_[0] = first;
        names_[1] = second;
        result_ = end;
    }
    return py::reinterpret_borrow<py::object>(end);
}

MethodEntry Instance::own_member(PyObject* name) const {
    PyTypeObject* tp = Py_TYPE(self_);
    if (tp->tp_getattro != PyObject_GenericGetAttr) return {};
    MethodEntry e = resolved_entry(tp, name);
    if (!e || !lacks({name})) return {};
    return e;
}

}  // namespace tvk
