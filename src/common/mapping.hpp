// Mappings read and merged the way the interpreter does it.
#pragma once

#include "call.hpp"

namespace tvk {

// mapping.get(key, fallback), without the method call for a plain dict.
py::object mapping_get(py::handle mapping, PyObject* key, py::handle fallback);

// The keyword dictionary of a call `func(..., **mapping)`: a new dict with
// mapping's items (a mapping that is not a dict is read through keys()), or
// the interpreter's TypeError "<func>() argument after ** must be a mapping,
// not <type>".
py::object kwargs_from_mapping(py::handle func, py::handle mapping);

// Adds `name=value` to such a dictionary, or raises the interpreter's
// TypeError "<func>() got multiple values for keyword argument '<name>'".
void add_keyword(py::handle func, py::handle kwargs, PyObject* name, py::handle value);

}  // namespace tvk
