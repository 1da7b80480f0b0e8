#include "direct.hpp"

#include <vector>

namespace tvk {

namespace {

// d[name] for an exact str name, borrowed; only for a dict whose keys are
// all str (insides::str_keys_only), so no Python code runs.
[[gnu::always_inline]] inline PyObject* dict_item(PyObject* d, PyObject* name) {
    PyObject* v = insides::dict_get(d, name, insides::known_hash(name));
    if (!v && PyErr_Occurred()) throw py::error_already_set();
    return v;
}

// Which names a type's data descriptors (properties, slots, __dict__ ...),
// which win over the instance dict, may bear: one bit per name's hash. A
// name whose bit is clear is none of them; any other is looked up. An
// attribute of an unsettled kind counts as one: its type may gain __set__
// (or it may change class) while the type keeps its version tag.
struct DataNames {
    std::uint64_t hash_bits = 0;
    bool all = true;  // decides nothing: look every name up

    [[gnu::always_inline]] bool surely_not(PyObject* name) const {
        if (all) return false;
        Py_hash_t h = insides::known_hash(name);
        return h != -1 && !((hash_bits >> (static_cast<std::uint64_t>(h) & 63)) & 1);
    }
};

[[gnu::noinline]] DataNames data_names(PyTypeObject* tp) {
    DataNames dn;
    PyObject* mro = tp->tp_mro;
    if (!mro) return dn;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* dict = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (dict && PyDict_Next(dict, &pos, &key, &value)) {
            if (!Py_TYPE(value)->tp_descr_set && settled_kind(value)) continue;
            Py_hash_t h = insides::known_hash(key);
            if (h == -1) return DataNames{};
            dn.hash_bits |= std::uint64_t{1} << (static_cast<std::uint64_t>(h) & 63);
        }
    }
    dn.all = false;
    return dn;
}

TypeMemo<DataNames, 128> g_data_names;

// True when `name` is a data descriptor of tp (so the instance dict does not
// decide self.name).
[[gnu::always_inline]] inline bool data_descriptor(PyTypeObject* tp, PyObject* name) {
    if (g_data_names.get(tp, data_names).surely_not(name)) return false;
    PyObject* d = insides::type_lookup(tp, name);
    return d && Py_TYPE(d)->tp_descr_set;
}

// A read of a field from a split dict remembers its slot, with the class
// whose attribute lookup it stood for (none of the class's data descriptors
// bears the name, at the class's version tag, the kind of its attribute of
// that name, if any, unchanged), and the next read of that field from a dict
// with those keys goes straight to the slot, as the interpreter's own
// attribute caches do. Plain memory, only compared: a remembered slot is
// used only when the dict's keys still hold this very name there.
struct Slot {
    PyObject* name = nullptr;
    const void* keys = nullptr;
    PyTypeObject* tp = nullptr;
    unsigned tp_version = 0;
    Py_ssize_t ix = 0;
    AttrKind kind;

