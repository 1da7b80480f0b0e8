#include "samples.hpp"

namespace tvk {

namespace {

// A C-contiguous buffer of doubles, released on scope exit.
struct DoubleView {
    Py_buffer view{};
    explicit DoubleView(py::handle array) {
        if (PyObject_GetBuffer(array.ptr(), &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0)
            throw py::error_already_set();
    }
    ~DoubleView() { PyBuffer_Release(&view); }
    DoubleView(const DoubleView&) = delete;
    DoubleView& operator=(const DoubleView&) = delete;
};

}  // namespace

Py_ssize_t first_outside(py::handle samples, double lo, double hi) {
    py::module_ np = py::module_::import("numpy");
    py::object doubles = np.attr("ascontiguousarray")(samples, np.attr("float64"));
    DoubleView v(doubles);
    if (v.view.itemsize != static_cast<Py_ssize_t>(sizeof(double)))
        throw std::runtime_error("samples did not convert to 64-bit floats");
    const auto n = static_cast<std::size_t>(v.view.len / v.view.itemsize);
    std::size_t at = core::first_outside(static_cast<const double*>(v.view.buf), n, lo, hi);
    return at == n ? -1 : static_cast<Py_ssize_t>(at);
}

}  // namespace tvk
