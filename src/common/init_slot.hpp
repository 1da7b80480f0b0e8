// Constructing an instance of a class whose __init__ is one of this layer's
// methods: the interpreter's init slot looks __init__ up and calls it through
// its generic call with self put in front; the slot given here does the same
// lookup and calls the method's entry straight away.
#pragma once

#include "call.hpp"

namespace tvk {

// Gives `cls` (made by ClassBuilder, with or without an __init__ of its own)
// the direct init slot while it has the interpreter's generic one. Any
// __init__ assigned later, to it or a base, puts the interpreter's slot back.
void direct_init_slot(py::handle cls);

// cls() with no argument: for a class whose metaclass calls as type does
// and whose instances object's __new__ makes, the steps of that call taken
// straight (allocation, then the init slot); any other class is called.
py::object new_instance(PyObject* cls);

}  // namespace tvk
