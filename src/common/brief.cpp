#include "brief.hpp"

namespace tvk {

py::object brief_repr(py::handle value, Py_ssize_t limit) {
    py::object r = steal(PyObject_Repr(value.ptr()));
    if (limit < 4 || PyUnicode_GET_LENGTH(r.ptr()) <= limit) return r;
    py::object head = steal(PyUnicode_Substring(r.ptr(), 0, limit - 3));
    return steal(PyUnicode_FromFormat("%U...", head.ptr()));
}

}  // namespace tvk
