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

}  // namespace tvk
