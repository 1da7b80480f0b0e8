#include "pinned.hpp"

#include "call.hpp"

namespace tvk {

PinnedFunction::PinnedFunction(PyObject* member) : member_(member), pins_{}, n_(0) {
    if (!member) return;
    Py_INCREF(member);
    if (PyFunction_Check(member)) {
        pin(member);
        return;
    }
    // The wrappers the interpreter makes hold their functions in read-only
    // fields: the functions they wrap are what may change.
    const bool method_wrapper = Py_IS_TYPE(member, &PyStaticMethod_Type) || Py_IS_TYPE(member, &PyClassMethod_Type);
    const bool property = Py_IS_TYPE(member, &PyProperty_Type);
    if (!method_wrapper && !property) return;
    for (const char* name : {"__func__", "fget", "fset", "fdel"}) {
        if (method_wrapper != (name[0] == '_')) continue;
        PyObject* f = PyObject_GetAttrString(member, name);
        if (!f) throw py::error_already_set();
        if (PyFunction_Check(f)) pin(f);
        Py_DECREF(f);  // the wrapper holds it, and the wrapper is held
    }
}

void PinnedFunction::pin(PyObject* func) {
    Pin& p = pins_[n_++];
    p.func = Py_NewRef(func);
    p.code = Py_NewRef(PyFunction_GET_CODE(func));
    p.defaults = Py_XNewRef(PyFunction_GET_DEFAULTS(func));
    p.kwdefaults = Py_XNewRef(PyFunction_GET_KW_DEFAULTS(func));
}

}  // namespace tvk