    [[gnu::always_inline]] bool stands_for(PyObject* n, const void* k, PyTypeObject* t) const {
        return name == n && keys == k && this->tp == t && tp_version == type_version(t) && kind.holds();
    }
};

// The slot to remember for `name` at `ix` of keys `k`, read as an attribute
// of an instance of tp (no data descriptor of tp bears it); false when it
// may not be remembered.
[[gnu::noinline]] bool slot_for(PyTypeObject* tp, PyObject* name, const void* k, Py_ssize_t ix, Slot& out) {
    unsigned v = type_version(tp);
    if (!k || !v || ix < 0) return false;
    AttrKind kind;
    if (!kind.keep(insides::type_lookup(tp, name)) || type_version(tp) != v) return false;
    out = Slot{name, k, tp, v, ix, kind};
    return true;
}
Slot g_slots[512];

[[gnu::always_inline]] inline Slot& slot_of(PyObject* name, const void* keys) {
    auto p = reinterpret_cast<std::uintptr_t>(name) ^ (reinterpret_cast<std::uintptr_t>(keys) >> 3);
    return g_slots[((p >> 4) ^ (p >> 13)) & 511];
}

// The value of `name` in a split dict, read from its remembered slot;
// nullptr when nothing is remembered or the slot holds no value.
[[gnu::always_inline]] inline PyObject* remembered_item(PyTypeObject* tp, PyObject* dict, PyObject* name) {
    const void* k = insides::split_keys(dict);
    if (!k) return nullptr;
    const Slot& s = slot_of(name, k);
    if (!s.stands_for(name, k, tp)) return nullptr;
    return insides::split_value(dict, s.ix, name);
}

// Remembers where a split dict keeps `name`, just read from it as the
// attribute of an instance of tp.
[[gnu::noinline]] void remember_item(PyTypeObject* tp, PyObject* dict, PyObject* name) {
    const void* k = insides::split_keys(dict);
    Slot s;
    if (slot_for(tp, name, k, insides::split_index(dict, name), s)) slot_of(name, k) = s;
}

// The value of `name` among the inline values of self (no dict made of them
// yet), read from the slot its class's shared keys give the name: the same
// keys a dict made of them would have, so the slot is remembered as for
// split dicts. nullptr when the keys do not hold the name or the slot is
// empty, or when a data descriptor of the class would take the read.
[[gnu::noinline]] PyObject* inline_item(PyTypeObject* tp, PyObject* self, PyObject* name) {
    insides::Values values = insides::inline_values(self);
    const void* k = insides::shared_keys(tp);
    if (!values || !k) return nullptr;
    const Slot s = slot_of(name, k);
    if (s.stands_for(name, k, tp) && insides::keys_hold(k, s.ix, name)) return insides::value_at(values, s.ix);
    if (data_descriptor(tp, name)) return nullptr;
    // The lookup may have run code that made the dict: read afresh.
    values = insides::inline_values(self);
    k = insides::shared_keys(tp);
    Py_ssize_t ix = insides::keys_index(k, name);
    if (!values || ix < 0) return nullptr;
    Slot fresh;
    if (slot_for(tp, name, k, ix, fresh)) slot_of(name, k) = fresh;
    return insides::value_at(values, ix);
}

}  // namespace

namespace {
// Instance::find past the remembered slot.
[[gnu::noinline]] PyObject* find_in_dict(PyTypeObject* tp, PyObject* dict, PyObject* name, bool* absent) {
    // A key of another kind could run code of its own while compared.
    if (!insides::str_keys_only(dict)) return nullptr;
    if (data_descriptor(tp, name)) return nullptr;  // it wins over the dict
    PyObject* v = dict_item(dict, name);
    if (v)
        remember_item(tp, dict, name);
    else if (absent)
        *absent = insides::type_lookup(tp, name) == nullptr;
    return v;
}
}  // namespace

PyObject* Instance::find(PyObject* name, bool* absent) const {
    if (absent) *absent = false;
    PyTypeObject* tp = Py_TYPE(self_);
    if (tp->tp_getattro != PyObject_GenericGetAttr) return nullptr;
    PyObject* dict = nullptr;
    if (!insides::instance_dict(self_, dict)) return nullptr;
    if (!dict) {
        // Inline values are read in place where their slot is known; an
        // instance without any attribute storage has nothing to read.
        if (tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) return inline_item(tp, self_, name);
        if (absent) *absent = insides::type_lookup(tp, name) == nullptr;
        return nullptr;
    }
    if (PyObject* v = remembered_item(tp, dict, name)) return v;
    return find_in_dict(tp, dict, name, absent);
}

