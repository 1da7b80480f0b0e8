// Evaluation of a kernel expression: the node back to source text through
// astor (its compiled code remembered for the node's structure), evaluated
// with the module's own namespace as globals and the kernel's visible symbol
// tables as locals.
//
// The locals are a view over the tables rather than a merged copy, so an
// evaluation costs the same however many symbols the kernel has declared: a
// name resolves in the last table that holds it, then in the three entries
// "locals_list", "node" and "self". Anything the expression itself binds (a
// walrus target) stays in the view and wins from then on.
#include "kernel.hpp"

#include <structmember.h>

namespace tvk::kernel {

namespace {

struct EvalLocals {
    PyObject_HEAD
    // The three entries under every table: locals_list, node, self.
    PyObject* base[3];
    PyObject* tables;  // tuple of dicts, later ones win
    PyObject* own;     // dict of names the expression bound, or nullptr
};

struct BaseNames {
    PyObject* names[3] = {intern("locals_list"), intern("node"), intern("self")};
};
const BaseNames& base_names() {
    static const BaseNames n;
    return n;
}

// A dict of the three entries, in their order.
PyObject* base_dict(EvalLocals* v) {
    PyObject* d = PyDict_New();
    if (!d) return nullptr;
    for (int i = 0; i < 3; ++i)
        if (PyDict_SetItem(d, base_names().names[i], v->base[i]) < 0) {
            Py_DECREF(d);
            return nullptr;
        }
    return d;
}

// The entry of the three under `key` (borrowed), as a dict of them gives it.
PyObject* base_item(EvalLocals* v, PyObject* key) {
    const BaseNames& n = base_names();
    if (PyUnicode_CheckExact(key)) {
        for (int i = 0; i < 3; ++i)
            if (key == n.names[i]) return v->base[i];
        for (int i = 0; i < 3; ++i) {
            int eq = PyUnicode_Compare(key, n.names[i]);
            if (eq == -1 && PyErr_Occurred()) return nullptr;
            if (eq == 0) return v->base[i];
        }
        return nullptr;
    }
    // Any other key is compared as a dict compares it.
    PyObject* d = base_dict(v);
    if (!d) return nullptr;
    PyObject* r = PyDict_GetItemWithError(d, key);
    Py_XINCREF(r);
    Py_DECREF(d);
    if (!r) return nullptr;
    Py_DECREF(r);  // still held by the view
    return r;
}

// The merged dictionary the view stands for.
PyObject* merged(EvalLocals* v) {
    PyObject* d = base_dict(v);
    if (!d) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(v->tables); ++i)
        if (PyDict_Update(d, PyTuple_GET_ITEM(v->tables, i)) < 0) {
            Py_DECREF(d);
            return nullptr;
        }
    if (v->own && PyDict_Update(d, v->own) < 0) {
        Py_DECREF(d);
        return nullptr;
    }
    return d;
}

PyObject* lookup(EvalLocals* v, PyObject* key) {
    if (v->own) {
        PyObject* r = PyDict_GetItemWithError(v->own, key);
        if (r || PyErr_Occurred()) return r;
    }
    for (Py_ssize_t i = PyTuple_GET_SIZE(v->tables) - 1; i >= 0; --i) {
        PyObject* r = PyDict_GetItemWithError(PyTuple_GET_ITEM(v->tables, i), key);
        if (r || PyErr_Occurred()) return r;
    }
    return base_item(v, key);
}

PyObject* locals_getitem(PyObject* self, PyObject* key) {
    PyObject* r = lookup(reinterpret_cast<EvalLocals*>(self), key);
    if (r) return Py_NewRef(r);
    if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
    return nullptr;
}

int locals_setitem(PyObject* self, PyObject* key, PyObject* value) {
    auto* v = reinterpret_cast<EvalLocals*>(self);
    if (!v->own) {
        if (!value) {
            PyErr_SetObject(PyExc_KeyError, key);
            return -1;
        }
        v->own = PyDict_New();
        if (!v->own) return -1;
    }
    return value ? PyDict_SetItem(v->own, key, value) : PyDict_DelItem(v->own, key);
}

int locals_contains(PyObject* self, PyObject* key) {
    PyObject* r = lookup(reinterpret_cast<EvalLocals*>(self), key);
    if (r) return 1;
    return PyErr_Occurred() ? -1 : 0;
}

Py_ssize_t locals_len(PyObject* self) {
    PyObject* d = merged(reinterpret_cast<EvalLocals*>(self));
    if (!d) return -1;
    Py_ssize_t n = PyDict_GET_SIZE(d);
    Py_DECREF(d);
    return n;
}

PyObject* locals_iter(PyObject* self) {
    PyObject* d = merged(reinterpret_cast<EvalLocals*>(self));
    if (!d) return nullptr;
    PyObject* it = PyObject_GetIter(d);
    Py_DECREF(d);
    return it;
}

// keys(), items(), values(), get() and repr of the merged dictionary.
PyObject* forward_merged(PyObject* self, const char* name, PyObject* const* args, Py_ssize_t nargs) {
    PyObject* d = merged(reinterpret_cast<EvalLocals*>(self));
    if (!d) return nullptr;
    PyObject* f = PyObject_GetAttrString(d, name);
    Py_DECREF(d);
    if (!f) return nullptr;
    PyObject* r = PyObject_Vectorcall(f, args, nargs, nullptr);
    Py_DECREF(f);
    return r;
}
PyObject* locals_keys(PyObject* self, PyObject*) { return forward_merged(self, "keys", nullptr, 0); }
PyObject* locals_items(PyObject* self, PyObject*) { return forward_merged(self, "items", nullptr, 0); }
PyObject* locals_values(PyObject* self, PyObject*) { return forward_merged(self, "values", nullptr, 0); }
PyObject* locals_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return forward_merged(self, "get", args, nargs);
}
PyObject* locals_repr(PyObject* self) {
    PyObject* d = merged(reinterpret_cast<EvalLocals*>(self));
    if (!d) return nullptr;
    PyObject* r = PyObject_Repr(d);
    Py_DECREF(d);
    return r;
}

