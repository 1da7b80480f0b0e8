#include "pinned.hpp"

#include <structmember.h>

#include <cstring>
#include <string>

#include "call.hpp"

namespace tvk {

namespace {
// Where a wrapper of the interpreter keeps the object field `name`: its
// type's member table says, as for any member read through getattr.
Py_ssize_t link_offset(PyTypeObject* tp, const char* name) {
    for (const PyMemberDef* m = tp->tp_members; m && m->name; ++m)
        if (std::strcmp(m->name, name) == 0 && (m->type == T_OBJECT || m->type == T_OBJECT_EX))
            return m->offset;
    raise_error(PyExc_RuntimeError, std::string(tp->tp_name) + " keeps no field " + name);
}
}  // namespace

PinnedFunction::PinnedFunction(PyObject* member) : member_(member), pins_{}, n_(0) {
    if (!member) return;
    Py_INCREF(member);
    if (PyFunction_Check(member)) {
        pin(-1, member);
        return;
    }
    const bool method_wrapper = Py_IS_TYPE(member, &PyStaticMethod_Type) || Py_IS_TYPE(member, &PyClassMethod_Type);
    const bool property = Py_IS_TYPE(member, &PyProperty_Type);
    if (!method_wrapper && !property) return;
    for (const char* name : {"__func__", "fget", "fset", "fdel"}) {
        if (method_wrapper != (name[0] == '_')) continue;
        const Py_ssize_t offset = link_offset(Py_TYPE(member), name);
        pin(offset, *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(member) + offset));
    }
}

void PinnedFunction::pin(Py_ssize_t offset, PyObject* func) {
    Pin& p = pins_[n_++];
    p.offset = offset;
    p.func = Py_XNewRef(func);
    if (!func || !PyFunction_Check(func)) return;
    p.code = Py_NewRef(PyFunction_GET_CODE(func));
    p.defaults = Py_XNewRef(PyFunction_GET_DEFAULTS(func));
    p.kwdefaults = Py_XNewRef(PyFunction_GET_KW_DEFAULTS(func));
}

}  // namespace tvk
