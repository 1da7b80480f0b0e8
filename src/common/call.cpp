#include "call.hpp"

#include "numfmt.hpp"

#include <pybind11/pybind11.h>

#include <deque>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <unordered_map>

// The one instantiation that call.hpp declares for every file.
template std::string pybind11::handle::cast<std::string>() const;

namespace tvk {

void set_python_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (num::zero_division& e) {
        PyErr_SetString(PyExc_ZeroDivisionError, e.what());
    } catch (std::out_of_range& e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (std::overflow_error& e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

py::object take_exception() {
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);
    PyErr_NormalizeException(&type, &value, &trace);
    Py_XDECREF(type);
    if (trace && value) PyException_SetTraceback(value, trace);
    Py_XDECREF(trace);
    if (!value) raise_error(PyExc_SystemError, "no exception to take");
    return steal(value);
}

namespace detail {

PyObject* getter_dispatch(GetterFn f, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
    if (nargs != 1 || (kwnames && PyTuple_GET_SIZE(kwnames))) {
        PyErr_SetString(PyExc_TypeError, "property getter takes exactly one argument");
        return nullptr;
    }
    try {
        return f(args[0]).release().ptr();
    } catch (...) {
        set_python_error_from_current_exception();
        return nullptr;
    }
}

PyObject* setter_dispatch(SetterFn f, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
    if (nargs != 2 || (kwnames && PyTuple_GET_SIZE(kwnames))) {
        PyErr_SetString(PyExc_TypeError, "property setter takes exactly two arguments");
        return nullptr;
    }
    try {
        f(args[0], args[1]);
        Py_RETURN_NONE;
    } catch (...) {
        set_python_error_from_current_exception();
        return nullptr;
    }
}

}  // namespace detail

namespace {
// PyMethodDef records must outlive every function object made from them; the
// module is never unloaded, so they live for the process.
std::deque<PyMethodDef>& method_defs() {
    static auto* defs = new std::deque<PyMethodDef>();
    return *defs;
}
std::deque<std::string>& method_names() {
    static auto* names = new std::deque<std::string>();
    return *names;
}
}  // namespace

py::object make_cfunction(const char* name, RawFn fn, py::handle cell, const char* doc,
                          const char* module) {
    auto& names = method_names();
    names.emplace_back(name);
    const char* stored_doc = nullptr;
    if (doc) {
        names.emplace_back(doc);
        stored_doc = names.back().c_str();
    }
    auto& defs = method_defs();
    defs.push_back(PyMethodDef{names[names.size() - (doc ? 2 : 1)].c_str(),
                               reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)),
                               METH_FASTCALL | METH_KEYWORDS, stored_doc});
    py::object modname;
    if (module) modname = py::str(module);
    PyObject* f = PyCFunction_NewEx(&defs.back(), cell.ptr(), modname ? modname.ptr() : nullptr);
    if (!f) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(f);
}

void add_function(py::module_& m, const char* name, MethodDef def, const char* doc) {
    std::string modname = py::str(m.attr("__name__"));
    // Bound to the module, as the interpreter's own module functions are
    // (so it shows as a function of the module, not a method of None).
    py::object f = make_cfunction(name, def.fn, m, doc, modname.c_str());
    m.attr(name) = f;
}

PyObject* intern(const char* s) {
    static auto* table = new std::unordered_map<std::string, PyObject*>();
    auto it = table->find(s);
    if (it != table->end()) return it->second;
    PyObject* o = PyUnicode_InternFromString(s);
    if (!o) throw py::error_already_set();
    table->emplace(s, o);
    return o;
}

[[noreturn]] void raise_error(PyObject* exc_type, const std::string& message) {
    PyErr_SetObject(exc_type, make_str(message).ptr());
    throw py::error_already_set();
}

namespace {
constexpr size_t kMaxArgs = 8;

// The vectorcall stack of `first` (when given) and `args`, its size checked.
size_t fill_stack(PyObject** stack, PyObject* first, std::initializer_list<py::handle> args, const char* who) {
    if (args.size() + (first ? 1 : 0) > kMaxArgs)
        throw std::invalid_argument(std::string(who) + ": too many arguments");
    size_t n = 0;
    if (first) stack[n++] = first;
    for (auto a : args) stack[n++] = a.ptr();
    return n;
}
}  // namespace

py::object call(py::handle fn, std::initializer_list<py::handle> args) {
    PyObject* stack[kMaxArgs];
    size_t n = fill_stack(stack, nullptr, args, "call");
    return steal(PyObject_Vectorcall(fn.ptr(), stack, n, nullptr));
}

py::object call_method(py::handle obj, PyObject* name, std::initializer_list<py::handle> args) {
    PyObject* stack[kMaxArgs];
    size_t n = fill_stack(stack, obj.ptr(), args, "call_method");
    return steal(PyObject_VectorcallMethod(name, stack, n, nullptr));
}

}  // namespace tvk
