#include "function.hpp"

#include <structmember.h>

#include "keep.hpp"

namespace tvk {

namespace {

struct FunctionObject {
    PyObject_HEAD
    PyObject* state;
    PyObject* dict;
    RawFn fn;
    vectorcallfunc vectorcall;
};

FunctionObject* as_function(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    FunctionObject* f = as_function(self);
    return f->fn(f->state, args, static_cast<Py_ssize_t>(nargsf), kwnames);
}

// As a Python function: itself through the class, a bound method through an
// instance.
PyObject* function_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    PyObject* dict = as_function(self)->dict;
    PyObject* name = dict ? PyDict_GetItemWithError(dict, TVK_NAME("__qualname__")) : nullptr;
    if (!name && PyErr_Occurred()) return nullptr;
    if (name && PyUnicode_Check(name)) return PyUnicode_FromFormat("<function %U at %p>", name, self);
    return PyUnicode_FromFormat("<function at %p>", self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(f->state);
    Py_VISIT(f->dict);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->state);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyGetSetDef function_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

// Immutable, as the method type (pyclass.cpp).
PyType_Spec function_spec = {"tarvok.function", sizeof(FunctionObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR |
                                 Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE,
                             function_slots};

PyTypeObject* function_type() {
    // Made once per module and never released.
    static PyObject* const tp = keep_new(PyType_FromSpec(&function_spec));
    return reinterpret_cast<PyTypeObject*>(tp);
}

void set_item(PyObject* dict, const char* key, PyObject* value) {
    if (PyDict_SetItem(dict, intern(key), value) < 0) throw py::error_already_set();
}

}  // namespace

bool is_made_function(PyObject* o) { return Py_TYPE(o) == function_type(); }

py::object make_function(RawFn fn, py::handle state, const char* name, const char* qualname,
                         const char* module, const char* doc, py::handle annotations) {
    py::object dict = steal(PyDict_New());
    set_item(dict.ptr(), "__module__", make_str(module).ptr());
    set_item(dict.ptr(), "__name__", make_str(name).ptr());
    set_item(dict.ptr(), "__qualname__", make_str(qualname).ptr());
    // The builtins' form "name(sig)\n--\n\n..." gives __text_signature__, as
    // the interpreter gives it its own builtins.
    SplitDoc parts = split_doc(name, doc ? doc : "");
    if (!parts.signature.empty())
        set_item(dict.ptr(), "__text_signature__", make_str(std::string(parts.signature)).ptr());
    set_item(dict.ptr(), "__doc__", doc ? make_str(std::string(parts.text)).ptr() : Py_None);
    if (annotations) set_item(dict.ptr(), "__annotations__", annotations.ptr());
    auto* f = PyObject_GC_New(FunctionObject, function_type());
    if (!f) throw py::error_already_set();
    f->state = Py_XNewRef(state.ptr());
    f->dict = dict.release().ptr();
    f->fn = fn;
    f->vectorcall = function_vectorcall;
    PyObject_GC_Track(f);
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(f));
}

void function_member(ClassBuilder& b, const char* class_qualname, const char* module, const char* name,
                     MethodDef def, py::handle annotations, const char* doc) {
    std::string qualname = std::string(class_qualname) + "." + name;
    b.attr(name, make_function(def.fn, b.cell(), name, qualname.c_str(), module, b.doc_for(name, doc), annotations));
}

}  // namespace tvk
