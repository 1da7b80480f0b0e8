// Walking the objects the passes hand each other: iteration, list building
// and unpacking with the interpreter's semantics, fast where the common case
// allows it.
#pragma once

#include <array>
#include <cstddef>
#include <utility>

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

// `out[0], ..., out[n - 1] = obj`, with the interpreter's errors for the
// wrong count and for an object that cannot be unpacked (`out` may be
// partly filled when it fails).
void unpack(py::handle obj, py::object* out, std::size_t n);
inline void unpack2(py::handle obj, py::object& first, py::object& second) {
    py::object got[2];
    unpack(obj, got, 2);
    first = std::move(got[0]);
    second = std::move(got[1]);
}
template <std::size_t N>
std::array<py::object, N> unpack(py::handle obj) {
    std::array<py::object, N> out;
    unpack(obj, out.data(), N);
    return out;
}

// tuple(items), and tuple(iterable): a snapshot that code run by the items
// cannot lengthen while it is walked.
inline py::object tuple_of(std::initializer_list<py::handle> items) {
    py::object t = steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (auto h : items) PyTuple_SET_ITEM(t.ptr(), i++, Py_NewRef(h.ptr()));
    return t;
}
inline py::object as_tuple(py::handle iterable) { return steal(PySequence_Tuple(iterable.ptr())); }

}  // namespace tvk
