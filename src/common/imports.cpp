#include "imports.hpp"

namespace tvk {

py::module_ star_import(py::module_& m, const char* from_module) {
    py::module_ src = py::module_::import(from_module);
    py::object names = src.attr("__all__");
    for (py::handle name : names) {
        if (PyObject_SetAttr(m.ptr(), name.ptr(), getattr(src, name.ptr()).ptr()) < 0)
            throw py::error_already_set();
    }
    return src;
}

PyObject* import_class(const py::module_& from, const char* name) {
    return py::object(from.attr(name)).release().ptr();
}

}  // namespace tvk
