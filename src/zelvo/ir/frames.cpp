// Carrier-frame settings (fmsi, Fmai, drst) and the readout settings
// (prot, pth), plus the frequency / phase word fields the plays share.
#include "dds.hpp"
#include "words.hpp"

namespace tvk::ir {

namespace {

PyObject* one() {
    static PyObject* const o = keep_new(PyLong_FromLong(1));
    return o;
}

// Small exact int in [0, hi]: the fast path of the shift-based masks.
bool small_index(PyObject* o, long long hi, long long* out) {
    std::int64_t v;
    if (!small_int(o, v) || v < 0 || v > hi) return false;
    *out = v;
    return true;
}

// format(1 << idx, "032b")
void append_frame_bit(std::string& out, py::handle idx) {
    long long i;
    if (small_index(idx.ptr(), words::kMaxFastShift, &i)) {
        num::append_binary(out, static_cast<std::int64_t>(1) << i, 32);
        return;
    }
    py::object bit = steal(PyNumber_Lshift(one(), idx.ptr()));
    append_binary(out, bit, 32);
}

// mask = 0; for f in frames: mask |= 1 << f
py::object frame_mask(py::handle frames, std::uint64_t* fast_out) {
    py::object it = steal(PyObject_GetIter(frames.ptr()));
    std::uint64_t fast = 0;
    py::object slow;
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        py::object item = py::reinterpret_steal<py::object>(raw);
        long long i;
        if (!slow && small_index(raw, words::kMaxFastShift, &i)) {
            fast |= static_cast<std::uint64_t>(1) << i;
            continue;
        }
        if (!slow) slow = steal(PyLong_FromUnsignedLongLong(fast));
        py::object bit = steal(PyNumber_Lshift(one(), raw));
        slow = steal(PyNumber_InPlaceOr(slow.ptr(), bit.ptr()));
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    *fast_out = fast;
    return slow;
}

// mask = 0; for num in fre: if 0 <= num < 8: mask |= 1 << num
void append_fre_u8(std::string& out, py::handle fre) {
    static PyObject* const zero = keep_new(PyLong_FromLong(0));
    static PyObject* const eight = keep_new(PyLong_FromLong(8));
    py::object it = steal(PyObject_GetIter(fre.ptr()));
    unsigned fast = 0;
    py::object slow;
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        py::object item = py::reinterpret_steal<py::object>(raw);
        std::int64_t v;
        if (!slow && small_int(raw, v)) {
            if (v >= 0 && v < 8) fast |= 1u << v;
            continue;
        }
        int ok = PyObject_RichCompareBool(zero, raw, Py_LE);
        if (ok < 0) throw py::error_already_set();
        if (!ok) continue;
        ok = PyObject_RichCompareBool(raw, eight, Py_LT);
        if (ok < 0) throw py::error_already_set();
        if (!ok) continue;
        if (!slow) slow = steal(PyLong_FromUnsignedLong(fast));
        py::object bit = steal(PyNumber_Lshift(one(), raw));
        slow = steal(PyNumber_InPlaceOr(slow.ptr(), bit.ptr()));
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    if (slow)
        append_hex(out, slow);
    else
        out += num::hex(static_cast<std::int64_t>(fast));
}

double scaled(Word kind, double x) {
    switch (kind) {
        case Word::FrameFreq: return words::frame_freq(x);
        case Word::FramePhase: return words::frame_phase(x);
        case Word::PlayFreq: return words::play_freq(x);
        case Word::PlayPhase: return words::play_phase(x);
    }
    return x;
}

// The word expression through the number protocol, for any other operand.
py::object word_object(py::handle x, Word kind) {
    static PyObject* const dds = keep_new(PyFloat_FromDouble(words::kDdsClock));
    static PyObject* const two_pi = keep_new(PyFloat_FromDouble(words::kTwoPi));
    static PyObject* const two32 = keep_new(PyLong_FromUnsignedLongLong(1ull << 32));
    static PyObject* const i65536 = keep_new(PyLong_FromLong(65536));
    static PyObject* const i32 = keep_new(PyLong_FromLong(32));
    py::object r;
    switch (kind) {
        case Word::FrameFreq:
        case Word::FramePhase:
            r = steal(PyNumber_TrueDivide(x.ptr(), kind == Word::FrameFreq ? dds : two_pi));
            r = steal(PyNumber_Multiply(r.ptr(), two32));
            break;
        case Word::PlayFreq:
            r = steal(PyNumber_Multiply(x.ptr(), two32));
            r = steal(PyNumber_TrueDivide(r.ptr(), dds));
            break;
        case Word::PlayPhase:
            r = steal(PyNumber_Multiply(x.ptr(), i65536));
            r = steal(PyNumber_TrueDivide(r.ptr(), two_pi));
            break;
    }
    r = steal(PyNumber_TrueDivide(r.ptr(), i32));
    return py_round(r);
}

}  // namespace

void append_word(std::string& out, py::handle x, Word kind) {
    PyObject* o = x.ptr();
    if (PyFloat_CheckExact(o)) {
        append_round(out, scaled(kind, PyFloat_AS_DOUBLE(o)));
        return;
    }
    if (PyLong_CheckExact(o)) {
        if (kind == Word::FrameFreq || kind == Word::FramePhase) {
            // int / float converts the int first (OverflowError when too big).
            double d = PyLong_AsDouble(o);
            if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
            append_round(out, scaled(kind, d));
            return;
        }
        std::int64_t v;
        if (small_int(o, v)) {
            append_round(out, scaled(kind, static_cast<double>(v)));
            return;
        }
    }
    append_str(out, word_object(x, kind));
}

namespace {

// IRFrame(freq, phase, idx, **kwargs)
py::object frame_init(const Call& c) {
    static const Signature sig("__init__", {"self", "freq", "phase", "idx"}, 4, Signature::VarKw);
    auto b = bind_init<4>(sig, c);
    py::handle self = b[0];
    call_next_init(c.cls, self, b.kwargs);
    setattr(self, TVK_NAME("freq"), b[1]);
    setattr(self, TVK_NAME("phase"), b[2]);
    setattr(self, TVK_NAME("idx"), b[3]);
    setattr(self, TVK_NAME("real_wait_time"), py::int_(6));
    return py::none();
}

py::object frame_line(const Call& c) {
    py::handle self = self_only(c, "_pack_cmd");
    std::string s;
    s.reserve(64);
    s += "fmsi 0b";
    append_frame_bit(s, read_attr(self, TVK_NAME("idx")));
    s += ' ';
    append_word(s, read_attr(self, TVK_NAME("freq")), Word::FrameFreq);
    s += ' ';
    append_word(s, read_attr(self, TVK_NAME("phase")), Word::FramePhase);
    return make_str(s);
}

// IRFrameAdd(frames: list, frequency: float, phase: float, **kwargs)
py::object frame_add_init(const Call& c) {
    static const Signature sig("__init__", {"self", "frames", "frequency", "phase"}, 4,
                               Signature::VarKw);
    auto b = bind_init<4>(sig, c);
    py::handle self = b[0];
    py::object frequency = to_float_arg(b[2]);
    py::object phase = to_float_arg(b[3]);
    check_list(b[1], "frames");
    call_next_init(c.cls, self, b.kwargs);
    setattr(self, TVK_NAME("frames"), b[1]);
    setattr(self, TVK_NAME("frequency"), frequency);
    setattr(self, TVK_NAME("phase"), phase);
    return py::none();
}

py::object frame_add_line(const Call& c) {
    py::handle self = self_only(c, "_pack_cmd");
    std::string s;
    s.reserve(64);
    s += "Fmai 0b";
    std::uint64_t fast = 0;
    py::object slow = frame_mask(read_attr(self, TVK_NAME("frames")), &fast);
    if (slow)
        append_binary(s, slow, 32);
    else
        num::append_binary(s, static_cast<std::int64_t>(fast), 32);
    s += ' ';
    append_word(s, read_attr(self, TVK_NAME("frequency")), Word::FrameFreq);
    s += ' ';
    append_word(s, read_attr(self, TVK_NAME("phase")), Word::FramePhase);
    return make_str(s);
}

py::object frame_rst_line(const Call& c) {
    self_only(c, "_pack_cmd");
    static PyObject* const text = intern("drst");
    return py::reinterpret_borrow<py::object>(text);
}

// int(round(x * 32768)) without the int() when `to_int` is false.
py::object fixed_point(py::handle x, bool to_int) {
    static PyObject* const scale = keep_new(PyLong_FromLong(32768));
    py::object p = steal(PyNumber_Multiply(x.ptr(), scale));
    py::object r = py_round(p);
    if (!to_int || PyLong_CheckExact(r.ptr())) return r;
    return steal(PyNumber_Long(r.ptr()));
}

// IRProt(freq_list, rotation, **kwargs)
py::object prot_init(const Call& c) {
    static const Signature sig("__init__", {"self", "freq_list", "rotation"}, 3, Signature::VarKw);
    auto b = bind_init<3>(sig, c);
    py::handle self = b[0];
    call_next_init(c.cls, self, b.kwargs);
    setattr(self, TVK_NAME("fre"), b[1]);
    setattr(self, TVK_NAME("rotation_real"), fixed_point(read_attr(b[2], TVK_NAME("real")), true));
    setattr(self, TVK_NAME("rotation_imag"), fixed_point(read_attr(b[2], TVK_NAME("imag")), true));
    setattr(self, TVK_NAME("real_wait_time"), py::int_(6));
    return py::none();
}

py::object prot_line(const Call& c) {
    py::handle self = self_only(c, "_pack_cmd");
    std::string s("prot ");
    append_fre_u8(s, read_attr(self, TVK_NAME("fre")));
    s += ' ';
    append_str(s, read_attr(self, TVK_NAME("rotation_real")));
    s += ' ';
    append_str(s, read_attr(self, TVK_NAME("rotation_imag")));
    return make_str(s);
}

// IRPth(freq_list, threshold, **kwargs)
py::object pth_init(const Call& c) {
    static const Signature sig("__init__", {"self", "freq_list", "threshold"}, 3, Signature::VarKw);
    auto b = bind_init<3>(sig, c);
    py::handle self = b[0];
    call_next_init(c.cls, self, b.kwargs);
    setattr(self, TVK_NAME("fre"), b[1]);
    setattr(self, TVK_NAME("threshold"), fixed_point(b[2], false));
    setattr(self, TVK_NAME("real_wait_time"), py::int_(6));
    return py::none();
}

py::object pth_line(const Call& c) {
    py::handle self = self_only(c, "_pack_cmd");
    std::string s("pth ");
    append_fre_u8(s, read_attr(self, TVK_NAME("fre")));
    s += ' ';
    append_str(s, read_attr(self, TVK_NAME("threshold")));
    return make_str(s);
}

}  // namespace

void register_IRFrame(py::module_& m) {
    define_class(m, kModule, "IRFrame", {reg().PreIR}, [](ClassBuilder& b) {
        b.method("__init__", method<frame_init>());
        costs<2, 6>(b);
        b.method("_pack_cmd", method<frame_line>());
    });
}

void register_IRProt(py::module_& m) {
    define_class(m, kModule, "IRProt", {reg().PreIR}, [](ClassBuilder& b) {
        b.method("__init__", method<prot_init>());
        costs<1, 6>(b);
        b.method("_pack_cmd", method<prot_line>());
    });
}

void register_IRPth(py::module_& m) {
    define_class(m, kModule, "IRPth", {reg().PreIR}, [](ClassBuilder& b) {
        b.method("__init__", method<pth_init>());
        costs<1, 6>(b);
        b.method("_pack_cmd", method<pth_line>());
    });
}

void register_IRFrameAdd(py::module_& m) {
    define_class(m, kModule, "IRFrameAdd", {reg().OverlapIR}, [](ClassBuilder& b) {
        b.method("__init__", method<frame_add_init>());
        costs<2, 7>(b);
        b.method("_pack_cmd", method<frame_add_line>());
    });
}

void register_IRFrameRst(py::module_& m) {
    define_class(m, kModule, "IRFrameRst", {reg().OverlapIR}, [](ClassBuilder& b) {
        costs<1, 8>(b);
        b.method("_pack_cmd", method<frame_rst_line>());
    });
}

}  // namespace tvk::ir
