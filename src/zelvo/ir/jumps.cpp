// Jumps to a target instruction (event jump, the two loops, the back jump)
// and the landing mark the translator removes.
#include "ir.hpp"

namespace tvk::ir {

namespace {

// ---- IRJumpEvent ----------------------------------------------------------

py::object jump_event_init(const Call& c) {
    static const Signature sig("__init__", {"self", "register_idx", "event_str", "target", "jumpaddr"}, 4,
                               Signature::VarKw, {py::int_(0).release()});
    auto b = bind_init<5>(sig, c);
    py::handle self = b[0];
    call_next_init(c.cls, self, b.kwargs);
    setattr(self, TVK_NAME("idx"), b[1]);
    setattr(self, TVK_NAME("irhead"), py::int_(1));
    setattr(self, TVK_NAME("jumpaddr"), b[4]);
    setattr(self, TVK_NAME("target"), b[3]);
    setattr(self, TVK_NAME("event_str"), b[2]);
    return py::none();
}

// The operand after "$" is the resolved cmd_idx; jumpaddr is never printed.
py::object jump_event_line(const Call& c) {
    py::handle self = self_only(c, "_pack_cmd");
    std::string s("beqi %A");
    s.reserve(32);
    append_str(s, read_attr(self, TVK_NAME("idx")));
    s += ' ';
    append_str(s, read_attr(self, TVK_NAME("event_str")));
    s += " $";
    append_str(s, read_attr(self, TVK_NAME("cmd_idx")));
    return make_str(s);
}

// ---- IRNativeLoop / IRLoop ------------------------------------------------

py::object loop_init(const Call& c) {
    static const Signature sig("__init__", {"self", "count", "target"}, 3, Signature::VarKw);
    auto b = bind_init<3>(sig, c);
    py::handle self = b[0];
    call_next_init(c.cls, self, b.kwargs);
    setattr(self, TVK_NAME("sim_ir_type"), sim_type(TVK_NAME("LOOP")));
    setattr(self, TVK_NAME("count"), b[1]);
    setattr(self, TVK_NAME("target"), b[2]);
    return py::none();
}

py::object loop_line(const Call& c) {
    py::handle self = self_only(c, "_pack_cmd");
    std::string s("lopi ");
    s.reserve(32);
    append_str(s, read_attr(self, TVK_NAME("count")));
    s += " $";
    append_str(s, read_attr(self, TVK_NAME("cmd_idx")));
    return make_str(s);
}

void loop_members(ClassBuilder& b) {
    b.method("__init__", method<loop_init>());
}

// ---- IRPlaceholder --------------------------------------------------------

py::object placeholder_init(const Call& c) {
    static const Signature sig("__init__", {"self"}, 1, Signature::VarKw);
    auto b = bind_init<1>(sig, c);
    call_next_init(c.cls, b[0], b.kwargs);
    setattr(b[0], TVK_NAME("sim_ir_type"), sim_type(TVK_NAME("IGNORE")));
    setattr(b[0], TVK_NAME("irhead"), py::int_(0));
    return py::none();
}

py::object blank_line(const Call& c) {
    self_only(c, "_pack_cmd");
    static PyObject* const blank = intern(" ");
    return py::reinterpret_borrow<py::object>(blank);
}

// ---- IRJumpImmNormal ------------------------------------------------------

py::object jump_normal_init(const Call& c) {
    static const Signature sig("__init__", {"self", "target"}, 2, Signature::VarKw);
    auto b = bind_init<2>(sig, c);
    call_next_init(c.cls, b[0], b.kwargs);
    setattr(b[0], TVK_NAME("sim_ir_type"), sim_type(TVK_NAME("JUMP")));
    setattr(b[0], TVK_NAME("target"), b[1]);
    return py::none();
}


}  // namespace

void register_IRJumpEvent(py::module_& m) {
    define_class(m, kModule, "IRJumpEvent", {reg().JumpImmIR, reg().FixIR}, [](ClassBuilder& b) {
        b.method("__init__", method<jump_event_init>());
        costs<1, 5>(b);
        b.method("_pack_cmd", method<jump_event_line>());
    });
}

void register_IRNativeLoop(py::module_& m) {
    define_class(m, kModule, "IRNativeLoop", {reg().JumpImmIR, reg().OverlapIR, reg().SimulationIR}, [](ClassBuilder& b) {
        loop_members(b);
        costs<1, 7>(b);
        b.property("duration", getter<const_int<0>>()).method("_pack_cmd", method<loop_line>());
    });
}

void register_IRLoop(py::module_& m) {
    define_class(m, kModule, "IRLoop", {reg().JumpImmIR, reg().OverlapIR, reg().SimulationIR}, [](ClassBuilder& b) {
        loop_members(b);
        costs<1, 6>(b);
        b.property("duration", getter<const_int<0>>()).method("_pack_cmd", method<loop_line>());
    });
}

void register_IRPlaceholder(py::module_& m) {
    define_class(m, kModule, "IRPlaceholder", {reg().FakeIR, reg().SimulationIR}, [](ClassBuilder& b) {
        b.method("__init__", method<placeholder_init>());
        costs<1, 3>(b);
        b.property("duration", getter<const_int<0>>()).method("_pack_cmd", method<blank_line>());
    });
}

void register_IRJumpImmNormal(py::module_& m) {
    define_class(m, kModule, "IRJumpImmNormal", {reg().JumpImmIR, reg().FixIR, reg().SimulationIR}, [](ClassBuilder& b) {
        b.method("__init__", method<jump_normal_init>());
        costs<1, 5>(b);
        b.property("duration", getter<const_int<0>>()).method("_pack_cmd", method<prefixed_line<kJali, kCmdIdx, append_str>>());
    });
}

}  // namespace tvk::ir
