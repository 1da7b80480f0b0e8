// BranchRule: the flat list becomes the scheduled list of two levels, each
// instruction of unfixed duration holding the instructions after it.
#include "rules.hpp"

namespace tvk::rules {

namespace {

py::object branch_rule(const Call& c) {
    auto b = bind_order_ins(c);
    py::object top = steal(PyList_New(0));
    Py_ssize_t open = -1;  // position of the block head at the top level
    for_each(b[1], [&](py::handle ir) {
        if (is_a(ir, reg().PreIR)) {
            append(top, ir);
        } else if (is_a(ir, reg().UnfixIR)) {
            open = PyList_GET_SIZE(top.ptr());
            append(top, ir);
        } else if (open >= 0) {
            // The head is read at its place each time, as the list holds it.
            py::object block = getattr(PyList_GET_ITEM(top.ptr(), open), TVK_NAME("ir_sub"));
            if (PyList_CheckExact(block.ptr()))
                append(block, ir);
            else
                call_method(block, TVK_NAME("append"), {ir});
        } else {
            append(top, ir);
        }
    });
    return top;
}

}  // namespace

void register_branch(py::module_& m) {
    simple_rule(m, "BranchRule", entry<branch_rule>());
}

}  // namespace tvk::rules
