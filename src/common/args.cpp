#include "args.hpp"

#include "insides.hpp"

#include <stdexcept>

namespace tvk {

Signature::Signature(const char* func_name, std::initializer_list<const char*> names, int required,
                     int extra, std::initializer_list<py::handle> defaults)
    : func_name_(func_name), n_(static_cast<int>(names.size())), required_(required), extra_(extra) {
    if (n_ > kMax) throw std::invalid_argument("Signature: too many parameters");
    if (required_ + static_cast<int>(defaults.size()) != n_)
        throw std::invalid_argument("Signature: defaults do not match parameters");
    int i = 0;
    for (const char* nm : names) {
        names_[i] = nm;
        interned_[i] = intern(nm);
        ++i;
    }
    i = required_;
    for (py::handle d : defaults) defaults_[i++] = d.inc_ref().ptr();  // kept for the process
}

[[noreturn]] void raise_argtuple_invalid(const char* func_name, bool exact, Py_ssize_t num_min,
                                         Py_ssize_t num_max, Py_ssize_t num_found) {
    Py_ssize_t num_expected;
    const char* more_or_less;
    if (num_found < num_min) {
        num_expected = num_min;
        more_or_less = "at least";
    } else {
        num_expected = num_max;
        more_or_less = "at most";
    }
    if (exact) more_or_less = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 func_name, more_or_less, num_expected, (num_expected == 1) ? "" : "s", num_found);
    throw py::error_already_set();
}

py::handle self_only_bound(const Call& c, const char* name) {
    if (c.nkw() == 0) raise_argtuple_invalid(name, true, 1, 1, c.nargs);
    Signature sig(name, {"self"}, 1);
    return bind<1>(sig, c)[0];
}

void Signature::bind(const Call& c, PyObject** out, py::object* varargs, py::object* kwargs) const {
    const bool exact = required_ == n_ && !(extra_ & VarPos);
    Py_ssize_t nargs = c.nargs;
    if (nargs > n_ && !(extra_ & VarPos)) raise_argtuple_invalid(func_name_, exact, required_, n_, nargs);
    Py_ssize_t npos = nargs < n_ ? nargs : n_;
    for (Py_ssize_t i = 0; i < n_; ++i) out[i] = i < npos ? c.args[i] : nullptr;
    if ((extra_ & VarPos) && varargs) {
        Py_ssize_t extra = nargs - npos;
        PyObject* t = PyTuple_New(extra > 0 ? extra : 0);
        if (!t) throw py::error_already_set();
        for (Py_ssize_t i = 0; i < extra; ++i) {
            Py_INCREF(c.args[npos + i]);
            PyTuple_SET_ITEM(t, i, c.args[npos + i]);
        }
        *varargs = py::reinterpret_steal<py::object>(t);
    }
    Py_ssize_t nkw = c.nkw();
    if ((extra_ & VarKw) && kwargs) *kwargs = steal(insides::new_dict_for(nkw));
    // Keywords: match by identity first (interned), then by equality.
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(c.kwnames, k);
        PyObject* val = c.args[nargs + k];
        int slot = -1;
        for (int i = 0; i < n_; ++i)
            if (interned_[i] == key) {
                slot = i;
                break;
            }
        if (slot < 0) {
            // A str of another length is no parameter's name (the keywords of
            // **mapping calls mostly go to **kwargs this way).
            const Py_ssize_t len = PyUnicode_Check(key) && PyUnicode_IS_READY(key) ? PyUnicode_GET_LENGTH(key) : -1;
            for (int i = 0; i < n_; ++i) {
                if (len >= 0 && PyUnicode_GET_LENGTH(interned_[i]) != len) continue;
                int eq = PyUnicode_Compare(interned_[i], key);
                if (eq == -1 && PyErr_Occurred()) throw py::error_already_set();
                if (eq == 0) {
                    slot = i;
                    break;
                }
            }
        }
        if (slot >= 0) {
            if (out[slot] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             func_name_, key);
                throw py::error_already_set();
            }
            out[slot] = val;
            continue;
        }
        if (extra_ & VarKw) {
            if (kwargs && PyDict_SetItem(kwargs->ptr(), key, val) < 0) throw py::error_already_set();
            continue;
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func_name_, key);
        throw py::error_already_set();
    }
    for (int i = 0; i < n_; ++i) {
        if (out[i] != nullptr) continue;
        if (i < required_) raise_argtuple_invalid(func_name_, exact, required_, n_, i);
        out[i] = defaults_[i];
    }
}

void check_exact_type(py::handle obj, PyTypeObject* type, const char* arg_name, bool none_ok) {
    if (Py_TYPE(obj.ptr()) == type) return;
    if (none_ok && obj.is_none()) return;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 arg_name, type->tp_name, Py_TYPE(obj.ptr())->tp_name);
    throw py::error_already_set();
}

double to_double_arg(py::handle obj) {
    double d = PyFloat_CheckExact(obj.ptr()) ? PyFloat_AS_DOUBLE(obj.ptr()) : PyFloat_AsDouble(obj.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return d;
}

py::object to_float_arg(py::handle obj) {
    if (PyFloat_CheckExact(obj.ptr())) return py::reinterpret_borrow<py::object>(obj);
    double d = to_double_arg(obj);
    PyObject* f = PyFloat_FromDouble(d);
    if (!f) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(f);
}

py::object to_int_arg(py::handle obj, const char* arg_name) {
    PyObject* o = obj.ptr();
    if (PyLong_CheckExact(o)) return py::reinterpret_borrow<py::object>(obj);
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    // A complex is a number: int() refuses it with its own error.
    if (!PyLong_Check(o) && !PyComplex_Check(o) && !(nb && (nb->nb_int || nb->nb_index))) {
        PyErr_Format(PyExc_TypeError,
                     "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", arg_name,
                     "int", Py_TYPE(o)->tp_name);
        throw py::error_already_set();
    }
    PyObject* r = PyNumber_Long(o);
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

py::object check_list_result(py::object result) {
    // None passes, as for any object-typed result.
    if (PyList_CheckExact(result.ptr()) || result.is_none()) return result;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "list", Py_TYPE(result.ptr())->tp_name);
    throw py::error_already_set();
}

}  // namespace tvk
