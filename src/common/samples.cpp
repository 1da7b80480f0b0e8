#include "samples.hpp"

#include <pybind11/pybind11.h>

#include <cfloat>
#include <cmath>
#include <cstring>

#include "brief.hpp"
#include "buffer.hpp"
#include "pynum.hpp"
#include "pyops.hpp"

namespace tvk {

Py_ssize_t first_outside(py::handle samples, double lo, double hi) {
    py::module_ np = py::module_::import("numpy");
    py::object doubles = np.attr("ascontiguousarray")(samples, np.attr("float64"));
    BufferView v;
    v.acquire(doubles, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT);
    const Py_buffer& b = v.view();
    if (b.itemsize != static_cast<Py_ssize_t>(sizeof(double)))
        throw std::runtime_error("samples did not convert to 64-bit floats");
    const auto n = static_cast<std::size_t>(b.len / b.itemsize);
    std::size_t at = core::first_outside(static_cast<const double*>(b.buf), n, lo, hi);
    return at == n ? -1 : static_cast<Py_ssize_t>(at);
}

namespace {

// The range of scaled samples the cast to `dtype` keeps as they are: a
// fraction is truncated toward zero, so an integer type takes everything
// above min - 1 and below max + 1; a float type takes its finite range.
// Limits as 64-bit floats; `bounded` for an integer type.
struct Fit {
    double lo = -DBL_MAX, hi = DBL_MAX;
    bool bounded = false;
};

bool kind_is(py::handle kind, const char* k) { return PyUnicode_CompareWithASCIIString(kind.ptr(), k) == 0; }

Fit fit_of(py::module_& np, py::handle dtype) {
    py::object kind = getattr(dtype, TVK_NAME("kind"));
    Fit f;
    if (kind_is(kind, "i") || kind_is(kind, "u")) {
        py::object info = np.attr("iinfo")(dtype);
        double min = as_double(getattr(info, TVK_NAME("min")));
        double max = as_double(getattr(info, TVK_NAME("max")));
        // min - 1 may round to min itself (64-bit types): then min is the bound.
        f.lo = min - 1.0 == min ? min : std::nextafter(min - 1.0, 0.0);
        f.hi = std::nextafter(max + 1.0, 0.0);
        f.bounded = true;
    } else if (kind_is(kind, "f")) {
        double max = as_double(getattr(np.attr("finfo")(dtype), TVK_NAME("max")));
        f.lo = -max;
        f.hi = max;
    }
    return f;
}

}  // namespace

py::object unfit_sample(py::handle who, py::handle samples, py::handle scaled, py::handle dtype_config) {
    py::object scaled_type = lookup_attr(scaled, TVK_NAME("dtype"));
    if (!scaled_type) return py::object();
    py::object kind = getattr(scaled_type, TVK_NAME("kind"));
    if (PyUnicode_GET_LENGTH(kind.ptr()) != 1 ||
        !std::strchr("biuf", static_cast<char>(PyUnicode_READ_CHAR(kind.ptr(), 0))))
        return py::object();
    py::module_ np = py::module_::import("numpy");
    py::object dtype = np.attr("dtype")(dtype_config);
    Fit fit = fit_of(np, dtype);
    Py_ssize_t at = first_outside(scaled, fit.lo, fit.hi);
    if (at < 0) return py::object();
    py::object sample = np.attr("ravel")(samples)[py::int_(at)];
    double value = as_double(np.attr("ravel")(scaled)[py::int_(at)]);
    py::object head = steal(PyUnicode_FromFormat("%U holds the sample %U at position %zd", who.ptr(),
                                                 brief_repr(steal(PyNumber_Float(sample.ptr()))).ptr(), at));
    if (!std::isfinite(value) || !fit.bounded)
        return steal(PyUnicode_FromFormat("%U: envelope memory takes finite samples only", head.ptr()));
    py::object info = np.attr("iinfo")(dtype);
    return steal(PyUnicode_FromFormat("%U: scaled by envelope_quant it is %U, outside %S (%S to %S)", head.ptr(),
                                      brief_repr(py_float(value)).ptr(), dtype.ptr(),
                                      getattr(info, TVK_NAME("min")).ptr(), getattr(info, TVK_NAME("max")).ptr()));
}

}  // namespace tvk
