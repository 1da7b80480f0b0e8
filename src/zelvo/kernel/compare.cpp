// Comparisons: `register == literal` becomes the library's conditional jump;
// every other comparison is refused by the handler of its operator.
#include "kernel.hpp"

#include "common/brief.hpp"

namespace tvk::kernel {

namespace {

constexpr const char* kSymbolComparison = "Symbol comparisons are not allowed";

// The refusing handlers: "<comparison node> are not allowed".
template <const char* Member>
py::object refuse_operator(const Call& c) {
    static const Signature sig(Member, {"self", "left_node", "right_node", "node"}, 4);
    auto b = bind<4>(sig, c);
    py::object message = steal(PyUnicode_FromFormat("%S are not allowed", b.v[3]));
    refuse(b[0], b[3], message);
    return py::none();
}

constexpr char kGt[] = "_handle_gt";
constexpr char kLt[] = "_handle_lt";
constexpr char kIn[] = "_handle_in";
constexpr char kNotEq[] = "_handle_noteq";
constexpr char kGtE[] = "_handle_gte";
constexpr char kLtE[] = "_handle_lte";

}  // namespace

py::object handle_gt(const Call& c) { return refuse_operator<kGt>(c); }
py::object handle_lt(const Call& c) { return refuse_operator<kLt>(c); }
py::object handle_in(const Call& c) { return refuse_operator<kIn>(c); }
py::object handle_noteq(const Call& c) { return refuse_operator<kNotEq>(c); }
py::object handle_gte(const Call& c) { return refuse_operator<kGtE>(c); }
py::object handle_lte(const Call& c) { return refuse_operator<kLtE>(c); }

// _set_judge_symbol(left_node, right_node, node): the handler of the first
// operator; only ==, > and < have one.
py::object set_judge_symbol(const Call& c) {
    static const Signature sig("_set_judge_symbol", {"self", "left_node", "right_node", "node"}, 4);
    auto b = bind<4>(sig, c);
    py::handle self = b[0], node = b[3];
    py::object ops = getattr(node, TVK_NAME("ops"));
    py::object op = steal(PySequence_GetItem(ops.ptr(), 0));
    PyObject* kind = reinterpret_cast<PyObject*>(Py_TYPE(op.ptr()));
    PyObject* handler = kind == reg().Eq   ? TVK_NAME("_handle_eq")
                        : kind == reg().Gt ? TVK_NAME("_handle_gt")
                        : kind == reg().Lt ? TVK_NAME("_handle_lt")
                                           : nullptr;
    if (!handler) {
        py::object message = steal(PyUnicode_FromFormat("Unknown comparison operator %S", op.ptr()));
        refuse(self, node, message);
        return py::none();
    }
    call_method(self, handler, {b[1], b[2], node});
    return py::none();
}

// _handle_eq(left_node, right_node, node): a register against an integer
// literal appends the conditional jump; a compile-time variable against a literal is
// left to the if statement; anything else is refused.
py::object handle_eq(const Call& c) {
    static const Signature sig("_handle_eq", {"self", "left_node", "right_node", "node"}, 4);
    auto b = bind<4>(sig, c);
    py::handle self = b[0], left = b[1], right = b[2], node = b[3];
    if (has_type(left, reg().Name) && has_type(right, reg().Constant)) {
        py::object name = getattr(left, TVK_NAME("id"));
        py::object registers = getattr(self, TVK_NAME("register_symbol"));
        if (contains(registers, name)) {
            py::object judge_result = getattr(right, TVK_NAME("value"));
            // The judgement result is an integer field of the jump: any other
            // literal would only fail at translation, far from its line.
            if (!PyLong_Check(judge_result.ptr())) {
                py::object message = steal(PyUnicode_FromFormat(
                    "A register compares only with an integer constant, not %s %U",
                    Py_TYPE(judge_result.ptr())->tp_name, brief_repr(judge_result).ptr()));
                refuse(self, node, message);
                return py::none();
            }
            // The jump's field has no sign: a negative value would print as digits
            // of no meaning. (Source text writes -1 as a unary minus, refused
            // below; a tree made otherwise may hold the literal itself.)
            int overflow = 0;
            long long value = PyLong_AsLongLongAndOverflow(judge_result.ptr(), &overflow);
            if (value == -1 && !overflow && PyErr_Occurred()) throw py::error_already_set();
            if (overflow < 0 || value < 0) {
                py::object message = steal(PyUnicode_FromFormat(
                    "A register compares only with a non-negative integer constant, not %U",
                    brief_repr(judge_result).ptr()));
                refuse(self, node, message);
                return py::none();
            }
            py::object key = feedback_key(name);
            // An Int symbol holds a value, not a register with a channel.
            if (!contains(registers, key)) {
                refuse(self, node, kSymbolComparison);
                return py::none();
            }
            py::object feedback = table_item(registers, key);
            py::object number = table_item(registers, name);
            py::object jump = global(TVK_NAME("jump_conditional"));
            PyObject* argv[] = {number.ptr(), judge_result.ptr(), feedback.ptr()};
            py::object ins = steal(PyObject_Vectorcall(jump.ptr(), argv, 3, nullptr));
            setattr(ins, TVK_NAME("kernel"), self);
            // Its line lets a field that fails at translation name the if.
            setattr(ins, TVK_NAME("line"), getattr(node, TVK_NAME("lineno")));
            append(self, ins);
            return py::none();
        }
        if (contains(getattr(self, TVK_NAME("var_symbol")), name)) return py::none();
    }
    refuse(self, node, kSymbolComparison);
    return py::none();
}

// visit_Compare(node): the first operator and first right operand decide.
py::object visit_Compare(const Call& c) {
    static const Signature sig("visit_Compare", {"self", "node"}, 2);
    auto b = bind<2>(sig, c);
    py::handle node = b[1];
    py::object left = getattr(node, TVK_NAME("left"));
    py::object right = steal(PySequence_GetItem(getattr(node, TVK_NAME("comparators")).ptr(), 0));
    call_method(b[0], TVK_NAME("_set_judge_symbol"), {left, right, node});
    return py::none();
}

}  // namespace tvk::kernel
