#include "direct.hpp"

namespace tvk {

namespace {
// The instance dict, made from the inline values when it does not exist yet.
// Returns false when the object has no dict it could give; `dict` is nullptr
// for an instance without attributes.
bool instance_dict(PyObject* self, PyObject*& dict) {
    PyObject** dp = _PyObject_GetDictPtr(self);
    if (!dp) return false;
    dict = *dp;
    return true;
}
}  // namespace

PyObject* Instance::direct(PyObject* name) const {
    PyTypeObject* tp = Py_TYPE(self_);
    if (tp->tp_getattro != PyObject_GenericGetAttr) return nullptr;
    PyObject* d = _PyType_Lookup(tp, name);
    if (d && Py_TYPE(d)->tp_descr_set) return nullptr;  // a data descriptor wins over the dict
    PyObject* dict = nullptr;
    if (!instance_dict(self_, dict) || !dict) return nullptr;
    PyObject* v = PyDict_GetItemWithError(dict, name);
    if (!v && PyErr_Occurred()) throw py::error_already_set();
    return v;
}

bool Instance::lacks(std::initializer_list<PyObject*> names) const {
    PyObject* dict = nullptr;
    if (!instance_dict(self_, dict)) return false;  // let the generic path decide
    if (!dict || PyDict_GET_SIZE(dict) == 0) return true;
    for (PyObject* name : names) {
        if (PyDict_GetItemWithError(dict, name)) return false;
        if (PyErr_Occurred()) throw py::error_already_set();
    }
    return true;
}

MethodEntry Instance::own_member(PyObject* name) const {
    PyTypeObject* tp = Py_TYPE(self_);
    if (tp->tp_getattro != PyObject_GenericGetAttr) return {};
    MethodEntry e = resolved_entry(tp, name);
    if (!e || !lacks({name})) return {};
    return e;
}

}  // namespace tvk
