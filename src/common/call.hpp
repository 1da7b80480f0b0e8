// Calling convention shared by every extension module: C++ functions bound as
// CPython METH_FASTCALL functions, with one place that turns C++ failures into
// Python exceptions.
#pragma once

#include <pybind11/pytypes.h>

#include <initializer_list>
#include <string>

// The handle types are all the shared layer needs of pybind11; a module is
// passed by reference, and only the files that create modules or use their
// members include <pybind11/pybind11.h>.
PYBIND11_NAMESPACE_BEGIN(PYBIND11_NAMESPACE)
class module_;
PYBIND11_NAMESPACE_END(PYBIND11_NAMESPACE)

// py::error_already_set formats its message through handle::cast<std::string>,
// which only <pybind11/cast.h> defines: call.cpp instantiates it once for
// every file that raises it. (Its deleter and what() are defined in
// pybind11.h, which every module's entry file includes.)
extern template std::string pybind11::handle::cast<std::string>() const;

namespace tvk {

namespace py = pybind11;

// One call of a bound method. `args` holds the positional arguments (for a
// method, args[0] is the instance) followed by the keyword values named in
// `kwnames`. `cls` is the class the member was defined on (nullptr for a
// plain module function), so cooperative constructors can find the next class
// of the instance's MRO.
struct Call {
    PyObject* const* args;
    Py_ssize_t nargs;
    PyObject* kwnames;  // tuple of str or nullptr
    PyObject* cls;      // borrowed

    Py_ssize_t nkw() const { return kwnames ? PyTuple_GET_SIZE(kwnames) : 0; }
    PyObject* self() const { return args[0]; }
};

using MethodFn = py::object (*)(const Call&);

// Owns a new reference from the C API; nullptr means a Python error is set.
inline py::object steal(PyObject* o) {
    if (!o) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(o);
}

// A new reference to a borrowed object.
inline py::object borrow(py::handle h) { return py::reinterpret_borrow<py::object>(h); }

// A str from UTF-8 text.
inline py::object make_str(const std::string& s) {
    return steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

// raise exc_type(message), the message as UTF-8 text.
[[noreturn]] void raise_error(PyObject* exc_type, const std::string& message);

using GetterFn = py::object (*)(py::handle self);
using SetterFn = void (*)(py::handle self, py::handle value);

// Sets the Python error indicator from the exception in flight; call only from
// inside a catch block. The one translation point from C++ to Python errors.
void set_python_error_from_current_exception() noexcept;
// The exception on the error indicator, taken off it as an instance that
// carries its traceback; call only while an error is set.
py::object take_exception();

namespace detail {
// m_self of every bound PyCFunction: a one-item list holding the defining
// class once it exists (a list, so the cycle class -> member -> cell -> class
// stays visible to the collector).
inline PyObject* cell_class(PyObject* cell) {
    if (cell == nullptr || !PyList_Check(cell) || PyList_GET_SIZE(cell) == 0) return nullptr;
    PyObject* c = PyList_GET_ITEM(cell, 0);
    return c == Py_None ? nullptr : c;
}

template <MethodFn F>
PyObject* method_trampoline(PyObject* cell, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames) noexcept {
    try {
        Call c{args, PyVectorcall_NARGS(nargsf), kwnames, cell_class(cell)};
        return F(c).release().ptr();
    } catch (...) {
        set_python_error_from_current_exception();
        return nullptr;
    }
}

PyObject* getter_dispatch(GetterFn f, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept;
PyObject* setter_dispatch(SetterFn f, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept;

template <GetterFn F>
PyObject* getter_trampoline(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames) noexcept {
    return getter_dispatch(F, args, PyVectorcall_NARGS(nargsf), kwnames);
}

template <SetterFn F>
PyObject* setter_trampoline(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames) noexcept {
    return setter_dispatch(F, args, PyVectorcall_NARGS(nargsf), kwnames);
}
}  // namespace detail

// Raw CPython entry point of a bound function.
using RawFn = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// Descriptions of members, made with the helpers below and handed to
// ClassBuilder / add_function.
struct MethodDef {
    RawFn fn;
};
struct GetterDef {
    RawFn fn;
};
struct SetterDef {
    RawFn fn;
};

template <MethodFn F>
constexpr MethodDef method() {
    return {&detail::method_trampoline<F>};
}
template <GetterFn F>
constexpr GetterDef getter() {
    return {&detail::getter_trampoline<F>};
}
template <SetterFn F>
constexpr SetterDef setter() {
    return {&detail::setter_trampoline<F>};
}

// A builtin function object for `fn` under `name`. `cell` becomes its m_self
// (see detail::cell_class); the PyMethodDef lives for the whole process.
py::object make_cfunction(const char* name, RawFn fn, py::handle cell, const char* doc = nullptr,
                          const char* module = nullptr);

// Adds a plain function to a module.
void add_function(py::module_& m, const char* name, MethodDef def, const char* doc = nullptr);

// Interned string, made once per text and kept for the life of the process
// (never released, so nothing is destroyed after the interpreter is gone).
PyObject* intern(const char* s);

// Interned name cached at the call site: TVK_NAME("tag").
#define TVK_NAME(lit)                                        \
    ([]() -> PyObject* {                                     \
        static PyObject* const tvk_name_ = ::tvk::intern(lit); \
        return tvk_name_;                                    \
    }())

// Attribute access by interned name; failures become py::error_already_set.
inline py::object getattr(py::handle obj, PyObject* name) {
    PyObject* r = PyObject_GetAttr(obj.ptr(), name);
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}
inline void setattr(py::handle obj, PyObject* name, py::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name, value.ptr()) < 0) throw py::error_already_set();
}
// fn(args...) and obj.name(args...), the latter without creating a bound
// method where possible. More than eight arguments are refused.
py::object call(py::handle fn, std::initializer_list<py::handle> args = {});
py::object call_method(py::handle obj, PyObject* name, std::initializer_list<py::handle> args = {});

}  // namespace tvk
