// A short text of a value, for messages that quote what they refuse.
#pragma once

#include "call.hpp"

namespace tvk {

// repr(value), cut to its first `limit` characters with "..." in place of
// the rest.
py::object brief_repr(py::handle value, Py_ssize_t limit = 40);

}  // namespace tvk
