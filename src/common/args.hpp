// Argument binding with Python's call semantics and the exact TypeError texts
// the system's callers see.
#pragma once

#include <array>
#include <initializer_list>

#include "call.hpp"

namespace tvk {

// The parameter list of one bound function: positional-or-keyword parameters
// (for a method the first is "self"), the first `required` of them without a
// default, then optionally *args and **kwargs.
class Signature {
public:
    static constexpr int kMax = 16;
    enum Extra { None = 0, VarPos = 1, VarKw = 2 };

    // `defaults` gives the values of the parameters after the required ones, in
    // order; the references are kept for the life of the process.
    Signature(const char* func_name, std::initializer_list<const char*> names, int required,
              int extra = None, std::initializer_list<py::handle> defaults = {});

    const char* name() const { return func_name_; }
    int size() const { return n_; }

    // Binds one call. Filled slots of `out` are borrowed references valid for
    // the call; `varargs` / `kwargs` receive a new tuple / dict when the
    // signature has them (kwargs holds only the unmatched keywords).
    void bind(const Call& c, PyObject** out, py::object* varargs = nullptr,
              py::object* kwargs = nullptr) const;

private:
    const char* func_name_;
    std::array<const char*, kMax> names_{};
    std::array<PyObject*, kMax> interned_{};
    std::array<PyObject*, kMax> defaults_{};
    int n_ = 0;
    int required_ = 0;
    int extra_ = None;
};

// Result of binding: the slots in parameter order; `varargs` / `kwargs` stay
// empty handles unless the signature has *args / **kwargs (no dict is made
// for a call that cannot use one).
template <int N>
struct Bound {
    std::array<PyObject*, N> v{};
    py::object varargs;
    py::object kwargs;
    py::handle operator[](int i) const { return v[i]; }
};

template <int N>
Bound<N> bind(const Signature& sig, const Call& c) {
    Bound<N> b;
    sig.bind(c, b.v.data(), &b.varargs, &b.kwargs);
    return b;
}

// "%.200s() takes %.8s %zd positional argument%.1s (%zd given)"
[[noreturn]] void raise_argtuple_invalid(const char* func_name, bool exact, Py_ssize_t num_min,
                                         Py_ssize_t num_max, Py_ssize_t num_found);

// self of a method `name` that takes nothing else: the argument as it is
// for the usual call, the binder with its texts for any other.
py::handle self_only_bound(const Call& c, const char* name);
inline py::handle self_only(const Call& c, const char* name) {
    if (c.nargs == 1 && c.nkw() == 0) return c.args[0];
    return self_only_bound(c, name);
}

// "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)" unless
// `obj` is exactly `type` (or None, when `none_ok`).
void check_exact_type(py::handle obj, PyTypeObject* type, const char* arg_name,
                      bool none_ok = false);
inline void check_list(py::handle obj, const char* arg_name) {
    check_exact_type(obj, &PyList_Type, arg_name);
}
inline void check_str(py::handle obj, const char* arg_name) {
    check_exact_type(obj, &PyUnicode_Type, arg_name);
}
inline void check_dict(py::handle obj, const char* arg_name) {
    check_exact_type(obj, &PyDict_Type, arg_name);
}

// A declared `float` argument: the interpreter's float conversion (which
// refuses strings with its own TypeError); returns a Python float.
py::object to_float_arg(py::handle obj);
double to_double_arg(py::handle obj);

// A declared `int` argument: an object that is no number is refused with the
// incorrect-type text naming `arg_name`; otherwise the interpreter's int().
py::object to_int_arg(py::handle obj, const char* arg_name);

// "Expected %s, got %.200s" for a result declared as `list` (None passes).
py::object check_list_result(py::object result);

}  // namespace tvk
