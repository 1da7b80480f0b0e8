// copy.copy(x) with a direct path for plain instances.
#pragma once

#include "call.hpp"

namespace tvk {

// The same object copy.copy(x) gives. An instance of a plain heap class
// (object's __new__, attribute access and reduce protocol, no __copy__,
// __setstate__, slots or copyreg entry), none of whose instance attributes
// is a member of that protocol, is copied directly: a new instance whose
// __dict__ is updated from x's; anything else goes through copy.copy itself.
py::object shallow_copy(py::handle x);

}  // namespace tvk
