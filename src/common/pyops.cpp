#include "pyops.hpp"

#include <pybind11/pybind11.h>

#include "insides.hpp"

namespace tvk {

// is_instance: instance_test.cpp.

bool truth(py::handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

py::object get_item(py::handle container, py::handle key) {
    return steal(PyObject_GetItem(container.ptr(), key.ptr()));
}

void set_item(py::handle container, py::handle key, py::handle value) {
    if (PyObject_SetItem(container.ptr(), key.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

bool compare(py::handle a, py::handle b, int op) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

py::object lookup_attr(py::handle obj, PyObject* name) {
    PyObject* r = nullptr;
    if (insides::lookup_attr(obj.ptr(), name, &r) < 0) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

py::object module_global(PyObject* module_dict, PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(module_dict, name);
    if (!v) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(v);
}

bool import_optional(py::module_& m, const char* name, const char* alias, const char* flag) {
    PyObject* mod = PyImport_ImportModule(name);
    if (mod) {
        int r = PyModule_AddObjectRef(m.ptr(), alias, mod);
        Py_DECREF(mod);
        if (r < 0) throw py::error_already_set();
    } else if (PyErr_ExceptionMatches(PyExc_ImportError)) {
        PyErr_Clear();
    } else {
        throw py::error_already_set();
    }
    m.attr(flag) = py::bool_(mod != nullptr);
    return mod != nullptr;
}

}  // namespace tvk
