// Error reporting: every refusal of the front-end and every checker error
// names the kernel, the source line and the text of the statement at fault
// before its message.
#include "kernel.hpp"
#include "zelvo/checkers/record.hpp"

namespace tvk::kernel {

namespace {

// `raise obj`: an exception instance is raised as it is, an exception class
// is instantiated; anything else is the interpreter's refusal.
[[noreturn]] void raise_object(py::handle obj) {
    PyObject* o = obj.ptr();
    if (PyExceptionInstance_Check(o)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(o)), o);
    } else if (PyExceptionClass_Check(o)) {
        PyErr_SetNone(o);
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    throw py::error_already_set();
}

}  // namespace

py::object get_line_source(const Call& c) {
    static const Signature sig("_get_line_source", {"self", "node"}, 2);
    auto b = bind<2>(sig, c);
    py::object source = getattr(b[0], TVK_NAME("top_src"));
    return call_method(global(TVK_NAME("ast")), TVK_NAME("get_source_segment"), {source, b[1]});
}

// _raise_error(error_type, node, msg): raises error_type("in kernel NAME,
// line N, \"SOURCE\":\nMESSAGE").
py::object raise_error(const Call& c) {
    static const Signature sig("_raise_error", {"self", "error_type", "node", "msg"}, 4);
    auto b = bind<4>(sig, c);
    py::handle self = b[0];
    py::object segment = call_method(self, TVK_NAME("_get_line_source"), {b[2]});
    py::object name = formatted(getattr(self, TVK_NAME("name")));
    py::object line = formatted(getattr(b[2], TVK_NAME("lineno")));
    py::object source = formatted(segment);
    py::object message = formatted(b[3]);
    py::object full = steal(PyUnicode_FromFormat("in kernel %U, line %U, \"%U\":\n%U", name.ptr(), line.ptr(),
                                                 source.ptr(), message.ptr()));
    raise_object(steal(PyObject_CallOneArg(b.v[1], full.ptr())));
}

// with_error(error): raises the first checker record, if there is one, as
// its own error class at the statement that made the offending instruction.
py::object with_error(const Call& c) {
    static const Signature sig("with_error", {"self", "error"}, 2);
    auto b = bind<2>(sig, c);
    check_list(b[1], "error");
    if (PyList_GET_SIZE(b.v[1]) == 0) return py::none();
    py::object record = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(b.v[1], 0));
    auto item = [&](long i) {
        py::object index = steal(PyLong_FromLong(i));
        return steal(PyObject_GetItem(record.ptr(), index.ptr()));
    };
    py::object code = item(checkers::kRecordCode);
    py::object error_class = item(checkers::kRecordClass);
    py::object msg = item(checkers::kRecordMessage);
    py::object node = call_method(b[0], TVK_NAME("node_line"), {item(checkers::kRecordInstruction)});
    py::object code_text = py_str(code);
    py::object class_name = py_str(getattr(error_class, TVK_NAME("__name__")));
    py::object msg_text = py_str(msg);
    py::object message = steal(
        PyUnicode_FromFormat("[error %U]-%U %U", code_text.ptr(), class_name.ptr(), msg_text.ptr()));
    call_method(b[0], TVK_NAME("_raise_error"), {error_class, node, message});
    return py::none();
}

// node_line(error_ir): the top-level statement of the kernel function that
// begins on the instruction's line; the function definition when none does.
// A source whose first statement has no body reports that statement.
py::object node_line(const Call& c) {
    static const Signature sig("node_line", {"self", "error_ir"}, 2);
    auto b = bind<2>(sig, c);
    py::object line = getattr(b[1], TVK_NAME("line"));
    py::object top = getattr(b[0], TVK_NAME("top_node"));
    py::object first = steal(PySequence_GetItem(getattr(top, TVK_NAME("body")).ptr(), 0));
    py::object stmts = lookup_attr(first, TVK_NAME("body"));
    if (!stmts || !PyList_Check(stmts.ptr())) return first;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(stmts.ptr()); ++i) {
        py::object stmt = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(stmts.ptr(), i));
        py::object lineno = getattr(stmt, TVK_NAME("lineno"));
        if (equal(lineno, line)) return stmt;
    }
    return first;
}

}  // namespace tvk::kernel