int locals_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* v = reinterpret_cast<EvalLocals*>(self);
    for (PyObject* o : v->base) Py_VISIT(o);
    Py_VISIT(v->tables);
    Py_VISIT(v->own);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int locals_clear(PyObject* self) {
    auto* v = reinterpret_cast<EvalLocals*>(self);
    for (PyObject*& o : v->base) Py_CLEAR(o);
    Py_CLEAR(v->tables);
    Py_CLEAR(v->own);
    return 0;
}

void locals_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    locals_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyMethodDef locals_methods[] = {
    {"keys", locals_keys, METH_NOARGS, nullptr},
    {"items", locals_items, METH_NOARGS, nullptr},
    {"values", locals_values, METH_NOARGS, nullptr},
    {"get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(locals_get)), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot locals_slots[] = {
    {Py_mp_subscript, reinterpret_cast<void*>(locals_getitem)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(locals_setitem)},
    {Py_mp_length, reinterpret_cast<void*>(locals_len)},
    {Py_sq_contains, reinterpret_cast<void*>(locals_contains)},
    {Py_tp_iter, reinterpret_cast<void*>(locals_iter)},
    {Py_tp_repr, reinterpret_cast<void*>(locals_repr)},
    {Py_tp_methods, locals_methods},
    {Py_tp_traverse, reinterpret_cast<void*>(locals_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(locals_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(locals_dealloc)},
    {0, nullptr},
};

PyType_Spec locals_spec = {"tarvok.zelvo.kernel.EvalLocals", sizeof(EvalLocals), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                           locals_slots};

// The evaluation's local namespace. Exact dictionaries get the view, which
// reads them without a copy; any other table is merged into one dict by
// dict.update, so its own keys() and item access decide what it holds.
py::object make_locals(py::handle self, py::handle node, py::handle locals_list) {
    py::object tables = steal(PySequence_Tuple(locals_list.ptr()));
    bool plain = true;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tables.ptr()); ++i)
        plain = plain && PyDict_CheckExact(PyTuple_GET_ITEM(tables.ptr(), i));
    if (!plain) {
        py::dict base;
        base["locals_list"] = locals_list;
        base["node"] = node;
        base["self"] = self;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tables.ptr()); ++i)
            call_method(base, TVK_NAME("update"), {PyTuple_GET_ITEM(tables.ptr(), i)});
        return std::move(base);
    }
    auto* v = PyObject_GC_New(EvalLocals, reinterpret_cast<PyTypeObject*>(reg().EvalLocals));
    if (!v) throw py::error_already_set();
    v->base[0] = Py_NewRef(locals_list.ptr());
    v->base[1] = Py_NewRef(node.ptr());
    v->base[2] = Py_NewRef(self.ptr());
    v->tables = tables.release().ptr();
    v->own = nullptr;
    PyObject_GC_Track(v);
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(v));
}

