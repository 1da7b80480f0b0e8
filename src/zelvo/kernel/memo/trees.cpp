// The syntax tree of a source text, remembered per text, and the copies of
// trees and nodes the front-end makes.
//
// Relies on: ast.parse(text) for an exact str being a function of the text
// alone while the step is the module's own, so the tree kept for a text is
// the parser's tree of it. The tree kept is seen by no one: every parse gets
// a copy of its own, even one the kernel that asks already holds a tree of
// (weak references and the collector reach objects no reference count
// shows, so no count can prove a tree unreachable). A copy may run Python
// code (its allocations may start a collection), so what it reads is held
// while it is read, and a list that changes meanwhile ends the copy.
#include "memo.hpp"

#include "common/copy.hpp"

namespace tvk::kernel::memo {

namespace {

Memo& trees() {
    static auto* m = new Memo(128);
    return *m;
}

// A value a copy shares as it is, told at once: most values a node holds
// are positions, names and constants.
inline bool plain_leaf(PyObject* v) {
    PyTypeObject* tp = Py_TYPE(v);
    return v == Py_None || tp == &PyLong_Type || tp == &PyUnicode_Type || tp == &PyFloat_Type || tp == &PyBool_Type;
}

// Puts the copy of `v`, the value under `key` in the new dict `dict`, in its
// place; `ix` is the entry PyDict_Next gave it at (-1: unknown). False when
// it cannot be copied.
bool copy_value(PyObject* dict, Py_ssize_t ix, PyObject* key, PyObject* v, bool keep_marks, int depth) {
    if (plain_leaf(v)) return true;
    // Copying runs Python code (a finalizer), which may let the source
    // dict's entries go.
    py::object held_key = borrow(key), held_value = borrow(v);
    PyObject* c = copy_tree(v, keep_marks, depth);
    if (!c) return false;
    py::object value = steal(c);
    // A node kept as it is (a shared Load) needs no store.
    if (c == v) return true;
    // The dict is new and seen by no one yet: its entry is written in place.
    if (PyObject* old = insides::fresh_entry_exchange(dict, ix, key, c)) {
        Py_DECREF(old);  // still held by the dict it was copied from
        return true;
    }
    if (PyDict_SetItem(dict, key, c) < 0) throw py::error_already_set();
    return true;
}

PyObject* copy_list(PyObject* o, bool keep_marks, int depth) {
    const Py_ssize_t n = PyList_GET_SIZE(o);
    py::object copy = steal(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyList_GET_SIZE(o) != n) return nullptr;
        py::object v = borrow(PyList_GET_ITEM(o, i));
        PyObject* item = plain_leaf(v.ptr()) ? Py_NewRef(v.ptr()) : copy_tree(v.ptr(), keep_marks, depth + 1);
        if (!item) return nullptr;
        PyList_SET_ITEM(copy.ptr(), i, item);
    }
    return copy.release().ptr();
}

// Every value of the node's dict as it stands at the copy: the fields, the
// positions, and whatever else it holds, each node or list among them
// copied in turn.
PyObject* copy_node_tree(PyObject* o, bool keep_marks, int depth) {
    PyObject* dict;
    if (!node_dict(o, dict)) return nullptr;
    if (!dict || PyDict_GET_SIZE(dict) == 0) return Py_NewRef(o);
    py::object copy_dict = steal(PyDict_Copy(dict));
    if (!keep_marks) {
        int marked = PyDict_Contains(copy_dict.ptr(), TVK_NAME("_pp"));
        if (marked < 0 || (marked && PyDict_DelItem(copy_dict.ptr(), TVK_NAME("_pp")) < 0))
            throw py::error_already_set();
    }
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (insides::dict_next(copy_dict.ptr(), &pos, &key, &value))
        if (!copy_value(copy_dict.ptr(), pos - 1, key, value, keep_marks, depth + 1)) return nullptr;
    return node_with_dict(Py_TYPE(o), copy_dict).release().ptr();
}

}  // namespace

PyObject* copy_tree(PyObject* o, bool keep_marks, int depth) {
    if (depth > kMaxDepth) return nullptr;
    PyTypeObject* tp = Py_TYPE(o);
    if (tp == &PyList_Type) return copy_list(o, keep_marks, depth);
    if (plain_leaf(o) || !orig().node_types.contains(tp))
        return PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(reg().AST)) ? nullptr : Py_NewRef(o);
    return copy_node_tree(o, keep_marks, depth);
}

}  // namespace tvk::kernel::memo

namespace tvk::kernel {

using memo::orig;

py::object node_with_dict(PyTypeObject* tp, py::handle dict) {
    py::object node = steal(tp->tp_alloc(tp, 0));
    if (PyObject_GenericSetDict(node.ptr(), dict.ptr(), nullptr) < 0) throw py::error_already_set();
    return node;
}

py::object copy_node(py::handle node) {
    PyTypeObject* tp = Py_TYPE(node.ptr());
    // The parser's classes copy as copy.copy does it: a new node of the class
    // with the same fields (their __reduce__ gives the class and the dict).
    PyObject* dict;
    if (!memo::is_node_type(tp) || !memo::node_dict(node.ptr(), dict)) return shallow_copy(node);
    py::object fields = steal(dict ? PyDict_Copy(dict) : PyDict_New());
    return node_with_dict(tp, fields);
}

py::object parse_source(py::handle source) {
    if (!memo::own_parse() || !PyUnicode_CheckExact(source.ptr()))
        return call_method(global(TVK_NAME("ast")), TVK_NAME("parse"), {source});
    if (PyObject* found = memo::trees().get(source.ptr())) {
        // Held: the copy may run Python code, which may drop the entry.
        py::object kept = borrow(found);
        if (PyObject* c = memo::copy_tree(kept.ptr(), true, 0)) return steal(c);
    }
    py::object tree = steal(PyObject_CallOneArg(orig().parse.func(), source.ptr()));
    if (PyObject* c = memo::copy_tree(tree.ptr(), true, 0)) {
        py::object kept = steal(c);
        memo::trees().put(source.ptr(), kept.ptr());
    }
    return tree;
}

}  // namespace tvk::kernel
