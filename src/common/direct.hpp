// Direct paths for instances of this layer's classes. Whether a call may skip
// the generic protocol (bound methods, lookups through the MRO) is decided
// from the instance's type, remembered per type until the type or one of its
// bases changes, and from the instance dict, which may shadow any method.
// Attributes are then read straight from the instance dict; anything unusual
// (a custom __getattribute__, a data descriptor of that name, a type changed
// while the call runs) goes through the interpreter's own lookup.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

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

// The C++ entry behind `descr` when it is a member made by
// ClassBuilder::method (or abstract_method), else nullptr: tells one of this
// layer's own members from a replacement without calling it.
RawFn method_entry(PyObject* descr);

// The entry of the member `name` as type `tp` resolves it (see method_entry).
inline RawFn resolved_entry(PyTypeObject* tp, PyObject* name) {
    PyObject* d = _PyType_Lookup(tp, name);
    return d ? method_entry(d) : nullptr;
}

// A value worked out from a type, kept while the type keeps its version tag.
// Holds no Python object: the type is only compared, never dereferenced
// unless it is the instance's own type.
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

// One instance on a direct path, its type's memo already checked. Every read
// checks again that the instance kept its type and the type its version, so
// Python code run in between (a field's __str__, a kernel's lookups) that
// changes either sends the later reads the generic way.
class Instance {
public:
    Instance(PyObject* self, unsigned version) : self_(self), tp_(Py_TYPE(self)), version_(version) {}

    bool intact() const { return Py_TYPE(self_) == tp_ && version_ != 0 && type_version(tp_) == version_; }

    // self.name, as PyObject_GetAttr gives it.
    py::object get(PyObject* name) const {
        if (PyObject* v = direct(name)) return py::reinterpret_borrow<py::object>(v);
        return getattr(self_, name);
    }
    // Borrowed self.name when the instance dict holds it and nothing in the
    // type overrides that; nullptr otherwise (no error set).
    PyObject* direct(PyObject* name) const;
    // True when the instance dict certainly has no entry `name` (so a method
    // of the type of that name is what self.name gives).
    bool lacks(PyObject* name) const;

    PyObject* self() const { return self_; }

private:
    PyObject* self_;
    PyTypeObject* tp_;
    unsigned version_;
};

}  // namespace tvk
