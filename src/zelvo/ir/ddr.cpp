// External-memory (DDR) load, play and wait: waveforms moved block by block.
#include "cycles.hpp"

namespace tvk::ir {

namespace {


using cyc::Whole;

PyObject* zero_int() {
    static PyObject* const z = keep_new(PyLong_FromLong(0));
    return z;
}

bool equals_zero(py::handle x) {
    int r = PyObject_RichCompareBool(x.ptr(), zero_int(), Py_EQ);
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

// The byte layout of a waveform in blocks of wave.step bytes.
struct Blocks {
    py::object step;
    Whole last_data;  // bytes of the last block, step when it is full or empty
    Whole times;      // number of blocks (only when asked for)
};

Blocks blocks(py::handle self, py::handle wave, bool with_times) {
    Blocks r;
    py::object size = read_attr(read_attr(wave, TVK_NAME("waveform")), TVK_NAME("size"));
    py::object bw = read_attr(self, TVK_NAME("b_width"));
    std::int64_t s, w, n = 0, st;
    bool nplain = cyc::small_int(size.ptr(), s) && cyc::small_int(bw.ptr(), w) && !__builtin_mul_overflow(s, w, &n);
    py::object nbytes;
    if (!nplain) nbytes = steal(PyNumber_Multiply(size.ptr(), bw.ptr()));
    r.step = read_attr(wave, TVK_NAME("step"));
    bool splain = cyc::small_int(r.step.ptr(), st) && st != 0;
    if (nplain && splain) {
        std::int64_t rem = num::floormod(n, st);
        r.last_data.v = rem == 0 ? st : rem;
        if (with_times) {
            if (std::fabs(static_cast<double>(n)) <= cyc::kExact && std::fabs(static_cast<double>(st)) <= cyc::kExact)
                r.times = cyc::ceil_whole(static_cast<double>(n) / static_cast<double>(st));
            else
                r.times = cyc::ceil_obj(steal(PyNumber_TrueDivide(steal(PyLong_FromLongLong(n)).ptr(), r.step.ptr())));
        }
        return r;
    }
    if (!nbytes) nbytes = steal(PyLong_FromLongLong(n));
    py::object rem = steal(PyNumber_Remainder(nbytes.ptr(), r.step.ptr()));
    r.last_data = cyc::whole(equals_zero(rem) ? r.step : rem);
    if (with_times) r.times = cyc::ceil_obj(steal(PyNumber_TrueDivide(nbytes.ptr(), r.step.ptr())));
    return r;
}

// ---- IRLoadDDRImm -------------------------------------------------------

py::object load_init(const Call& c) {
    static const Signature sig("__init__", {"self", "wave"}, 2, Signature::VarKw);
    auto b = bind_init<2>(sig, c);
    call_next_init(c.cls, b[0], b.kwargs);
    setattr(b[0], TVK_NAME("wave"), b[1]);
    setattr(b[0], TVK_NAME("b_width"), py::int_(2));
    setattr(b[0], TVK_NAME("fifo_id"), py::int_(0));
    return py::none();
}

py::object load_pack_cmd(const Call& c) {
    py::handle self = self_only(c, "_pack_cmd");
    py::object wave = read_attr(self, TVK_NAME("wave"));
    Blocks bl = blocks(self, wave, false);
    std::string out("lodiddr ");
    append_str(out, read_attr(wave, TVK_NAME("offset")));
    out += ", ";
    bl.last_data.append(out);
    out += ", 1, ";
    append_str(out, read_attr(self, TVK_NAME("fifo_id")));
    return make_str(out);
}

// ---- IRPlayDDRImm -------------------------------------------------------

py::object play_init(const Call& c) {
    static const Signature sig("__init__", {"self", "wave"}, 2, Signature::VarKw);
    auto b = bind_init<2>(sig, c);
    py::handle self = b[0];
    call_next_init(c.cls, self, b.kwargs);
    py::object zero = py::reinterpret_borrow<py::object>(zero_int());
    setattr(self, TVK_NAME("wave"), b[1]);
    setattr(self, TVK_NAME("wave_delay"), zero);
    setattr(self, TVK_NAME("b_width"), py::int_(2));
    setattr(self, TVK_NAME("mode"), zero);
    setattr(self, TVK_NAME("fifo_id"), zero);
    setattr(self, TVK_NAME("pre_load"), py::bool_(false));
    return py::none();
}

py::object waveform_size(py::handle self) {
    return read_attr(read_attr(read_attr(self, TVK_NAME("wave")), TVK_NAME("waveform")), TVK_NAME("size"));
}

py::object play_wait_time(py::handle self) {
    py::object srate = compile_param(self, TVK_NAME("da_srate"), TVK_FLOAT(8e9));
    py::object clock = compile_param(self, TVK_NAME("base_clock"), TVK_FLOAT(3.2e-8));
    Whole block = cyc::round_mul(srate, clock);
    py::object size = waveform_size(self);
    std::int64_t s;
    if (block.plain() && block.v != 0 && cyc::small_int(size.ptr(), s))
        return steal(PyLong_FromLongLong(num::floordiv(s, block.v)));
    return py_floordiv(size, block.object());
}

py::object play_sim_data(const Call& c) {
    static const Signature sig("sim_data", {"self"}, 1, Signature::VarPos | Signature::VarKw);
    auto b = bind<1>(sig, c);
    return read_attr(read_attr(b[0], TVK_NAME("wave")), TVK_NAME("waveform"));
}

// int((wave_delay * 1e9) // step): the delay field in units of the delay step.
Whole play_delay(py::handle self, const Whole& step) {
    static PyObject* const ns = keep_new(PyFloat_FromDouble(1e9));
    py::object wd = read_attr(self, TVK_NAME("wave_delay"));
    double p;
    bool plain = cyc::plain_mul(wd.ptr(), ns, p);
    py::object prod;
    if (!plain) prod = steal(PyNumber_Multiply(wd.ptr(), ns));
    bool step_zero = step.plain() ? step.v == 0 : equals_zero(step.o);
    if (step_zero) {
        // Below two samples a cycle no delay step exists: only no delay can be
        // written.
        if (equals_zero(wd)) return Whole{};
        raise_assembly_error(self,
                             "wave_delay cannot be expressed at these compile parameters: the delay step "
                             "(base_clock in ns / da_srate in samples per ns) rounds to 0");
    }
    if (plain && step.plain() && std::fabs(static_cast<double>(step.v)) <= cyc::kExact)
        return cyc::whole_of_integral(num::float_floordiv(p, static_cast<double>(step.v)));
    py::object q = py_floordiv(prod ? prod : steal(PyFloat_FromDouble(p)), step.object());
    return cyc::whole(steal(PyNumber_Long(q.ptr())));
}

py::object play_pack_cmd(const Call& c) {
    py::handle self = self_only(c, "_pack_cmd");
    static PyObject* const per_ns = keep_new(PyFloat_FromDouble(1e-9));
    static PyObject* const ns = keep_new(PyFloat_FromDouble(1e9));
    Whole srate = cyc::round_mul(compile_param(self, TVK_NAME("da_srate"), TVK_FLOAT(4e9)), per_ns);
    Whole clock = cyc::round_mul(compile_param(self, TVK_NAME("base_clock"), TVK_FLOAT(3.2e-8)), ns);
    Whole step = cyc::round_div(clock.object(), srate.object());
    Whole delay = play_delay(self, step);
    py::object wave = read_attr(self, TVK_NAME("wave"));
    Blocks bl = blocks(self, wave, true);
    py::object pre = read_attr(self, TVK_NAME("pre_load"));
    int pre_on = PyObject_IsTrue(pre.ptr());
    if (pre_on < 0) throw py::error_already_set();
    std::string out("plyiddr ");
    py::object offset = read_attr(wave, TVK_NAME("offset"));
    if (pre_on) {
        std::int64_t o, st, sum;
        if (cyc::small_int(offset.ptr(), o) && cyc::small_int(bl.step.ptr(), st) && !__builtin_add_overflow(o, st, &sum))
            num::append_int(out, sum);
        else
            append_str(out, steal(PyNumber_Add(offset.ptr(), bl.step.ptr())));
    } else {
        append_str(out, offset);
    }
    out += ", ";
    bl.last_data.append(out);
    out += ", ";
    if (pre_on) {
        if (bl.times.plain() && bl.times.v > INT64_MIN) {
            num::append_int(out, bl.times.v - 1);
        } else {
            static PyObject* const one = keep_new(PyLong_FromLong(1));
            append_str(out, steal(PyNumber_Subtract(bl.times.object().ptr(), one)));
        }
    } else {
        bl.times.append(out);
    }
    out += ", ";
    delay.append(out);
    out += ", ";
    append_str(out, read_attr(self, TVK_NAME("mode")));
    out += ", ";
    append_str(out, read_attr(self, TVK_NAME("fifo_id")));
    out += ", ";
    if (PyBool_Check(pre.ptr()))
        out += pre_on ? '1' : '0';
    else
        append_str(out, steal(PyNumber_Long(pre.ptr())));
    return make_str(out);
}

py::object wnt_line(const Call& c) {
    self_only(c, "_pack_cmd");
    return py::reinterpret_borrow<py::object>(TVK_NAME("wnt"));
}

}  // namespace

void register_IRLoadDDRImm(py::module_& m) {
    define_class(m, kModule, "IRLoadDDRImm", {reg().OverlapIR}, [](ClassBuilder& b) {
        b.method("__init__", method<load_init>())
            .property("overhead", getter<const_int<2>>())
            .property("wait_time", getter<const_int<6>>())
            .method("_pack_cmd", method<load_pack_cmd>());
    });
}

void register_IRPlayDDRImm(py::module_& m) {
    define_class(m, kModule, "IRPlayDDRImm", {reg().FixIR, reg().LoadDDRIR, reg().SimulationIR}, [](ClassBuilder& b) {
        b.method("__init__", method<play_init>())
            .property("overhead", getter<const_int<2>>())
            .property("wait_time", getter<play_wait_time>())
            .property("duration", getter<waveform_size>())
            .method("sim_data", method<play_sim_data>())
            .method("_pack_cmd", method<play_pack_cmd>());
    });
}

void register_IRWaitDDR(py::module_& m) {
    define_class(m, kModule, "IRWaitDDR", {reg().OverlapIR}, [](ClassBuilder& b) {
        b.property("overhead", getter<const_int<1>>())
            .property("wait_time", getter<const_int<3>>())
            .method("_pack_cmd", method<wnt_line>());
    });
}

}  // namespace tvk::ir
