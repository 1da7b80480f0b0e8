// The capture record (a drive-side record that encodes into probe words) and
// the three probe commands the assembler derives: delay, trigger wait, jump.
#include <pybind11/pybind11.h>

#include <vector>

#include "ostrane.hpp"

namespace tvk::assembler {

namespace {

using words::ProbeHead;

py::object post_init_flags(const Call& c) { return post_init_fields(c, {{TVK_NAME("ch_flag"), channel_flags()}}); }

// round(x / capture_step) with the interpreter's semantics.
py::object steps(py::handle x, py::handle step) {
    if (PyFloat_CheckExact(x.ptr()) && PyFloat_CheckExact(step.ptr()) && PyFloat_AS_DOUBLE(step.ptr()) != 0.0)
        return round_int(PyFloat_AS_DOUBLE(x.ptr()) / PyFloat_AS_DOUBLE(step.ptr()));
    return py_round(num_div(x, step));
}

py::object flag(py::handle flags, PyObject* key) { return steal(PyObject_GetItem(flags.ptr(), key)); }

py::object capture_len(const Call& c) {
    py::handle self = self_only(c, "__len__");
    return steps(read_attr(self, TVK_NAME("width")), config(TVK_NAME("capture_step")));
}

PinnedFunction g_capture_l2b;  // QInsCapture.__dict__["list2bytes"], pinned for the process

// The capture's list2bytes, when it is this module's own.
OwnSteps<1, NoExtra>& capture_l2b_step() {
    static OwnSteps<1, NoExtra> gate({own_object(TVK_NAME("list2bytes"), g_capture_l2b)});
    return gate;
}

py::object capture_bytes(const Call& c);

// bytes() of the record is the capture one.
OwnSteps<1, NoExtra>& capture_bytes_step() {
    static OwnSteps<1, NoExtra> gate({special(own_method(TVK_NAME("__bytes__"), method<capture_bytes>().fn))});
    return gate;
}

// The one or three probe words of a capture, appended to `out`. Each word's
// list goes to the record's own list2bytes, or is packed here when that is
// this module's own and no instance attribute shadows it.
void capture_words(Self self, std::string& out) {
    py::object width = self.get(TVK_NAME("width"));
    py::object limit = config(TVK_NAME("max_capture_width"));
    if (compare(width, limit, Py_GT))
        raise_assembly_error("Wide range " + field_text(limit) + " when " + field_text(width) +
                             " exceeds the maximum capture");
    py::object step = config(TVK_NAME("capture_step"));
    CmdItem delay_length = steps(self.get(TVK_NAME("probe_delay")), step);
    CmdItem length = steps(width, step);
    py::object dl = delay_length.object();
    const bool delayed = compare(dl, py_int(0), Py_GT);

    const CmdItem head = words::kProbeCapture;
    std::array<ProbeItems, 3> lists;
    std::size_t n = 0;
    py::object flags = self.get(TVK_NAME("ch_flag"));
    if (delayed) {
        lists[n++] = {head, flag(flags, TVK_NAME("da")), 0, 0, 0, 0, 0, delay_length};
        flags = self.get(TVK_NAME("ch_flag"));
        lists[n++] = {head, flag(flags, TVK_NAME("all")), 0, 0, 0, length, 0,
                      num_sub(length.object(), dl)};
        flags = self.get(TVK_NAME("ch_flag"));
        lists[n++] = {head, flag(flags, TVK_NAME("ad")), 0, 0, 0, length, 0, delay_length};
    } else {
        lists[n++] = {head, flag(flags, TVK_NAME("all")), 0, 0, 0, length, 0, length};
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (capture_l2b_step().open(self.self())) {
            std::uint8_t word[words::kProbeBytes];
            encode_probe_items(lists[i], word);
            out.append(reinterpret_cast<const char*>(word), sizeof word);
            continue;
        }
        py::object word = call_method(self.self(), TVK_NAME("list2bytes"), {items_to_list(lists[i])});
        char* buf = nullptr;
        Py_ssize_t len = 0;
        if (PyBytes_AsStringAndSize(word.ptr(), &buf, &len) < 0) throw py::error_already_set();
        out.append(buf, static_cast<std::size_t>(len));
    }
}

py::object capture_bytes(const Call& c) {
    py::handle self = self_only(c, "__bytes__");
    std::string out;
    capture_words(Instance(self.ptr()), out);
    return steal(PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
}

void pack_trig_delay(Self self, ProbeItems& out) {
    double d = to_float(self.get(TVK_NAME("delay")));
    out[0] = words::kProbeDelay;
    out[1] = flag(self.get(TVK_NAME("ch_flag")), TVK_NAME("all"));
    double steps = num::round_half_even(d / words::kProbeDelayStep);
    out[7] = num::fits_int64(steps) ? CmdItem(static_cast<std::int64_t>(steps)) : CmdItem(round_int(steps));
}

void pack_jump(Self self, ProbeItems& out) {
    out[0] = words::kProbeJump;
    out[3] = self.get(TVK_NAME("ins_idx"));
}

}  // namespace

bool direct_probe_words(PyObject* rec, std::string& out) {
    PyTypeObject* tp = Py_TYPE(rec);
    if (capture_bytes_step().open_type(tp)) {
        capture_words(Instance(rec), out);
        return true;
    }
    std::uint8_t word[words::kDriveBytes];
    DirectWord w = direct_word(rec, false, word);
    out.append(reinterpret_cast<const char*>(word), w.size);
    return w.size != 0;
}

void register_capture(py::module_& m) {
    Registry& r = reg();
    py::handle str(reinterpret_cast<PyObject*>(&PyUnicode_Type));
    py::handle flt(reinterpret_cast<PyObject*>(&PyFloat_Type));
    py::object typing = py::module_::import("typing");
    py::object delay_type = typing.attr("Union")[py::make_tuple(flt, py::handle(r.QNumber))];

    ClassBuilder cap("QInsCapture", kModule);
    cap.base(r.TVKCommand)
        .method("__post_init__", method<post_init_flags>())
        .method("__len__", method<capture_len>())
        .method("__bytes__", method<capture_bytes>())
        .staticmethod("list2bytes", method<probe_list2bytes>(),
                      "Pack the eight-item list, last item first, into one 16-byte probe word.");
    r.QInsCapture = publish(m, "QInsCapture",
                            build_dataclass(cap, {{"width", flt}, {"probe_delay", flt, py_int(0)}}));
    g_capture_l2b = PinnedFunction(held_member(r.QInsCapture, "list2bytes"));

    ClassBuilder delay("_QInsPTrigDelay", kModule);
    delay.base(r.ProbeCommand).method("__post_init__", method<post_init_flags>());
    probe_packer<pack_trig_delay>(delay);
    r.QInsPTrigDelay = publish(m, "_QInsPTrigDelay", build_dataclass(delay, {{"delay", delay_type}}));

    ClassBuilder wait("_QInsPWaitTrig", kModule);
    wait.base(r.ProbeCommand);
    r.QInsPWaitTrig = publish(m, "_QInsPWaitTrig", build_dataclass(wait, {}));

    ClassBuilder jump("_QInsPJump", kModule);
    jump.base(r.ProbeCommand).method("__post_init__", method<post_init_ins_idx>());
    probe_packer<pack_jump>(jump);
    r.QInsPJump = publish(m, "_QInsPJump", build_dataclass(jump, {{"target", str}}));
}

}  // namespace tvk::assembler
