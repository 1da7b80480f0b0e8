// Objects a module keeps for the life of the process (classes, functions,
// constants looked up once): a new reference that is never released, so
// nothing is destroyed after the interpreter is gone.
#pragma once

#include "call.hpp"

namespace tvk {

inline PyObject* keep(py::handle o) { return o.inc_ref().ptr(); }
// owner.name, looked up now and kept.
inline PyObject* keep(py::handle owner, const char* name) {
    return keep(py::object(owner.attr(name)));
}

}  // namespace tvk
