// Objects a module keeps for the life of the process (classes, functions,
// constants looked up once): a new reference that is never released, so
// nothing is destroyed after the interpreter is gone.
#pragma once

#include "call.hpp"
#include "pinned.hpp"

namespace tvk {

inline PyObject* keep(py::handle o) { return o.inc_ref().ptr(); }
// A constant just made by the C API (a new reference, kept): a failure
// throws with the interpreter's error, so a function-local static made with
// it is made again at the next call instead of staying null.
inline PyObject* keep_new(PyObject* made) {
    if (!made) throw py::error_already_set();
    return made;
}
// A Python float made once and kept for the process (fallbacks).
#define TVK_FLOAT(value)                                                              \
    ([]() -> PyObject* {                                                              \
        static PyObject* const tvk_float_ = ::tvk::keep_new(PyFloat_FromDouble(value)); \
        return tvk_float_;                                                            \
    }())

// owner.name, looked up now and kept.
inline PyObject* keep(py::handle owner, const char* name) {
    return keep(py::object(owner.attr(name)));
}
// A member a fast path does the work of, pinned now (see PinnedFunction).
inline PinnedFunction pin(const py::object& member) { return PinnedFunction(member.ptr()); }

}  // namespace tvk
