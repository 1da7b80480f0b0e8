// Data carriers: envelopes (with their byte form), DDR waveforms, the probe
// waveform, the demodulation wave and the frequency list.
#include "dds.hpp"

#include "common/brief.hpp"
#include "common/samples.hpp"
#include "common/text.hpp"

namespace tvk::ir {

namespace {

// _get_envelope(envelope_i, envelope_q=None)
py::object get_envelope(const Call& c) {
    static const Signature sig("_get_envelope", {"self", "envelope_i", "envelope_q"}, 2, Signature::None,
                               {py::none()});
    auto b = bind<3>(sig, c);
    py::handle self = b[0];
    if (b[2].is_none()) {
        setattr(self, TVK_NAME("envelope_type"), py::reinterpret_borrow<py::object>(TVK_NAME("ndarray")));
        setattr(self, TVK_NAME("envelope"), b[1]);
        return py::none();
    }
    setattr(self, TVK_NAME("envelope_type"), py::reinterpret_borrow<py::object>(TVK_NAME("complex")));
    py::object parts = steal(PyList_New(2));
    PyList_SET_ITEM(parts.ptr(), 0, b[1].inc_ref().ptr());
    PyList_SET_ITEM(parts.ptr(), 1, b[2].inc_ref().ptr());
    py::object concat = read_attr(reg().numpy, TVK_NAME("concatenate"));
    setattr(self, TVK_NAME("envelope"), steal(PyObject_CallOneArg(concat.ptr(), parts.ptr())));
    return py::none();
}

// IREnvelope(envelope_i, envelope_q=None, amp=1, **kwargs); amp has no effect.
py::object envelope_init(const Call& c) {
    static const Signature sig("__init__", {"self", "envelope_i", "envelope_q", "amp"}, 2, Signature::VarKw,
                               {py::none(), py::int_(1).release()});
    auto b = bind_init<4>(sig, c);
    py::handle self = b[0];
    call_next_init(c.cls, self, b.kwargs);
    call_method(self, TVK_NAME("_get_envelope"), {b[1], b[2]});
    static PyObject* const zero = keep_new(PyLong_FromLong(0));
    static PyObject* const two = keep_new(PyLong_FromLong(2));
    static PyObject* const one = keep_new(PyLong_FromLong(1));
    setattr(self, TVK_NAME("envelope_slice"), steal(PySlice_New(zero, two, one)));
    return py::none();
}

// len(): the element count of the stored samples.
py::object envelope_len(const Call& c) {
    py::handle self = self_only(c, "__len__");
    py::object size = read_attr(read_attr(self, TVK_NAME("envelope")), TVK_NAME("size"));
    if (PyLong_CheckExact(size.ptr())) return size;
    return steal(PyNumber_Long(size.ptr()));
}

py::object global_config_item(PyObject* key) {
    py::object cfg = module_global(reg().module_dict, TVK_NAME("global_config"));
    return steal(PyObject_GetItem(cfg.ptr(), key));
}

// bytes(): the samples scaled by envelope_quant, cast to envelope_dtype
// (truncating), native byte order. A scaled copy, so `envelope` keeps its
// amplitudes for the passes that read it afterwards. A sample the cast would
// wrap or leave undefined is refused before any byte is made.
py::object envelope_bytes(const Call& c) {
    py::handle self = self_only(c, "__bytes__");
    py::object env = read_attr(self, TVK_NAME("envelope"));
    py::object ndarray = read_attr(reg().numpy, TVK_NAME("ndarray"));
    int is_array = PyObject_IsInstance(env.ptr(), ndarray.ptr());
    if (is_array < 0) throw py::error_already_set();
    if (!is_array) {
        const char* name = Py_TYPE(self.ptr())->tp_name;
        raise_assembly_error(std::string("The type of ") + name +
                             ".envelop must be one of np.ndarray or wf.Waveform");
    }
    py::object quant = global_config_item(TVK_NAME("envelope_quant"));
    py::object scaled = steal(PyNumber_Multiply(env.ptr(), quant.ptr()));
    py::object dtype = global_config_item(TVK_NAME("envelope_dtype"));
    py::object who = steal(PyUnicode_FromFormat("The %s instruction %U", Py_TYPE(self.ptr())->tp_name,
                                                brief_repr(read_attr(self, TVK_NAME("tag"))).ptr()));
    py::object refusal = unfit_sample(who, env, scaled, dtype);
    if (refusal) raise_assembly_error(text_of(refusal));
    py::object cast = call_method(scaled, TVK_NAME("astype"), {dtype});
    return call_method(cast, TVK_NAME("tobytes"));
}

py::object envelope_repr(const Call& c) {
    py::handle self = self_only(c, "__repr__");
    py::object tag = py_str(read_attr(self, TVK_NAME("tag")));
    py::object nbytes = py_str(read_attr(read_attr(self, TVK_NAME("envelope")), TVK_NAME("nbytes")));
    return steal(PyUnicode_FromFormat("<%s: %U>: %U", Py_TYPE(self.ptr())->tp_name, tag.ptr(), nbytes.ptr()));
}

// IRArbWaveform(name: str, waveform, **kwargs)
py::object arb_init(const Call& c) {
    static const Signature sig("__init__", {"self", "name", "waveform"}, 3, Signature::VarKw);
    auto b = bind_init<3>(sig, c);
    py::handle self = b[0];
    check_str(b[1], "name");
    call_next_init(c.cls, self, b.kwargs);
    setattr(self, TVK_NAME("name"), b[1]);
    setattr(self, TVK_NAME("waveform"), b[2]);
    setattr(self, TVK_NAME("wave_type"), read_attr(b[2], TVK_NAME("dtype")));
    setattr(self, TVK_NAME("offset"), py::int_(0));
    setattr(self, TVK_NAME("step"), py::int_(32768));
    return py::none();
}

// One-argument carriers that take no keyword beyond their own parameter, so
// kernel stays None.
constexpr char kWave[] = "wave";
constexpr char kFreqList[] = "freq_list";

template <const char* Arg, bool ExactList>
py::object carrier_init(const Call& c) {
    static const Signature sig("__init__", {"self", Arg}, 2);
    auto b = bind_init<2>(sig, c);
    if (ExactList) check_list(b[1], Arg);
    call_next_init(c.cls, b[0], py::handle());
    setattr(b[0], TVK_NAME(Arg), b[1]);
    return py::none();
}

py::object waveform_line(const Call& c) {
    py::handle self = self_only(c, "_pack_cmd");
    return py_str(read_attr(read_attr(self, TVK_NAME("wave")), TVK_NAME("shape")));
}

}  // namespace

void register_IRArbWaveform(py::module_& m) {
    define_class(m, kModule, "IRArbWaveform", {reg().PreIR},
                 [](ClassBuilder& b) { b.method("__init__", method<arb_init>()); });
}

void register_IREnvelope(py::module_& m) {
    define_class(m, kModule, "IREnvelope", {reg().PreIR}, [](ClassBuilder& b) {
        b.method("__init__", method<envelope_init>())
            .method("_get_envelope", method<get_envelope>())
            .method("__len__", method<envelope_len>())
            .method("__bytes__", method<envelope_bytes>())
            .method("__repr__", method<envelope_repr>());
    });
}

void register_IRDemodule(py::module_& m) {
    define_class(m, kModule, "IRDemodule", {reg().PreIR}, [](ClassBuilder& b) {
        b.method("__init__", method<carrier_init<kWave, false>>())
            .property("overhead", getter<const_int<1>>())
            .property("wait_time", getter<const_int<1>>());
    });
}

void register_IRWaveform(py::module_& m) {
    define_class(m, kModule, "IRWaveform", {reg().PreIR}, [](ClassBuilder& b) {
        b.method("__init__", method<carrier_init<kWave, false>>())
            .property("overhead", getter<const_int<1>>())
            .property("wait_time", getter<const_int<1>>())
            .method("_pack_cmd", method<waveform_line>());
    });
}

void register_IRFreqlist(py::module_& m) {
    define_class(m, kModule, "IRFreqlist", {reg().PreIR}, [](ClassBuilder& b) {
        b.method("__init__", method<carrier_init<kFreqList, true>>())
            .property("overhead", getter<const_int<1>>())
            .property("wait_time", getter<const_int<1>>());
    });
}

}  // namespace tvk::ir
