// The source of a kernel function, remembered per code object.
//
// Relies on: inspect.getsource(f), for a plain function that wraps no
// other, being a function of f's code object (its file name and first line)
// and of the lines linecache holds for that file once checkcache has looked
// at the file, while getsource, checkcache and getlines are their modules'
// own. So the memo runs checkcache as getsource would, and an entry is used
// only while linecache holds the very entry it was read from, whose lines
// are still the very same str objects. An entry is made only when that
// linecache entry stood unchanged around the read.
#include <pybind11/cast.h>

#include "memo.hpp"

namespace tvk::kernel::memo {

namespace {

Memo& sources() {
    static auto* m = new Memo(256);
    return *m;
}

// A file name getsource reads through linecache as it stands: a source file
// or a pseudo-file such as "<string>" (a compiled or extension module's is
// mapped or refused first).
bool plain_file_name(PyObject* name) {
    if (!PyUnicode_CheckExact(name)) return false;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(name);
    if (n >= 2 && PyUnicode_READ_CHAR(name, 0) == '<' && PyUnicode_READ_CHAR(name, n - 1) == '>') return true;
    return PyUnicode_Tailmatch(name, TVK_NAME(".py"), 0, n, 1) == 1;
}

// linecache's entry for `name` (borrowed): a full entry (size, mtime, lines,
// full name) whose lines are a list; nullptr for none or any other.
PyObject* cache_entry(PyObject* name) {
    PyObject* cache = PyDict_GetItemWithError(PyModule_GetDict(orig().checkcache.module), TVK_NAME("cache"));
    if (!cache || !PyDict_CheckExact(cache)) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return nullptr;
    }
    PyObject* entry = PyDict_GetItemWithError(cache, name);
    if (!entry && PyErr_Occurred()) throw py::error_already_set();
    if (!entry || !PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) != 4 ||
        !PyList_CheckExact(PyTuple_GET_ITEM(entry, 2)))
        return nullptr;
    return entry;
}

// `lines`, a list, holds the very objects of the tuple `snapshot`.
bool same_lines(PyObject* lines, PyObject* snapshot) {
    const Py_ssize_t n = PyList_GET_SIZE(lines);
    if (n != PyTuple_GET_SIZE(snapshot)) return false;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyList_GET_ITEM(lines, i) != PyTuple_GET_ITEM(snapshot, i)) return false;
    return true;
}

// An entry of the memo: (code, linecache entry, its lines then, source).
enum { kCode, kEntry, kLines, kSource };

// The memo may stand for getsource(f).
bool remembered_road(PyObject* f) {
    if (Py_TYPE(f) != &PyFunction_Type || !own_getsource() || !own_linecache()) return false;
    // getsource follows __wrapped__ to another function.
    PyObject* fdict = reinterpret_cast<PyFunctionObject*>(f)->func_dict;
    int wrapped = fdict ? PyDict_Contains(fdict, TVK_NAME("__wrapped__")) : 0;
    if (wrapped < 0) throw py::error_already_set();
    return wrapped == 0;
}

}  // namespace

}  // namespace tvk::kernel::memo

namespace tvk::kernel {

py::object function_source(py::handle func) {
    using namespace memo;
    PyObject* f = func.ptr();
    if (!remembered_road(f)) return call_method(global(TVK_NAME("inspect")), TVK_NAME("getsource"), {func});
    Originals& o = orig();
    py::object code = borrow(PyFunction_GET_CODE(f));
    py::object name = borrow(reinterpret_cast<PyCodeObject*>(code.ptr())->co_filename);
    if (!plain_file_name(name.ptr())) return steal(PyObject_CallOneArg(o.getsource.func(), f));
    // The file looked at as getsource looks at it; from here on no Python
    // code runs until the entry found is compared.
    steal(PyObject_CallOneArg(o.checkcache.func(), name.ptr()));
    PyObject* entry = cache_entry(name.ptr());
    // Keyed by the code object's address, with the object itself in the
    // entry: the address names no other object while the entry holds it.
    py::object key = steal(PyLong_FromVoidPtr(code.ptr()));
    if (entry)
        if (PyObject* kept = sources().get(key.ptr()))
            if (PyTuple_GET_ITEM(kept, kCode) == code.ptr() && PyTuple_GET_ITEM(kept, kEntry) == entry &&
                same_lines(PyTuple_GET_ITEM(entry, 2), PyTuple_GET_ITEM(kept, kLines)))
                return borrow(PyTuple_GET_ITEM(kept, kSource));
    py::object held = entry ? borrow(entry) : py::object();
    py::object lines = entry ? steal(PyList_AsTuple(PyTuple_GET_ITEM(entry, 2))) : py::object();
    py::object source = steal(PyObject_CallOneArg(o.getsource.func(), f));
    if (held && PyUnicode_CheckExact(source.ptr()) && cache_entry(name.ptr()) == held.ptr() &&
        same_lines(PyTuple_GET_ITEM(held.ptr(), 2), lines.ptr()))
        sources().put(key.ptr(), py::make_tuple(code, held, lines, source).ptr());
    return source;
}

}  // namespace tvk::kernel
