// What a module's top-level `from X import *` / `import X` would bind.
#pragma once

#include "call.hpp"

namespace tvk {

// Binds every name of `from_module`'s __all__ as an attribute of `m` and
// returns the imported module.
py::module_ star_import(py::module_& m, const char* from_module);

// A class the module depends on, looked up once at init; the module keeps the
// reference (the imported module holds the class for the process anyway).
PyObject* import_class(const py::module_& from, const char* name);

}  // namespace tvk
