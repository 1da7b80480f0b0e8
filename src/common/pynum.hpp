// Number and text operations on Python objects with the interpreter's exact
// semantics (types, big ints, numpy scalars and errors all as in Python),
// with fast paths for the plain cases.
#pragma once

#include "call.hpp"

namespace tvk {

// round(x) with one argument.
py::object py_round(py::handle x);
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
// Appends field_text(x) to `out`.
void append_field(std::string& out, py::handle x);

// Converting between Python ints/floats and plain values.
py::object py_int(long long v);
py::object py_float(double v);
// float(x) with the interpreter's conversion and errors.
double as_double(py::handle x);

}  // namespace tvk
