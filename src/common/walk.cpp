#include "walk.hpp"

namespace tvk {

void unpack(py::handle obj, py::object* out, std::size_t n) {
    PyObject* o = obj.ptr();
    if ((PyTuple_CheckExact(o) || PyList_CheckExact(o)) && static_cast<std::size_t>(Py_SIZE(o)) == n) {
        PyObject* const* items = PyTuple_CheckExact(o) ? &PyTuple_GET_ITEM(o, 0) : &PyList_GET_ITEM(o, 0);
        for (std::size_t i = 0; i < n; ++i) out[i] = py::reinterpret_borrow<py::object>(items[i]);
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
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* item = PyIter_Next(it);
        if (!item) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", n, i);
            throw py::error_already_set();
        }
        out[i] = py::reinterpret_steal<py::object>(item);
    }
    PyObject* extra = PyIter_Next(it);
    if (extra) {
        Py_DECREF(extra);
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", n);
        throw py::error_already_set();
    }
    if (PyErr_Occurred()) throw py::error_already_set();
}

}  // namespace tvk
