#include "imports.hpp"

#include <pybind11/pybind11.h>

#include <string>

namespace tvk {

void star_import(py::module_& into, const py::module_& from) {
    PyObject* all = PyObject_GetAttrString(from.ptr(), "__all__");
    if (all) {
        py::object names = steal(all);
        py::object it = steal(PyObject_GetIter(names.ptr()));
        while (PyObject* n = PyIter_Next(it.ptr())) {
            py::object name = steal(n);
            py::object value = steal(PyObject_GetAttr(from.ptr(), name.ptr()));
            if (PyObject_SetAttr(into.ptr(), name.ptr(), value.ptr()) < 0) throw py::error_already_set();
        }
        if (PyErr_Occurred()) throw py::error_already_set();
        return;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    PyObject* dict = PyModule_GetDict(from.ptr());  // borrowed
    if (!dict) throw py::error_already_set();
    py::object items = steal(PyDict_Items(dict));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        PyObject* pair = PyList_GET_ITEM(items.ptr(), i);
        PyObject* name = PyTuple_GET_ITEM(pair, 0);
        if (!PyUnicode_Check(name)) continue;
        if (PyUnicode_GET_LENGTH(name) > 0 && PyUnicode_READ_CHAR(name, 0) == '_') continue;
        if (PyObject_SetAttr(into.ptr(), name, PyTuple_GET_ITEM(pair, 1)) < 0) throw py::error_already_set();
    }
}

py::module_ import_sibling(const py::module_& m, const char* name) {
    std::string full = py::str(m.attr("__name__"));
    auto dot = full.rfind('.');
    std::string package = dot == std::string::npos ? std::string() : full.substr(0, dot + 1);
    return py::module_::import((package + name).c_str());
}

}  // namespace tvk
