// Cycle and sample arithmetic of the capture, DDR and wait instructions: the
// interpreter's own results for whatever objects the fields and compile
// parameters hold, with plain double / int64 fast paths taken only where the
// result is provably the same.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>

#include "ir.hpp"

namespace tvk::ir::cyc {

using tvk::small_int;

// Below 2**53 an int converts to a double exactly.
constexpr double kExact = 9007199254740992.0;

// An exact float, or an exact int that converts exactly; `is_float` tells which.
inline bool plain_real(PyObject* o, double& d, bool& is_float) {
    if (PyFloat_CheckExact(o)) {
        d = PyFloat_AS_DOUBLE(o);
        is_float = true;
        return true;
    }
    std::int64_t v;
    if (small_int(o, v) && std::fabs(static_cast<double>(v)) <= kExact) {
        d = static_cast<double>(v);
        is_float = false;
        return true;
    }
    return false;
}

// a * b when the interpreter would multiply two doubles (one operand a float).
inline bool plain_mul(PyObject* a, PyObject* b, double& out) {
    double x, y;
    bool fx, fy;
    if (!plain_real(a, x, fx) || !plain_real(b, y, fy) || !(fx || fy)) return false;
    out = x * y;
    return true;
}

// a / b (true division) with a non-zero divisor; for two small ints the
// interpreter's quotient is the correctly rounded one, which IEEE gives too.
inline bool plain_div(PyObject* a, PyObject* b, double& out) {
    double x, y;
    bool fx, fy;
    if (!plain_real(a, x, fx) || !plain_real(b, y, fy) || y == 0.0) return false;
    out = x / y;
    return true;
}

// An integer result: plain while it fits 64 bits, else the Python object.
struct Whole {
    std::int64_t v = 0;
    py::object o;

    bool plain() const { return !o; }
    py::object object() const { return o ? o : steal(PyLong_FromLongLong(v)); }
    void append(std::string& out) const {
        if (o)
            append_field(out, o);
        else
            num::append_int(out, v);
    }
};

inline Whole whole(py::object x) {
    Whole w;
    if (!small_int(x.ptr(), w.v)) w.o = std::move(x);
    return w;
}

// An integral double as an int (int(x) / round(x) / ceil(x) of a float):
// infinities and NaN raise the interpreter's OverflowError / ValueError.
inline Whole whole_of_integral(double r) {
    Whole w;
    if (std::fabs(r) < 4.0e18)
        w.v = static_cast<std::int64_t>(r);
    else
        w.o = steal(PyLong_FromDouble(r));
    return w;
}

inline Whole round_whole(double x) { return whole_of_integral(std::nearbyint(x)); }
inline Whole ceil_whole(double x) { return whole_of_integral(std::ceil(x)); }

// round(x) of any object, as the interpreter does it.
inline Whole round_obj(py::handle x) {
    if (PyFloat_CheckExact(x.ptr())) return round_whole(PyFloat_AS_DOUBLE(x.ptr()));
    return whole(py_round(x));
}

// math.ceil(x).
inline Whole ceil_obj(py::handle x) {
    if (PyFloat_CheckExact(x.ptr())) return ceil_whole(PyFloat_AS_DOUBLE(x.ptr()));
    return whole(py_ceil(x));
}

// round(a * b) and round(a / b) in the interpreter's arithmetic.
inline Whole round_mul(py::handle a, py::handle b) {
    double d;
    if (plain_mul(a.ptr(), b.ptr(), d)) return round_whole(d);
    return round_obj(steal(PyNumber_Multiply(a.ptr(), b.ptr())));
}
inline Whole round_div(py::handle a, py::handle b) {
    double d;
    if (plain_div(a.ptr(), b.ptr(), d)) return round_whole(d);
    return round_obj(steal(PyNumber_TrueDivide(a.ptr(), b.ptr())));
}

// The text of compile parameter `<str(chnl_type)>_srate`, interned for the
// two channel types in use.
inline py::object srate_key(py::handle chnl_type) {
    PyObject* t = chnl_type.ptr();
    if (PyUnicode_CheckExact(t)) {
        if (PyUnicode_CompareWithASCIIString(t, "da") == 0) return py::reinterpret_borrow<py::object>(TVK_NAME("da_srate"));
        if (PyUnicode_CompareWithASCIIString(t, "ad") == 0) return py::reinterpret_borrow<py::object>(TVK_NAME("ad_srate"));
    }
    py::object s = steal(PyObject_Str(t));
    return steal(PyUnicode_Concat(s.ptr(), TVK_NAME("_srate")));
}

// The sample rate of the target channel: compile parameter target_chnl_type
// (fallback "da"), then the rate under its key (fallback 8e9).
inline py::object target_srate(py::handle self) {
    static PyObject* const da = intern("da");
    py::object chnl = compile_param(self, TVK_NAME("target_chnl_type"), da);
    py::object key = srate_key(chnl);
    return compile_param(self, key.ptr(), TVK_FLOAT(8e9));
}

}  // namespace tvk::ir::cyc
