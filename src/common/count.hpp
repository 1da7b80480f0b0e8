// Integer sums and comparisons of Python values (cycle counts and the like)
// with a plain int64 fast path. A value that is not an exact int fitting 64
// bits, or a result that would overflow, is carried as the Python object and
// computed with the interpreter's own arithmetic, so big ints, floats and
// other number types give exactly what Python gives.
#pragma once

#include <cstdint>
#include <utility>

#include "pynum.hpp"

namespace tvk {

class Count {
public:
    Count() = default;
    explicit Count(std::int64_t v) : v_(v) {}

    static Count of(py::object o) {
        Count c;
        if (!small_int(o.ptr(), c.v_)) c.o_ = std::move(o);
        return c;
    }

    bool plain() const { return !o_; }
    // The plain value; meaningful only when plain().
    std::int64_t value() const { return v_; }
    py::object object() const { return o_ ? o_ : steal(PyLong_FromLongLong(v_)); }

    friend Count operator+(const Count& a, const Count& b) {
        std::int64_t r;
        if (a.plain() && b.plain() && !__builtin_add_overflow(a.v_, b.v_, &r)) return Count(r);
        return of(steal(PyNumber_Add(a.object().ptr(), b.object().ptr())));
    }
    friend Count operator-(const Count& a, const Count& b) {
        std::int64_t r;
        if (a.plain() && b.plain() && !__builtin_sub_overflow(a.v_, b.v_, &r)) return Count(r);
        return of(steal(PyNumber_Subtract(a.object().ptr(), b.object().ptr())));
    }
    friend bool operator>(const Count& a, const Count& b) { return compare(a, b, Py_GT); }
    friend bool operator<(const Count& a, const Count& b) { return compare(a, b, Py_LT); }
    friend bool operator>=(const Count& a, const Count& b) { return compare(a, b, Py_GE); }
    friend bool operator<=(const Count& a, const Count& b) { return compare(a, b, Py_LE); }

private:
    static bool compare(const Count& a, const Count& b, int op) {
        if (a.plain() && b.plain()) {
            switch (op) {
                case Py_GT: return a.v_ > b.v_;
                case Py_LT: return a.v_ < b.v_;
                case Py_GE: return a.v_ >= b.v_;
                default: return a.v_ <= b.v_;
            }
        }
        int r = PyObject_RichCompareBool(a.object().ptr(), b.object().ptr(), op);
        if (r < 0) throw py::error_already_set();
        return r != 0;
    }

    std::int64_t v_ = 0;
    py::object o_;
};

// A cycle count read from an object's attribute (an instruction's
// wait_time, overhead ...).
inline Count cycles(py::handle obj, PyObject* name) { return Count::of(getattr(obj, name)); }

}  // namespace tvk