// A comprehension, generator expression or lambda of the text: it runs in a
// scope of its own, where the interpreter looks every name it does not bind
// up among the globals only, never in the evaluation's locals.
bool has_nested_scope(py::handle code) {
    py::object consts = getattr(code, TVK_NAME("co_consts"));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.ptr()); ++i)
        if (PyCode_Check(PyTuple_GET_ITEM(consts.ptr(), i))) return true;
    return false;
}

// Globals for such a text: a copy of the module namespace with the visible
// names laid over it, so the inner scope sees what the text itself sees, and
// whatever it binds as a global (a walrus target) stays in the copy.
py::object globals_with(py::handle locals) {
    py::object g = steal(PyDict_Copy(reg().module_dict));
    py::object visible = PyDict_Check(locals.ptr()) ? py::reinterpret_borrow<py::object>(locals)
                                                    : steal(merged(reinterpret_cast<EvalLocals*>(locals.ptr())));
    if (PyDict_Update(g.ptr(), visible.ptr()) < 0) throw py::error_already_set();
    return g;
}

// Runs self._raise_error(KernelParseError, node, message) with `failure` as
// the exception being handled, so the parse error carries it as context.
void report_failure(py::handle self, py::handle node, py::handle failure) {
    py::object message =
        steal(PyUnicode_FromFormat("Function Parse Error, %S", failure.ptr()));
    PyObject* previous = PyErr_GetHandledException();
    PyErr_SetHandledException(failure.ptr());
    try {
        refuse(self, node, message);
    } catch (...) {
        PyErr_SetHandledException(previous);
        Py_XDECREF(previous);
        throw;
    }
    PyErr_SetHandledException(previous);
    Py_XDECREF(previous);
}

}  // namespace

void register_eval_locals(py::module_&) { reg().EvalLocals = steal(PyType_FromSpec(&locals_spec)).release().ptr(); }

// _kernel_eval(node, locals_list)
py::object kernel_eval(const Call& c) {
    static const Signature sig("_kernel_eval", {"self", "node", "locals_list"}, 3);
    auto b = bind<3>(sig, c);
    return evaluate_node(b[0], b[1], b[2]);
}

py::object evaluate(py::handle self, py::handle node, py::handle locals_list) {
    static OwnSteps<1, NoExtra> own_eval({own_method(TVK_NAME("_kernel_eval"), method<kernel_eval>().fn)});
    if (!own_eval.open(self.ptr())) return call_method(self, TVK_NAME("_kernel_eval"), {node, locals_list});
    return evaluate_node(self, node, locals_list);
}

py::object evaluate_node(py::handle self, py::handle node, py::handle locals_list) {
    py::object locals = make_locals(self, node, locals_list);
    try {
        // The compiled code remembered for the node's structure, or its text
        // made anew and compiled here.
        bool compiled = false;
        py::object code = node_code(node, compiled);
        if (!compiled) {
            static PyObject* const filename = PyUnicode_InternFromString("<string>");
            static PyObject* const mode = PyUnicode_InternFromString("eval");
            PyObject* cargv[] = {code.ptr(), filename, mode};
            code = steal(PyObject_Vectorcall(reg().compile, cargv, 3, nullptr));
        }
        py::object globals = py::reinterpret_borrow<py::object>(reg().module_dict);
        if (has_nested_scope(code)) globals = globals_with(locals);
        PyObject* argv[] = {code.ptr(), globals.ptr(), locals.ptr()};
        return steal(PyObject_Vectorcall(reg().eval, argv, 3, nullptr));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        e.restore();
    }
    py::object failure = take_exception();
    report_failure(self, node, failure);
    return py::none();  // only when an override of _raise_error returns
}

}  // namespace tvk::kernel
