// The kernel functions: each builds the IR instruction it names, its
// arguments passed on by position.
#include <pybind11/pybind11.h>

#include "functions.hpp"

#include "common/imports.hpp"

namespace tvk::functions {

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

// cls(*args) with the checked values.
py::object build(PyObject* cls, std::initializer_list<py::handle> args) { return call(cls, args); }

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
    if (!b[1].is_none()) {
        samples_arg(Name, "envelope_q", b[1]);
        // The rules split an I/Q envelope into two equal halves.
        Py_ssize_t n_i = PyObject_Length(b.v[0]), n_q = PyObject_Length(b.v[1]);
        if (n_i < 0 || n_q < 0) throw py::error_already_set();
        if (n_i != n_q) {
            PyErr_Format(PyExc_ValueError,
                         "%s() arguments 'envelope_i' and 'envelope_q' must have the same length, got %zd and %zd",
                         Name, n_i, n_q);
            throw py::error_already_set();
        }
    }
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
// is played by its number, so the line prints the number; an I/Q envelope
// makes an I/Q play (plyic), any other an immediate play (plyi).
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
    // An envelope with a Q part plays as an I/Q play.
    static PyObject* const complex = intern("complex");
    py::object type = lookup_attr(b[1], TVK_NAME("envelope_type"));
    PyObject* cls = type && compare(type, complex, Py_EQ) ? reg().IRPlaycImm : reg().IRPlayImm;
    return build(cls, {frame_no, b[1], amp, bias, freq, phase});
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

// The frequencies are numbers 0 to 7 (the mask drops any other without a
// word) and the widths seconds, none negative; the instruction refuses a
// frequency list that is not a list itself.
py::object capture(const Call& c) {
    static const Signature sig("capture", {"freq_list", "acq_width", "delay_width", "play_width"}, 2,
                               Signature::None, {zero_float(), zero_float()});
    auto b = bind<4>(sig, c);
    if (PyList_CheckExact(b.v[0])) freq_numbers_arg("capture", "freq_list", b[0]);
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
    TVK_KEEP_EACH(r, ir, TVK_FUNCTIONS_IR_CLASSES);
    py::module_ numpy = py::module_::import("numpy");
    r.ndarray = keep(numpy, "ndarray");
    r.np_complex = keep(numpy, "complexfloating");
    r.np_bool = keep(numpy, "bool_");

    const std::string mod = module_name(m);
    // help() texts in the builtins' form, so inspect.signature() reads them.
    auto add = [&](const char* name, MethodDef def, const char* signature, const char* text) {
        py::object f = make_cfunction(name, def.fn, py::none(), signed_doc(name, signature, text).c_str(), mod.c_str());
        export_name(m, all, name, f);
    };
    add("frame", method<frame>(), "(freq, phase=0.0, idx=0)",
        "Set carrier frame number `idx` (0 to 31) to `freq` hertz and `phase` radians (IRFrame); declare "
        "it as f: zv.Frame = zv.frame(...).");
    add("frame_add", method<frame_add>(), "(frames, frequency, phase)",
        "Add `frequency` hertz and `phase` radians to the frames numbered in the list `frames` (IRFrameAdd).");
    add("frame_reset", method<frame_reset>(), "()",
        "Reset the carrier frames (IRFrameRst); it must follow a trigger wait or a wait.");
    add("envelope", method<envelope>(), "(envelope_i, envelope_q=None, amp=1)",
        "An envelope of the samples `envelope_i` (fractions of full scale, at most 1) and, when given, the Q "
        "samples `envelope_q` of the same length (IREnvelope); `amp` has no effect. Declare it as "
        "e: zv.Envelope = zv.envelope(...). The passes pad an envelope with zeros to whole blocks, an I/Q "
        "envelope each half.");
    add("ins_envelope", method<ins_envelope>(), "(envelope_i, envelope_q=None, amp=1)",
        "A new envelope for a declared one, written e = zv.ins_envelope(...); the arguments as for envelope().");
    add("arb_waveform", method<arb_waveform>(), "(name, waveform)",
        "A waveform named `name` (a str) for the DDR memory, its samples the array `waveform` "
        "(IRArbWaveform); declare it as w: zv.ArbWave = zv.arb_waveform(...).");
    add("waveform", method<waveform>(), "(wave)",
        "The probe waveform, an array of frequencies by points (IRWaveform); declare it as zv.Waveform.");
    add("demodulation", method<demodulation>(), "(wave)",
        "The demodulation wave (IRDemodule); declare it as zv.Demodulation.");
    add("freq_list", method<freq_list>(), "(freqs)",
        "The frequency list, any iterable of hertz kept as a list (IRFreqlist); declare it as zv.Freqlist.");
    add("wait_trig", method<wait_trig>(), "()",
        "Wait for the next trigger (IRWaitTrig); the compile parameter trig_align_time aligns it.");
    add("play", method<play>(), "(frame, envelope, amp=1, bias=0, freq=0.0, phase=0.0)",
        "Play the declared envelope `envelope` on the declared frame `frame` (IRPlayImm): `amp` a fraction "
        "of full scale (printed times 32767), `bias` printed as given, `freq` hertz and `phase` radians "
        "added to the frame's. The play reads whole blocks of da_srate * base_clock samples (32 by default), "
        "the envelope padded with zeros to them, and needs at least two blocks: an envelope of more than 32 "
        "samples by default. An envelope with a Q part plays as an I/Q play (IRPlaycImm, plyic), its start "
        "and length counted in blocks of 32 samples over both halves.");
    add("wait", method<wait>(), "(width)",
        "Wait `width` seconds (IRWait); the scheduler pads the program to that length.");
    add("delay", method<delay>(), "(width)",
        "A delay instruction of `width` seconds, rounded to whole base-clock cycles (IRDelay).");
    add("capture", method<capture>(), "(freq_list, acq_width, delay_width=0.0, play_width=0.0)",
        "Capture and demodulate at the frequency numbers 0 to 7 in the list `freq_list` (IRCapture): "
        "`acq_width`, `delay_width` and `play_width` in seconds. Written r = zv.capture(...) it moves the "
        "judgement result into the register r.");
    add("receive", method<receive>(), "(chnl)",
        "Load what arrives on the feedback channel `chnl` into a register (IRNlw), written "
        "r = zv.receive(chnl) with a literal channel.");
    add("load_ddr", method<load_ddr>(), "(wave)",
        "Load the DDR waveform `wave`, declared as zv.ArbWave, from the external memory (IRLoadDDRImm).");
    add("play_ddr", method<play_ddr>(), "(wave)",
        "Play the DDR waveform `wave` (IRPlayDDRImm); the program needs the DDR translator, "
        "PlayDDRTranslator, in its pass parameters.");
    add("load_event", method<load_event>(), "(reg)", "Load an event into register `reg` (IRLoadEvent).");
    add("clear_event", method<clear_event>(), "(event_str)", "Clear the event `event_str` (IRClearEvent).");
    add("jump_event", method<jump_event>(), "(register_idx, event_str, target)",
        "Jump to the instruction `target` on the event `event_str` of register `register_idx` (IRJumpEvent).");
    add("jump_conditional", method<jump_conditional>(), "(register_idx, value, feedback_chnl)",
        "The conditional jump of a run-time if register == value (IRJumpConditional); the front-end "
        "calls it, a kernel writes the if.");
}

}  // namespace tvk::functions
