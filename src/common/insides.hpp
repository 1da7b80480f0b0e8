// The one place that reads the interpreter's private layouts and calls its
// private functions, each read next to the generic code that does without
// it. The reads are written for one minor version (3.11) and compiled only
// for it, and not at all in the generic build (TVK_GENERIC_ONLY); at run time
// they are used only when the running interpreter is that very minor version,
// which every module checks as it loads (check_interpreter). Otherwise each
// helper gives its generic answer: "not known" where a fast path would read a
// layout (so that path steps aside), the public equivalent of a private
// function.
#pragma once

#include <Python.h>

#include <cstdint>

#if !defined(TVK_GENERIC_ONLY) && PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000 && \
    defined(__has_include)
#if __has_include(<internal/pycore_dict.h>)
#define TVK_INSIDES 1
#ifndef Py_BUILD_CORE
#define Py_BUILD_CORE 1
#define TVK_UNDEF_BUILD_CORE 1
#endif
#include <internal/pycore_dict.h>
#ifdef TVK_UNDEF_BUILD_CORE
#undef Py_BUILD_CORE
#undef TVK_UNDEF_BUILD_CORE
#endif
#endif
#endif

namespace tvk::insides {

#ifdef TVK_INSIDES
constexpr bool kCompiled = true;
// Set as the module loads: the running interpreter is the version the reads
// were written for. An enum, not a bool: a store through a bool& (or any
// pointer but char) cannot change it, so the compiler reads it once.
enum class Mode : int { Generic, Insides };
extern Mode g_mode;
inline bool usable() { return __builtin_expect(g_mode == Mode::Insides, 1); }
#else
constexpr bool kCompiled = false;
constexpr bool usable() { return false; }
#endif

// Decides usable() for this module; called first thing as a module loads.
void check_interpreter();

// ---- types -------------------------------------------------------------------

// The version tag of a type, 0 while it has none (or it cannot be read): a
// type's tag changes whenever the type or a base is modified, and no two
// types ever share one.
inline unsigned type_version(PyTypeObject* tp) {
#ifdef TVK_INSIDES
    if (usable() && (tp->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) return tp->tp_version_tag;
#endif
    (void)tp;
    return 0;
}

// The version tag of a type, given one by a lookup when it has none yet.
unsigned tagged_type_version(PyTypeObject* tp);

// Puts `fast` into the init slot of a class made here while that slot holds
// `generic` (the interpreter's slot for an __init__ found in a namespace);
// the interpreter itself puts its own back as soon as __init__ is assigned
// anywhere along the class's MRO. False, and nothing changed, when it
// cannot be done.
inline bool replace_init_slot(PyTypeObject* tp, initproc generic, initproc fast) {
#ifdef TVK_INSIDES
    if (usable() && generic && tp->tp_init == generic) {
        tp->tp_init = fast;
        return true;
    }
#endif
    (void)tp;
    (void)generic;
    (void)fast;
    return false;
}

// ---- str and dict ------------------------------------------------------------

// The hash an exact str has computed already; -1 when none (or unknown).
inline Py_hash_t known_hash(PyObject* s) {
#ifdef TVK_INSIDES
    if (usable() && PyUnicode_CheckExact(s)) return reinterpret_cast<PyASCIIObject*>(s)->hash;
#endif
    (void)s;
    return -1;
}

// d[key] (borrowed; nullptr with or without an error), with the key's hash
// when it is known (-1: not).
inline PyObject* dict_get(PyObject* d, PyObject* key, Py_hash_t hash) {
#ifdef TVK_INSIDES
    if (usable() && hash != -1) return _PyDict_GetItem_KnownHash(d, key, hash);
#endif
    (void)hash;
    return PyDict_GetItemWithError(d, key);
}

// A new empty dict with room for n items, so that filling it never grows
// it; a plain new dict where that cannot be asked for.
inline PyObject* new_dict_for(Py_ssize_t n) {
#ifdef TVK_INSIDES
    if (usable() && n > 5) return _PyDict_NewPresized(n);
#endif
    (void)n;
    return PyDict_New();
}

// The version tag of a dict: it changes with every change of the dict and is
// never the tag of another state of any dict; 0 when it cannot be read.
inline std::uint64_t dict_version(PyObject* d) {
#ifdef TVK_INSIDES
    if (usable()) return reinterpret_cast<PyDictObject*>(d)->ma_version_tag;
#endif
    (void)d;
    return 0;
}

// True when every key of the dict is known to be an exact str, so that
// looking a str up in it runs no Python code (no key's __eq__).
inline bool str_keys_only(PyObject* d) {
#ifdef TVK_INSIDES
    if (usable()) return DK_IS_UNICODE(reinterpret_cast<PyDictObject*>(d)->ma_keys);
#endif
    (void)d;
    return false;
}

// PyDict_Next(d, pos, key, value), read in place for a dict whose keys are
// all str and kept in one table with their values: the same entries in the
// same order, each at pos - 1 of that table.
inline bool dict_next(PyObject* d, Py_ssize_t* pos, PyObject** key, PyObject** value) {
#ifdef TVK_INSIDES
    auto* mp = reinterpret_cast<PyDictObject*>(d);
    if (usable() && !mp->ma_values && DK_IS_UNICODE(mp->ma_keys)) {
        const Py_ssize_t n = mp->ma_keys->dk_nentries;
        const PyDictUnicodeEntry* e = DK_UNICODE_ENTRIES(mp->ma_keys);
        Py_ssize_t i = *pos;
        if (i < 0) return false;
        while (i < n && !e[i].me_value) ++i;
        if (i >= n) return false;
        *pos = i + 1;
        *key = e[i].me_key;
        *value = e[i].me_value;
        return true;
    }
#endif
    return PyDict_Next(d, pos, key, value) != 0;
}

// Stores value (a new reference taken) as the value of entry `ix` of a dict
// whose keys are all str and kept in one table with their values (the entry
// PyDict_Next gave at pos ix + 1), when that entry holds this very `key`;
// returns the value it held, a reference the caller releases. nullptr and
// nothing changed otherwise (or when it cannot be read): the caller then
// stores through the dict. The dict's version tag is left as it was, so only
// a dict no one else has seen yet may be written so.
inline PyObject* fresh_entry_exchange(PyObject* d, Py_ssize_t ix, PyObject* key, PyObject* value) {
#ifdef TVK_INSIDES
    auto* mp = reinterpret_cast<PyDictObject*>(d);
    if (usable() && !mp->ma_values && DK_IS_UNICODE(mp->ma_keys) && ix >= 0 && ix < mp->ma_keys->dk_nentries) {
        PyDictUnicodeEntry& e = DK_UNICODE_ENTRIES(mp->ma_keys)[ix];
        if (e.me_key == key && e.me_value) {
            PyObject* old = e.me_value;
            e.me_value = Py_NewRef(value);
            return old;
        }
    }
#endif
    (void)d;
    (void)ix;
    (void)key;
    (void)value;
    return nullptr;
}

// ---- instance dicts ----------------------------------------------------------

// The instance dict of self into `dict`, made from its inline values when
// they are kept so (which allocates, so a collection may run Python code);
// `dict` is nullptr when the instance has none. False when it could not be
// made, or cannot be read.
inline bool make_instance_dict(PyObject* self, PyObject*& dict) {
    dict = nullptr;
#ifdef TVK_INSIDES
    if (!usable()) return false;
    PyObject** dp = _PyObject_GetDictPtr(self);
    if (!dp) return false;
    dict = *dp;
    return true;
#else
    (void)self;
    return false;
#endif
}

// The instance dict of self as it is, without making one: `dict` is nullptr
// for an instance whose attributes are still kept inline (3.11 keeps them so
// until someone asks for __dict__) or that has none yet. False when the
// object has no dict the interpreter could give, or it cannot be read.
inline bool instance_dict(PyObject* self, PyObject*& dict) {
    dict = nullptr;
#ifdef TVK_INSIDES
    if (!usable()) return false;
    PyTypeObject* tp = Py_TYPE(self);
    if (tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) {
        // The managed dict pointer, three words before the object; the
        // inline values pointer sits one word before it.
        dict = reinterpret_cast<PyObject**>(self)[-3];
        return true;
    }
    // Any other dict sits at the type's dict offset: nothing is made.
    return make_instance_dict(self, dict);
#else
    (void)self;
    return false;
#endif
}

// Instances of one class share the keys of their dicts (split dicts), so the
// slot of a field is the same in all of them. The keys of a split dict, as
// an address only compared; nullptr for any other dict (or unknown).
inline const void* split_keys(PyObject* dict) {
#ifdef TVK_INSIDES
    auto* d = reinterpret_cast<PyDictObject*>(dict);
    if (usable() && d->ma_values) return d->ma_keys;
#endif
    (void)dict;
    return nullptr;
}

// ---- shared keys and inline values -------------------------------------------

// 3.11 keeps the attributes of an instance whose class has a managed dict in
// an array of values, indexed by the shared keys of its class, until someone
// asks for its __dict__.

// The shared keys of tp's instances, as an address only compared (and given
// to the helpers below); nullptr when it has none (or they cannot be read).
inline const void* shared_keys(PyTypeObject* tp) {
#ifdef TVK_INSIDES
    if (usable() && (tp->tp_flags & Py_TPFLAGS_MANAGED_DICT)) {
        PyDictKeysObject* k = reinterpret_cast<PyHeapTypeObject*>(tp)->ht_cached_keys;
        if (k && k->dk_kind == DICT_KEYS_SPLIT) return k;
    }
#endif
    (void)tp;
    return nullptr;
}

// How many names the shared keys hold; they only ever grow.
inline Py_ssize_t keys_size(const void* keys) {
#ifdef TVK_INSIDES
    if (keys) return static_cast<const PyDictKeysObject*>(keys)->dk_nentries;
#endif
    (void)keys;
    return 0;
}

// Where the shared keys hold this very name object; -1 when they do not.
inline Py_ssize_t keys_index(const void* keys, PyObject* name) {
#ifdef TVK_INSIDES
    if (keys) {
        auto* k = const_cast<PyDictKeysObject*>(static_cast<const PyDictKeysObject*>(keys));
        PyDictUnicodeEntry* e = DK_UNICODE_ENTRIES(k);
        for (Py_ssize_t i = 0; i < k->dk_nentries; ++i)
            if (e[i].me_key == name) return i;
    }
#endif
    (void)keys;
    (void)name;
    return -1;
}

// True when slot `ix` of the shared keys holds this very name object.
inline bool keys_hold(const void* keys, Py_ssize_t ix, PyObject* name) {
#ifdef TVK_INSIDES
    if (keys) {
        auto* k = const_cast<PyDictKeysObject*>(static_cast<const PyDictKeysObject*>(keys));
        return ix >= 0 && ix < k->dk_nentries && DK_UNICODE_ENTRIES(k)[ix].me_key == name;
    }
#endif
    (void)keys;
    (void)ix;
    (void)name;
    return false;
}

// Where the split dict's keys hold `name`; -1 when they do not (or unknown).
inline Py_ssize_t split_index(PyObject* dict, PyObject* name) { return keys_index(split_keys(dict), name); }

// The value of `name` in slot `ix` of a split dict, when its keys still hold
// this very name there; nullptr otherwise (also when the slot is empty).
inline PyObject* split_value(PyObject* dict, Py_ssize_t ix, PyObject* name) {
#ifdef TVK_INSIDES
    if (keys_hold(split_keys(dict), ix, name)) return reinterpret_cast<PyDictObject*>(dict)->ma_values->values[ix];
#endif
    (void)dict;
    (void)ix;
    (void)name;
    return nullptr;
}

// Where the shared keys hold a name equal to `name` (an exact str whose hash
// is computed); -1 when none, -2 when it cannot be told without a lookup.
// Shared keys are exact str, so comparing runs no Python code.
inline Py_ssize_t keys_find(const void* keys, PyObject* name) {
#ifdef TVK_INSIDES
    Py_hash_t h = known_hash(name);
    if (!keys || h == -1) return -2;
    auto* k = const_cast<PyDictKeysObject*>(static_cast<const PyDictKeysObject*>(keys));
    PyDictUnicodeEntry* e = DK_UNICODE_ENTRIES(k);
    for (Py_ssize_t i = 0; i < k->dk_nentries; ++i) {
        PyObject* key = e[i].me_key;
        if (key == name || (reinterpret_cast<PyASCIIObject*>(key)->hash == h && PyUnicode_Compare(key, name) == 0))
            return i;
    }
    return -1;
#else
    (void)keys;
    (void)name;
    return -2;
#endif
}

// The inline values of self while no dict has been made of them, indexed as
// its class's shared keys; nullptr otherwise (or when they cannot be read).
// An address handed to the helpers below, valid only until Python code runs:
// a dict may be made of them.
using Values = void*;
inline Values inline_values(PyObject* self) {
#ifdef TVK_INSIDES
    if (usable() && (Py_TYPE(self)->tp_flags & Py_TPFLAGS_MANAGED_DICT)) {
        // The inline values pointer four words before the object, the dict
        // pointer (nullptr until a dict is made) three words before it.
        PyDictValues* values = reinterpret_cast<PyDictValues**>(self)[-4];
        if (values && !reinterpret_cast<PyObject**>(self)[-3]) return values;
    }
#endif
    (void)self;
    return nullptr;
}

// The value in slot ix of inline values (borrowed; nullptr: empty).
inline PyObject* value_at(Values values, Py_ssize_t ix) {
#ifdef TVK_INSIDES
    return static_cast<PyDictValues*>(values)->values[ix];
#else
    (void)values;
    (void)ix;
    return nullptr;
#endif
}

// Stores value (a new reference taken) in slot ix of inline values, as the
// interpreter's own store does; returns the value it held (a reference the
// caller releases), nullptr when the slot was empty.
inline PyObject* inline_exchange(Values values, Py_ssize_t ix, PyObject* value) {
#ifdef TVK_INSIDES
    auto* v = static_cast<PyDictValues*>(values);
    PyObject* old = v->values[ix];
    v->values[ix] = Py_NewRef(value);
    if (!old) _PyDictValues_AddToInsertionOrder(v, ix);
    return old;
#else
    (void)values;
    (void)ix;
    (void)value;
    return nullptr;
#endif
}

// ---- dicts at a fixed offset ---------------------------------------------------

// The attribute dict of an object whose class keeps it at a fixed offset (the
// syntax-tree classes do), borrowed into `dict`: nullptr while it has none.
// Read in place through the type's dict offset, a public field, so nothing
// is made and no Python code runs; the same on every road. False for an
// object whose class keeps its dict elsewhere, or has none.
inline bool offset_dict(PyObject* o, PyObject*& dict) {
    dict = nullptr;
    PyTypeObject* tp = Py_TYPE(o);
    if (tp->tp_dictoffset <= 0 || (tp->tp_flags & Py_TPFLAGS_MANAGED_DICT)) return false;
    dict = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + tp->tp_dictoffset);
    return true;
}

// ---- ints --------------------------------------------------------------------

// An exact int of at most one digit, read in place into `v`; false for any
// other object (or when it cannot be read).
inline bool one_digit_int(PyObject* o, std::int64_t& v) {
#ifdef TVK_INSIDES
    if (usable() && PyLong_CheckExact(o)) {
        Py_ssize_t size = Py_SIZE(o);
        if (size >= -1 && size <= 1) {
            v = size * static_cast<std::int64_t>(reinterpret_cast<PyLongObject*>(o)->ob_digit[0]);
            return true;
        }
    }
#endif
    (void)o;
    (void)v;
    return false;
}

// The sign of an int (-1, 0, 1).
int long_sign(PyObject* v);

// ---- attributes and functions -------------------------------------------------

// obj.name into *result: 1 found, 0 absent (AttributeError, cleared), -1 any
// other error (set).
int lookup_attr(PyObject* obj, PyObject* name, PyObject** result);

// The attribute `name` of type tp as its MRO gives it, borrowed (nullptr:
// none, no error left set). The generic road reads each class's dict.
PyObject* type_lookup_generic(PyTypeObject* tp, PyObject* name);
inline PyObject* type_lookup(PyTypeObject* tp, PyObject* name) {
#ifdef TVK_INSIDES
    if (usable()) return _PyType_Lookup(tp, name);
#endif
    return type_lookup_generic(tp, name);
}

// "module.qualname()" (or "qualname()" for builtins) as the interpreter names
// a function in its call errors; a new reference, nullptr with an error.
PyObject* function_str(PyObject* func);

}  // namespace tvk::insides
