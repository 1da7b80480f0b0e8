// QInsEnvelop: an envelope's samples; its byte form is the scaled samples in
// the envelope memory's sample type, never a drive word.
#include <pybind11/cast.h>

#include "ostrane.hpp"

#include "common/brief.hpp"
#include "common/text.hpp"
#include "common/samples.hpp"

namespace tvk::assembler {

namespace {

py::object post_init(const Call& c) {
    static const Signature sig("__post_init__", {"self"}, 1);
    auto a = bind<1>(sig, c);
    setattr(a[0], TVK_NAME("envelop_slice"),
            steal(PySlice_New(py_int(0).ptr(), Py_None, py_int(1).ptr())));
    return py::none();
}

py::object class_name(py::handle self) {
    return read_attr(py::handle(reinterpret_cast<PyObject*>(Py_TYPE(self.ptr()))), TVK_NAME("__name__"));
}

// The module's HAS_WAVEFORM and wf.Waveform as they are now (nullptr when
// the library is not in use).
PyObject* waveform_class(py::object& keep) {
    PyObject* d = reg().module_dict;
    if (!truth(module_global(d, TVK_NAME("HAS_WAVEFORM")))) return nullptr;
    keep = read_attr(module_global(d, TVK_NAME("wf")), TVK_NAME("Waveform"));
    return keep.ptr();
}

// Refused before any byte is made, so the record stays as it was.
void check_samples(py::handle self, py::handle samples, py::handle scaled, py::handle dtype) {
    py::object who = steal(PyUnicode_FromFormat("The %U record %U", class_name(self).ptr(),
                                                brief_repr(read_attr(self, TVK_NAME("tag"))).ptr()));
    py::object refusal = unfit_sample(who, samples, scaled, dtype);
    if (refusal) raise_assembly_error(text_of(refusal));
}

py::object envelope_bytes(const Call& c) {
    static const Signature sig("__bytes__", {"self"}, 1);
    auto a = bind<1>(sig, c);
    py::handle self = a[0];
    py::object env = read_attr(self, TVK_NAME("envelop"));
    py::object samples;
    py::object keep;
    PyObject* waveform = waveform_class(keep);
    int is_wave = 0;
    if (waveform) {
        is_wave = PyObject_IsInstance(env.ptr(), waveform);
        if (is_wave < 0) throw py::error_already_set();
    }
    if (is_wave) {
        if (read_attr(env, TVK_NAME("start")).is_none() || read_attr(env, TVK_NAME("stop")).is_none())
            raise_assembly_error("When the type of " + py::str(class_name(self)).cast<std::string>() +
                                 ".envelop is wf.Waveform, it must have start and stop attributes");
        samples = call_method(env, TVK_NAME("sample"), {config(TVK_NAME("OUTSrate"))});
    } else {
        int is_array = PyObject_IsInstance(env.ptr(), reg().ndarray);
        if (is_array < 0) throw py::error_already_set();
        if (!is_array)
            raise_assembly_error("The type of " + py::str(class_name(self)).cast<std::string>() +
                                 ".envelop must be one of np.ndarray or wf.Waveform");
        samples = env;
    }
    // The product is a new array: the record's samples stay as they were.
    py::object scaled = num_mul(samples, config(TVK_NAME("envelope_quant")));
    py::object dtype = config(TVK_NAME("envelope_dtype"));
    check_samples(self, samples, scaled, dtype);
    py::object typed = call_method(scaled, TVK_NAME("astype"), {dtype});
    return call_method(typed, TVK_NAME("tobytes"));
}

}  // namespace

void register_envelope(py::module_& m) {
    Registry& r = reg();
    py::handle ndarray(r.ndarray);
    ClassBuilder b("QInsEnvelop", kModule);
    b.base(r.TVKCommand)
        .method("__post_init__", method<post_init>())
        .method("__bytes__", method<envelope_bytes>());
    r.QInsEnvelop = publish(m, "QInsEnvelop", build_dataclass(b, {{"envelop", ndarray}}));
}

}  // namespace tvk::assembler
