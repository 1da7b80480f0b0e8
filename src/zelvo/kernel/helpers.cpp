// Small operations every handler of the front-end shares.
#include "kernel.hpp"

#include "common/visitor.hpp"
#include "common/walk.hpp"

namespace tvk::kernel {

py::object global(PyObject* name) { return module_global(reg().module_dict, name); }

py::object global_name(PyObject* name) { return getattr(global(name), TVK_NAME("__name__")); }

py::object feedback_key(py::handle name) { return steal(PyUnicode_FromFormat("feedbackchnl_%S", name.ptr())); }

bool name_in(py::handle node, std::initializer_list<const char*> ids) {
    if (!has_type(node, reg().Name)) return false;
    py::object id = getattr(node, TVK_NAME("id"));
    if (!PyUnicode_Check(id.ptr())) return false;
    for (const char* s : ids)
        if (PyUnicode_CompareWithASCIIString(id.ptr(), s) == 0) return true;
    return false;
}

bool prefixed_call(py::handle node, std::initializer_list<const char*> prefixes) {
    if (!has_type(node, reg().Call)) return false;
    py::object func = getattr(node, TVK_NAME("func"));
    return has_type(func, reg().Attribute) && name_in(getattr(func, TVK_NAME("value")), prefixes);
}

bool contains(py::handle table, py::handle key) {
    int r = PyDict_CheckExact(table.ptr()) ? PyDict_Contains(table.ptr(), key.ptr())
                                           : PySequence_Contains(table.ptr(), key.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

bool equal(py::handle a, py::handle b) {
    int eq = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (eq < 0) throw py::error_already_set();
    return eq != 0;
}

py::object first_of(py::handle node, PyObject* name) {
    py::object seq = getattr(node, name);
    Py_ssize_t n = PySequence_Size(seq.ptr());
    if (n < 0) throw py::error_already_set();
    if (n == 0) return py::object();
    return steal(PySequence_GetItem(seq.ptr(), 0));
}

py::object table_item(py::handle table, py::handle key) { return steal(PyObject_GetItem(table.ptr(), key.ptr())); }

void file_symbol(py::handle self, PyObject* table, py::handle key, py::handle value) {
    py::object t = getattr(self, table);
    if (PyObject_SetItem(t.ptr(), key.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

bool named_in_table(py::handle self, py::handle node, PyObject* table) {
    return has_type(node, reg().Name) && contains(getattr(self, table), getattr(node, TVK_NAME("id")));
}

void append(py::handle self, py::handle item) {
    py::object list = getattr(self, TVK_NAME("instruction_list"));
    if (PyList_CheckExact(list.ptr())) {
        tvk::append(list, item);
        return;
    }
    call_method(list, TVK_NAME("append"), {item});
}

void extend_list(py::handle self, py::handle items) {
    py::object list = getattr(self, TVK_NAME("instruction_list"));
    if (PyList_CheckExact(list.ptr())) {
        extend(list, items);
        return;
    }
    call_method(list, TVK_NAME("extend"), {items});
}

// self.visit(node): ast.NodeVisitor.visit done here while it is the one the
// kernel's class uses, without a Python frame of its own.
py::object visit(py::handle self, py::handle node) { return node_visit(self, node, reg().visit); }

void visit_each(py::handle self, py::handle nodes) {
    for_each(nodes, [&](py::handle node) { visit(self, node); });
}

void refuse(py::handle self, py::handle node, py::handle message) {
    py::object error = global(TVK_NAME("KernelParseError"));
    call_method(self, TVK_NAME("_raise_error"), {error, node, message});
}

void refuse(py::handle self, py::handle node, const char* message) { refuse(self, node, py::str(message)); }

py::object formatted(py::handle x) { return py_format(x, ""); }

py::object ast_node(PyObject* cls, py::handle fields) {
    py::object no_args = steal(PyTuple_New(0));
    return steal(PyObject_Call(cls, no_args.ptr(), fields.ptr()));
}

py::object make(PyObject* cls, std::initializer_list<py::handle> args, py::handle kernel) {
    PyObject* argv[8];
    if (args.size() > 7) throw std::invalid_argument("make: too many arguments");
    size_t n = 0;
    for (py::handle a : args) argv[n++] = a.ptr();
    if (!kernel) return steal(PyObject_Vectorcall(cls, argv, n, nullptr));
    argv[n] = kernel.ptr();
    static PyObject* const kw = keep_new(Py_BuildValue("(s)", "kernel"));
    return steal(PyObject_Vectorcall(cls, argv, n, kw));
}

}  // namespace tvk::kernel
