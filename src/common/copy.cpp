#include "copy.hpp"

#include <pybind11/pybind11.h>

#include "direct.hpp"
#include "insides.hpp"
#include "keep.hpp"

namespace tvk {

namespace {

PyObject* object_attr(const char* name) {
    PyObject* a = PyDict_GetItemString(PyBaseObject_Type.tp_dict, name);
    if (!a) throw std::runtime_error("object lacks a member of the copy protocol");
    return a;
}

// The members of the copy protocol copy.copy reads through the instance
// (x.__reduce_ex__, then x.__reduce__ and x.__getstate__ in object's
// reduce, y.__setstate__ in the rebuild): one of these in the instance dict
// takes the plain road, whether or not copy.copy would call it.
PyObject* const* instance_protocol() {
    static PyObject* const names[] = {TVK_NAME("__getstate__"), TVK_NAME("__reduce_ex__"), TVK_NAME("__reduce__"),
                                      TVK_NAME("__copy__"), TVK_NAME("__setstate__")};
    return names;
}
constexpr std::size_t kInstanceProtocol = 5;

// True when copy.copy(x) would end in object.__reduce_ex__'s plain path:
// cls.__new__(cls) followed by a __dict__ update, as far as x's type decides
// it (the copyreg table is asked at each copy).
bool plain_type(PyTypeObject* tp) {
    static PyObject* const reduce_ex = object_attr("__reduce_ex__");
    static PyObject* const reduce = object_attr("__reduce__");
    static PyObject* const getstate = object_attr("__getstate__");
    if (!(tp->tp_flags & Py_TPFLAGS_HEAPTYPE) || tp->tp_new != PyBaseObject_Type.tp_new ||
        tp->tp_itemsize != 0 || tp->tp_dictoffset == 0)
        return false;
    // A __getattribute__ of its own may give any member of the protocol.
    if (tp->tp_getattro != PyObject_GenericGetAttr) return false;
    if (insides::type_lookup(tp, TVK_NAME("__reduce_ex__")) != reduce_ex ||
        insides::type_lookup(tp, TVK_NAME("__reduce__")) != reduce ||
        insides::type_lookup(tp, TVK_NAME("__getstate__")) != getstate)
        return false;
    for (PyObject* name : {TVK_NAME("__copy__"), TVK_NAME("__setstate__"), TVK_NAME("__getnewargs_ex__"),
                           TVK_NAME("__getnewargs__")})
        if (insides::type_lookup(tp, name)) return false;
    // Slots would make the state a pair; look through every class.
    PyObject* mro = tp->tp_mro;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* d = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict;
        if (PyDict_GetItemWithError(d, TVK_NAME("__slots__"))) return false;
        if (PyErr_Occurred()) throw py::error_already_set();
    }
    return true;
}

TypeMemo<bool> g_plain_types;

bool plain_instance(PyObject* x) {
    static PyObject* const dispatch_table = keep(py::module_::import("copyreg"), "dispatch_table");
    PyTypeObject* tp = Py_TYPE(x);
    if (!g_plain_types.get(tp, plain_type)) return false;
    int listed = PyDict_Check(dispatch_table) ? PyDict_Contains(dispatch_table, reinterpret_cast<PyObject*>(tp)) : 0;
    if (listed < 0) throw py::error_already_set();
    return listed == 0;
}

// True when the instance dict holds any member of the copy protocol. Its
// keys may be of any kind, so asking may run code.
bool shadows_protocol(PyObject* dict) {
    if (PyDict_GET_SIZE(dict) == 0) return false;
    PyObject* const* names = instance_protocol();
    for (std::size_t i = 0; i < kInstanceProtocol; ++i) {
        int held = PyDict_Contains(dict, names[i]);
        if (held < 0) throw py::error_already_set();
        if (held) return true;
    }
    return false;
}

}  // namespace

py::object shallow_copy(py::handle x) {
    PyObject* o = x.ptr();
    // copy.copy of a list is list.copy().
    if (PyList_CheckExact(o)) return steal(PyList_GetSlice(o, 0, PyList_GET_SIZE(o)));
    if (plain_instance(o)) {
        py::object dict = steal(PyObject_GenericGetDict(o, nullptr));
        // An instance attribute shadowing the copy protocol (a __getstate__
        // of its own, say) is honoured by copy.copy, so leave such an
        // object to it. Making the dict and asking it may have run code
        // that changed the type: ask the type again.
        if (!shadows_protocol(dict.ptr()) && plain_instance(o)) {
            static PyObject* const no_args = keep_new(PyTuple_New(0));
            py::object y = steal(PyBaseObject_Type.tp_new(Py_TYPE(o), no_args, nullptr));
            if (PyDict_GET_SIZE(dict.ptr()) != 0) {
                py::object ydict = steal(PyObject_GenericGetDict(y.ptr(), nullptr));
                if (PyDict_Update(ydict.ptr(), dict.ptr()) < 0) throw py::error_already_set();
            }
            return y;
        }
    }
    static PyObject* const copy_fn = keep(py::module_::import("copy"), "copy");
    return steal(PyObject_CallOneArg(copy_fn, o));
}

}  // namespace tvk
