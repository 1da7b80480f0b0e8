// Loops: a `for` over a compile-time variable is unrolled while parsing; a
// `for` whose variable is a register goes to the library's for_call hook;
// `while True` becomes a pre-loop copy of its body, a landing placeholder, the
// loop copy and a jump back to the placeholder, each copy lowered in a scope
// kernel of its own.
#include "kernel.hpp"

#include "common/instance_test.hpp"
#include "common/walk.hpp"

namespace tvk::kernel {

namespace {

// The text a refusal names a node by: its name, else its source.
py::object label(py::handle self, py::handle node) {
    if (has_type(node, reg().Name)) return getattr(node, TVK_NAME("id"));
    return call_method(self, TVK_NAME("_get_line_source"), {node});
}

void unroll(py::handle self, py::handle node, py::handle name) {
    const bool over_variable = truth(call_method(self, TVK_NAME("_is_compile_loop_var"), {node}));
    const bool over_call = truth(call_method(self, TVK_NAME("_is_compile_loop_func"), {node}));
    if (!over_variable && !over_call) {
        refuse(self, node, kUnallowedIterable);
        return;
    }
    py::object iter_node = getattr(node, TVK_NAME("iter"));
    py::object values = over_call ? visit(self, iter_node)
                                  : table_item(getattr(self, TVK_NAME("var_symbol")), getattr(iter_node, TVK_NAME("id")));
    bool iterable;
    {
        InstanceTestScope scope;  // abc's answer for the type, kept across parses
        iterable = is_instance(values, reg().Iterable);
    }
    if (!iterable) {
        py::object shown = formatted(values);
        py::object message = steal(PyUnicode_FromFormat("veriable %S=%U Unallowed for loop",
                                                         label(self, iter_node).ptr(), shown.ptr()));
        refuse(self, node, message);
        return;
    }
    py::object body = getattr(node, TVK_NAME("body"));
    for_each(values, [&](py::handle item) {
        file_symbol(self, TVK_NAME("var_symbol"), name, item);
        visit_each(self, body);
    });
    if (truth(getattr(node, TVK_NAME("orelse")))) refuse(self, node, "Unallowed else condition in Compile-time loops");
}

}  // namespace

py::object is_compile_loop_var(const Call& c) {
    static const Signature sig("_is_compile_loop_var", {"self", "node"}, 2);
    auto b = bind<2>(sig, c);
    return py::bool_(named_in_table(b[0], getattr(b[1], TVK_NAME("iter")), TVK_NAME("var_symbol")));
}

// A call as iterable with a compile-time loop variable (the callee is not
// what is tested).
py::object is_compile_loop_func(const Call& c) {
    static const Signature sig("_is_compile_loop_func", {"self", "node"}, 2);
    auto b = bind<2>(sig, c);
    return py::bool_(has_type(getattr(b[1], TVK_NAME("iter")), reg().Call) &&
                     named_in_table(b[0], getattr(b[1], TVK_NAME("target")), TVK_NAME("var_symbol")));
}

py::object visit_For(const Call& c) {
    static const Signature sig("visit_For", {"self", "node"}, 2);
    auto b = bind<2>(sig, c);
    py::handle self = b[0], node = b[1];
    RecursionGuard guard(kLowering);
    py::object target = getattr(node, TVK_NAME("target"));
    if (named_in_table(self, target, TVK_NAME("var_symbol"))) {
        unroll(self, node, getattr(target, TVK_NAME("id")));
        return py::none();
    }
    if (named_in_table(self, target, TVK_NAME("register_symbol"))) {
        hand_to_library(self, getattr(node, TVK_NAME("iter")), node, TVK_NAME("_zv_func_on_for"), kUnallowedIterable);
        return py::none();
    }
    py::object message =
        steal(PyUnicode_FromFormat("the iter variable %S is not defined", label(self, target).ptr()));
    refuse(self, node, message);
    return py::none();
}

// while True: each statement is lowered in the pre-loop scope, then in the
// loop scope, before the next one.
py::object visit_While(const Call& c) {
    static const Signature sig("visit_While", {"self", "node"}, 2);
    auto b = bind<2>(sig, c);
    py::handle self = b[0], node = b[1];
    RecursionGuard guard(kLowering);
    py::object test = getattr(node, TVK_NAME("test"));
    if (!has_type(test, reg().Constant) || getattr(test, TVK_NAME("value")).ptr() != Py_True) {
        refuse(self, node, "not allowed while");
        return py::none();
    }
    py::object loop_scope = call_method(self, TVK_NAME("create_scope"));
    py::object pre_loop_scope = call_method(self, TVK_NAME("create_scope"));
    py::object landing = make(reg().IRPlaceholder, {});
    py::object back = make(reg().IRJumpImmNormal, {landing}, self);
    for_each(getattr(node, TVK_NAME("body")), [&](py::handle stmt) {
        visit(pre_loop_scope, stmt);
        visit(loop_scope, stmt);
    });
    py::list lowered;
    extend(lowered, getattr(pre_loop_scope, TVK_NAME("instruction_list")));
    tvk::append(lowered, landing);
    extend(lowered, getattr(loop_scope, TVK_NAME("instruction_list")));
    tvk::append(lowered, back);
    extend_list(self, lowered);
    return py::none();
}

}  // namespace tvk::kernel
