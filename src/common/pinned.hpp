// A member that a fast path does the work of, trusted while it still runs
// what it ran when it was pinned. Its identity alone does not say that: a
// Python function keeps its identity while its __code__, __defaults__ or
// __kwdefaults__ are replaced in place (an in-place reload, a patching tool).
// Every place that trusts a kept member by identity asks this one helper.
#pragma once

#include <Python.h>

#include <cstddef>
#include <type_traits>

namespace tvk {

// Plain pointers, trivial, all zero (nothing pinned) until pinned: a
// module's registry may hold one.
class PinnedFunction {
public:
    PinnedFunction() = default;
    // Pins `member` as it is now: a Python function with its code and
    // defaults, or one a static method, class method or property wraps
    // (their links to it cannot be reassigned). Anything else (this layer's
    // own functions and methods) runs what it ran for good and is pinned by
    // identity alone. The references it takes are kept for the process, so
    // that no other object can ever turn up at a pinned address.
    explicit PinnedFunction(PyObject* member);

    PyObject* object() const { return member_; }
    // `candidate` is the pinned member, still running what it ran then.
    bool is(PyObject* candidate) const { return candidate && candidate == member_ && unchanged(); }
    // The pinned functions still have the code and defaults they had.
    // Reads three fields of each, runs no Python code.
    bool unchanged() const {
        for (std::size_t i = 0; i < n_; ++i)
            if (!pins_[i].holds()) return false;
        return true;
    }

private:
    struct Pin {
        PyObject* func;
        PyObject* code;
        PyObject* defaults;
        PyObject* kwdefaults;
        bool holds() const {
            return PyFunction_GET_CODE(func) == code && PyFunction_GET_DEFAULTS(func) == defaults &&
                   PyFunction_GET_KW_DEFAULTS(func) == kwdefaults;
        }
    };
    void pin(PyObject* func);

    PyObject* member_;
    Pin pins_[3];  // a property's getter, setter and deleter at most
    std::size_t n_;
};
static_assert(std::is_trivial_v<PinnedFunction>);

}  // namespace tvk
