// Binding a module's classes and its __all__.
#include "module.hpp"

#include <pybind11/pybind11.h>

namespace tvk {

PyObject* publish(py::module_& m, const char* name, py::object cls) {
    if (PyModule_AddObjectRef(m.ptr(), name, cls.ptr()) < 0) throw py::error_already_set();
    return keep(cls);
}

void set_all(py::module_& m, std::initializer_list<const char*> names, bool defined_only) {
    py::list all;
    for (const char* name : names)
        if (!defined_only || py::hasattr(m, name)) all.append(py::str(name));
    m.attr("__all__") = all;
}

}  // namespace tvk
