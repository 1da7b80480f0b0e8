// The kernel functions: each builds the IR instruction it names, its
// arguments passed on by position.
#include "functions.hpp"

#include "common/imports.hpp"

namespace tvk::fn {

namespace {

PyObject* zero_float() {
    static PyObject* const z = PyFloat_FromDouble(0.0);
    return z;
}
PyObject* zero_int() {
    static PyObject* const z = PyLong_FromLong(0);
    return z;
}
PyObject* one_int() {
    static PyObject* const o = PyLong_FromLong(1);
    return o;
}

// Binds the call, then calls the instruction class with the bound values.
template <int N>
py::object forward(const Signature& sig, const Call& c, PyObject* cls) {
    auto b = bind<N>(sig, c);
    return steal(PyObject_Vectorcall(cls, b.v.data(), N, nullptr));
}

// cls(*args) with the checked values.
py::object build(PyObject* cls, std::initializer_list<py::handle> args) {
    PyObject* argv[8];
    size_t n = 0;
    for (py::handle a : args) argv[n++] = a.ptr();
    return steal(PyObject_Vectorcall(cls, argv, n, nullptr));
}

py::object frame(const Call& c) {
    static const Signature sig("frame", {"freq", "phase", "idx"}, 1, Signature::None, {zero_float(), zero_int()});
    auto b = bind<3>(sig, c);
    py::object freq = real_arg("frame", "freq", b[0]);
    py::object phase = real_arg("frame", "phase", b[1], zero_float());
    py::object idx = frame_index_arg("frame", "idx", b[2], zero_int());
    return build(reg().IRFrame, {freq, phase, idx});
}

// The instruction refuses anything but a list of frames itself.
py::object frame_add(const Call& c) {
    static const Signature sig("frame_add", {"frames", "frequency", "phase"}, 3);
    auto b = bind<3>(sig, c);
    if (PyList_CheckExact(b.v[0])) frame_indices_arg("frame_add", "frames", b[0]);
    py::object frequency = real_arg("frame_add", "frequency", b[1]);
    py::object phase = real_arg("frame_add", "phase", b[2]);
    return build(reg().IRFrameAdd, {b[0], frequency, phase});
}

py::object frame_reset(const Call& c) {
    static const Signature sig("frame_reset", {}, 0);
    return forward<0>(sig, c, reg().IRFrameRst);
}

// envelope(envelope_i, envelope_q=None, amp=1) under the name `Name`.
template <const char* Name>
py::object checked_envelope(const Call& c) {
    static const Signature sig(Name, {"envelope_i", "envelope_q", "amp"}, 1, Signature::None,
                               {py::none(), one_int()});
    auto b = bind<3>(sig, c);
    samples_arg(Name, "envelope_i", b[0]);
    if (!b[1].is_none()) samples_arg(Name, "envelope_q", b[1]);
    py::object amp = real_arg(Name, "amp", b[2], one_int());
    return build(reg().IREnvelope, {b[0], b[1], amp});
}

constexpr char kEnvelope[] = "envelope";
constexpr char kInsEnvelope[] = "ins_envelope";

py::object envelope(const Call& c) { return checked_envelope<kEnvelope>(c); }
// The same instruction under the name a re-assignment recognises.
py::object ins_envelope(const Call& c) { return checked_envelope<kInsEnvelope>(c); }

py::object arb_waveform(const Call& c) {
    static const Signature sig("arb_waveform", {"name", "waveform"}, 2);
    return forward<2>(sig, c, reg().IRArbWaveform);
}

py::object waveform(const Call& c) {
    static const Signature sig("waveform", {"wave"}, 1);
    return forward<1>(sig, c, reg().IRWaveform);
}

py::object demodulation(const Call& c) {
    static const Signature sig("demodulation", {"wave"}, 1);
    return forward<1>(sig, c, reg().IRDemodule);
}

// Any iterable of frequencies; the instruction keeps a list.
py::object freq_list(const Call& c) {
    static const Signature sig("freq_list", {"freqs"}, 1);
    auto b = bind<1>(sig, c);
    py::object list = steal(PySequence_List(b.v[0]));
    reals_arg("freq_list", "freqs", list);
    return steal(PyObject_CallOneArg(reg().IRFreqlist, list.ptr()));
}

py::object wait_trig(const Call& c) {
    static const Signature sig("wait_trig", {}, 0);
    return forward<0>(sig, c, reg().IRWaitTrig);
}

// play(frame, envelope, amp=1, bias=0, freq=0.0, phase=0.0): a declared frame
// is played by its number, so the line prints the number.
py::object play(const Call& c) {
    static const Signature sig("play", {"frame", "envelope", "amp", "bias", "freq", "phase"}, 2, Signature::None,
                               {one_int(), zero_int(), zero_float(), zero_float()});
    auto b = bind<6>(sig, c);
    py::object frame_no = py::reinterpret_borrow<py::object>(b[0]);
    if (is_instance(b[0], reg().IRFrame)) frame_no = getattr(b[0], TVK_NAME("idx"));
    frame_no = frame_index_arg("play", "frame", frame_no);
    if (!is_instance(b[1], reg().IREnvelope)) {
        PyErr_Format(PyExc_TypeError, "play() argument 'envelope' must be an envelope (IREnvelope), not %.200s",
                     Py_TYPE(b.v[1])->tp_name);
        throw py::error_already_set();
    }
    py::object amp = real_arg("play", "amp", b[2], one_int());
    py::object bias = real_arg("play", "bias", b[3], zero_int());
    py::object freq = real_arg("play", "freq", b[4], zero_float());
    py::object phase = real_arg("play", "phase", b[5], zero_float());
    return build(reg().IRPlayImm, {frame_no, b[1], amp, bias, freq, phase});
}

// wait(width) / delay(width): `width` seconds, not negative.
template <const char* Name>
py::object stretch(const Call& c, PyObject* cls) {
    static const Signature sig(Name, {"width"}, 1);
    auto b = bind<1>(sig, c);
    return build(cls, {real_arg(Name, "width", b[0], {}, true)});
}

constexpr char kWait[] = "wait";
constexpr char kDelay[] = "delay";

py::object wait(const Call& c) { return stretch<kWait>(c, reg().IRWait); }
py::object delay(const Call& c) { return stretch<kDelay>(c, reg().IRDelay); }

// The widths are seconds, none negative; the instruction refuses a
// frequency list that is not a list itself.
py::object capture(const Call& c) {
    static const Signature sig("capture", {"freq_list", "acq_width", "delay_width", "play_width"}, 2,
                               Signature::None, {zero_float(), zero_float()});
    auto b = bind<4>(sig, c);
    if (PyList_CheckExact(b.v[0])) reals_arg("capture", "freq_list", b[0]);
    py::object acq = real_arg("capture", "acq_width", b[1], {}, true);
    py::object delay = real_arg("capture", "delay_width", b[2], zero_float(), true);
    py::object play = real_arg("capture", "play_width", b[3], zero_float(), true);
    return build(reg().IRCapture, {b[0], acq, delay, play});
}

// receive(chnl): the feedback load; the front-end binds it to its register.
py::object receive(const Call& c) {
    static const Signature sig("receive", {"chnl"}, 1);
    return forward<1>(sig, c, reg().IRNlw);
}

py::object load_ddr(const Call& c) {
    static const Signature sig("load_ddr", {"wave"}, 1);
    return forward<1>(sig, c, reg().IRLoadDDRImm);
}

py::object play_ddr(const Call& c) {
    static const Signature sig("play_ddr", {"wave"}, 1);
    return forward<1>(sig, c, reg().IRPlayDDRImm);
}

py::object load_event(const Call& c) {
    static const Signature sig("load_event", {"reg"}, 1);
    return forward<1>(sig, c, reg().IRLoadEvent);
}

py::object clear_event(const Call& c) {
    static const Signature sig("clear_event", {"event_str"}, 1);
    return forward<1>(sig, c, reg().IRClearEvent);
}

py::object jump_event(const Call& c) {
    static const Signature sig("jump_event", {"register_idx", "event_str", "target"}, 3);
    return forward<3>(sig, c, reg().IRJumpEvent);
}

// The conditional jump of `if r == value:`.
py::object jump_conditional(const Call& c) {
    static const Signature sig("jump_conditional", {"register_idx", "value", "feedback_chnl"}, 3);
    return forward<3>(sig, c, reg().IRJumpConditional);
}

}  // namespace

void register_library(py::module_& m, py::list& all) {
    py::module_ ir = import_sibling(m, "_ir");
    Registry& r = reg();
    r.IRFrame = keep(ir, "IRFrame");
    r.IRFrameAdd = keep(ir, "IRFrameAdd");
    r.IRFrameRst = keep(ir, "IRFrameRst");
    r.IREnvelope = keep(ir, "IREnvelope");
    r.IRArbWaveform = keep(ir, "IRArbWaveform");
    r.IRWaveform = keep(ir, "IRWaveform");
    r.IRDemodule = keep(ir, "IRDemodule");
    r.IRFreqlist = keep(ir, "IRFreqlist");
    r.IRWaitTrig = keep(ir, "IRWaitTrig");
    r.IRPlayImm = keep(ir, "IRPlayImm");
    r.IRWait = keep(ir, "IRWait");
    r.IRDelay = keep(ir, "IRDelay");
    r.IRCapture = keep(ir, "IRCapture");
    r.IRNlw = keep(ir, "IRNlw");
    r.IRLoadDDRImm = keep(ir, "IRLoadDDRImm");
    r.IRPlayDDRImm = keep(ir, "IRPlayDDRImm");
    r.IRLoadEvent = keep(ir, "IRLoadEvent");
    r.IRClearEvent = keep(ir, "IRClearEvent");
    r.IRJumpEvent = keep(ir, "IRJumpEvent");
    r.IRJumpConditional = keep(ir, "IRJumpConditional");
    r.IRPlaceholder = keep(ir, "IRPlaceholder");
    r.IRLoop = keep(ir, "IRLoop");
    py::module_ numpy = py::module_::import("numpy");
    r.ndarray = keep(numpy, "ndarray");
    r.np_complex = keep(numpy, "complexfloating");

    const std::string mod = module_name(m);
    auto add = [&](const char* name, MethodDef def, const char* doc) {
        py::object f = make_cfunction(name, def.fn, py::none(), doc, mod.c_str());
        export_name(m, all, name, f);
    };
    add("frame", method<frame>(), "frame(freq, phase=0.0, idx=0): a frame setting (IRFrame).");
    add("frame_add", method<frame_add>(), "frame_add(frames, frequency, phase): a frame shift (IRFrameAdd).");
    add("frame_reset", method<frame_reset>(), "frame_reset(): a frame reset (IRFrameRst).");
    add("envelope", method<envelope>(), "envelope(envelope_i, envelope_q=None, amp=1): an envelope (IREnvelope).");
    add("ins_envelope", method<ins_envelope>(),
        "ins_envelope(envelope_i, envelope_q=None, amp=1): a new envelope for a declared one (IREnvelope).");
    add("arb_waveform", method<arb_waveform>(), "arb_waveform(name, waveform): a DDR waveform (IRArbWaveform).");
    add("waveform", method<waveform>(), "waveform(wave): the probe waveform (IRWaveform).");
    add("demodulation", method<demodulation>(), "demodulation(wave): the demodulation wave (IRDemodule).");
    add("freq_list", method<freq_list>(), "freq_list(freqs): the frequency list (IRFreqlist).");
    add("wait_trig", method<wait_trig>(), "wait_trig(): a trigger wait (IRWaitTrig).");
    add("play", method<play>(),
        "play(frame, envelope, amp=1, bias=0, freq=0.0, phase=0.0): an immediate play (IRPlayImm).");
    add("wait", method<wait>(), "wait(width): a wait of `width` seconds (IRWait).");
    add("delay", method<delay>(), "delay(width): a delay of `width` seconds (IRDelay).");
    add("capture", method<capture>(),
        "capture(freq_list, acq_width, delay_width=0.0, play_width=0.0): a capture (IRCapture).");
    add("receive", method<receive>(), "receive(chnl): a feedback load from channel `chnl` (IRNlw).");
    add("load_ddr", method<load_ddr>(), "load_ddr(wave): a DDR load (IRLoadDDRImm).");
    add("play_ddr", method<play_ddr>(), "play_ddr(wave): a DDR play (IRPlayDDRImm).");
    add("load_event", method<load_event>(), "load_event(reg): an event load (IRLoadEvent).");
    add("clear_event", method<clear_event>(), "clear_event(event_str): an event clear (IRClearEvent).");
    add("jump_event", method<jump_event>(),
        "jump_event(register_idx, event_str, target): an event jump (IRJumpEvent).");
    add("jump_conditional", method<jump_conditional>(),
        "jump_conditional(register_idx, value, feedback_chnl): the jump of a run-time if (IRJumpConditional).");
}

}  // namespace tvk::fn
