// The twelve plain drive records: each fills the nine items of its drive
// word and states how long it keeps the output busy.
#include "ostrane.hpp"

namespace tvk::ostrane {

namespace {

using words::DriveHead;

void zero_fill(DriveItems& out, DriveHead head) {
    out[0] = py_int(head);
    for (std::size_t i = 1; i < out.size(); ++i) out[i] = py_int(0);
}

py::object attr(py::handle self, PyObject* name) { return getattr(self, name); }

// ---- __post_init__ of the records with resolved attributes ---------------

py::object bind_self(const Call& c) {
    static const Signature sig("__post_init__", {"self"}, 1);
    auto a = bind<1>(sig, c);
    return py::reinterpret_borrow<py::object>(a[0]);
}

py::object unlinked_slice() {
    return steal(PySlice_New(py_int(0).ptr(), Py_None, py_int(1).ptr()));
}

py::object post_init_frame_idx(const Call& c) {
    py::object self = bind_self(c);
    setattr(self, TVK_NAME("frame_idx"), py_int(0));
    return py::none();
}

py::object post_init_play_wave(const Call& c) {
    py::object self = bind_self(c);
    setattr(self, TVK_NAME("frame_idx"), py_int(0));
    setattr(self, TVK_NAME("envelop_slice"), unlinked_slice());
    return py::none();
}

py::object post_init_ins_idx(const Call& c) {
    py::object self = bind_self(c);
    setattr(self, TVK_NAME("ins_idx"), py_int(0));
    return py::none();
}

py::dict reset_heads() {
    py::dict d;
    d[py::handle(TVK_NAME("all"))] = py_int(words::kHeadResetAll);
    d[py::handle(TVK_NAME("single"))] = py_int(words::kHeadResetSingle);
    d[py::handle(TVK_NAME("phase"))] = py_int(words::kHeadResetPhase);
    return d;
}

py::dict mov_heads() {
    py::dict d;
    d[py::handle(TVK_NAME("="))] = py_int(words::kHeadMovSet);
    d[py::handle(TVK_NAME("+"))] = py_int(words::kHeadMovAdd);
    return d;
}

py::object post_init_reset(const Call& c) {
    py::object self = bind_self(c);
    setattr(self, TVK_NAME("frame_idx"), py_int(0));
    setattr(self, TVK_NAME("type2head"), reset_heads());
    return py::none();
}

py::object post_init_mov(const Call& c) {
    py::object self = bind_self(c);
    setattr(self, TVK_NAME("type2head"), mov_heads());
    return py::none();
}

// The head of `type` in the record's type2head table, or AssemblyError
// naming the table's keys.
py::object head_of(py::handle self, py::handle type) {
    py::object table = attr(self, TVK_NAME("type2head"));
    int found = PySequence_Contains(table.ptr(), type.ptr());
    if (found < 0) throw py::error_already_set();
    if (!found) {
        py::object cls_name =
            getattr(py::handle(reinterpret_cast<PyObject*>(Py_TYPE(self.ptr()))), TVK_NAME("__name__"));
        py::object keys = call_method(table, TVK_NAME("keys"));
        py::object text = steal(PyUnicode_FromFormat("%S.type can only be one of %S", cls_name.ptr(), keys.ptr()));
        raise_assembly_error(py::str(text));
    }
    return steal(PyObject_GetItem(table.ptr(), type.ptr()));
}

// ---- packers ----------------------------------------------------------------

// start / envelope_step as a float quotient, truncated.
py::object envelope_units(py::handle bytes_, py::handle step) {
    std::int64_t bv, sv;
    if (small_int(bytes_.ptr(), bv) && small_int(step.ptr(), sv) && sv != 0 && bv > -(1ll << 53) &&
        bv < (1ll << 53) && sv > -(1ll << 53) && sv < (1ll << 53))
        return trunc_int(static_cast<double>(bv) / static_cast<double>(sv));
    return steal(PyNumber_Long(num_div(bytes_, step).ptr()));
}

// (stop - start) of a placement; an unlinked play (stop None) fails here
// with the interpreter's TypeError.
py::object slice_length(py::handle sl, py::object& start) {
    start = attr(sl, TVK_NAME("start"));
    py::object stop = attr(sl, TVK_NAME("stop"));
    return num_sub(stop, start);
}

void pack_play_wave(py::handle self, DriveItems& out) {
    out[0] = py_int(words::kHeadPlayWave);
    out[1] = mul_add_small(attr(self, TVK_NAME("frame_idx")), 4, 0);
    py::object sl = attr(self, TVK_NAME("envelop_slice"));
    py::object step = config(TVK_NAME("envelope_step"));
    py::object start = attr(sl, TVK_NAME("start"));
    out[2] = envelope_units(start, step);
    out[3] = envelope_units(num_sub(attr(sl, TVK_NAME("stop")), start), step);
    py::object amp = attr(self, TVK_NAME("amp"));
    if (PyFloat_CheckExact(amp.ptr()))
        out[4] = trunc_int(PyFloat_AS_DOUBLE(amp.ptr()) * 32768.0);
    else
        out[4] = steal(PyNumber_Long(num_mul(amp, py_int(32768)).ptr()));
    out[5] = py_int(0);
    out[6] = py_int(0);
    out[7] = frequency_word(attr(self, TVK_NAME("attach_freq")));
    out[8] = phase_word(attr(self, TVK_NAME("attach_phase")));
}

py::object play_wave_overhead(py::handle self) {
    py::object sl = attr(self, TVK_NAME("envelop_slice"));
    py::object start;
    py::object len = slice_length(sl, start);
    py::object rate = config(TVK_NAME("OUTSrate"));
    std::int64_t lv;
    if (PyFloat_CheckExact(rate.ptr()) && PyFloat_AS_DOUBLE(rate.ptr()) != 0.0 && small_int(len.ptr(), lv) &&
        lv > -(1ll << 53) && lv < (1ll << 53))
        return py_float(static_cast<double>(lv) / 2.0 / PyFloat_AS_DOUBLE(rate.ptr()));
    return num_div(num_div(len, py_int(2)), rate);
}

void pack_frame(py::handle self, DriveItems& out) {
    zero_fill(out, words::kHeadFrame);
    out[1] = mul_add_small(attr(self, TVK_NAME("frame_idx")), 4, 0);
    out[2] = frequency_word(attr(self, TVK_NAME("freq")));
}

void pack_jump(py::handle self, DriveItems& out) {
    zero_fill(out, words::kHeadJump);
    out[3] = attr(self, TVK_NAME("ins_idx"));
}

void pack_inc_phase(py::handle self, DriveItems& out) {
    zero_fill(out, words::kHeadIncPhase);
    out[1] = mul_add_small(attr(self, TVK_NAME("frame_idx")), 4, 1);
    out[2] = phase_word(attr(self, TVK_NAME("phase")));
}

void pack_jump_with_reg(py::handle self, DriveItems& out) {
    zero_fill(out, words::kHeadJumpCond);
    out[1] = attr(self, TVK_NAME("reg"));
    out[2] = attr(self, TVK_NAME("value"));
    out[3] = attr(self, TVK_NAME("ins_idx"));
}

void pack_jump_with_judge(py::handle self, DriveItems& out) {
    zero_fill(out, words::kHeadJumpCond);
    out[1] = py_int(words::kJudgeSelector);
    py::object value = attr(self, TVK_NAME("value"));
    py::object mask = attr(self, TVK_NAME("mask"));
    // (mask << 16) | value with the interpreter's int semantics (big or
    // negative values included; the packer judges the range).
    py::object shifted = steal(PyNumber_Lshift(mask.ptr(), py_int(16).ptr()));
    out[2] = steal(PyNumber_Or(shifted.ptr(), value.ptr()));
    out[3] = attr(self, TVK_NAME("ins_idx"));
}

void pack_reset(py::handle self, DriveItems& out) {
    py::object type = attr(self, TVK_NAME("type"));
    py::object lower = call_method(type, TVK_NAME("lower"));
    py::object head = head_of(self, lower);
    zero_fill(out, words::kHeadWait);
    out[0] = head;
    out[1] = mul_add_small(attr(self, TVK_NAME("frame_idx")), 4, 0);
}

void pack_mov(py::handle self, DriveItems& out) {
    py::object head = head_of(self, attr(self, TVK_NAME("type")));
    zero_fill(out, words::kHeadWait);
    out[0] = head;
    out[1] = attr(self, TVK_NAME("reg"));
    out[2] = attr(self, TVK_NAME("value"));
}

// The zero-play length: round(float(width) / (play_zero_step / OUTSrate)),
// with the step kept for the overhead.
py::object zero_steps(py::handle self, py::object& step) {
    double w = to_float(attr(self, TVK_NAME("width")));
    step = num_div(config(TVK_NAME("play_zero_step")), config(TVK_NAME("OUTSrate")));
    if (PyFloat_CheckExact(step.ptr()) && PyFloat_AS_DOUBLE(step.ptr()) != 0.0)
        return round_int(w / PyFloat_AS_DOUBLE(step.ptr()));
    return py_round(num_div(py::float_(w), step));
}

void pack_play_zero(py::handle self, DriveItems& out) {
    py::object step;
    py::object count = zero_steps(self, step);
    zero_fill(out, words::kHeadPlayZero);
    out[3] = count;
}

py::object play_zero_overhead(py::handle self) {
    py::object step;
    py::object count = zero_steps(self, step);
    return num_mul(count, step);
}

void pack_wait_trig(py::handle, DriveItems& out) { zero_fill(out, words::kHeadWaitTrig); }
void pack_end(py::handle, DriveItems& out) { zero_fill(out, words::kHeadEnd); }

py::handle type_of(PyTypeObject* t) { return py::handle(reinterpret_cast<PyObject*>(t)); }

struct Record {
    ClassBuilder b;
    explicit Record(const char* name) : b(name, kModule) { b.base(reg().TVKCommand); }
};

}  // namespace

void register_drive_records(py::module_& m) {
    Registry& r = reg();
    py::handle str = type_of(&PyUnicode_Type);
    py::handle flt = type_of(&PyFloat_Type);
    py::handle integer = type_of(&PyLong_Type);
    py::object typing = py::module_::import("typing");
    py::object width_type = typing.attr("Union")[py::make_tuple(flt, py::handle(r.QNumber))];

    {
        Record c("QInsWait");
        r.QInsWait = publish(m, "QInsWait", build_dataclass(c.b, {}));
    }
    {
        Record c("QInsPlayWave");
        c.b.method("__post_init__", method<post_init_play_wave>())
            .method("_pack_cmd", method<drive_pack_cmd<pack_play_wave>>())
            .property("overhead", getter<play_wave_overhead>(), "Playing time of the padded envelope, seconds.");
        r.QInsPlayWave = publish(m, "QInsPlayWave",
                                 build_dataclass(c.b, {{"frame", str},
                                                       {"envelop", str},
                                                       {"amp", flt},
                                                       {"attach_freq", flt},
                                                       {"attach_phase", flt}}));
        pair_drive_packer(r.QInsPlayWave, pack_play_wave);
    }
    {
        Record c("QInsFrame");
        c.b.method("__post_init__", method<post_init_frame_idx>())
            .method("_pack_cmd", method<drive_pack_cmd<pack_frame>>());
        r.QInsFrame = publish(m, "QInsFrame", build_dataclass(c.b, {{"freq", flt}}));
        pair_drive_packer(r.QInsFrame, pack_frame);
    }
    {
        Record c("QInsJump");
        c.b.method("__post_init__", method<post_init_ins_idx>())
            .method("_pack_cmd", method<drive_pack_cmd<pack_jump>>());
        r.QInsJump = publish(m, "QInsJump", build_dataclass(c.b, {{"target", str}}));
        pair_drive_packer(r.QInsJump, pack_jump);
    }
    {
        Record c("QInsIncPhase");
        c.b.method("__post_init__", method<post_init_frame_idx>())
            .method("_pack_cmd", method<drive_pack_cmd<pack_inc_phase>>());
        r.QInsIncPhase = publish(m, "QInsIncPhase", build_dataclass(c.b, {{"phase", flt}, {"frame", str}}));
        pair_drive_packer(r.QInsIncPhase, pack_inc_phase);
    }
    {
        Record c("QInsJumpWithReg");
        c.b.method("__post_init__", method<post_init_ins_idx>())
            .method("_pack_cmd", method<drive_pack_cmd<pack_jump_with_reg>>());
        r.QInsJumpWithReg = publish(m, "QInsJumpWithReg",
                                    build_dataclass(c.b, {{"reg", integer}, {"value", integer}, {"target", str}}));
        pair_drive_packer(r.QInsJumpWithReg, pack_jump_with_reg);
    }
    {
        Record c("QInsJumpWithJudge");
        c.b.method("__post_init__", method<post_init_ins_idx>())
            .method("_pack_cmd", method<drive_pack_cmd<pack_jump_with_judge>>());
        r.QInsJumpWithJudge = publish(m, "QInsJumpWithJudge",
                                      build_dataclass(c.b, {{"value", integer}, {"mask", integer}, {"target", str}}));
        pair_drive_packer(r.QInsJumpWithJudge, pack_jump_with_judge);
    }
    {
        Record c("QInsResetF");
        c.b.method("__post_init__", method<post_init_reset>())
            .method("_pack_cmd", method<drive_pack_cmd<pack_reset>>());
        r.QInsResetF = publish(m, "QInsResetF",
                               build_dataclass(c.b, {{"type", str}, {"frame", str, py::str("")}}));
        pair_drive_packer(r.QInsResetF, pack_reset);
    }
    {
        Record c("QInsMov");
        c.b.method("__post_init__", method<post_init_mov>())
            .method("_pack_cmd", method<drive_pack_cmd<pack_mov>>());
        r.QInsMov = publish(m, "QInsMov",
                            build_dataclass(c.b, {{"reg", integer}, {"value", integer}, {"type", str, py::str("=")}}));
        pair_drive_packer(r.QInsMov, pack_mov);
    }
    {
        Record c("QInsPlayZero");
        c.b.method("_pack_cmd", method<drive_pack_cmd<pack_play_zero>>())
            .property("overhead", getter<play_zero_overhead>(), "The width rounded to whole zero-play steps, seconds.");
        r.QInsPlayZero = publish(m, "QInsPlayZero", build_dataclass(c.b, {{"width", width_type}}));
        pair_drive_packer(r.QInsPlayZero, pack_play_zero);
    }
    {
        Record c("QInsWaitTrig");
        c.b.method("_pack_cmd", method<drive_pack_cmd<pack_wait_trig>>());
        r.QInsWaitTrig = publish(m, "QInsWaitTrig", build_dataclass(c.b, {}));
        pair_drive_packer(r.QInsWaitTrig, pack_wait_trig);
    }
    {
        Record c("QInsEnd");
        c.b.method("_pack_cmd", method<drive_pack_cmd<pack_end>>());
        r.QInsEnd = publish(m, "QInsEnd", build_dataclass(c.b, {}));
        pair_drive_packer(r.QInsEnd, pack_end);
    }
}

}  // namespace tvk::ostrane
