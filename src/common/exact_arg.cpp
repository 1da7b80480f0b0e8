#include "exact_arg.hpp"

#include "args.hpp"

namespace tvk {

void check_exact_builtin(py::handle obj, PyTypeObject* type, const char* arg_name) {
    PyTypeObject* got = Py_TYPE(obj.ptr());
    if (got == type) return;
    if (!PyType_IsSubtype(got, type)) {
        check_exact_type(obj, type, arg_name);  // raises: not the type at all
        return;
    }
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
                 " Subclasses of built-in types are refused.",
                 arg_name, type->tp_name, got->tp_name);
    throw py::error_already_set();
}

}  // namespace tvk
