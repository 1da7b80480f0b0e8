// Arguments that must be exactly of a built-in type, where an instance of a
// subclass gets one more sentence so the caller sees why a value that looks
// right was refused.
#pragma once

#include "call.hpp"

namespace tvk {

// Returns when `obj` is exactly `type`. Otherwise raises TypeError
// "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", and
// for an instance of a subclass of `type` appends
// " Subclasses of built-in types are refused."
void check_exact_builtin(py::handle obj, PyTypeObject* type, const char* arg_name);

}  // namespace tvk
