// Direct paths for instances of this layer's classes. A call may skip the
// generic protocol (bound methods, lookups through the MRO) when the members
// it would look up are this layer's own, as the instance's type resolves
// them and provided the instance dict, which may shadow any method, does not
// hold them. Attributes are read straight from the instance dict exactly
// where the interpreter's lookup would find them there; anything unusual (a
// custom __getattribute__, a data descriptor of that name) goes through the
// interpreter's own lookup.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "call.hpp"

namespace tvk {

// The version tag of a type, 0 while it has none: a type's tag changes
// whenever the type or a base is modified, and no two types ever share one.
inline unsigned type_version(PyTypeObject* tp) {
    return (tp->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? tp->tp_version_tag : 0;
}

// Attribute reads and writes of the type are the interpreter's generic ones
// (no __getattribute__, __getattr__ or __setattr__ of its own).
inline bool generic_attributes(PyTypeObject* tp) {
    return tp->tp_getattro == PyObject_GenericGetAttr && tp->tp_setattro == PyObject_GenericSetAttr;
}

// A member made by ClassBuilder::method (or abstract_method): its C++ entry
// and the cell it is called with. Empty for any other object, so one of this
// layer's own members is told from a replacement without calling it.
struct MethodEntry {
    RawFn fn = nullptr;
    PyObject* cell = nullptr;
    explicit operator bool() const { return fn != nullptr; }
    // The member called on self with no other argument, as self.name() does.
    py::object call(PyObject* self) const {
        PyObject* args[1] = {self};
        return steal(fn(cell, args, 1, nullptr));
    }
};
MethodEntry method_entry(PyObject* descr);

// The member `name` as type `tp` resolves it (see method_entry).
inline MethodEntry resolved_entry(PyTypeObject* tp, PyObject* name) {
    PyObject* d = _PyType_Lookup(tp, name);
    return d ? method_entry(d) : MethodEntry{};
}

// A value worked out from a type, kept while the type keeps its version tag.
// Holds no Python object: the type is only compared, never dereferenced.
template <class V, std::size_t N = 64>
class TypeMemo {
public:
    // The value kept for tp, or nullptr when it must be worked out again.
    const V* find(PyTypeObject* tp) const {
        const Entry& e = slots_[slot(tp)];
        unsigned v = type_version(tp);
        return (e.tp == tp && v != 0 && e.version == v) ? &e.value : nullptr;
    }
    // Keeps `value` for tp, when tp has a version tag (the _PyType_Lookup
    // calls that worked the value out give it one). Returns the value kept,
    // or nullptr when nothing could be kept.
    const V* store(PyTypeObject* tp, const V& value) {
        unsigned v = type_version(tp);
        if (v == 0) return nullptr;
        Entry& e = slots_[slot(tp)];
        e.tp = tp;
        e.version = v;
        e.value = value;
        return &e.value;
    }

private:
    struct Entry {
        PyTypeObject* tp = nullptr;
        unsigned version = 0;
        V value{};
    };
    static std::size_t slot(PyTypeObject* tp) {
        auto p = reinterpret_cast<std::uintptr_t>(tp);
        return static_cast<std::size_t>((p >> 4) ^ (p >> 12)) % N;
    }
    std::array<Entry, N> slots_{};
};

// Attribute access of one instance, each read as PyObject_GetAttr would give
// it, taken straight from the instance dict where that is where the lookup
// would find it.
class Instance {
public:
    explicit Instance(PyObject* self) : self_(self) {}

    // self.name
    py::object get(PyObject* name) const {
        if (PyObject* v = direct(name)) return py::reinterpret_borrow<py::object>(v);
        return getattr(self_, name);
    }
    // Borrowed self.name when the instance dict holds it and nothing in the
    // type overrides that; nullptr otherwise (no error set).
    PyObject* direct(PyObject* name) const;
    // Like direct(), and tells `absent` when self.name certainly raises
    // AttributeError (generic lookup, nothing in the type, nothing in the dict).
    PyObject* direct(PyObject* name, bool& absent) const;
    // True when the instance dict certainly holds none of the names (so the
    // type's members of those names are what self.<name> gives).
    bool lacks(std::initializer_list<PyObject*> names) const;
    // The member `name` when self.name is one of this layer's own members
    // (its type's attribute access generic, not shadowed by the instance).
    MethodEntry own_member(PyObject* name) const;

    PyObject* self() const { return self_; }

private:
    PyObject* self_;
};

// obj.a.b for the objects of a chain read again and again (an
// instruction's kernel and its compile parameters): obj.a is read each time,
// and the last a.b is remembered while it would be read the same way again,
// from the same unchanged instance dict of an unchanged type (dict and type
// version tags); anything else is read afresh.
class AttrChain {
public:
    // obj.first.second
    py::object get(PyObject* obj, PyObject* first, PyObject* second);

private:
    struct Link {
        PyObject* obj = nullptr;
        PyTypeObject* tp = nullptr;
        unsigned tp_version = 0;
        PyObject* dict = nullptr;
        std::uint64_t dict_version = 0;
        bool same() const;
        bool set(PyObject* o);
    };
    Link mid_;
    PyObject* names_[2] = {nullptr, nullptr};
    PyObject* result_ = nullptr;  // borrowed: held by mid_'s dict while it is unchanged
};

// obj.name as the interpreter gives it, straight from the instance dict
// where its lookup would find it there.
inline py::object read_attr(py::handle obj, PyObject* name) { return Instance(obj.ptr()).get(name); }

}  // namespace tvk
