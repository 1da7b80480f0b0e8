// __all__ of a module.
#include "module.hpp"

namespace tvk {

void set_all(py::module_& m, std::initializer_list<const char*> names, bool defined_only) {
    py::list all;
    for (const char* name : names)
        if (!defined_only || py::hasattr(m, name)) all.append(py::str(name));
    m.attr("__all__") = all;
}

}  // namespace tvk
