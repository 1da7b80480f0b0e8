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

    // A writable, C-contiguous view with its format; false (no error set)
    // when the object exports no such buffer.
    bool acquire_writable(py::handle obj) {
        if (PyObject_GetBuffer(obj.ptr(), &view_, PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) {
            PyErr_Clear();
            return false;
        }
        held_ = true;
        return true;
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
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace tvk
