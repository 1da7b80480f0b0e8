// Trigger wait and the branch jumps: fixed costs, the trigger wait's
// assignable wait time, and the jump lines resolved at every rendering.
#include <cctype>

#include "ir.hpp"

#include "common/brief.hpp"
#include "common/text.hpp"

namespace tvk::ir {

namespace {

constexpr char kWtg[] = "wtg";
constexpr char kBlank[] = " ";
constexpr char kIdx[] = "idx";
constexpr char kJumpaddr[] = "jumpaddr";

// ---- IRWaitTrig -----------------------------------------------------------

py::object wait_trig_init(const Call& c) {
    static const Signature sig("__init__", {"self"}, 1, Signature::VarKw);
    auto b = bind_init<1>(sig, c);
    call_next_init(c.cls, b[0], b.kwargs);
    static InlineFields fields({"sim_ir_type", "irhead", "_wait_time"});
    fields.set(b.v[0], {sim_type(TVK_NAME("WAIT")).ptr(), int_obj(1).ptr(), int_obj(20).ptr()});
    return py::none();
}

// The alignment rule assigns any value; it is kept and returned unchanged.
py::object wait_trig_get(py::handle self) { return read_attr(self, TVK_NAME("_wait_time")); }
void wait_trig_set(py::handle self, py::handle value) { setattr(self, TVK_NAME("_wait_time"), value); }

// ---- IRJumpImmediate ------------------------------------------------------

py::object jump_immediate_init(const Call& c) {
    static const Signature sig("__init__", {"self", "idx"}, 2);
    auto b = bind_init<2>(sig, c);
    // The declared int is enforced before anything is set: a value that is
    // no number at all is refused here; any number goes to int(), whose own
    // error a number that int() cannot take (one with only __float__) gets.
    PyObject* arg = b.v[1];
    if (!PyLong_CheckExact(arg) && !PyNumber_Check(arg)) check_exact_type(arg, &PyLong_Type, "idx");
    py::object idx = PyLong_CheckExact(arg) ? py::reinterpret_borrow<py::object>(arg) : steal(PyNumber_Long(arg));
    call_next_init(c.cls, b[0], py::none());
    setattr(b[0], TVK_NAME("idx"), idx);
    return py::none();
}

// ---- IRJumpImmTiming ------------------------------------------------------

py::object jump_timing_init(const Call& c) {
    static const Signature sig("__init__", {"self", "target"}, 2, Signature::VarKw);
    auto b = bind_init<2>(sig, c);
    call_next_init(c.cls, b[0], b.kwargs);
    setattr(b[0], TVK_NAME("target"), b[1]);
    return py::none();
}

// ---- IRTimingPlaceholder --------------------------------------------------

py::object timing_placeholder_init(const Call& c) {
    static const Signature sig("__init__", {"self"}, 1, Signature::VarKw);
    auto b = bind_init<1>(sig, c);
    call_next_init(c.cls, b[0], b.kwargs);
    setattr(b[0], TVK_NAME("irhead"), int_obj(1));
    return py::none();
}

// ---- IRJumpConditional / IRJumpInside -------------------------------------

// jumpaddr = index_map.get(tag): the landing position the translator stored
// under the jump's own tag, None when it is missing.
py::object own_tag_check_attr(const Call& c) {
    py::handle self = self_only(c, "_check_attr");
    py::object map = read_attr(self, TVK_NAME("index_map"));
    py::object tag = read_attr(self, TVK_NAME("tag"));
    py::object addr;
    if (PyDict_CheckExact(map.ptr())) {
        PyObject* v = PyDict_GetItemWithError(map.ptr(), tag.ptr());
        if (!v && PyErr_Occurred()) throw py::error_already_set();
        addr = py::reinterpret_borrow<py::object>(v ? v : Py_None);
    } else {
        addr = call_method(map, TVK_NAME("get"), {tag});
    }
    setattr(self, TVK_NAME("jumpaddr"), addr);
    return py::none();
}

py::object conditional_init(const Call& c) {
    static const Signature sig("__init__", {"self", "register_idx", "judge_result", "feedback_chnl", "jumpaddr"},
                               4, Signature::VarKw, {py::int_(0).release()});
    auto b = bind_init<5>(sig, c);
    py::handle self = b[0];
    call_next_init(c.cls, self, b.kwargs);
    setattr(self, TVK_NAME("idx"), b[1]);
    setattr(self, TVK_NAME("result"), b[2]);
    setattr(self, TVK_NAME("irhead"), int_obj(1));
    setattr(self, TVK_NAME("jumpaddr"), b[4]);
    setattr(self, TVK_NAME("feedback_chnl"), b[3]);
    setattr(self, TVK_NAME("intra_enable"), py::handle(Py_False));
    return py::none();
}

bool intra_enabled(py::handle self) {
    py::object flag = read_attr(self, TVK_NAME("intra_enable"));
    int t = PyObject_IsTrue(flag.ptr());
    if (t < 0) throw py::error_already_set();
    return t != 0;
}

py::object conditional_overhead(py::handle self) { return int_obj(intra_enabled(self) ? 4 : 5); }

// A hexadecimal field written as the form writes it, refused unless it is
// exactly `width` digits: a wider or negative value would run into the next
// field. A value with no hexadecimal text keeps the formatting's own error.
void append_field_digits(std::string& out, py::handle self, PyObject* field, int width, bool jeqi) {
    py::object value = read_attr(self, field);
    std::string digits;
    if (jeqi)
        append_hex_padded(digits, value, width, true);
    else
        append_hex_zfill(digits, value, width);
    bool fits = digits.size() == static_cast<size_t>(width);
    for (char ch : digits) fits = fits && std::isxdigit(static_cast<unsigned char>(ch));
    if (!fits) {
        std::string message = whose(self) + "the conditional jump's " + PyUnicode_AsUTF8(field) + " ";
        message += text_of(brief_repr(value));
        message += " does not fit the " + std::to_string(width) + " hexadecimal digits of its \"";
        message += jeqi ? "jeqi" : "beqi";
        message += "\" form (0 to 0x" + std::string(static_cast<size_t>(width), jeqi ? 'F' : 'f') + ")";
        PyErr_SetString(PyExc_ValueError, message.c_str());
        throw py::error_already_set();
    }
    out += digits;
}

py::object conditional_line(const Call& c) {
    py::handle self = self_only(c, "_pack_cmd");
    std::string s;
    s.reserve(40);
    if (intra_enabled(self)) {
        s += "jeqi 0x";
        append_field_digits(s, self, TVK_NAME("result"), 8, true);
        s += " $";
        append_str(s, read_attr(self, TVK_NAME("jumpaddr")));
        return make_str(s);
    }
    // Fields are evaluated result, feedback channel, register, address; the
    // line puts the register first and the feedback channel before the result.
    std::string result;
    append_field_digits(result, self, TVK_NAME("result"), 4, false);
    std::string feedback;
    append_field_digits(feedback, self, TVK_NAME("feedback_chnl"), 2, false);
    s += "beqi %A";
    append_str(s, read_attr(self, TVK_NAME("idx")));
    s += " 0xae";
    s += feedback;
    s += result;
    s += " $";
    append_str(s, read_attr(self, TVK_NAME("jumpaddr")));
    return make_str(s);
}

py::object jump_inside_init(const Call& c) {
    static const Signature sig("__init__", {"self"}, 1, Signature::VarKw);
    auto b = bind_init<1>(sig, c);
    call_next_init(c.cls, b[0], b.kwargs);
    setattr(b[0], TVK_NAME("irhead"), int_obj(1));
    setattr(b[0], TVK_NAME("jumpaddr"), int_obj(0));
    return py::none();
}

}  // namespace

void register_IRWaitTrig(py::module_& m) {
    define_class(m, kModule, "IRWaitTrig", {reg().UnfixIR, reg().SimulationIR}, [](ClassBuilder& b) {
        b.method("__init__", method<wait_trig_init>())
            .property("overhead", getter<const_int<4>>())
            .property("wait_time", getter<wait_trig_get>(), setter<wait_trig_set>())
            .property("duration", getter<const_int<0>>())
            .method("_pack_cmd", method<fixed_line<kWtg>>());
    });
}

void register_IRJumpImmediate(py::module_& m) {
    define_class(m, kModule, "IRJumpImmediate", {reg().UnfixIR}, [](ClassBuilder& b) {
        b.method("__init__", method<jump_immediate_init>());
        costs<4, 10>(b);
        b.method("_pack_cmd", method<prefixed_line<kJali, kIdx, append_str>>());
    });
}

void register_IRJumpImmTiming(py::module_& m) {
    define_class(m, kModule, "IRJumpImmTiming", {reg().JumpImmIR, reg().UnfixIR}, [](ClassBuilder& b) {
        b.method("__init__", method<jump_timing_init>());
        costs<4, 10>(b);
        b.method("_pack_cmd", method<prefixed_line<kJali, kCmdIdx, append_str>>());
    });
}

void register_IRTimingPlaceholder(py::module_& m) {
    define_class(m, kModule, "IRTimingPlaceholder", {reg().UnfixIR, reg().FakeIR}, [](ClassBuilder& b) {
        b.method("__init__", method<timing_placeholder_init>());
        costs<1, 3>(b);
        b.method("_pack_cmd", method<fixed_line<kBlank>>());
    });
}

void register_IRJumpConditional(py::module_& m) {
    define_class(m, kModule, "IRJumpConditional", {reg().UnfixIR}, [](ClassBuilder& b) {
        b.method("__init__", method<conditional_init>())
            .property("overhead", getter<conditional_overhead>())
            .property("wait_time", getter<const_int<6>>())
            .method("_check_attr", method<own_tag_check_attr>())
            .method("_pack_cmd", method<conditional_line>());
    });
}

void register_IRJumpInside(py::module_& m) {
    define_class(m, kModule, "IRJumpInside", {reg().OverlapIR}, [](ClassBuilder& b) {
        b.method("__init__", method<jump_inside_init>());
        costs<1, 4>(b);
        b.method("_check_attr", method<own_tag_check_attr>())
            .method("_pack_cmd", method<prefixed_line<kJali, kJumpaddr, append_str>>());
    });
}

}  // namespace tvk::ir
