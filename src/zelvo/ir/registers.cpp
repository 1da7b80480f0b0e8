// Constant-cost instructions: nop, register load, register transfers, events
// and the register addition the timing rule drops.
#include "ir.hpp"

namespace tvk::ir {

namespace {

py::object mov_init(const Call& c) {
    static const Signature sig("__init__", {"self", "register_idx", "value"}, 3, Signature::VarKw);
    auto b = bind_init<3>(sig, c);
    call_next_init(c.cls, b[0], b.kwargs);
    static InlineFields fields({"idx", "reg_value"});
    fields.set(b.v[0], {b.v[1], b.v[2]});
    return py::none();
}

py::object mov_line(const Call& c) {
    py::handle self = self_only(c, "_pack_cmd");
    std::string s("movi %A");
    append_field(s, read_attr(self, TVK_NAME("idx")));
    s += ' ';
    append_field(s, read_attr(self, TVK_NAME("reg_value")));
    return make_str(s);
}

py::object nlw_init(const Call& c) {
    static const Signature sig("__init__", {"self", "feedback_rd_chnl"}, 2, Signature::VarKw);
    auto b = bind_init<2>(sig, c);
    call_next_init(c.cls, b[0], b.kwargs);
    setattr(b[0], TVK_NAME("idx"), py::int_(0));
    setattr(b[0], TVK_NAME("feedback_rd_chnl"), b[1]);
    return py::none();
}

py::object nlw_set_idx(const Call& c) {
    static const Signature sig("set_idx", {"self", "register_idx"}, 2);
    auto b = bind<2>(sig, c);
    setattr(b[0], TVK_NAME("idx"), b[1]);
    return py::none();
}

constexpr char kNop[] = "nop";
constexpr char kIdx[] = "idx";
constexpr char kRegIdx[] = "reg_idx";
constexpr char kReg[] = "reg";
constexpr char kRegisterIdx[] = "register_idx";
constexpr char kEventStr[] = "event_str";
constexpr char kNsw[] = "nsw %A";
constexpr char kNlw[] = "nlw %A";
constexpr char kJmov[] = "jmov %A";
constexpr char kElw[] = "elw %A";
constexpr char kEclr[] = "eclr ";

// overhead, wait_time, then the line.
}  // namespace

void register_IRNop(py::module_& m) {
    define_class(m, kModule, "IRNop", {reg().PreIR}, [](ClassBuilder& b) {
        costs<1, 1>(b);
        b.method("_pack_cmd", method<fixed_line<kNop>>());
    });
}

void register_IRMov(py::module_& m) {
    define_class(m, kModule, "IRMov", {reg().PreIR}, [](ClassBuilder& b) {
        b.method("__init__", method<mov_init>());
        costs<1, 1>(b);
        b.method("_pack_cmd", method<mov_line>()).method("_check_attr", method<no_check_attr>());
    });
}

void register_IRAdd(py::module_& m) {
    define_class(m, kModule, "IRAdd", {reg().ReconstitutionIR}, [](ClassBuilder& b) {
        costs<2, 2>(b);
        b.method("_pack_cmd", method<empty_pack_cmd>());
    });
}

void register_IRNsw(py::module_& m) {
    define_class(m, kModule, "IRNsw", {reg().OverlapIR}, [](ClassBuilder& b) {
        b.method("__init__", method<one_arg_init<kRegisterIdx, kIdx>>());
        costs<1, 2>(b);
        b.method("_pack_cmd", method<prefixed_line<kNsw, kIdx>>());
    });
}

void register_IRNlw(py::module_& m) {
    define_class(m, kModule, "IRNlw", {reg().OverlapIR}, [](ClassBuilder& b) {
        b.method("__init__", method<nlw_init>()).method("set_idx", method<nlw_set_idx>());
        costs<1, 3>(b);
        b.method("_pack_cmd", method<prefixed_line<kNlw, kIdx>>());
    });
}

void register_IRJmov(py::module_& m) {
    define_class(m, kModule, "IRJmov", {reg().OverlapIR}, [](ClassBuilder& b) {
        b.method("__init__", method<one_arg_init<kRegisterIdx, kIdx>>());
        costs<1, 3>(b);
        b.method("_pack_cmd", method<prefixed_line<kJmov, kIdx>>());
    });
}

void register_IRLoadEvent(py::module_& m) {
    define_class(m, kModule, "IRLoadEvent", {reg().OverlapIR}, [](ClassBuilder& b) {
        b.method("__init__", method<one_arg_init<kReg, kRegIdx>>());
        costs<1, 1>(b);
        b.method("_pack_cmd", method<prefixed_line<kElw, kRegIdx>>());
    });
}

void register_IRClearEvent(py::module_& m) {
    define_class(m, kModule, "IRClearEvent", {reg().OverlapIR}, [](ClassBuilder& b) {
        b.method("__init__", method<one_arg_init<kEventStr, kEventStr>>());
        costs<1, 1>(b);
        b.method("_pack_cmd", method<prefixed_line<kEclr, kEventStr>>());
    });
}

}  // namespace tvk::ir
