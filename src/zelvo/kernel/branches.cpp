// if statements: a library call as test goes to the library's if_call hook; a
// subscripted compile-time variable compared with a literal is decided while
// parsing; a register compared with a literal becomes, in place:
//
//   conditional jump (T1)      taken: to the if-branch
//   else-branch
//   IRJumpInside (T2)          over the if-branch
//   IRPlaceholder, tag T1
//   if-branch
//   IRPlaceholder, tag T2
//
// Placeholders hand their tags to the instruction after them, so each jump
// lands where its placeholder stood.
#include "kernel.hpp"

namespace tvk::kernel {

namespace {

// if v[k] == c: only the branch the values select is lowered. Only `==` is
// honoured; the index and the compared value must be literals.
void compile_time_if(py::handle self, py::handle node, py::handle test, py::handle subscript) {
    py::object op = first_of(test, TVK_NAME("ops"));
    if (!op || Py_TYPE(op.ptr()) != reinterpret_cast<PyTypeObject*>(reg().Eq)) {
        py::object message = steal(PyUnicode_FromFormat("Unknown comparison operator %S", op ? op.ptr() : Py_None));
        refuse(self, test, message);
        return;
    }
    py::object compared = first_of(test, TVK_NAME("comparators"));
    py::object variable = getattr(subscript, TVK_NAME("value"));
    py::object index = getattr(subscript, TVK_NAME("slice"));
    py::object table = getattr(self, TVK_NAME("var_symbol"));
    if (!compared || !has_type(compared, reg().Constant) || !has_type(variable, reg().Name) ||
        !contains(table, getattr(variable, TVK_NAME("id"))) || !has_type(index, reg().Constant)) {
        refuse(self, node, kUnknownJudgement);
        return;
    }
    py::object items = table_item(table, getattr(variable, TVK_NAME("id")));
    py::object item = table_item(items, getattr(index, TVK_NAME("value")));
    py::object literal = getattr(compared, TVK_NAME("value"));
    py::object equal = steal(PyObject_RichCompare(literal.ptr(), item.ptr(), Py_EQ));
    visit_each(self, getattr(node, truth(equal) ? TVK_NAME("body") : TVK_NAME("orelse")));
}

void runtime_if(py::handle self, py::handle node, py::handle test) {
    call_method(self, TVK_NAME("visit_Compare"), {test});
    py::object list = getattr(self, TVK_NAME("instruction_list"));
    py::object last = steal(PySequence_GetItem(list.ptr(), -1));
    py::object judge_tag = getattr(last, TVK_NAME("tag"));
    visit_each(self, getattr(node, TVK_NAME("orelse")));
    py::object inside = make(reg().IRJumpInside, {});
    append(self, inside);
    py::object jail_tag = getattr(inside, TVK_NAME("tag"));
    py::object landing = make(reg().IRPlaceholder, {});
    setattr(landing, TVK_NAME("tag"), judge_tag);
    append(self, landing);
    visit_each(self, getattr(node, TVK_NAME("body")));
    py::object end = make(reg().IRPlaceholder, {});
    setattr(end, TVK_NAME("tag"), jail_tag);
    append(self, end);
}

}  // namespace

py::object visit_If(const Call& c) {
    static const Signature sig("visit_If", {"self", "node"}, 2);
    auto b = bind<2>(sig, c);
    py::handle self = b[0], node = b[1];
    RecursionGuard guard(kLowering);
    py::object test = getattr(node, TVK_NAME("test"));
    if (has_type(test, reg().Call)) {
        hand_to_library(self, test, node, TVK_NAME("_zv_func_on_if"), kUnknownJudgement);
        return py::none();
    }
    call_method(self, TVK_NAME("_judgment_jump"), {node});
    return py::none();
}

// _judgment_jump(node): by the left operand of a comparison, a compile-time
// if or a run-time if; any other test (no comparison, no left operand, a
// plain compile-time name, a literal) would lose its branches and is refused.
py::object judgment_jump(const Call& c) {
    static const Signature sig("_judgment_jump", {"self", "node"}, 2);
    auto b = bind<2>(sig, c);
    py::handle self = b[0], node = b[1];
    py::object test = getattr(node, TVK_NAME("test"));
    py::object left = has_type(test, reg().Compare) ? lookup_attr(test, TVK_NAME("left")) : py::object();
    if (!left) {
        refuse(self, node, kUnknownJudgement);
    } else if (has_type(left, reg().Subscript)) {
        compile_time_if(self, node, test, left);
    } else if (named_in_table(self, left, TVK_NAME("register_symbol"))) {
        runtime_if(self, node, test);
    } else {
        refuse(self, node, kUnknownJudgement);
    }
    return py::none();
}

}  // namespace tvk::kernel
