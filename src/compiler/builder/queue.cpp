// InstructionQ: the program of a queue, its variable table and the emitters
// that record the assembler's command records.
#include "builder.hpp"
#include "docs.hpp"
#include "common/walk.hpp"

namespace tvk::builder {

namespace {

// ---- construction and the with protocol ------------------------------------

py::object queue_init(const Call& c) {
    static const Signature sig("__init__", {"self", "freqs", "envelopes"}, 1, Signature::None,
                               {py::none(), py::none()});
    auto a = bind<3>(sig, c);
    py::handle self = a[0];
    setattr(self, TVK_NAME("i_set"), steal(PyList_New(0)));
    setattr(self, TVK_NAME("f_set"), steal(PyDict_New()));
    setattr(self, TVK_NAME("e_set"), steal(PyDict_New()));
    setattr(self, TVK_NAME("symbol_set"), steal(PyDict_New()));
    setattr(self, TVK_NAME("symbol_idx"), py_int(-1));
    setattr(self, TVK_NAME("is_first_trig"), py::bool_(true));
    setattr(self, TVK_NAME("last_ins"), py::none());
    if (!a[1].is_none()) for_each(a[1], [&](py::handle f) { call_method(self, TVK_NAME("ins_frame"), {f}); });
    if (!a[2].is_none()) for_each(a[2], [&](py::handle e) { call_method(self, TVK_NAME("ins_envelope"), {e}); });
    return py::none();
}

py::object enter(const Call& c) {
    static const Signature sig("__enter__", {"self"}, 1);
    auto a = bind<1>(sig, c);
    return borrow(a[0]);
}

py::object exit_(const Call& c) {
    static const Signature sig("__exit__", {"self", "exc_type", "exc_val", "exc_tb"}, 4);
    bind<4>(sig, c);
    return py::none();
}

py::object clear(const Call& c) {
    static const Signature sig("clear", {"self"}, 1);
    auto a = bind<1>(sig, c);
    py::handle self = a[0];
    py::object program = getattr(self, TVK_NAME("i_set"));
    if (PyList_CheckExact(program.ptr())) {
        if (PyList_SetSlice(program.ptr(), 0, PyList_GET_SIZE(program.ptr()), nullptr) < 0)
            throw py::error_already_set();
    } else {
        call_method(program, TVK_NAME("clear"));
    }
    setattr(self, TVK_NAME("symbol_set"), steal(PyDict_New()));
    setattr(self, TVK_NAME("symbol_idx"), py_int(-1));
    setattr(self, TVK_NAME("is_first_trig"), py::bool_(true));
    return py::none();
}

py::object length(py::handle self) {
    py::object program = getattr(self, TVK_NAME("i_set"));
    Py_ssize_t n = PyObject_Size(program.ptr());
    if (n < 0) throw py::error_already_set();
    return steal(PyLong_FromSsize_t(n));
}

// A plain queue declares no frames or envelopes: only a channel does.
py::object ins_frame(const Call& c) {
    static const Signature sig("ins_frame", {"self", "freq", "idx"}, 2, Signature::None, {py::none()});
    bind<3>(sig, c);
    throw std::runtime_error("Cannot create a new frame in the branch");
}

py::object ins_envelope(const Call& c) {
    static const Signature sig("ins_envelope", {"self", "envelope", "idx"}, 2, Signature::None, {py::none()});
    bind<3>(sig, c);
    throw std::runtime_error("Cannot create a new envelope in the branch");
}

// ---- recording -------------------------------------------------------------

void append_item(py::handle self, py::handle item) {
    setattr(self, TVK_NAME("last_ins"), item);
    py::object program = getattr(self, TVK_NAME("i_set"));
    if (PyList_CheckExact(program.ptr())) {
        if (PyList_Append(program.ptr(), item.ptr()) < 0) throw py::error_already_set();
    } else {
        call_method(program, TVK_NAME("append"), {item});
    }
}

py::object append_ins(const Call& c) {
    static const Signature sig("_append_ins", {"self", "cmd"}, 2);
    auto a = bind<2>(sig, c);
    append_item(a[0], a[1]);
    return py::none();
}

py::object map_var(const Call& c) {
    static const Signature sig("_map_var", {"self", "var"}, 2);
    auto a = bind<2>(sig, c);
    py::handle self = a[0], var = a[1];
    // A block's names live in its channel's table, with the channel's limit.
    if (is_block(self)) return call_method(block_channel(self), TVK_NAME("_map_var"), {var});
    py::object table = getattr(self, TVK_NAME("symbol_set"));
    int known = PySequence_Contains(table.ptr(), var.ptr());
    if (known < 0) throw py::error_already_set();
    if (known) return steal(PyObject_GetItem(table.ptr(), var.ptr()));
    py::object idx = steal(PyNumber_Add(getattr(self, TVK_NAME("symbol_idx")).ptr(), py_int(1).ptr()));
    // Stored before the test: once over the limit, every new name is refused.
    setattr(self, TVK_NAME("symbol_idx"), idx);
    int over = PyObject_RichCompareBool(idx.ptr(), py_int(16).ptr(), Py_GE);
    if (over < 0) throw py::error_already_set();
    if (over) throw std::runtime_error("Up to 16 variables can be configured");
    if (PyObject_SetItem(table.ptr(), var.ptr(), idx.ptr()) < 0) throw py::error_already_set();
    return idx;
}

// Records `rec` through the queue's _append_ins and returns it.
py::object recorded(py::handle self, py::object rec) {
    call_method(self, TVK_NAME("_append_ins"), {rec});
    return rec;
}

// Builds the record by keyword (the field values already evaluated, the tag
// last) and records it.
py::object emit(py::handle self, PyObject* cls_name, PyObject* kwnames,
                std::initializer_list<py::handle> values) {
    return recorded(self, new_record(cls_name, kwnames, values));
}

py::object emit_tag_only(py::handle self, PyObject* cls_name) { return recorded(self, new_tagged(cls_name, self)); }

// ---- emitters ------------------------------------------------------------------

py::object wait_for_trigger(const Call& c) {
    static const Signature sig("wait_for_trigger", {"self"}, 1);
    auto a = bind<1>(sig, c);
    if (!truth(getattr(a[0], TVK_NAME("is_first_trig")))) call_method(a[0], TVK_NAME("wait"));
    return emit_tag_only(a[0], TVK_NAME("QInsWaitTrig"));
}

template <const char* Name, const char* Type>
py::object set_variable(const Call& c) {
    static const Signature sig(Name, {"self", "reg", "value"}, 3);
    static PyObject* const kw = make_kwnames({"reg", "value", "type", "tag"});
    auto a = bind<3>(sig, c);
    py::object value = to_int_arg(a[2], "value");
    check_str(a[1], "reg");
    py::object r = call_method(a[0], TVK_NAME("_map_var"), {a[1]});
    return emit(a[0], TVK_NAME("QInsMov"), kw, {r, value, py::handle(TVK_NAME(Type)), fresh_tag(a[0])});
}
constexpr char kInsVariable[] = "ins_variable";
constexpr char kInsAdd[] = "ins_add";
constexpr char kSet[] = "=";
constexpr char kAdd[] = "+";

py::object ins_reset_frame(const Call& c) {
    static const Signature sig("ins_reset_frame", {"self", "flag", "frame"}, 3);
    static PyObject* const kw = make_kwnames({"type", "frame", "tag"});
    auto a = bind<3>(sig, c);
    return emit(a[0], TVK_NAME("QInsResetF"), kw, {a[1], tag_of(a[2]), fresh_tag(a[0])});
}

py::object inc_phase(const Call& c) {
    static const Signature sig("inc_phase", {"self", "frame", "phase"}, 3);
    static PyObject* const kw = make_kwnames({"phase", "frame", "tag"});
    auto a = bind<3>(sig, c);
    return emit(a[0], TVK_NAME("QInsIncPhase"), kw, {a[2], tag_of(a[1]), fresh_tag(a[0])});
}

py::object play_wave(const Call& c) {
    static const Signature sig("play_wave", {"self", "wave", "amp", "freq", "phase"}, 2, Signature::None,
                               {py_int(1), py_int(0), py_int(0)});
    static PyObject* const kw = make_kwnames({"frame", "envelop", "amp", "attach_freq", "attach_phase", "tag"});
    auto a = bind<5>(sig, c);
    py::handle self = a[0], wave = a[1];
    if (!is_instance(wave, global(TVK_NAME("Signal"))))
    {
        PyErr_Format(PyExc_RuntimeError, "The parameter wave should be Signal, not %S", wave.ptr());
        throw py::error_already_set();
    }
    py::object frame_tag = tag_of(getattr(wave, TVK_NAME("frame")));
    py::object envelope_tag = tag_of(getattr(wave, TVK_NAME("envelope")));
    return emit(self, TVK_NAME("QInsPlayWave"), kw,
                {frame_tag, envelope_tag, a[2], a[3], a[4], fresh_tag(self)});
}

// A zero-play holds 0 to 4294967295 steps of play_zero_step / OUTSrate
// seconds (the assembler's configuration as it is now), its width rounded
// to steps as the record rounds it.
void check_zero_width(py::handle width) {
    py::object cfg = module_global(reg().ostrane_dict, TVK_NAME("global_config"));
    py::object step = steal(PyNumber_TrueDivide(get_item(cfg, TVK_NAME("play_zero_step")).ptr(),
                                                get_item(cfg, TVK_NAME("OUTSrate")).ptr()));
    py::object seconds = steal(PyNumber_Float(width.ptr()));  // float(), numeric strings too
    py::object steps = py_round(steal(PyNumber_TrueDivide(seconds.ptr(), step.ptr())));
    if (compare(steps, py_int(0), Py_LT) || compare(steps, py_int(4294967295LL), Py_GT)) {
        PyErr_Format(PyExc_ValueError,
                     "The width of play_zero must come to 0 to 4294967295 steps of play_zero_step / OUTSrate "
                     "seconds, not %S (width %R)",
                     steps.ptr(), width.ptr());
        throw py::error_already_set();
    }
}

py::object play_zero(const Call& c) {
    static const Signature sig("play_zero", {"self", "width"}, 2);
    static PyObject* const kw = make_kwnames({"width", "tag"});
    auto a = bind<2>(sig, c);
    check_zero_width(a[1]);
    return emit(a[0], TVK_NAME("QInsPlayZero"), kw, {a[1], fresh_tag(a[0])});
}

py::object wait(const Call& c) {
    static const Signature sig("wait", {"self"}, 1);
    auto a = bind<1>(sig, c);
    return emit_tag_only(a[0], TVK_NAME("QInsWait"));
}

py::object end(const Call& c) {
    static const Signature sig("end", {"self"}, 1);
    auto a = bind<1>(sig, c);
    // Only the last recorded item counts: after a block a wait always comes first.
    if (!is_instance(getattr(a[0], TVK_NAME("last_ins")), global(TVK_NAME("QInsWait"))))
        call_method(a[0], TVK_NAME("wait"));
    return emit_tag_only(a[0], TVK_NAME("QInsEnd"));
}

py::object capture(const Call& c) {
    static const Signature sig("capture", {"self", "width", "delay"}, 2, Signature::None, {py_int(0)});
    static PyObject* const kw = make_kwnames({"width", "probe_delay", "tag"});
    auto a = bind<3>(sig, c);
    return emit(a[0], TVK_NAME("QInsCapture"), kw, {a[1], a[2], fresh_tag(a[0])});
}

}  // namespace

void register_queue(py::module_& m) {
    ClassBuilder b("InstructionQ", kModule);
    b.base(reg().GenTagMixin)
        .docs(kQueueDocs)
        .method("__init__", method<queue_init>())
        .method("__enter__", method<enter>())
        .method("__exit__", method<exit_>())
        .method("clear", method<clear>())
        .property("length", getter<length>())
        .method("ins_frame", method<ins_frame>())
        .method("ins_envelope", method<ins_envelope>());
    add_shape_methods(b);
    b.method("_append_ins", method<append_ins>())
        .method("_map_var", method<map_var>())
        .method("wait_for_trigger", method<wait_for_trigger>())
        .method("ins_variable", method<set_variable<kInsVariable, kSet>>())
        .method("ins_add", method<set_variable<kInsAdd, kAdd>>())
        .method("ins_reset_frame", method<ins_reset_frame>())
        .method("inc_phase", method<inc_phase>())
        .method("play_wave", method<play_wave>())
        .method("play_zero", method<play_zero>())
        .method("wait", method<wait>())
        .method("end", method<end>())
        .method("capture", method<capture>());
    add_compile_methods(b);
    b.attr("__doc__", py::str("A queue of command records and nested blocks, with up to 16 named variables."));
    publish(m, "InstructionQ", b.build());
}

}  // namespace tvk::builder
