// Instance tests against a fixed set of classes, answered once per exact type
// for the length of one pass. isinstance() against an abc class goes through
// __instancecheck__ at every call, which would dominate a pass over thousands
// of instructions; the answer for a type only changes when a class is
// registered with an ABC, which a pass does not do.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "call.hpp"

namespace tvk {

// Values remembered per exact type. Holds a reference to every type it
// remembers, so an address is never reused while an entry names it.
class TypeMemo {
public:
    TypeMemo() = default;
    TypeMemo(const TypeMemo&) = delete;
    TypeMemo& operator=(const TypeMemo&) = delete;
    ~TypeMemo();

    // The value stored for `tp`, or nullptr.
    const std::uint64_t* find(PyTypeObject* tp) const;
    void put(PyTypeObject* tp, std::uint64_t value);

private:
    struct Entry {
        PyTypeObject* type;
        std::uint64_t value;
    };
    std::vector<Entry> slots_;
    std::size_t used_ = 0;
};

// True when what holds for type(obj) holds for obj: its __class__ is its type
// (no __class__ property, no __getattribute__ / __getattr__ in the way).
bool class_is_type(PyObject* obj);

class ClassTests {
public:
    // Up to 32 classes; bit k of a mask stands for classes[k]. The classes are
    // borrowed and must outlive the object.
    explicit ClassTests(std::initializer_list<PyObject*> classes);
    ClassTests(PyObject* const* classes, std::size_t n);

    // The bits of `wanted` for which isinstance(obj, classes[k]) holds; each
    // test is made at most once per type.
    std::uint32_t mask(py::handle obj, std::uint32_t wanted);
    bool is(py::handle obj, int k) { return mask(obj, std::uint32_t{1} << k) != 0; }

private:
    std::vector<PyObject*> classes_;
    TypeMemo memo_;  // per type: bits known (high half), bits set (low half)
};

}  // namespace tvk
