#include "fields.hpp"

#include <cstdint>

#include "direct.hpp"

// The layout of inline values is the interpreter's own, so its header is
// used where it is known (3.11); elsewhere every store is setattr.
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000 && defined(__has_include)
#if __has_include(<internal/pycore_dict.h>)
#define Py_BUILD_CORE 1
#include <internal/pycore_dict.h>
#undef Py_BUILD_CORE
#define TVK_INLINE_VALUES 1
#endif
#endif

namespace tvk {

namespace {

#ifdef TVK_INLINE_VALUES
// The shared keys of tp when its instances can keep attributes inline and
// its stores are the generic ones.
PyDictKeysObject* shared_keys(PyTypeObject* tp) {
    if (!(tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) || tp->tp_setattro != PyObject_GenericSetAttr) return nullptr;
    PyDictKeysObject* keys = reinterpret_cast<PyHeapTypeObject*>(tp)->ht_cached_keys;
    return keys && keys->dk_kind == DICT_KEYS_SPLIT ? keys : nullptr;
}

// The inline values of obj while no dict has been made of them.
PyDictValues* inline_values(PyObject* obj) {
    // The inline values pointer four words before the object, the dict
    // pointer (nullptr until a dict is made) three words before it.
    PyDictValues* values = reinterpret_cast<PyDictValues**>(obj)[-4];
    return values && !reinterpret_cast<PyObject**>(obj)[-3] ? values : nullptr;
}

// Where tp's shared keys hold `name`, when a store of that name goes to the
// instance's own storage (no data descriptor takes it); -1 otherwise.
Py_ssize_t field_slot(PyTypeObject* tp, PyObject* name) {
    PyDictKeysObject* keys = shared_keys(tp);
    if (!keys || !PyUnicode_CheckExact(name)) return -1;
    PyObject* descr = _PyType_Lookup(tp, name);
    if (descr && Py_TYPE(descr)->tp_descr_set) return -1;
    PyDictUnicodeEntry* entries = DK_UNICODE_ENTRIES(keys);
    for (Py_ssize_t i = 0; i < keys->dk_nentries; ++i)
        if (entries[i].me_key == name) return i;
    return -1;
}

#endif

void generic_store(PyObject* obj, PyObject* name, PyObject* value) {
    if (PyObject_SetAttr(obj, name, value) < 0) throw py::error_already_set();
}

}  // namespace

InlineFields::InlineFields(std::initializer_list<const char*> names) {
    for (const char* n : names)
        if (count_ < kMax) names_[static_cast<std::size_t>(count_++)] = intern(n);
}

const InlineFields::Plan* InlineFields::plan(PyTypeObject* tp) {
#ifdef TVK_INLINE_VALUES
    // Classes are made one after the other, their addresses about a class
    // size apart: a mixing hash spreads them.
    auto p = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(tp) >> 4) * 0x9E3779B97F4A7C15ull;
    Plan& e = plans_[static_cast<std::size_t>(p >> 58)];
    unsigned v = type_version(tp);
    if (e.tp == tp && v && e.version == v) return &e;
    if (!v) {
        (void)_PyType_Lookup(tp, names_[0]);  // gives the type its version tag
        v = type_version(tp);
        if (!v) return nullptr;
    }
    Plan fresh;
    fresh.tp = tp;
    fresh.version = v;
    fresh.complete = true;
    for (int i = 0; i < count_; ++i) {
        Py_ssize_t ix = field_slot(tp, names_[static_cast<std::size_t>(i)]);
        fresh.slots[static_cast<std::size_t>(i)] = ix;
        fresh.complete = fresh.complete && ix >= 0;
    }
    // A name the keys do not hold yet (a class's first instance) takes the
    // generic store, which adds it; the plan is then made again.
    if (fresh.complete) e = fresh;
    return fresh.complete ? &e : nullptr;
#else
    (void)tp;
    return nullptr;
#endif
}

void InlineFields::set(PyObject* obj, std::initializer_list<PyObject*> values) {
    PyObject* const* v = values.begin();
    int n = static_cast<int>(values.size()) < count_ ? static_cast<int>(values.size()) : count_;
    int i = 0;
#ifdef TVK_INLINE_VALUES
    PyTypeObject* tp = Py_TYPE(obj);
    PyDictValues* inline_vals = inline_values(obj);
    // A slot, once found, holds its name for good: shared keys only grow,
    // and the plan lasts only while the class keeps its version tag.
    if (const Plan* p = inline_vals && shared_keys(tp) ? plan(tp) : nullptr) {
        for (; i < n; ++i) {
            Py_ssize_t ix = p->slots[static_cast<std::size_t>(i)];
            PyObject* old = inline_vals->values[ix];
            inline_vals->values[ix] = Py_NewRef(v[i]);
            if (!old) {
                _PyDictValues_AddToInsertionOrder(inline_vals, ix);
                continue;
            }
            // Releasing the old value may run code that makes the dict.
            Py_DECREF(old);
            if (inline_values(obj) != inline_vals) {
                ++i;
                break;
            }
        }
    }
#endif
    for (; i < n; ++i) generic_store(obj, names_[static_cast<std::size_t>(i)], v[i]);
}

}  // namespace tvk
