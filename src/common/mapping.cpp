#include "mapping.hpp"

#include "insides.hpp"

namespace tvk {

py::object mapping_get(py::handle mapping, PyObject* key, py::handle fallback) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject* v = PyDict_GetItemWithError(mapping.ptr(), key);
        if (v) return py::reinterpret_borrow<py::object>(v);
        if (PyErr_Occurred()) throw py::error_already_set();
        return py::reinterpret_borrow<py::object>(fallback);
    }
    return call_method(mapping, TVK_NAME("get"), {key, fallback});
}

py::object kwargs_from_mapping(py::handle func, py::handle mapping) {
    PyObject* m = mapping.ptr();
    if (!PyDict_Check(m)) {
        int has_keys = PyObject_HasAttr(m, TVK_NAME("keys"));
        if (!has_keys) {
            py::object fs = steal(insides::function_str(func.ptr()));
            PyErr_Format(PyExc_TypeError, "%U argument after ** must be a mapping, not %.200s", fs.ptr(),
                         Py_TYPE(m)->tp_name);
            throw py::error_already_set();
        }
    }
    py::object d = steal(PyDict_New());
    if (PyDict_Merge(d.ptr(), m, 1) < 0) throw py::error_already_set();
    return d;
}

void add_keyword(py::handle func, py::handle kwargs, PyObject* name, py::handle value) {
    int has = PyDict_Contains(kwargs.ptr(), name);
    if (has < 0) throw py::error_already_set();
    if (has) {
        py::object fs = steal(insides::function_str(func.ptr()));
        PyErr_Format(PyExc_TypeError, "%U got multiple values for keyword argument '%S'", fs.ptr(), name);
        throw py::error_already_set();
    }
    if (PyDict_SetItem(kwargs.ptr(), name, value.ptr()) < 0) throw py::error_already_set();
}

}  // namespace tvk
