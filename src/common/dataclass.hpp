// Data records built from C++: a ClassBuilder whose namespace receives the
// field annotations and defaults, then decorated by dataclasses.dataclass, so
// the result has the generated __init__, __repr__ and __eq__ of any record
// written in Python. Add __post_init__ and other members to the builder
// before calling build_dataclass: the decorator looks for them.
#pragma once

#include <initializer_list>

#include "pyclass.hpp"

namespace tvk {

struct DataField {
    const char* name;
    py::handle type;                 // the annotation
    py::handle default_value = {};   // none: the field is required
};

inline py::object build_dataclass(ClassBuilder& b, std::initializer_list<DataField> fields) {
    py::dict annotations;
    for (const DataField& f : fields) {
        annotations[f.name] = f.type;
        if (f.default_value) b.attr(f.name, f.default_value);
    }
    b.attr("__annotations__", annotations);
    py::object cls = b.build();
    // Cached for the process; never released.
    static PyObject* const decorator = [] {
        PyObject* mod = PyImport_ImportModule("dataclasses");
        if (!mod) throw py::error_already_set();
        PyObject* d = PyObject_GetAttrString(mod, "dataclass");
        Py_DECREF(mod);
        if (!d) throw py::error_already_set();
        return d;
    }();
    PyObject* r = PyObject_CallOneArg(decorator, cls.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

}  // namespace tvk
