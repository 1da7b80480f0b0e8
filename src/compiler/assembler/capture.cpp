// The capture record (a drive-side record that encodes into probe words) and
// the three probe commands the assembler derives: delay, trigger wait, jump.
#include <vector>

#include "ostrane.hpp"

namespace tvk::ostrane {

namespace {

using words::ProbeHead;

py::object bind_self(const Call& c, const Signature& sig) {
    auto a = bind<1>(sig, c);
    return py::reinterpret_borrow<py::object>(a[0]);
}

py::object post_init_flags(const Call& c) {
    static const Signature sig("__post_init__", {"self"}, 1);
    py::object self = bind_self(c, sig);
    setattr(self, TVK_NAME("ch_flag"), channel_flags());
    return py::none();
}

py::object post_init_ins_idx(const Call& c) {
    static const Signature sig("__post_init__", {"self"}, 1);
    py::object self = bind_self(c, sig);
    setattr(self, TVK_NAME("ins_idx"), py_int(0));
    return py::none();
}

// round(x / capture_step) with the interpreter's semantics.
py::object steps(py::handle x, py::handle step) {
    if (PyFloat_CheckExact(x.ptr()) && PyFloat_CheckExact(step.ptr()) && PyFloat_AS_DOUBLE(step.ptr()) != 0.0)
        return round_int(PyFloat_AS_DOUBLE(x.ptr()) / PyFloat_AS_DOUBLE(step.ptr()));
    return py_round(num_div(x, step));
}

py::object flag(py::handle self, PyObject* key) {
    return steal(PyObject_GetItem(getattr(self, TVK_NAME("ch_flag")).ptr(), key));
}

py::object capture_len(const Call& c) {
    static const Signature sig("__len__", {"self"}, 1);
    py::object self = bind_self(c, sig);
    return steps(getattr(self, TVK_NAME("width")), config(TVK_NAME("capture_step")));
}

py::list probe_list(std::initializer_list<py::object> items) {
    py::list l(items.size());
    Py_ssize_t i = 0;
    for (const py::object& it : items) l[i++] = it;
    return l;
}

py::object capture_bytes(const Call& c) {
    static const Signature sig("__bytes__", {"self"}, 1);
    py::object self = bind_self(c, sig);
    py::object width = getattr(self, TVK_NAME("width"));
    py::object limit = config(TVK_NAME("max_capture_width"));
    int wide = PyObject_RichCompareBool(width.ptr(), limit.ptr(), Py_GT);
    if (wide < 0) throw py::error_already_set();
    if (wide) raise_assembly_error("Wide range " + field_text(limit) + " when " + field_text(width) +
                                   " exceeds the maximum capture");
    py::object step = config(TVK_NAME("capture_step"));
    py::object delay_length = steps(getattr(self, TVK_NAME("probe_delay")), step);
    py::object length = steps(width, step);
    int delayed = PyObject_RichCompareBool(delay_length.ptr(), py_int(0).ptr(), Py_GT);
    if (delayed < 0) throw py::error_already_set();

    py::object zero = py_int(0);
    py::object head = py_int(words::kProbeCapture);
    std::vector<py::list> lists;
    if (delayed) {
        lists.push_back(probe_list({head, flag(self, TVK_NAME("da")), zero, zero, zero, zero, zero, delay_length}));
        lists.push_back(probe_list(
            {head, flag(self, TVK_NAME("all")), zero, zero, zero, length, zero, num_sub(length, delay_length)}));
        lists.push_back(probe_list({head, flag(self, TVK_NAME("ad")), zero, zero, zero, length, zero, delay_length}));
    } else {
        lists.push_back(probe_list({head, flag(self, TVK_NAME("all")), zero, zero, zero, length, zero, length}));
    }
    std::string out;
    for (const py::list& l : lists) {
        py::object word = call_method(self, TVK_NAME("list2bytes"), {l});
        char* buf = nullptr;
        Py_ssize_t n = 0;
        if (PyBytes_AsStringAndSize(word.ptr(), &buf, &n) < 0) throw py::error_already_set();
        out.append(buf, static_cast<std::size_t>(n));
    }
    return steal(PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
}

void pack_trig_delay(py::handle self, ProbeItems& out) {
    double d = to_float(getattr(self, TVK_NAME("delay")));
    out[0] = py_int(words::kProbeDelay);
    out[1] = flag(self, TVK_NAME("all"));
    for (std::size_t i = 2; i < 7; ++i) out[i] = py_int(0);
    out[7] = round_int(d / words::kProbeDelayStep);
}

void pack_jump(py::handle self, ProbeItems& out) {
    for (auto& it : out) it = py_int(0);
    out[0] = py_int(words::kProbeJump);
    out[3] = getattr(self, TVK_NAME("ins_idx"));
}

}  // namespace

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

    ClassBuilder delay("_QInsPTrigDelay", kModule);
    delay.base(r.ProbeCommand)
        .method("__post_init__", method<post_init_flags>())
        .method("_pack_cmd", method<probe_pack_cmd<pack_trig_delay>>());
    r.QInsPTrigDelay = publish(m, "_QInsPTrigDelay", build_dataclass(delay, {{"delay", delay_type}}));
    pair_probe_packer(r.QInsPTrigDelay, pack_trig_delay);

    ClassBuilder wait("_QInsPWaitTrig", kModule);
    wait.base(r.ProbeCommand);
    r.QInsPWaitTrig = publish(m, "_QInsPWaitTrig", build_dataclass(wait, {}));

    ClassBuilder jump("_QInsPJump", kModule);
    jump.base(r.ProbeCommand)
        .method("__post_init__", method<post_init_ins_idx>())
        .method("_pack_cmd", method<probe_pack_cmd<pack_jump>>());
    r.QInsPJump = publish(m, "_QInsPJump", build_dataclass(jump, {{"target", str}}));
    pair_probe_packer(r.QInsPJump, pack_jump);
}

}  // namespace tvk::ostrane
