#include "unpack.hpp"

namespace tvk {

void unpack(py::handle value, py::object* out, int n) {
    PyObject* v = value.ptr();
    if ((PyTuple_CheckExact(v) || PyList_CheckExact(v)) && PySequence_Fast_GET_SIZE(v) == n) {
        PyObject** items = PySequence_Fast_ITEMS(v);
        for (int i = 0; i < n; ++i) out[i] = py::reinterpret_borrow<py::object>(items[i]);
        return;
    }
    PyObject* it = PyObject_GetIter(v);
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(v)->tp_iter == nullptr && !PySequence_Check(v)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(v)->tp_name);
        }
        throw py::error_already_set();
    }
    py::object iter = py::reinterpret_steal<py::object>(it);
    for (int i = 0; i < n; ++i) {
        PyObject* w = PyIter_Next(it);
        if (!w) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %d, got %d)", n, i);
            throw py::error_already_set();
        }
        out[i] = py::reinterpret_steal<py::object>(w);
    }
    PyObject* w = PyIter_Next(it);
    if (!w) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return;
    }
    Py_DECREF(w);
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %d)", n);
    throw py::error_already_set();
}

}  // namespace tvk
