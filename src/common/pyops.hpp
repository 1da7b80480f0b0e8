// Small operations on Python objects that every module needs, with the
// interpreter's errors turned into C++ exceptions.
#pragma once

#include "call.hpp"
#include "instance_memo.hpp"

namespace tvk {

// bool(obj). isinstance(obj, cls) is is_instance (instance_memo.hpp, with
// the answers remembered inside an InstanceTestScope: instance_test.hpp).
bool truth(py::handle obj);

// container[key], container[key] = value, and `a <op> b` for op one of
// Py_LT ... Py_GE.
py::object get_item(py::handle container, py::handle key);
void set_item(py::handle container, py::handle key, py::handle value);
bool compare(py::handle a, py::handle b, int op);

// obj.name, or a null object when reading it raises AttributeError (what
// hasattr() calls absent; the generic lookup tells it without making the
// exception). Any other error propagates.
py::object lookup_attr(py::handle obj, PyObject* name);

// A module global read at the moment of use, as Python code reads it:
// `module_dict[name]`, or the interpreter's NameError.
py::object module_global(PyObject* module_dict, PyObject* name);

// Imports the optional module `name` into `m` under `alias` and sets the
// module attribute `flag` to whether that worked. Only an ImportError means
// "absent"; any other error of the import propagates and fails the load.
bool import_optional(py::module_& m, const char* name, const char* alias, const char* flag);

}  // namespace tvk
