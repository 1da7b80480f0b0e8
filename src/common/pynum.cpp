#include "pynum.hpp"

#include <cmath>

#include "keep.hpp"
#include "numfmt.hpp"

namespace tvk {

namespace {
PyObject* builtin(const char* name) {
    PyObject* b = PyEval_GetBuiltins();  // borrowed
    PyObject* f = b ? PyDict_GetItemString(b, name) : nullptr;
    if (!f) {
        PyErr_Format(PyExc_RuntimeError, "builtin %s is missing", name);
        throw py::error_already_set();
    }
    return f;
}
}  // namespace

py::object py_round(py::handle x) {
    PyObject* o = x.ptr();
    if (PyLong_CheckExact(o)) return py::reinterpret_borrow<py::object>(x);
    if (PyFloat_CheckExact(o)) {
        // PyLong_FromDouble raises the interpreter's OverflowError / ValueError
        // for infinities and NaN.
        return steal(PyLong_FromDouble(num::round_half_even(PyFloat_AS_DOUBLE(o))));
    }
    return steal(PyObject_CallOneArg(builtin("round"), o));
}

py::object py_floordiv(py::handle x, py::handle y) { return steal(PyNumber_FloorDivide(x.ptr(), y.ptr())); }

py::object py_mod(py::handle x, py::handle y) { return steal(PyNumber_Remainder(x.ptr(), y.ptr())); }

py::object py_format(py::handle x, const char* spec) {
    py::object s = steal(PyUnicode_FromString(spec));
    return steal(PyObject_Format(x.ptr(), s.ptr()));
}

py::object py_str(py::handle x) { return steal(PyObject_Str(x.ptr())); }

py::object py_hex(py::handle x) { return steal(PyNumber_ToBase(x.ptr(), 16)); }

void append_field(std::string& out, py::handle x) {
    PyObject* o = x.ptr();
    if (PyUnicode_CheckExact(o)) {
        Py_ssize_t n;
        const char* s = PyUnicode_AsUTF8AndSize(o, &n);
        if (!s) throw py::error_already_set();
        out.append(s, static_cast<size_t>(n));
        return;
    }
    if (PyFloat_CheckExact(o)) {
        num::append_float_repr(out, PyFloat_AS_DOUBLE(o));
        return;
    }
    std::int64_t v;
    if (small_int(o, v)) {
        num::append_int(out, v);
        return;
    }
    static PyObject* const empty = keep_new(PyUnicode_FromString(""));
    py::object s = steal(PyObject_Format(o, empty));
    Py_ssize_t n;
    const char* c = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
    if (!c) throw py::error_already_set();
    out.append(c, static_cast<size_t>(n));
}

bool wide_small_int(PyObject* o, std::int64_t& v) {
    int overflow = 0;
    long long r = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow) return false;
    if (r == -1 && PyErr_Occurred()) throw py::error_already_set();
    v = r;
    return true;
}

py::object py_ceil(py::handle x) {
    if (PyFloat_CheckExact(x.ptr())) return steal(PyLong_FromDouble(std::ceil(PyFloat_AS_DOUBLE(x.ptr()))));
    static PyObject* const ceil_fn = [] {
        PyObject* math = PyImport_ImportModule("math");
        if (!math) throw py::error_already_set();
        PyObject* f = PyObject_GetAttrString(math, "ceil");
        Py_DECREF(math);
        if (!f) throw py::error_already_set();
        return f;
    }();
    return steal(PyObject_CallOneArg(ceil_fn, x.ptr()));
}

namespace {
void append_utf8(std::string& out, PyObject* s) {
    Py_ssize_t n;
    const char* c = PyUnicode_AsUTF8AndSize(s, &n);
    if (!c) throw py::error_already_set();
    out.append(c, static_cast<size_t>(n));
}
}  // namespace

void append_str(std::string& out, py::handle x) {
    PyObject* o = x.ptr();
    if (PyUnicode_CheckExact(o) || PyFloat_CheckExact(o) || PyLong_CheckExact(o)) {
        append_field(out, x);
        return;
    }
    py::object s = steal(PyObject_Str(o));
    append_utf8(out, s.ptr());
}

void append_round(std::string& out, double x) {
    double r = num::round_half_even(x);
    if (num::fits_int64(r)) {
        num::append_int(out, static_cast<std::int64_t>(r));
        return;
    }
    // Infinity / NaN raise here with the interpreter's texts.
    py::object v = steal(PyLong_FromDouble(r));
    py::object s = steal(PyObject_Str(v.ptr()));
    append_utf8(out, s.ptr());
}

void append_binary(std::string& out, py::handle x, int width) {
    PyObject* o = x.ptr();
    if (PyLong_CheckExact(o)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (!overflow) {
            if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
            num::append_binary(out, v, width);
            return;
        }
    }
    std::string spec = "0" + std::to_string(width) + "b";
    py::object s = py_format(x, spec.c_str());
    append_utf8(out, s.ptr());
}

void append_hex(std::string& out, py::handle x) {
    PyObject* o = x.ptr();
    std::int64_t v;
    if (small_int(o, v)) {
        out += num::hex(v);
        return;
    }
    py::object s = py_hex(x);
    append_utf8(out, s.ptr());
}

void append_hex_padded(std::string& out, py::handle x, int width, bool upper) {
    std::int64_t v;
    if (small_int(x.ptr(), v)) {
        num::append_hex_padded(out, v, width, upper);
        return;
    }
    py::object spec = steal(PyUnicode_FromFormat("0%d%c", width, upper ? 'X' : 'x'));
    py::object s = steal(PyObject_Format(x.ptr(), spec.ptr()));
    append_utf8(out, s.ptr());
}

void append_hex_zfill(std::string& out, py::handle x, int width) {
    std::int64_t v;
    if (small_int(x.ptr(), v)) {
        num::append_hex_zfill(out, v, width);
        return;
    }
    py::object h = steal(PyNumber_ToBase(x.ptr(), 16));
    Py_ssize_t n;
    const char* c = PyUnicode_AsUTF8AndSize(h.ptr(), &n);
    if (!c) throw py::error_already_set();
    // hex() text always starts "0x" or "-0x"; drop two characters, then
    // zfill (a leading sign would stay in front, but none is left here).
    const char* body = n >= 2 ? c + 2 : c + n;
    Py_ssize_t len = n >= 2 ? n - 2 : 0;
    bool sign = len > 0 && (body[0] == '-' || body[0] == '+');
    if (sign) out += body[0];
    if (len < width) out.append(static_cast<size_t>(width - len), '0');
    out.append(body + (sign ? 1 : 0), static_cast<size_t>(len - (sign ? 1 : 0)));
}

std::string str_text(py::handle x) {
    std::string s;
    append_str(s, x);
    return s;
}

std::string repr_text(py::handle x) {
    std::string s;
    py::object r = steal(PyObject_Repr(x.ptr()));
    append_utf8(s, r.ptr());
    return s;
}

std::string field_text(py::handle x) {
    std::string s;
    append_field(s, x);
    return s;
}

py::object py_int(long long v) { return steal(PyLong_FromLongLong(v)); }

py::object py_float(double v) { return steal(PyFloat_FromDouble(v)); }

double as_double(py::handle x) {
    double d = PyFloat_AsDouble(x.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return d;
}

}  // namespace tvk
