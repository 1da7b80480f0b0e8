#include "insides.hpp"

namespace tvk::insides {

#ifdef TVK_INSIDES
Mode g_mode = Mode::Generic;
#endif

void check_interpreter() {
#ifdef TVK_INSIDES
    // Py_Version is the running interpreter's; the headers name the one built for.
    g_mode = (Py_Version >> 16) == (static_cast<unsigned long>(PY_VERSION_HEX) >> 16) ? Mode::Insides
                                                                                       : Mode::Generic;
#endif
}

unsigned tagged_type_version(PyTypeObject* tp) {
#ifdef TVK_INSIDES
    if (!usable()) return 0;
    if (unsigned v = type_version(tp)) return v;
    // A lookup through the type's attribute cache assigns the tag.
    static PyObject* name = nullptr;
    if (!name) name = PyUnicode_InternFromString("__class__");
    if (!name) {
        PyErr_Clear();  // no tag then: the caller works without one
        return 0;
    }
    (void)_PyType_Lookup(tp, name);
    return type_version(tp);
#else
    (void)tp;
    return 0;  // no tag is read without the insides
#endif
}

int long_sign(PyObject* v) {
#ifdef TVK_INSIDES
    if (usable()) return _PyLong_Sign(v);
#endif
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow) return overflow;
    if (x == -1 && PyErr_Occurred()) return -1;  // not an int: the caller's check failed already
    return x < 0 ? -1 : x > 0 ? 1 : 0;
}

int lookup_attr(PyObject* obj, PyObject* name, PyObject** result) {
#ifdef TVK_INSIDES
    if (usable()) return _PyObject_LookupAttr(obj, name, result);
#endif
    *result = PyObject_GetAttr(obj, name);
    if (*result) return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
}

PyObject* type_lookup_generic(PyTypeObject* tp, PyObject* name) {
    PyObject* mro = tp->tp_mro;
    if (!mro) return nullptr;
    Py_INCREF(mro);  // a key's __eq__ may give the type another MRO
    PyObject* found = nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro) && !found; ++i) {
        PyObject* dict = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict;
        found = dict ? PyDict_GetItemWithError(dict, name) : nullptr;
        if (!found && PyErr_Occurred()) {
            PyErr_Clear();  // as the interpreter's own lookup: an error counts as not found
            break;
        }
    }
    Py_DECREF(mro);
    return found;
}

namespace {
// An interned name made once; nullptr (error set) when it could not be.
PyObject* name_of(PyObject*& slot, const char* text) {
    if (!slot) slot = PyUnicode_InternFromString(text);
    return slot;
}
}  // namespace

PyObject* function_str(PyObject* func) {
#ifdef TVK_INSIDES
    if (usable()) return _PyObject_FunctionStr(func);
#endif
    static PyObject *qualname_name = nullptr, *module_name = nullptr, *builtins_name = nullptr;
    if (!name_of(qualname_name, "__qualname__") || !name_of(module_name, "__module__") ||
        !name_of(builtins_name, "builtins"))
        return nullptr;
    PyObject* qualname = nullptr;
    if (lookup_attr(func, qualname_name, &qualname) < 0) return nullptr;
    if (!qualname) return PyObject_Str(func);
    PyObject* module = nullptr;
    PyObject* result = nullptr;
    if (lookup_attr(func, module_name, &module) >= 0) {
        int other = module && module != Py_None ? PyObject_RichCompareBool(module, builtins_name, Py_NE) : 0;
        if (other > 0)
            result = PyUnicode_FromFormat("%S.%S()", module, qualname);
        else if (other == 0)
            result = PyUnicode_FromFormat("%S()", qualname);
    }
    Py_XDECREF(module);
    Py_DECREF(qualname);
    return result;
}

}  // namespace tvk::insides
