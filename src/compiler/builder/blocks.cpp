// The blocks of a channel's program: InsIF and InsElse (a conditional jump
// over an else group to an if group) and InsLoop (a counter register, a
// compare and a back jump), with the layouts they compile into.
#include <pybind11/cast.h>

#include <algorithm>

#include "builder.hpp"
#include "docs.hpp"

namespace tvk::builder {

bool is_block(py::handle queue) {
    for (PyObject* name : {TVK_NAME("InsIF"), TVK_NAME("InsElse"), TVK_NAME("InsLoop")})
        if (is_instance(queue, global(name))) return true;
    return false;
}

py::object block_channel(py::handle block) {
    py::object channel = getattr(block, TVK_NAME("channel"));
    if (channel.is_none()) {
        PyErr_Format(PyExc_RuntimeError,
                     "%s has no channel: blocks are opened with ins_if, ins_else or ins_loop of a channel",
                     Py_TYPE(block.ptr())->tp_name);
        throw py::error_already_set();
    }
    return channel;
}

namespace {

// The channel constructor with freqs and envelopes, then the block's fields.
py::handle block_init(const Call& c, std::initializer_list<std::pair<PyObject*, py::object>> fields) {
    static const Signature sig("__init__", {"self", "freqs", "envelopes"}, 1, Signature::None,
                               {py::none(), py::none()});
    auto a = bind<3>(sig, c);
    next_init(c, a[0], a[1], a[2]);
    for (auto& [name, value] : fields) setattr(a[0], name, value ? value : fresh_tag(a[0]));
    return a[0];
}

py::object if_init(const Call& c) {
    block_init(c, {{TVK_NAME("channel"), py::none()},
                   {TVK_NAME("key_ins"), py::none()},
                   {TVK_NAME("ins_else"), py::none()}});
    return py::none();
}

py::object else_init(const Call& c) {
    block_init(c, {{TVK_NAME("channel"), py::none()}, {TVK_NAME("_if"), py::none()}});
    return py::none();
}

py::object loop_init(const Call& c) {
    // An empty object for `var`: a fresh tag, drawn after the channel's constructor.
    block_init(
        c,
        {{TVK_NAME("channel"), py::none()}, {TVK_NAME("times"), py::none()}, {TVK_NAME("var"), py::object()}});
    return py::none();
}

py::object from_channel(const Call& c) {
    static const Signature sig("from_channel", {"cls", "channel"}, 2);
    auto a = bind<2>(sig, c);
    py::object block = steal(PyObject_CallNoArgs(a[0].ptr()));
    setattr(block, TVK_NAME("channel"), a[1]);
    return block;
}

template <const char* Message>
py::object refuse_capture(const Call& c) {
    static const Signature sig("capture", {"self", "width", "delay"}, 2, Signature::None, {py_int(0)});
    bind<3>(sig, c);
    throw std::runtime_error(Message);
}
constexpr char kBranchCapture[] = "Capture is not allowed to call in a branch structure";
constexpr char kLoopCapture[] = "Calling capture in a loop construct is not allowed";

// ---- the formula -------------------------------------------------------------

py::object formula_get(py::handle self) {
    PyErr_Format(PyExc_RuntimeError, "%s.formula is a static property", Py_TYPE(self.ptr())->tp_name);
    throw py::error_already_set();
}

py::object contains_get(py::handle mapping, py::handle key) {
    int found = PySequence_Contains(mapping.ptr(), key.ptr());
    if (found < 0) throw py::error_already_set();
    return found ? steal(PyObject_GetItem(mapping.ptr(), key.ptr())) : py::object();
}

// "[name] == [value]": a register jump on a channel variable, else a jump on
// a judgement bit; the condition record replaces key_ins only on success.
void formula_set(py::handle self, py::handle formula) {
    check_exact_builtin(formula, &PyUnicode_Type, "formula");
    py::object text = steal(PyUnicode_Replace(formula.ptr(), make_str(" ").ptr(), make_str("").ptr(), -1));
    py::object parts = steal(PyUnicode_Split(text.ptr(), make_str("==").ptr(), -1));
    if (PyList_GET_SIZE(parts.ptr()) != 2)
        throw std::runtime_error("The format of formula should be [name] == [value]");
    py::object name = borrow(PyList_GET_ITEM(parts.ptr(), 0));
    py::object value_text = borrow(PyList_GET_ITEM(parts.ptr(), 1));
    py::object channel = block_channel(self);
    py::object key;
    if (py::object reg_no = contains_get(getattr(channel, TVK_NAME("symbol_set")), name)) {
        static PyObject* const kw = make_kwnames({"reg", "value", "target", "tag"});
        py::object value = steal(PyLong_FromUnicodeObject(value_text.ptr(), 10));
        key = new_record(TVK_NAME("QInsJumpWithReg"), kw, {reg_no, value, py::none(), fresh_tag(self)});
    } else if (py::object judge = contains_get(getattr(self, TVK_NAME("ch_judge_name")), name)) {
        static PyObject* const kw = make_kwnames({"value", "mask", "target", "tag"});
        py::object value = steal(PyLong_FromUnicodeObject(value_text.ptr(), 10));
        std::int64_t v;
        if (!small_int(value.ptr(), v) || (v != 0 && v != 1)) {
            PyErr_Format(PyExc_RuntimeError,
                         "The format of formula [name] == [value], value should in [0, 1], not %U",
                         value_text.ptr());
            throw py::error_already_set();
        }
        py::object pair = steal(PySequence_Tuple(judge.ptr()));
        if (PyTuple_GET_SIZE(pair.ptr()) != 2) {
            PyErr_Format(PyExc_ValueError, "expected 2 values to unpack (got %zd)",
                         PyTuple_GET_SIZE(pair.ptr()));
            throw py::error_already_set();
        }
        py::handle mask = PyTuple_GET_ITEM(pair.ptr(), 0), shift = PyTuple_GET_ITEM(pair.ptr(), 1);
        py::object bits = steal(PyNumber_Lshift(value.ptr(), shift.ptr()));
        key = new_record(TVK_NAME("QInsJumpWithJudge"), kw, {bits, mask, py::none(), fresh_tag(self)});
    } else {
        PyErr_Format(PyExc_RuntimeError, "The specified variable %U does not exist", name.ptr());
        throw py::error_already_set();
    }
    setattr(self, TVK_NAME("key_ins"), key);
}

py::dict judge_names() {
    py::dict d;
    for (int i = 0; i < 6; ++i) d[py::str("FREQ_" + std::to_string(i))] = py::make_tuple(1 << i, i);
    return d;
}

}  // namespace

// W, key_ins, W, W, the else group (at least three records), W, the jump
// over the if group, W, W, the if group, its label. The if group is compiled
// first (its loops take their registers first) straight into `out`, then the
// else group after it; one rotation puts them in their places.
void if_layout_into(py::handle self, Out& out) {
    py::object key = getattr(self, TVK_NAME("key_ins"));
    if (key.is_none()) {
        PyErr_Format(PyExc_RuntimeError, "%s has no condition: set its formula before compiling",
                     Py_TYPE(self.ptr())->tp_name);
        throw py::error_already_set();
    }
    static PyObject* const jump_kw = make_kwnames({"target", "tag"});
    out.push_back(new_wait(self));
    out.push_back(key);
    out.push_back(new_wait(self));
    out.push_back(new_wait(self));
    const std::size_t if_begin = out.size();
    flatten_into(self, out);
    const std::size_t else_begin = out.size();
    py::object else_block = getattr(self, TVK_NAME("ins_else"));
    if (is_instance(else_block, global(TVK_NAME("InsElse")))) compile_into(else_block, out);
    while (out.size() - else_begin < 3) out.push_back(new_wait(self));
    py::object label = new_tagged(TVK_NAME("QInsPlaceholder"), self);
    setattr(key, TVK_NAME("target"), else_begin > if_begin ? tag_of(out[if_begin]) : tag_of(label));
    out.push_back(new_wait(self));
    out.push_back(new_record(TVK_NAME("QInsJump"), jump_kw, {tag_of(label), fresh_tag(self)}));
    out.push_back(new_wait(self));
    out.push_back(new_wait(self));
    std::rotate(out.begin() + static_cast<std::ptrdiff_t>(if_begin),
                out.begin() + static_cast<std::ptrdiff_t>(else_begin), out.end());
    out.push_back(std::move(label));
}

// Counter set, the body, the increment, W, the exit test, W, W, the back jump
// to the body's first record, the label, W, W.
void loop_layout_into(py::handle self, Out& out) {
    static PyObject* const mov_kw = make_kwnames({"reg", "value", "type", "tag"});
    static PyObject* const test_kw = make_kwnames({"reg", "value", "target", "tag"});
    static PyObject* const jump_kw = make_kwnames({"target", "tag"});
    const std::size_t start = out.size();
    out.emplace_back();  // the counter set, made once the register is known
    flatten_into(self, out);
    // Taken after the body: a nested loop has its register before this one.
    py::object r = call_method(block_channel(self), TVK_NAME("_map_var"), {getattr(self, TVK_NAME("var"))});
    out[start] =
        new_record(TVK_NAME("QInsMov"), mov_kw, {r, py_int(0), py::handle(TVK_NAME("=")), fresh_tag(self)});
    out.push_back(
        new_record(TVK_NAME("QInsMov"), mov_kw, {r, py_int(1), py::handle(TVK_NAME("+")), fresh_tag(self)}));
    py::object first_tag = tag_of(out[start + 1]);
    py::object label = new_tagged(TVK_NAME("QInsPlaceholder"), self);
    py::object test = new_record(TVK_NAME("QInsJumpWithReg"), test_kw,
                                 {r, getattr(self, TVK_NAME("times")), tag_of(label), fresh_tag(self)});
    py::object back = new_record(TVK_NAME("QInsJump"), jump_kw, {first_tag, fresh_tag(self)});
    out.push_back(new_wait(self));
    out.push_back(std::move(test));
    out.push_back(new_wait(self));
    out.push_back(new_wait(self));
    out.push_back(std::move(back));
    out.push_back(std::move(label));
    out.push_back(new_wait(self));
    out.push_back(new_wait(self));
}

namespace {

py::object loop_enter(const Call& c) {
    static const Signature sig("__enter__", {"self"}, 1);
    auto a = bind<1>(sig, c);
    setattr(block_channel(a[0]), TVK_NAME("looping"), py::bool_(true));
    return borrow(a[0]);
}

py::object loop_exit(const Call& c) {
    static const Signature sig("__exit__", {"self", "exc_type", "exc_val", "exc_tb"}, 4);
    auto a = bind<4>(sig, c);
    setattr(block_channel(a[0]), TVK_NAME("looping"), py::bool_(false));
    return py::none();
}

}  // namespace

void register_blocks(py::module_& m) {
    py::object channel = global(TVK_NAME("InsChannel"));
    publish(
        m, "InsIF",
        ClassBuilder("InsIF", kModule)
            .base(channel)
            .docs(kIfDocs)
            .attr("ch_judge_name", judge_names())
            .method("__init__", method<if_init>())
            .classmethod("from_channel", method<from_channel>())
            .property("formula", getter<formula_get>(), setter<formula_set>())
            .method("_compile", method<compile_method<if_layout_into>>())
            .method("capture", method<refuse_capture<kBranchCapture>>())
            .attr("__doc__",
                  py::str("Commands that run when the formula holds; its else block runs otherwise."))
            .build());
    publish(m, "InsElse",
            ClassBuilder("InsElse", kModule)
                .base(channel)
                .docs(kElseDocs)
                .method("__init__", method<else_init>())
                .classmethod("from_channel", method<from_channel>())
                .method("capture", method<refuse_capture<kBranchCapture>>())
                .attr("__doc__", py::str("Commands that run when the formula of its if block does not hold."))
                .build());
    publish(
        m, "InsLoop",
        ClassBuilder("InsLoop", kModule)
            .base(channel)
            .docs(kLoopDocs)
            .method("__init__", method<loop_init>())
            .classmethod("from_channel", method<from_channel>())
            .method("__enter__", method<loop_enter>())
            .method("__exit__", method<loop_exit>())
            .method("_compile", method<compile_method<loop_layout_into>>())
            .method("capture", method<refuse_capture<kLoopCapture>>())
            .attr("__doc__", py::str("Commands that run `times` times, counted in a register of the channel."))
            .build());
}

}  // namespace tvk::builder