namespace {

// Dicts seen lacking a list of names (by its key), each at the version tag
// it had then: an unchanged dict still lacks them. Plain memory, compared
// only.
struct Lacking {
    PyObject* dict = nullptr;
    std::uint64_t version = 0;
    std::uintptr_t names = 0;
};
Lacking g_lacking[256];

// Shared keys seen holding none of a list of names (by its key), with their
// size then. Plain memory, compared only.
struct KeysLacking {
    PyTypeObject* tp = nullptr;
    unsigned version = 0;
    const void* keys = nullptr;
    std::uintptr_t names = 0;
    Py_ssize_t entries = 0;
};
KeysLacking g_keys_lacking[128];

bool dict_lacks(PyObject* dict, PyObject* const* names, std::size_t n, std::uintptr_t key) {
    if (n == 0 || PyDict_GET_SIZE(dict) == 0) return true;
    const std::uint64_t version = insides::dict_version(dict);
    auto h = (reinterpret_cast<std::uintptr_t>(dict) >> 4) ^ (key >> 3) ^ key;
    Lacking& seen = g_lacking[(h ^ (h >> 8)) & 255];
    // (A dict seen at this version had only str keys then, and still has.)
    if (version != 0 && seen.dict == dict && seen.version == version && seen.names == key) return true;
    // A key of another kind could run code of its own while compared.
    if (!insides::str_keys_only(dict)) return false;
    for (std::size_t i = 0; i < n; ++i)
        if (dict_item(dict, names[i])) return false;
    if (version != 0) seen = {dict, version, key};
    return true;
}

}  // namespace

std::uintptr_t names_key(PyObject* const* names, std::size_t n) {
    if (n == 1) return reinterpret_cast<std::uintptr_t>(names[0]);
    // Few lists exist (one per gate): kept for the process, found by content.
    static auto* lists = new std::vector<std::vector<PyObject*>>();
    std::vector<PyObject*> list(names, names + n);
    std::size_t i = 0;
    while (i < lists->size() && (*lists)[i] != list) ++i;
    if (i == lists->size()) lists->push_back(std::move(list));
    return (i << 1) | 1;
}

bool Instance::lacks(PyObject* const* names, std::size_t n, std::uintptr_t key) const {
    PyObject* dict = nullptr;
    PyTypeObject* tp = Py_TYPE(self_);
    if (!insides::instance_dict(self_, dict)) return false;  // let the generic path decide
    if (dict) return dict_lacks(dict, names, n, key);
    if (!(tp->tp_flags & Py_TPFLAGS_MANAGED_DICT)) return true;  // no attributes at all
    // Inline values: read where the class's shared keys put each name, no
    // dict made; a name they do not hold, or an empty slot, is absent. (No
    // Python code runs here: shared keys are exact str.)
    insides::Values values = insides::inline_values(self_);
    const void* keys = insides::shared_keys(tp);
    if (values && keys) {
        // Shared keys only ever grow: the keys of a class seen without any
        // of the names still lack them all while they hold as many entries
        // (the class, by its version tag, being the same one).
        auto p = (reinterpret_cast<std::uintptr_t>(tp) >> 4) ^ (key >> 3) ^ key;
        const unsigned version = type_version(tp);
        const Py_ssize_t size = insides::keys_size(keys);
        KeysLacking& seen = g_keys_lacking[(p ^ (p >> 8)) & 127];
        if (version && seen.tp == tp && seen.version == version && seen.keys == keys && seen.names == key &&
            seen.entries == size)
            return true;
        bool none_held = true;
        for (std::size_t i = 0; i < n; ++i) {
            Py_ssize_t ix = insides::keys_find(keys, names[i]);
            if (ix == -2) return false;  // let the generic path decide
            if (ix < 0) continue;
            if (insides::value_at(values, ix)) return false;
            none_held = false;
        }
        if (none_held && version) seen = {tp, version, keys, key, size};
        return true;
    }
    // Otherwise the dict is made once (the object is about to be read again
    // and again) and asked.
    PyObject* made = nullptr;
    if (!insides::make_instance_dict(self_, made)) return false;
    if (!made) return true;
    // Making it may have run code that changed the instance: ask afresh.
    return insides::instance_dict(self_, dict) && dict == made && dict_lacks(dict, names, n, key);
}

