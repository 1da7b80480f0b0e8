// Re-assignments: `x = zv.capture(...)`, `x = zv.receive(ch, ...)` and
// `x = zv.ins_envelope(...)` give a declared symbol a run-time value; every
// other plain assignment is refused. `x op= v` is read as `x = x op v`.
#include "kernel.hpp"

namespace tvk::kernel {

namespace {

constexpr const char* kNeedsType = "Defining a variable requires a variable type";
constexpr const char* kUnallowedExp = "Unallowed exp declaration";

// The literal first argument of the value call, or an empty object.
py::object literal_channel(py::handle call) {
    py::object first = first_of(call, TVK_NAME("args"));
    if (!first || !has_type(first, reg().Constant)) return py::object();
    return getattr(first, TVK_NAME("value"));
}

}  // namespace

py::object visit_Assign(const Call& c) {
    static const Signature sig("visit_Assign", {"self", "node"}, 2);
    auto b = bind<2>(sig, c);
    py::handle self = b[0], node = b[1];
    py::object targets = getattr(node, TVK_NAME("targets"));
    Py_ssize_t count = PySequence_Size(targets.ptr());
    if (count < 0) throw py::error_already_set();
    if (count > 1) {
        refuse(self, node, "assign must have only one target");
        return py::none();
    }
    py::object target = count == 1 ? steal(PySequence_GetItem(targets.ptr(), 0)) : py::none();
    py::object var = getattr(self, TVK_NAME("var_symbol"));
    py::object registers = getattr(self, TVK_NAME("register_symbol"));
    py::object name;
    bool declared = false;
    if (has_type(target, reg().Name)) {
        name = getattr(target, TVK_NAME("id"));
        declared = contains(var, name) || contains(getattr(self, TVK_NAME("envelope_symbol")), name) ||
                   contains(registers, name);
    }
    if (!declared) {
        refuse(self, node, kNeedsType);
        return py::none();
    }
    py::object kind = call_method(self, TVK_NAME("_get_value_type"), {node});
    const bool capture = equal(kind, global_name(TVK_NAME("capture")));
    const bool receive = !capture && equal(kind, global_name(TVK_NAME("receive")));
    const bool envelope = !capture && !receive && equal(kind, global_name(TVK_NAME("ins_envelope")));
    py::object value = getattr(node, TVK_NAME("value"));
    // A capture or receive writes a register: checked before the call runs,
    // so a refused statement leaves nothing behind.
    if ((capture || receive) && !contains(registers, name)) {
        refuse(self, node, kNeedsType);
        return py::none();
    }
    py::object channel;
    if (receive) {
        channel = literal_channel(value);
        if (!channel) {
            refuse(self, node, kUnallowedExp);
            return py::none();
        }
    }
    py::object ins = visit(self, value);
    if (capture) {
        append(self, ins);
        append(self, make(reg().IRJmov, {table_item(registers, name)}, self));
    } else if (receive) {
        call_method(ins, TVK_NAME("set_idx"), {table_item(registers, name)});
        py::object key = feedback_key(name);
        if (PyObject_SetItem(registers.ptr(), key.ptr(), channel.ptr()) < 0) throw py::error_already_set();
        append(self, ins);
    } else if (envelope) {
        py::object type_name = global_name(TVK_NAME("Envelope"));
        call_method(self, TVK_NAME("_set_variable_symbol"), {type_name, ins, node, name});
    } else {
        refuse(self, node, kUnallowedExp);
    }
    return py::none();
}

// x op= v: visited as the assignment x = x op v at the statement's place.
py::object visit_AugAssign(const Call& c) {
    static const Signature sig("visit_AugAssign", {"self", "node"}, 2);
    auto b = bind<2>(sig, c);
    py::handle node = b[1];
    py::object target = getattr(node, TVK_NAME("target"));
    py::dict op_fields;
    op_fields["left"] = target;
    op_fields["op"] = getattr(node, TVK_NAME("op"));
    op_fields["right"] = getattr(node, TVK_NAME("value"));
    py::object value = ast_node(reg().BinOp, op_fields);
    py::list targets;
    targets.append(target);
    py::dict fields;
    fields["targets"] = targets;
    fields["value"] = value;
    py::object assign = ast_node(reg().Assign, fields);
    PyObject* argv[] = {assign.ptr(), node.ptr()};
    steal(PyObject_Vectorcall(reg().copy_location, argv, 2, nullptr));
    visit(b[0], assign);
    return py::none();
}

}  // namespace tvk::kernel
