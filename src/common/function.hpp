// Function objects made from C++ that look and bind like functions written in
// Python: their attributes (__name__, __qualname__, __module__, __doc__,
// __annotations__, __wrapped__ ...) live in an open __dict__, so
// functools.wraps copies them to and from such an object; looked up through
// an instance one gives a bound method, through its class itself.
#pragma once

#include "pyclass.hpp"

namespace tvk {

// Calls go straight to `fn` with `state` as its first argument (for a class
// member the ClassBuilder cell, so the method<F>() trampolines see their
// class; for a wrapper the callable it wraps). `annotations` becomes
// __annotations__ when given.
py::object make_function(RawFn fn, py::handle state, const char* name, const char* qualname,
                         const char* module, const char* doc = nullptr,
                         py::handle annotations = py::handle());

// `o` is a function object made by make_function (in this module).
bool is_made_function(PyObject* o);

// A class member made by make_function, named `<class_qualname>.<name>`,
// its state the builder's cell.
void function_member(ClassBuilder& b, const char* class_qualname, const char* module, const char* name,
                     MethodDef def, py::handle annotations = py::handle(), const char* doc = nullptr);

}  // namespace tvk
