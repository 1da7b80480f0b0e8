// Capture: one acquisition on the input side, its widths in base-clock cycles.
#include "cycles.hpp"

namespace tvk::ir {

namespace {


using cyc::Whole;

// Widest acquisition or play window the input side takes (2048 cycles of a
// 4 ns clock).
constexpr double kCaptureWidthBound = 8.192e-6;

py::object capture_init(const Call& c) {
    static const Signature sig("__init__",
                               {"self", "freq_list", "acq_width", "delay_width", "play_width", "raw_data_store",
                                "iq_data_store", "judge_data_store", "double_fre_mode"},
                               5, Signature::VarKw, {Py_True, Py_True, Py_True, Py_False});
    auto b = bind_init<9>(sig, c);
    py::handle self = b[0];
    py::object acq = to_float_arg(b[2]);
    py::object delay = to_float_arg(b[3]);
    py::object play = to_float_arg(b[4]);
    check_list(b[1], "freq_list");
    call_next_init(c.cls, self, b.kwargs);
    if (PyFloat_AS_DOUBLE(acq.ptr()) > kCaptureWidthBound)
        raise_assembly_error(self, "Acquisition width up to 4.096e-6s");
    if (PyFloat_AS_DOUBLE(play.ptr()) > kCaptureWidthBound) raise_assembly_error(self, "Play width up to 4.096e-6s");
    static InlineFields widths({"fre", "acq_width", "delay_width", "play_width"});
    widths.set(b.v[0], {b.v[1], acq.ptr(), delay.ptr(), play.ptr()});

    PyObject* raw = b.v[5];
    PyObject* iq = b.v[6];
    PyObject* judge = b.v[7];
    PyObject* dbl = b.v[8];
    py::object para;
    if (PyBool_Check(raw) && PyBool_Check(iq) && PyBool_Check(judge) && PyBool_Check(dbl)) {
        long v = (dbl == Py_True) << 3 | (judge == Py_True) << 2 | (iq == Py_True) << 1 | (raw == Py_True);
        para = steal(PyLong_FromLong(v));
    } else {
        // double_fre_mode << 3 | judge << 2 | iq << 1 | raw, left to right.
        auto shl = [](PyObject* x, long n) {
            py::object k = steal(PyLong_FromLong(n));
            return steal(PyNumber_Lshift(x, k.ptr()));
        };
        para = shl(dbl, 3);
        py::object t = shl(judge, 2);
        para = steal(PyNumber_Or(para.ptr(), t.ptr()));
        t = shl(iq, 1);
        para = steal(PyNumber_Or(para.ptr(), t.ptr()));
        para = steal(PyNumber_Or(para.ptr(), raw));
    }
    static InlineFields stores({"para"});
    stores.set(b.v[0], {para.ptr()});
    return py::none();
}

// max(acq_width + delay_width, play_width) as numpy's element-wise maximum
// gives it; a float result is kept as a plain double so that a zero clock
// divides with the interpreter's ZeroDivisionError.
struct Window {
    bool plain = false;
    double d = 0.0;
    py::object o;
    py::object object() const { return plain ? steal(PyFloat_FromDouble(d)) : o; }
};

py::object np_maximum(py::handle a, py::handle b) {
    static PyObject* const fn = keep_new(PyObject_GetAttrString(reg().numpy, "maximum"));
    return steal(PyObject_CallFunctionObjArgs(fn, a.ptr(), b.ptr(), nullptr));
}

Window window(py::handle self) {
    py::object a = read_attr(self, TVK_NAME("acq_width"));
    py::object d = read_attr(self, TVK_NAME("delay_width"));
    Window w;
    if (PyFloat_CheckExact(a.ptr()) && PyFloat_CheckExact(d.ptr())) {
        double s = PyFloat_AS_DOUBLE(a.ptr()) + PyFloat_AS_DOUBLE(d.ptr());
        py::object p = read_attr(self, TVK_NAME("play_width"));
        if (PyFloat_CheckExact(p.ptr())) {
            double pd = PyFloat_AS_DOUBLE(p.ptr());
            w.plain = true;
            w.d = (s >= pd || std::isnan(s)) ? s : pd;  // numpy's maximum: NaN wins
            return w;
        }
        w.o = np_maximum(steal(PyFloat_FromDouble(s)), p);
    } else {
        py::object s = steal(PyNumber_Add(a.ptr(), d.ptr()));
        py::object p = read_attr(self, TVK_NAME("play_width"));
        w.o = np_maximum(s, p);
    }
    if (PyFloat_Check(w.o.ptr())) {
        w.plain = true;
        w.d = PyFloat_AS_DOUBLE(w.o.ptr());
        w.o = py::object();
    }
    return w;
}

py::object capture_max(py::handle self) {
    py::object a = read_attr(self, TVK_NAME("acq_width"));
    py::object d = read_attr(self, TVK_NAME("delay_width"));
    py::object s = steal(PyNumber_Add(a.ptr(), d.ptr()));
    return np_maximum(s, read_attr(self, TVK_NAME("play_width")));
}

py::object capture_duration(py::handle self) {
    Window w = window(self);
    py::object srate = compile_param(self, TVK_NAME("ad_srate"), TVK_FLOAT(4e9));
    Whole r;
    double sd;
    bool is_float;
    if (w.plain && cyc::plain_real(srate.ptr(), sd, is_float))
        r = cyc::round_whole(sd * w.d);
    else
        r = cyc::round_mul(srate, w.object());
    py::object v = r.object();
    if (!PyLong_CheckExact(v.ptr())) v = steal(PyNumber_Long(v.ptr()));
    return v;
}

py::object capture_wait_time(py::handle self) {
    Window w = window(self);
    py::object clock = compile_param(self, TVK_NAME("base_clock"), TVK_FLOAT(4e-9));
    Whole r;
    double cd;
    bool is_float;
    if (w.plain && cyc::plain_real(clock.ptr(), cd, is_float) && cd != 0.0)
        r = cyc::round_whole(w.d / cd);
    else
        r = cyc::round_div(w.object(), clock);
    if (r.plain() && r.v < INT64_MAX) return steal(PyLong_FromLongLong(r.v + 1));
    static PyObject* const one = keep_new(PyLong_FromLong(1));
    return steal(PyNumber_Add(r.object().ptr(), one));
}

// Frequency mask: bit n for every entry 0 <= n < 8, others skipped.
struct Mask {
    long bits = 0;
    py::object o;  // once an entry is not a plain int, the interpreter's or
    void add_plain(long bit) {
        if (!o) {
            bits |= 1L << bit;
            return;
        }
        py::object b = steal(PyLong_FromLong(1L << bit));
        o = steal(PyNumber_Or(o.ptr(), b.ptr()));
    }
    void add_object(PyObject* num) {
        static PyObject* const zero = keep_new(PyLong_FromLong(0));
        static PyObject* const one = keep_new(PyLong_FromLong(1));
        static PyObject* const eight = keep_new(PyLong_FromLong(8));
        py::object ge = steal(PyObject_RichCompare(zero, num, Py_LE));
        int t = PyObject_IsTrue(ge.ptr());
        if (t < 0) throw py::error_already_set();
        if (!t) return;
        py::object lt = steal(PyObject_RichCompare(num, eight, Py_LT));
        t = PyObject_IsTrue(lt.ptr());
        if (t < 0) throw py::error_already_set();
        if (!t) return;
        py::object bit = steal(PyNumber_Lshift(one, num));
        if (!o) o = steal(PyLong_FromLong(bits));
        o = steal(PyNumber_Or(o.ptr(), bit.ptr()));
    }
    void add(PyObject* num) {
        if (PyLong_CheckExact(num) || PyBool_Check(num)) {
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(num, &overflow);
            if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
            if (!overflow && v >= 0 && v < 8) add_plain(static_cast<long>(v));
            return;
        }
        add_object(num);
    }
};

void append_cycles(std::string& out, py::handle self, PyObject* field, py::handle clock) {
    py::object w = read_attr(self, field);
    cyc::round_div(w, clock).append(out);
}

py::object capture_pack_cmd(const Call& c) {
    py::handle self = self_only(c, "_pack_cmd");
    Mask mask;
    py::object fre = read_attr(self, TVK_NAME("fre"));
    if (PyList_CheckExact(fre.ptr())) {
        // by index: a comparison may change the list under us
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(fre.ptr()); ++i) {
            py::object num = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(fre.ptr(), i));
            mask.add(num.ptr());
        }
    } else {
        py::object it = steal(PyObject_GetIter(fre.ptr()));
        while (PyObject* item = PyIter_Next(it.ptr())) {
            py::object num = py::reinterpret_steal<py::object>(item);
            mask.add(num.ptr());
        }
        if (PyErr_Occurred()) throw py::error_already_set();
    }
    py::object clock = compile_param(self, TVK_NAME("base_clock"), TVK_FLOAT(4e-9));
    std::string out;
    out.reserve(40);
    out += "capi 0b";
    if (mask.o)
        append_binary(out, mask.o, 8);
    else
        num::append_binary(out, mask.bits, 8);
    out += ' ';
    append_cycles(out, self, TVK_NAME("acq_width"), clock);
    out += ' ';
    append_cycles(out, self, TVK_NAME("delay_width"), clock);
    out += ' ';
    append_cycles(out, self, TVK_NAME("play_width"), clock);
    out += " 0b";
    append_binary(out, read_attr(self, TVK_NAME("para")), 4);
    return make_str(out);
}

}  // namespace

void register_IRCapture(py::module_& m) {
    define_class(m, kModule, "IRCapture", {reg().FixIR, reg().SimulationIR}, [](ClassBuilder& b) {
        b.method("__init__", method<capture_init>())
            .property("_max", getter<capture_max>())
            .property("duration", getter<capture_duration>())
            .property("wait_time", getter<capture_wait_time>())
            .property("overhead", getter<const_int<1>>())
            .method("_pack_cmd", method<capture_pack_cmd>());
    });
}

}  // namespace tvk::ir
