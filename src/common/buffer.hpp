// A view of an object's exported buffer, released on every way out.
#pragma once

#include <cstring>

#include "call.hpp"

namespace tvk {

class BufferView {
public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (held_) PyBuffer_Release(&view_);
    }

    // A view of the buffer `flags` ask for (PyBUF_*); false (no error set)
    // when the object exports no such buffer.
    bool try_acquire(py::handle obj, int flags) {
        if (!get(obj, flags)) {
            PyErr_Clear();
            return false;
        }
        return true;
    }
    // The same, raising the exporter's error when there is no such buffer.
    void acquire(py::handle obj, int flags) {
        if (!get(obj, flags)) throw py::error_already_set();
    }
    // A writable, C-contiguous view with its format.
    bool acquire_writable(py::handle obj) {
        return try_acquire(obj, PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS);
    }
    const Py_buffer& view() const { return view_; }
    // A one-dimensional array of native items of struct format `code` and
    // `itemsize` bytes ("h", 2: signed 16-bit integers).
    bool is_vector_of(const char* code, Py_ssize_t itemsize) const {
        if (!held_ || view_.ndim != 1 || view_.itemsize != itemsize || !view_.format) return false;
        const char* f = view_.format;
        if (*f == '@' || *f == '=' || *f == '<') ++f;
        return std::strcmp(f, code) == 0;
    }

private:
    bool get(py::handle obj, int flags) {
        if (held_) {
            PyBuffer_Release(&view_);
            held_ = false;
        }
        if (PyObject_GetBuffer(obj.ptr(), &view_, flags) < 0) return false;
        held_ = true;
        return true;
    }
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace tvk
