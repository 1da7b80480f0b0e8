// Making instances of data records without running their generated __init__
// as Python code, for modules that make many records.
#pragma once

#include "call.hpp"

namespace tvk {

// Trusts the __init__ that dataclasses generated for `cls` (a class built by
// build_dataclass, every field an __init__ parameter, not frozen). Call once
// at module init; nothing happens for a class that does not qualify.
void trust_dataclass_init(py::handle cls);

// cls(**dict(zip(kwnames, values))), kwnames being a tuple of interned names.
// When cls still takes type's call and object's __new__, its __init__ is a
// trusted one, and the keywords name every parameter of it, the instance is
// made as that __init__ makes it: each field set in parameter order through
// setattr, then self.__post_init__() when the __init__ calls it. Any other
// class (patched, subclassed with its own __init__ ...) is simply called.
py::object new_dataclass(py::handle cls, PyObject* kwnames, PyObject* const* values);

}  // namespace tvk
