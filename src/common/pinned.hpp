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
    // defaults, or a static method, class method or property with what it
    // links to (calling its __init__ again links it to another function) and
    // the code and defaults of each Python function among those. Anything
    // else (this layer's own functions and methods) runs what it ran for good
    // and is pinned by identity alone. The references it takes are kept for
    // the process, so that no other object can ever turn up at a pinned
    // address.
    explicit PinnedFunction(PyObject* member);

    PyObject* object() const { return member_; }
    // `candidate` is the pinned member, still running what it ran then.
    bool is(PyObject* candidate) const { return candidate && candidate == member_ && unchanged(); }
    // The wrapper still links to what it did, and the pinned functions still
    // have the code and defaults they had. Reads a few fields, runs no Python
    // code.
    bool unchanged() const {
        for (std::size_t i = 0; i < n_; ++i)
            if (!pins_[i].holds(member_)) return false;
        return true;
    }

private:
    struct Pin {
        Py_ssize_t offset;  // of the wrapper's link field; -1: the member itself
        PyObject* func;     // what it links to (may be null)
        PyObject* code;     // null when func is no Python function
        PyObject* defaults;
        PyObject* kwdefaults;
        bool holds(PyObject* owner) const {
            if (offset >= 0 && *reinterpret_cast<PyObject* const*>(reinterpret_cast<const char*>(owner) + offset) != func)
                return false;
            return !code || (PyFunction_GET_CODE(func) == code && PyFunction_GET_DEFAULTS(func) == defaults &&
                             PyFunction_GET_KW_DEFAULTS(func) == kwdefaults);
        }
    };
    void pin(Py_ssize_t offset, PyObject* func);

    PyObject* member_;
    Pin pins_[3];  // a property's getter, setter and deleter at most
    std::size_t n_;
};
static_assert(std::is_trivial_v<PinnedFunction>);

}  // namespace tvk
