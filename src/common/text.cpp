#include "text.hpp"

namespace tvk {

std::string text_of(py::handle str) {
    if (!PyUnicode_Check(str.ptr())) {
        PyErr_Format(PyExc_TypeError, "expected str, got %.200s", Py_TYPE(str.ptr())->tp_name);
        throw py::error_already_set();
    }
    Py_ssize_t n = 0;
    // The cached UTF-8 form when there is one; surrogates need the codec.
    if (const char* c = PyUnicode_AsUTF8AndSize(str.ptr(), &n)) return std::string(c, static_cast<size_t>(n));
    PyErr_Clear();
    py::object b = steal(PyUnicode_AsEncodedString(str.ptr(), "utf-8", "surrogatepass"));
    return std::string(PyBytes_AS_STRING(b.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(b.ptr())));
}

py::object str_of(const std::string& text) {
    return steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass"));
}

}  // namespace tvk
