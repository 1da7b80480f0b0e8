// Envelope shapes of a queue: a Gaussian (from the waveforms library, or
// computed here when the library is absent), a cosine pulse and a square
// (library only), each declared on the queue through its ins_envelope.
#include "builder.hpp"
#include "docs.hpp"
#include "builder_core.hpp"
#include "common/buffer.hpp"

namespace tvk::builder {

namespace {

bool has_waveform() { return truth(global(TVK_NAME("HAS_WAVEFORM"))); }

// wf.<shape>(width) >> width / 2, with start 0 and stop `width`, declared on
// the queue.
py::object library_shape(py::handle self, PyObject* shape_name, py::handle width) {
    py::object shape = call_method(global(TVK_NAME("wf")), shape_name, {width});
    py::object half = steal(PyNumber_TrueDivide(width.ptr(), py_int(2).ptr()));
    py::object shifted = steal(PyNumber_Rshift(shape.ptr(), half.ptr()));
    setattr(shifted, TVK_NAME("start"), py_int(0));
    setattr(shifted, TVK_NAME("stop"), width);
    return call_method(self, TVK_NAME("ins_envelope"), {shifted});
}

// The numpy fallback: round(width * srate + 1) samples over the width.
py::object numpy_gaussian(py::handle width, py::handle srate) {
    py::object product = steal(PyNumber_Multiply(width.ptr(), srate.ptr()));
    py::object count = py_round(steal(PyNumber_Add(product.ptr(), py_int(1).ptr())));
    long long n = PyLong_AsLongLong(count.ptr());
    if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (n < 0)
        raise_error(PyExc_ValueError, "Number of samples, " + std::to_string(n) + ", must be non-negative.");
    const double w = as_double(width);
    const double scale = core::gaussian_scale(w);
    // A zero scale would make every sample 0 / 0: NaN in envelope memory.
    if (scale == 0.0) {
        PyErr_Format(PyExc_ValueError, "width %R is too small for a Gaussian", width.ptr());
        throw py::error_already_set();
    }
    py::object samples = call_method(global(TVK_NAME("np")), TVK_NAME("empty"), {count});
    BufferView v;
    v.acquire(samples, PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS);
    const Py_buffer& view = v.view();
    const bool fits = view.itemsize == 8 && view.format && std::string(view.format) == "d" &&
                      view.len == static_cast<Py_ssize_t>(n) * 8;
    if (!fits) throw std::runtime_error("np.empty did not give an array of float64 samples");
    core::gaussian(w, scale, n, static_cast<double*>(view.buf));
    return samples;
}

py::object evlp_gaussian(const Call& c) {
    static const Signature sig("evlp_gaussian", {"self", "width", "srate"}, 2, Signature::None,
                               {py_float(8e9)});
    auto a = bind<3>(sig, c);
    if (has_waveform()) return library_shape(a[0], TVK_NAME("gaussian"), a[1]);
    py::object envelope = numpy_gaussian(a[1], a[2]);
    return call_method(a[0], TVK_NAME("ins_envelope"), {envelope});
}

template <const char* FuncName, const char* ShapeName>
py::object library_only(const Call& c) {
    static const Signature sig(FuncName, {"self", "width"}, 2);
    auto a = bind<2>(sig, c);
    if (!has_waveform())
        throw std::runtime_error(
            "This interface depends on the waveforms library, which can be installed using the "
            "\"pip install wavesforms\" command");
    return library_shape(a[0], TVK_NAME(ShapeName), a[1]);
}
constexpr char kCosFunc[] = "evlp_cospulse";
constexpr char kCosShape[] = "cosPulse";
constexpr char kSquareFunc[] = "evlp_square";
constexpr char kSquareShape[] = "square";

}  // namespace

void add_shape_methods(ClassBuilder& b) {
    b.method("evlp_gaussian", method<evlp_gaussian>())
        .method("evlp_cospulse", method<library_only<kCosFunc, kCosShape>>())
        .method("evlp_square", method<library_only<kSquareFunc, kSquareShape>>());
}

}  // namespace tvk::builder
