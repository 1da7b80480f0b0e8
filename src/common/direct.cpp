#include "direct.hpp"

namespace tvk {

namespace {
// The instance dict, made from the inline values when it does not exist yet;
// nullptr when the object has none (or it could not be made).
PyObject* instance_dict(PyObject* self) {
    PyObject** dp = _PyObject_GetDictPtr(self);
    return dp ? *dp : nullptr;
}
}  // namespace

PyObject* Instance::direct(PyObject* name) const {
    if (!intact()) return nullptr;
    PyObject* d = _PyType_Lookup(tp_, name);
    if (d && Py_TYPE(d)->tp_descr_set) return nullptr;  // a data descriptor wins over the dict
    PyObject* dict = instance_dict(self_);
    if (!dict) return nullptr;
    PyObject* v = PyDict_GetItemWithError(dict, name);
    if (!v && PyErr_Occurred()) throw py::error_already_set();
    return v;
}

bool Instance::lacks(PyObject* name) const {
    PyObject** dp = _PyObject_GetDictPtr(self_);
    if (!dp) return false;  // no dict could be made: let the generic path decide
    if (!*dp) return true;
    PyObject* v = PyDict_GetItemWithError(*dp, name);
    if (!v && PyErr_Occurred()) throw py::error_already_set();
    return v == nullptr;
}

}  // namespace tvk