namespace detail {

bool instance_leaves(PyObject* self, PyObject* const* names, std::size_t n, std::uintptr_t key) {
    return generic_attributes(Py_TYPE(self)) && Instance(self).lacks(names, n, key);
}

bool type_resolves(PyTypeObject* tp, const Step* steps, std::size_t n, Member* out) {
    for (std::size_t i = 0; i < n; ++i) {
        const Step& s = steps[i];
        PyObject* d = insides::type_lookup(tp, s.name);
        out[i].object = d;
        out[i].entry = d ? method_entry(d) : MethodEntry{};
        switch (s.expect) {
            case Step::AnyMethod:
                if (!out[i].entry) return false;
                break;
            case Step::Method:
                if (!out[i].entry || out[i].entry.fn != s.fn) return false;
                break;
            case Step::Object:
                if (!s.pin || !s.pin->is(d)) return false;
                break;
            case Step::Anything:
                break;
        }
    }
    return true;
}

bool pins_hold(const Step* steps, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (steps[i].expect == Step::Object && steps[i].pin && !steps[i].pin->unchanged()) return false;
    return true;
}

}  // namespace detail

namespace {
// Makes the instance dict of obj when its attributes are still inline;
// false when it has none to make.
bool made_dict(PyObject* obj) {
    PyObject* dict = nullptr;
    return Py_TYPE(obj)->tp_getattro == PyObject_GenericGetAttr && insides::make_instance_dict(obj, dict) && dict;
}
}  // namespace

bool AttrChain::Link::same() const {
    if (!obj || Py_TYPE(obj) != tp || tp_version == 0 || type_version(tp) != tp_version || !kind.holds())
        return false;
    PyObject* d = nullptr;
    return insides::instance_dict(obj, d) && d == dict && dict && insides::dict_version(dict) == dict_version;
}

bool AttrChain::Link::set(PyObject* o, PyObject* name) {
    obj = o;
    tp = Py_TYPE(o);
    tp_version = type_version(tp);
    if (!insides::instance_dict(o, dict)) dict = nullptr;
    dict_version = dict ? insides::dict_version(dict) : 0;
    // (The lookup runs no code: the read just made went through the type.)
    return dict && tp_version && dict_version && kind.keep(insides::type_lookup(tp, name)) &&
           type_version(tp) == tp_version;
}

py::object AttrChain::get(PyObject* obj, PyObject* first, PyObject* second) {
    // The chain is read again and again: both objects get their dicts made.
    py::object mid = made_dict(obj) ? Instance(obj).direct(first) : py::object();
    if (!mid) return getattr(getattr(obj, first), second);
    // Many objects share one middle object (instructions their kernel): the
    // second link is remembered by the middle object, whoever led to it.
    if (result_ && mid.ptr() == mid_.obj && names_[0] == first && names_[1] == second && mid_.same())
        return py::reinterpret_borrow<py::object>(result_);
    result_ = nullptr;
    py::object end = made_dict(mid.ptr()) ? Instance(mid.ptr()).direct(second) : py::object();
    if (!end) return getattr(mid, second);
    // The second link came straight from an instance dict: remember it.
    if (mid_.set(mid.ptr(), second)) {
        names_[0] = first;
        names_[1] = second;
        result_ = end.ptr();
    }
    return end;
}

MethodEntry Instance::own_member(PyObject* name) const {
    // The instance first: asking it may run code that changes the type.
    if (!detail::instance_leaves(self_, &name, 1, names_key(&name, 1))) return {};
    PyTypeObject* tp = Py_TYPE(self_);
    if (!generic_attributes(tp)) return {};
    return resolved_entry(tp, name);
}

}  // namespace tvk
