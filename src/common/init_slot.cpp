#include "init_slot.hpp"

#include "direct.hpp"
#include "insides.hpp"

namespace tvk {

namespace {

// The interpreter's init slot for a class whose namespace held an __init__,
// read from the first class given (every such class has the same one).
initproc g_generic_init = nullptr;

// What the generic slot does, for the call without keywords: __init__ as the
// type resolves it, one of this layer's methods, called with self in front
// and held while it runs; every other call is the generic slot's.
int direct_init(PyObject* self, PyObject* args, PyObject* kwds) {
    constexpr Py_ssize_t kMaxArgs = 4;
    const Py_ssize_t n = PyTuple_GET_SIZE(args);
    if (n <= kMaxArgs && (!kwds || (PyDict_Check(kwds) && PyDict_GET_SIZE(kwds) == 0))) {
        PyObject* init = insides::type_lookup(Py_TYPE(self), TVK_NAME("__init__"));
        if (MethodEntry own = init ? method_entry(init) : MethodEntry{}) {
            PyObject* argv[kMaxArgs + 1];
            argv[0] = self;
            for (Py_ssize_t i = 0; i < n; ++i) argv[i + 1] = PyTuple_GET_ITEM(args, i);
            Py_INCREF(init);
            PyObject* r = own.fn(own.cell, argv, n + 1, nullptr);
            Py_DECREF(init);
            if (!r) return -1;
            if (r != Py_None) {
                PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'", Py_TYPE(r)->tp_name);
                Py_DECREF(r);
                return -1;
            }
            Py_DECREF(r);
            return 0;
        }
    }
    return g_generic_init(self, args, kwds);
}

}  // namespace

py::object new_instance(PyObject* cls) {
    // type's own call with no argument: object's __new__ (which also sets up
    // the instance's inline attributes), then the init slot, whatever it is.
    if (PyType_Check(cls) && Py_TYPE(cls)->tp_call == PyType_Type.tp_call) {
        auto* tp = reinterpret_cast<PyTypeObject*>(cls);
        if (tp->tp_new == PyBaseObject_Type.tp_new && !(tp->tp_flags & Py_TPFLAGS_IS_ABSTRACT)) {
            static PyObject* const no_args = PyTuple_New(0);
            if (!no_args) throw py::error_already_set();
            if (Py_EnterRecursiveCall(" while calling a Python object")) throw py::error_already_set();
            PyObject* self = tp->tp_new(tp, no_args, nullptr);
            if (self && Py_TYPE(self)->tp_init && Py_TYPE(self)->tp_init(self, no_args, nullptr) < 0) Py_CLEAR(self);
            Py_LeaveRecursiveCall();
            return steal(self);
        }
    }
    return steal(PyObject_CallNoArgs(cls));
}

void direct_init_slot(py::handle cls) {
    if (!PyType_Check(cls.ptr())) return;
    auto* tp = reinterpret_cast<PyTypeObject*>(cls.ptr());
    // Only a class whose slot is the interpreter's generic one: never
    // object's own, nor a slot some base defined in C.
    if (!g_generic_init) {
        PyObject* own = PyDict_GetItemWithError(tp->tp_dict, TVK_NAME("__init__"));
        if (!own) {
            if (PyErr_Occurred()) throw py::error_already_set();
            return;
        }
        if (!method_entry(own)) return;
        g_generic_init = tp->tp_init;
    }
    insides::replace_init_slot(tp, g_generic_init, direct_init);
}

}  // namespace tvk
