// Walking the objects the passes hand each other: iteration, list building
// and unpacking with the interpreter's semantics, fast where the common case
// allows it.
#pragma once

#include "call.hpp"

namespace tvk {

// `for item in iterable: f(item)`. A list is read by position with its size
// checked at every step, as its own iterator does, so a list changed on the
// way is neither overrun nor kept alive item by item; f gets an owned
// reference's handle.
template <class F>
void for_each(py::handle iterable, F&& f) {
    PyObject* o = iterable.ptr();
    if (PyList_CheckExact(o)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i) {
            py::object item = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(o, i));
            f(py::handle(item));
        }
        return;
    }
    py::object it = steal(PyObject_GetIter(o));
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        py::object item = py::reinterpret_steal<py::object>(raw);
        f(py::handle(item));
    }
    if (PyErr_Occurred()) throw py::error_already_set();
}

// list.extend(iterable) onto an exact list, without the method call.
inline void extend(py::handle list, py::handle iterable) {
    if (PyList_CheckExact(iterable.ptr())) {
        Py_ssize_t n = PyList_GET_SIZE(list.ptr());
        if (PyList_SetSlice(list.ptr(), n, n, iterable.ptr()) < 0) throw py::error_already_set();
        return;
    }
    for_each(iterable, [&](py::handle item) {
        if (PyList_Append(list.ptr(), item.ptr()) < 0) throw py::error_already_set();
    });
}

inline void append(py::handle list, py::handle item) {
    if (PyList_Append(list.ptr(), item.ptr()) < 0) throw py::error_already_set();
}

// `a, b = obj`, with the interpreter's errors for the wrong count and for an
// object that cannot be unpacked.
void unpack2(py::handle obj, py::object& first, py::object& second);

}  // namespace tvk
