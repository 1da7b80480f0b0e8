// `from module import *` for a module built in C++.
#pragma once

#include "call.hpp"

namespace tvk {

// Binds in `into` every name `from` exports: the names of its __all__, or,
// without one, every name of its namespace not beginning with "_". A name of
// __all__ that the module lacks fails with the interpreter's AttributeError.
void star_import(py::module_& into, const py::module_& from);

// The module `<package of m>.<name>`, e.g. sibling(m, "_ir") from
// tarvok.zelvo.kernel imports tarvok.zelvo._ir.
py::module_ import_sibling(const py::module_& m, const char* name);

}  // namespace tvk
