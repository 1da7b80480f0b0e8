// QInsEnvelop: an envelope's samples; its byte form is the scaled samples in
// the envelope memory's sample type, never a drive word.
#include <cfloat>
#include <cmath>
#include <cstring>

#include "ostrane.hpp"

#include "common/brief.hpp"
#include "common/text.hpp"
#include "common/samples.hpp"

namespace tvk::ostrane {

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

// The range of scaled samples the cast to `dtype` keeps as they are: a
// fraction is truncated toward zero, so an integer type takes everything
// above min - 1 and below max + 1; a float type takes its finite range.
// Limits as 64-bit floats; `bounded` for an integer type.
struct Fit {
    double lo = -DBL_MAX, hi = DBL_MAX;
    bool bounded = false;
};

Fit fit_of(py::handle dtype) {
    py::module_ np = py::module_::import("numpy");
    py::object kind = getattr(dtype, TVK_NAME("kind"));
    Fit f;
    if (PyUnicode_CompareWithASCIIString(kind.ptr(), "i") == 0 ||
        PyUnicode_CompareWithASCIIString(kind.ptr(), "u") == 0) {
        py::object info = np.attr("iinfo")(dtype);
        double min = as_double(getattr(info, TVK_NAME("min")));
        double max = as_double(getattr(info, TVK_NAME("max")));
        // min - 1 may round to min itself (64-bit types): then min is the bound.
        f.lo = min - 1.0 == min ? min : std::nextafter(min - 1.0, 0.0);
        f.hi = std::nextafter(max + 1.0, 0.0);
        f.bounded = true;
    } else if (PyUnicode_CompareWithASCIIString(kind.ptr(), "f") == 0) {
        double max = as_double(getattr(np.attr("finfo")(dtype), TVK_NAME("max")));
        f.lo = -max;
        f.hi = max;
    }
    return f;
}

// Every scaled sample must come through the cast to envelope memory's type
// unchanged but for the truncation: NaN and infinity have no integer, and a
// value past the type's range would wrap. Refused before any byte is made.
void check_samples(py::handle self, py::handle samples, py::handle scaled, py::handle dtype_config) {
    py::object scaled_type = lookup_attr(scaled, TVK_NAME("dtype"));
    if (!scaled_type) return;  // not an array: the cast decides
    py::object kind = getattr(scaled_type, TVK_NAME("kind"));
    if (PyUnicode_GET_LENGTH(kind.ptr()) != 1 ||
        !std::strchr("biuf", static_cast<char>(PyUnicode_READ_CHAR(kind.ptr(), 0))))
        return;  // complex and object samples: left to the cast as well
    py::module_ np = py::module_::import("numpy");
    py::object dtype = np.attr("dtype")(dtype_config);
    Fit fit = fit_of(dtype);
    Py_ssize_t at = first_outside(scaled, fit.lo, fit.hi);
    if (at < 0) return;
    py::object sample = np.attr("ravel")(samples)[py::int_(at)];
    double value = as_double(np.attr("ravel")(scaled)[py::int_(at)]);
    py::object who = steal(PyUnicode_FromFormat(
        "The %U record %U holds the sample %U at position %zd", class_name(self).ptr(),
        brief_repr(read_attr(self, TVK_NAME("tag"))).ptr(), brief_repr(steal(PyNumber_Float(sample.ptr()))).ptr(),
        at));
    py::object message;
    if (!std::isfinite(value) || !fit.bounded) {
        message = steal(PyUnicode_FromFormat("%U: envelope memory takes finite samples only", who.ptr()));
    } else {
        py::object info = np.attr("iinfo")(dtype);
        message = steal(PyUnicode_FromFormat("%U: scaled by envelope_quant it is %U, outside %S (%S to %S)", who.ptr(),
                                             brief_repr(py_float(value)).ptr(), dtype.ptr(),
                                             getattr(info, TVK_NAME("min")).ptr(), getattr(info, TVK_NAME("max")).ptr()));
    }
    raise_assembly_error(text_of(message));
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

}  // namespace tvk::ostrane
