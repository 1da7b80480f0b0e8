// Number and text operations on Python objects with the interpreter's exact
// semantics (types, big ints, numpy scalars and errors all as in Python),
// with fast paths for the plain cases.
#pragma once

#include <cstdint>
#include <string>

#include "call.hpp"
#include "insides.hpp"

namespace tvk {

// round(x) with one argument.
py::object py_round(py::handle x);
// math.ceil(x) (a float's infinities and NaN raise the interpreter's errors).
py::object py_ceil(py::handle x);
// x // y and x % y through the number protocol.
py::object py_floordiv(py::handle x, py::handle y);
py::object py_mod(py::handle x, py::handle y);
// format(x, spec); str(x); hex(x).
py::object py_format(py::handle x, const char* spec = "");
py::object py_str(py::handle x);
py::object py_hex(py::handle x);
// Text of a field in an assembly line: format(x, ""), with fast paths for
// str, int and float.
std::string field_text(py::handle x);
// str(x) / repr(x) as UTF-8 text, for messages.
std::string str_text(py::handle x);
std::string repr_text(py::handle x);
// Appends field_text(x) to `out`.
void append_field(std::string& out, py::handle x);
// Appends str(x) (the same as append_field for str, int and float).
void append_str(std::string& out, py::handle x);
// Appends str(round(x)) for a float x; infinities and NaN raise the
// interpreter's OverflowError / ValueError, big values keep all digits.
void append_round(std::string& out, double x);
// Appends format(x, "0<width>b") / hex(x), with a fast path for exact ints.
void append_binary(std::string& out, py::handle x, int width);
void append_hex(std::string& out, py::handle x);
// Appends format(x, "0<width>x") / "0<width>X" (the interpreter's errors for
// a value that has no such format).
void append_hex_padded(std::string& out, py::handle x, int width, bool upper);
// Appends hex(x)[2:].zfill(width) (hex()'s TypeError for a non-integer).
void append_hex_zfill(std::string& out, py::handle x, int width);

// An exact int (not a subclass) that fits 64 bits, stored in `v`.
bool wide_small_int(PyObject* o, std::int64_t& v);
inline bool small_int(PyObject* o, std::int64_t& v) {
    if (!PyLong_CheckExact(o)) return false;
    // Ints of at most one digit, the common case, read in place.
    if (insides::one_digit_int(o, v)) return true;
    return wide_small_int(o, v);
}

// Converting between Python ints/floats and plain values.
py::object py_int(long long v);
py::object py_float(double v);
// float(x) with the interpreter's conversion and errors.
double as_double(py::handle x);

}  // namespace tvk
