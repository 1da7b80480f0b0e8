// Sample arrays checked before they become instructions or memory words: the
// first sample that is not finite or lies outside a range.
#pragma once

#include <cstddef>

#include "call.hpp"

namespace tvk {

namespace core {

// The first of `n` values that is NaN or lies outside [lo, hi] (so an
// infinity too when the bounds are finite); `n` when every value is inside.
inline std::size_t first_outside(const double* v, std::size_t n, double lo, double hi) {
    for (std::size_t i = 0; i < n; ++i)
        if (!(v[i] >= lo && v[i] <= hi)) return i;  // NaN fails both tests
    return n;
}

}  // namespace core

// The position, in C order, of the first sample of the real numeric array
// `samples` that is not finite or lies outside [lo, hi], read as 64-bit
// floats; -1 when there is none. Arrays of other kinds (complex, objects) are
// the caller's to refuse beforehand: numpy's conversion decides for them.
Py_ssize_t first_outside(py::handle samples, double lo, double hi);

}  // namespace tvk
