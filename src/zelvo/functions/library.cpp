// The kernel functions: each builds the IR instruction it names, its
// arguments passed on by position.
#include "functions.hpp"

#include "common/imports.hpp"

namespace tvk::fn {

namespace {

PyObject* zero_float() {
    static PyObject* const z = keep_new(PyFloat_FromDouble(0.0));
    return z;
}
PyObject* zero_int() {
    static PyObject* const z = keep_new(PyLong_FromLong(0));
    return z;
}
PyObject* one_int() {
    static PyObject* const o = keep_new(PyLong_FromLong(1));
    return o;
}

// Binds the call, then calls the instruction class with the bound values.
template <int N>
py::object forward(const Signature& sig, const Call& c, PyObject* cls) {
    auto b = bind<N>(sig, c);
    return steal(PyObject_Vectorcall(cls, b.v.data(), N, nullptr));
}

py::object frame(const Call& c) {
    static const Signature sig("frame", {"freq", "phase", "idx"}, 1, Signature::None, {zero_float(), zero_int()});
    return forward<3>(sig, c, reg().IRFrame);
}

py::object frame_add(const Call& c) {
    static const Signature sig("frame_add", {"frames", "frequency", "phase"}, 3);
    return forward<3>(sig, c, reg().IRFrameAdd);
}

py::object frame_reset(const Call& c) {
    static const Signature sig("frame_reset", {}, 0);
    return forward<0>(sig, c, reg().IRFrameRst);
}

py::object envelope(const Call& c) {
    static const Signature sig("envelope", {"envelope_i", "envelope_q", "amp"}, 1, Signature::None,
                               {py::none(), one_int()});
    return forward<3>(sig, c, reg().IREnvelope);
}

// The same instruction under the name a re-assignment recognises.
py::object ins_envelope(const Call& c) {
    static const Signature sig("ins_envelope", {"envelope_i", "envelope_q", "amp"}, 1, Signature::None,
                               {py::none(), one_int()});
    return forward<3>(sig, c, reg().IREnvelope);
}

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
    PyObject* argv[] = {frame_no.ptr(), b.v[1], b.v[2], b.v[3], b.v[4], b.v[5]};
    return steal(PyObject_Vectorcall(reg().IRPlayImm, argv, 6, nullptr));
}

py::object wait(const Call& c) {
    static const Signature sig("wait", {"width"}, 1);
    return forward<1>(sig, c, reg().IRWait);
}

py::object delay(const Call& c) {
    static const Signature sig("delay", {"width"}, 1);
    return forward<1>(sig, c, reg().IRDelay);
}

py::object capture(const Call& c) {
    static const Signature sig("capture", {"freq_list", "acq_width", "delay_width", "play_width"}, 2,
                               Signature::None, {zero_float(), zero_float()});
    return forward<4>(sig, c, reg().IRCapture);
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
