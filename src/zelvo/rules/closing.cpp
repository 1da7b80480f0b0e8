// The closing back jump, and the rules outside the default order: re-tagging
// of placeholders, the plain copy and the concatenation of blocks.
#include "rules.hpp"

#include "rules_core.hpp"

namespace tvk::rules {

namespace {

// The copy, then a jump back to a fresh nop that stands in no list (so the
// jump resolves to position 0) and three nops.
py::object add_jump(const Call& c) {
    auto b = bind_order_ins(c);
    py::object copy = shallow_copy(b[1]);
    py::object head = make0(reg().IRNop);
    py::object closing = steal(PyList_New(0));
    append(closing, steal(PyObject_CallOneArg(reg().IRJumpImmNormal, head.ptr())));
    for (int i = 0; i < 3; ++i) append(closing, make0(reg().IRNop));
    return check_list_result(steal(PyNumber_Add(copy.ptr(), closing.ptr())));
}

// Placeholders leave the list, each handing its tag to the next instruction
// that is not one. The next such instruction is found for every position in
// one backward pass, so a long run of placeholders costs no rescanning.
py::object re_tag(const Call& c) {
    auto b = bind_order_ins(c);
    py::handle ir_list = b[1];
    NestedCall nested(b[0], b.kwargs, TVK_NAME("is_unfix"));
    PyObject* given = ir_list.ptr();
    // The look-ahead cuts the list from a position on, which a list or a
    // tuple allows, and any object with item access.
    bool sliceable = PyList_Check(given) || PyTuple_Check(given) ||
                     (Py_TYPE(given)->tp_as_mapping && Py_TYPE(given)->tp_as_mapping->mp_subscript);
    py::object items = steal(PySequence_List(given));
    const Py_ssize_t n = PyList_GET_SIZE(items.ptr());
    std::vector<bool> fake(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) fake[i] = is_a(PyList_GET_ITEM(items.ptr(), i), reg().FakeIR);
    const std::vector<size_t> next = core::next_kept(fake);

    py::object out = steal(PyList_New(0));
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::handle ir = PyList_GET_ITEM(items.ptr(), i);
        if (is_a(ir, reg().UnfixIR)) setattr(ir, TVK_NAME("ir_sub"), nested(getattr(ir, TVK_NAME("ir_sub")), true));
        if (!fake[i]) {
            append(out, ir);
            continue;
        }
        if (!sliceable) {
            PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(given)->tp_name);
            throw py::error_already_set();
        }
        if (next[i] < static_cast<size_t>(n))
            setattr(PyList_GET_ITEM(items.ptr(), next[i]), TVK_NAME("tag"), getattr(ir, TVK_NAME("tag")));
    }
    return out;
}

py::object jump_rule(const Call& c) {
    auto b = bind_order_ins(c);
    return check_list_result(shallow_copy(b[1]));
}

// The blocks one after the other, trigger waits in them aligned.
py::object loop_rule(const Call& c) {
    auto b = bind_order_ins(c);
    py::object align = trig_align_time(b.kwargs);
    py::object out = steal(PyList_New(0));
    for_each(b[1], [&](py::handle ir) {
        if (!is_a(ir, reg().UnfixIR)) return;
        for_each(getattr(ir, TVK_NAME("ir_sub")), [&](py::handle sub) {
            if (is_a(sub, reg().IRWaitTrig)) setattr(sub, TVK_NAME("wait_time"), align);
            append(out, sub);
        });
    });
    return out;
}

}  // namespace

void register_closing(py::module_& m) {
    simple_rule(m, "AddJumpRule", entry<add_jump>());
    simple_rule(m, "ReTagRule", entry<re_tag>());
    simple_rule(m, "JumpRule", entry<jump_rule>());
    simple_rule(m, "LoopRule", entry<loop_rule>());
}

}  // namespace tvk::rules
