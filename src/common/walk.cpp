#include "walk.hpp"

namespace tvk {

void unpack2(py::handle obj, py::object& first, py::object& second) {
    PyObject* o = obj.ptr();
    if ((PyTuple_CheckExact(o) || PyList_CheckExact(o)) && Py_SIZE(o) == 2) {
        PyObject* const* items = PyTuple_CheckExact(o) ? &PyTuple_GET_ITEM(o, 0) : &PyList_GET_ITEM(o, 0);
        first = py::reinterpret_borrow<py::object>(items[0]);
        second = py::reinterpret_borrow<py::object>(items[1]);
        return;
    }
    PyObject* it = PyObject_GetIter(o);
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(o)->tp_iter == nullptr && !PySequence_Check(o)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(o)->tp_name);
        }
        throw py::error_already_set();
    }
    py::object iter = py::reinterpret_steal<py::object>(it);
    py::object got[2];
    for (int i = 0; i < 2; ++i) {
        PyObject* item = PyIter_Next(it);
        if (!item) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            throw py::error_already_set();
        }
        got[i] = py::reinterpret_steal<py::object>(item);
    }
    PyObject* extra = PyIter_Next(it);
    if (extra) {
        Py_DECREF(extra);
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw py::error_already_set();
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    first = std::move(got[0]);
    second = std::move(got[1]);
}

}  // namespace tvk
