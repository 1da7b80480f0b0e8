// Unpacking an iterable into a fixed number of names, as `a, b = value` does,
// with the interpreter's messages.
#pragma once

#include "call.hpp"

namespace tvk {

// Fills out[0..n) from `value`: a list or tuple of exactly n items directly,
// anything else through its iterator. Errors: "cannot unpack non-iterable
// %.200s object", "not enough values to unpack (expected %d, got %d)", "too
// many values to unpack (expected %d)".
void unpack(py::handle value, py::object* out, int n);

}  // namespace tvk
