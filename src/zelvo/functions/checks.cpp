// Argument checks of the kernel functions. A kernel's values reach the
// library unchecked by the front-end; what cannot make a sound instruction is
// refused here, naming the function and the argument, so the user reads it as
// a parse error at the kernel line instead of a failure deep in a pass.
#include <cfloat>
#include <cmath>

#include "functions.hpp"

#include "common/brief.hpp"
#include "common/samples.hpp"
#include "common/walk.hpp"

namespace tvk::functions {

namespace {

constexpr long kFrames = 32;       // the frame field holds one bit per frame
constexpr long kFreqNumbers = 8;   // the frequency mask of a capture holds one bit per number

[[noreturn]] void refuse(PyObject* type, const char* fn, const char* arg, const char* must, py::handle v,
                         bool by_type) {
    if (by_type)
        PyErr_Format(type, "%s() argument '%s' must %s, not %.200s", fn, arg, must, Py_TYPE(v.ptr())->tp_name);
    else
        PyErr_Format(type, "%s() argument '%s' must %s, got %U", fn, arg, must, brief_repr(v).ptr());
    throw py::error_already_set();
}

// A number the instruction can hold: no text, array or complex value, and
// something float() takes without a guess.
bool numeric(PyObject* o) {
    if (PyFloat_Check(o) || PyLong_Check(o)) return true;
    if (o == Py_None || PyUnicode_Check(o) || PyBytes_Check(o) || PyByteArray_Check(o) || PyComplex_Check(o))
        return false;
    if (is_instance(o, reg().ndarray) || is_instance(o, reg().np_complex)) return false;
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    return nb && (nb->nb_index || nb->nb_float);
}

// What a refusal says the argument must be or hold: for a value of the
// wrong type, and for one of the right type out of range.
struct Must {
    const char* type;
    const char* value;
};
constexpr Must kReal{"be a real number", "be a finite number"};
constexpr Must kReals{"hold real numbers", "hold finite numbers"};
constexpr Must kIndex{"be a frame index, an integer from 0 to 31", "be a frame index from 0 to 31"};
constexpr Must kIndices{"hold frame indices, integers from 0 to 31", "hold frame indices from 0 to 31"};

double as_real(const char* fn, const char* arg, py::handle v, const Must& must) {
    PyObject* o = v.ptr();
    if (!numeric(o)) refuse(PyExc_TypeError, fn, arg, must.type, v, true);
    double d;
    if (PyFloat_Check(o)) {
        d = PyFloat_AS_DOUBLE(o);
    } else if (PyLong_Check(o)) {
        d = PyLong_AsDouble(o);
        if (d == -1.0 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw py::error_already_set();
            PyErr_Clear();
            d = HUGE_VAL;  // an int past the float range: not finite either
        }
    } else {
        d = PyFloat_AS_DOUBLE(steal(PyNumber_Float(o)).ptr());
    }
    if (!std::isfinite(d)) refuse(PyExc_ValueError, fn, arg, must.value, v, false);
    return d;
}

enum class Index { Fits, NotInteger, Outside };

// An integer (an int, or an object with __index__; a bool, numpy's too, only
// when `bools`) from 0 to `count` - 1.
Index index_below(PyObject* o, long count, bool bools) {
    if (!bools && (PyBool_Check(o) || is_instance(o, reg().np_bool))) return Index::NotInteger;
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    if (!PyLong_Check(o) && !(nb && nb->nb_index)) return Index::NotInteger;
    PyObject* raw = PyNumber_Index(o);
    if (!raw) {
        // An __index__ that refuses (a numpy bool, for one): no integer.
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
        PyErr_Clear();
        return Index::NotInteger;
    }
    py::object index = steal(raw);
    int overflow = 0;
    long i = PyLong_AsLongAndOverflow(index.ptr(), &overflow);
    if (i == -1 && PyErr_Occurred()) throw py::error_already_set();
    return overflow || i < 0 || i >= count ? Index::Outside : Index::Fits;
}

void frame_index(const char* fn, const char* arg, py::handle v, const Must& must) {
    switch (index_below(v.ptr(), kFrames, true)) {
        case Index::NotInteger: refuse(PyExc_TypeError, fn, arg, must.type, v, true);
        case Index::Outside: refuse(PyExc_ValueError, fn, arg, must.value, v, false);
        case Index::Fits: return;
    }
}

}  // namespace

py::object real_arg(const char* fn, const char* arg, py::handle v, py::handle fallback, bool non_negative) {
    if (v.is_none() && fallback) return py::reinterpret_borrow<py::object>(fallback);
    double d = as_real(fn, arg, v, kReal);
    if (non_negative && d < 0) refuse(PyExc_ValueError, fn, arg, "not be negative", v, false);
    return py::reinterpret_borrow<py::object>(v);
}

void reals_arg(const char* fn, const char* arg, py::handle values) {
    for_each(values, [&](py::handle v) { as_real(fn, arg, v, kReals); });
}

py::object frame_index_arg(const char* fn, const char* arg, py::handle v, py::handle fallback) {
    if (v.is_none() && fallback) return py::reinterpret_borrow<py::object>(fallback);
    frame_index(fn, arg, v, kIndex);
    return py::reinterpret_borrow<py::object>(v);
}

void frame_indices_arg(const char* fn, const char* arg, py::handle frames) {
    for_each(frames, [&](py::handle v) { frame_index(fn, arg, v, kIndices); });
}

void freq_numbers_arg(const char* fn, const char* arg, py::handle values) {
    Py_ssize_t at = 0;
    for_each(values, [&](py::handle v) {
        const Index fit = index_below(v.ptr(), kFreqNumbers, false);
        if (fit == Index::NotInteger) {
            PyErr_Format(PyExc_TypeError,
                         "%s() argument '%s' must hold frequency numbers, integers from 0 to %ld, got %.200s %U "
                         "at position %zd",
                         fn, arg, kFreqNumbers - 1, Py_TYPE(v.ptr())->tp_name, brief_repr(v).ptr(), at);
            throw py::error_already_set();
        }
        if (fit == Index::Outside) {
            PyErr_Format(PyExc_ValueError,
                         "%s() argument '%s' must hold frequency numbers from 0 to %ld, got %U at position %zd", fn,
                         arg, kFreqNumbers - 1, brief_repr(v).ptr(), at);
            throw py::error_already_set();
        }
        ++at;
    });
}

void samples_arg(const char* fn, const char* arg, py::handle v) {
    static constexpr const char* kMust = "be a one-dimensional real numeric array";
    if (!is_instance(v, reg().ndarray)) refuse(PyExc_TypeError, fn, arg, kMust, v, true);
    py::object dtype = getattr(v, TVK_NAME("dtype"));
    py::object kind = getattr(dtype, TVK_NAME("kind"));
    const bool complex = PyUnicode_CompareWithASCIIString(kind.ptr(), "c") == 0;
    if (complex || !(PyUnicode_CompareWithASCIIString(kind.ptr(), "i") == 0 ||
                     PyUnicode_CompareWithASCIIString(kind.ptr(), "u") == 0 ||
                     PyUnicode_CompareWithASCIIString(kind.ptr(), "f") == 0)) {
        py::object name = py_str(dtype);
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must %s, not an array of %U%s", fn, arg, kMust,
                     name.ptr(), complex ? " (the Q part is an argument of its own)" : "");
        throw py::error_already_set();
    }
    py::object ndim = getattr(v, TVK_NAME("ndim"));
    if (PyLong_AsLong(ndim.ptr()) != 1) {
        py::object shape = py_str(getattr(v, TVK_NAME("shape")));
        PyErr_Format(PyExc_ValueError, "%s() argument '%s' must %s, not an array of shape %U", fn, arg, kMust,
                     shape.ptr());
        throw py::error_already_set();
    }
    Py_ssize_t at = first_outside(v, -DBL_MAX, DBL_MAX);
    if (at < 0) return;
    py::object item = steal(PySequence_GetItem(v.ptr(), at));
    py::object sample = steal(PyNumber_Float(item.ptr()));
    PyErr_Format(PyExc_ValueError, "%s() argument '%s' must hold finite samples, got %U at position %zd", fn, arg,
                 brief_repr(sample).ptr(), at);
    throw py::error_already_set();
}

}  // namespace tvk::functions
