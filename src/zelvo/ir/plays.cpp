// Immediate envelope plays: plyi (blocks of da_srate * base_clock samples,
// read from the kernel) and plyic (fixed blocks of 32 samples).
#include <climits>

#include "cycles.hpp"
#include "dds.hpp"

namespace tvk::ir {

namespace {

// A Python number kept as a plain int64 while it is an exact int that fits,
// so the common case does no object arithmetic.
struct Num {
    bool small = false;
    long long i = 0;
    py::object o;

    static Num of(py::handle h) {
        Num n;
        std::int64_t v;
        if (small_int(h.ptr(), v)) {
            n.small = true;
            n.i = v;
            return n;
        }
        n.o = py::reinterpret_borrow<py::object>(h);
        return n;
    }
    static Num of_int(long long v) {
        Num n;
        n.small = true;
        n.i = v;
        return n;
    }
    py::object obj() const { return small ? steal(PyLong_FromLongLong(i)) : o; }
    void append(std::string& out) const {
        if (small)
            num::append_int(out, i);
        else
            append_str(out, o);
    }
};

Num sub(const Num& a, const Num& b) {
    long long r;
    if (a.small && b.small && !__builtin_sub_overflow(a.i, b.i, &r)) return Num::of_int(r);
    return Num::of(steal(PyNumber_Subtract(a.obj().ptr(), b.obj().ptr())));
}

// a // b; a zero divisor and int64 overflow go through the interpreter,
// which raises or widens exactly as Python does.
Num floordiv(const Num& a, const Num& b) {
    if (a.small && b.small && b.i != 0 && !(b.i == -1 && a.i == LLONG_MIN))
        return Num::of_int(num::floordiv(a.i, b.i));
    return Num::of(steal(PyNumber_FloorDivide(a.obj().ptr(), b.obj().ptr())));
}

Num add(const Num& a, long long v) {
    long long r;
    if (a.small && !__builtin_add_overflow(a.i, v, &r)) return Num::of_int(r);
    py::object b = steal(PyLong_FromLongLong(v));
    return Num::of(steal(PyNumber_Add(a.obj().ptr(), b.ptr())));
}

// int(x): exact ints unchanged.
Num to_int(const Num& a) {
    if (a.small || PyLong_CheckExact(a.o.ptr())) return a;
    return Num::of(steal(PyNumber_Long(a.o.ptr())));
}

// The envelope's place: start and stop of envelope.envelope_slice, read afresh.
struct Place {
    Num start, length;
};

Place place(py::handle self) {
    py::object env = read_attr(self, TVK_NAME("envelope"));
    py::object sl = read_attr(env, TVK_NAME("envelope_slice"));
    py::object stop, start;
    if (PySlice_Check(sl.ptr())) {
        auto* s = reinterpret_cast<PySliceObject*>(sl.ptr());
        stop = py::reinterpret_borrow<py::object>(s->stop);
        start = py::reinterpret_borrow<py::object>(s->start);
    } else {
        stop = read_attr(sl, TVK_NAME("stop"));
        start = read_attr(sl, TVK_NAME("start"));
    }
    Place p;
    p.start = Num::of(start);
    p.length = sub(Num::of(stop), p.start);
    return p;
}

// round(da_srate * base_clock): samples per base-clock cycle.
Num block_size(py::handle self) {
    // Read in this order: each read runs the kernel's compile_params.
    py::object srate = compile_param(self, TVK_NAME("da_srate"), TVK_FLOAT(8e9));
    py::object clock = compile_param(self, TVK_NAME("base_clock"), TVK_FLOAT(4e-9));
    cyc::Whole block = cyc::round_mul(srate, clock);
    return block.plain() ? Num::of_int(block.v) : Num::of(block.object());
}

// IRPlayImm / IRPlaycImm (frame, envelope, amp, bias, freq, phase, **kwargs)
py::object play_init(const Call& c) {
    static const Signature sig("__init__", {"self", "frame", "envelope", "amp", "bias", "freq", "phase"}, 7,
                               Signature::VarKw);
    static PyObject* const full_scale = keep_new(PyLong_FromLong(32767));
    auto b = bind_init<7>(sig, c);
    py::handle self = b[0];
    call_next_init(c.cls, self, b.kwargs);
    static InlineFields fields({"frame", "freq", "amp", "bias", "envelope", "phase", "envelope_type"});
    py::object amp = steal(PyNumber_Multiply(b.v[3], full_scale));
    py::object envelope_type = read_attr(b[2], TVK_NAME("envelope_type"));
    fields.set(b.v[0], {b.v[1], b.v[5], amp.ptr(), b.v[4], b.v[2], b.v[6], envelope_type.ptr()});
    return py::none();
}

py::object play_duration(py::handle self) { return to_int(place(self).length).obj(); }

py::object play_wait(py::handle self) {
    Num block = block_size(self);
    Num length = place(self).length;
    return add(floordiv(length, block), 2).obj();
}

py::object playc_wait(py::handle self) {
    Num length = to_int(place(self).length);
    return add(floordiv(length, Num::of_int(32)), 2).obj();
}

// The seven fields after the mnemonic.
py::object play_line(py::handle self, const char* mnemonic, const Num& block, const Place& p) {
    std::string s;
    s.reserve(80);
    s += mnemonic;
    append_str(s, read_attr(self, TVK_NAME("frame")));
    s += ' ';
    floordiv(p.start, block).append(s);
    s += ' ';
    floordiv(p.length, block).append(s);
    s += ' ';
    append_str(s, read_attr(self, TVK_NAME("amp")));
    s += ' ';
    append_str(s, read_attr(self, TVK_NAME("bias")));
    s += ' ';
    append_word(s, read_attr(self, TVK_NAME("freq")), Word::PlayFreq);
    s += ' ';
    append_word(s, read_attr(self, TVK_NAME("phase")), Word::PlayPhase);
    return make_str(s);
}

py::object play_pack(const Call& c) {
    py::handle self = self_only(c, "_pack_cmd");
    Num block = block_size(self);
    Place p = place(self);
    return play_line(self, "plyi ", block, p);
}

py::object playc_pack(const Call& c) {
    py::handle self = self_only(c, "_pack_cmd");
    Place p = place(self);
    p.length = to_int(p.length);
    return play_line(self, "plyic ", Num::of_int(32), p);
}

}  // namespace

void register_IRPlayImm(py::module_& m) {
    define_class(m, kModule, "IRPlayImm", {reg().FixIR, reg().SimulationIR}, [](ClassBuilder& b) {
        b.method("__init__", method<play_init>())
            .property("duration", getter<play_duration>())
            .property("overhead", getter<const_int<2>>())
            .property("wait_time", getter<play_wait>())
            .method("_pack_cmd", method<play_pack>());
    });
}

void register_IRPlaycImm(py::module_& m) {
    define_class(m, kModule, "IRPlaycImm", {reg().FixIR, reg().SimulationIR}, [](ClassBuilder& b) {
        b.method("__init__", method<play_init>())
            .property("duration", getter<play_duration>())
            .property("overhead", getter<const_int<2>>())
            .property("wait_time", getter<playc_wait>())
            .method("_pack_cmd", method<playc_pack>());
    });
}

}  // namespace tvk::ir
