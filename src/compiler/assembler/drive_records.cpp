// The twelve plain drive records: each fills the nine items of its drive
// word and states how long it keeps the output busy.
#include <pybind11/pybind11.h>

#include "ostrane.hpp"

namespace tvk::assembler {

namespace {

using words::DriveHead;

py::object attr(py::handle self, PyObject* name) { return read_attr(self, name); }

// ---- __post_init__ of the records with resolved attributes ---------------

py::object unlinked_slice() {
    return steal(PySlice_New(py_int(0).ptr(), Py_None, py_int(1).ptr()));
}

py::object post_init_frame_idx(const Call& c) { return post_init_fields(c, {{TVK_NAME("frame_idx"), py_int(0)}}); }

py::object post_init_play_wave(const Call& c) {
    return post_init_fields(c, {{TVK_NAME("frame_idx"), py_int(0)}, {TVK_NAME("envelop_slice"), unlinked_slice()}});
}

py::dict reset_heads() {
    return name_table({{TVK_NAME("all"), words::kHeadResetAll},
                       {TVK_NAME("single"), words::kHeadResetSingle},
                       {TVK_NAME("phase"), words::kHeadResetPhase}});
}

py::dict mov_heads() {
    return name_table({{TVK_NAME("="), words::kHeadMovSet}, {TVK_NAME("+"), words::kHeadMovAdd}});
}

py::object post_init_reset(const Call& c) {
    return post_init_fields(c, {{TVK_NAME("frame_idx"), py_int(0)}, {TVK_NAME("type2head"), reset_heads()}});
}

py::object post_init_mov(const Call& c) { return post_init_fields(c, {{TVK_NAME("type2head"), mov_heads()}}); }

// The head of `type` in the record's type2head table, or AssemblyError
// naming the table's keys.
py::object head_of(Self self, py::handle type) {
    py::object table = self.get(TVK_NAME("type2head"));
    int found = PySequence_Contains(table.ptr(), type.ptr());
    if (found < 0) throw py::error_already_set();
    if (!found) {
        py::object cls_name =
            read_attr(py::handle(reinterpret_cast<PyObject*>(Py_TYPE(self.self()))), TVK_NAME("__name__"));
        py::object keys = call_method(table, TVK_NAME("keys"));
        py::object text = steal(PyUnicode_FromFormat("%S.type can only be one of %S", cls_name.ptr(), keys.ptr()));
        raise_assembly_error(py::str(text));
    }
    return steal(PyObject_GetItem(table.ptr(), type.ptr()));
}

// ---- packers ----------------------------------------------------------------

// start / envelope_step as a float quotient, truncated.
CmdItem envelope_units(py::handle bytes_, py::handle step) {
    std::int64_t bv, sv;
    if (small_int(bytes_.ptr(), bv) && small_int(step.ptr(), sv) && sv != 0 && bv > -(1ll << 53) &&
        bv < (1ll << 53) && sv > -(1ll << 53) && sv < (1ll << 53)) {
        double q = static_cast<double>(bv) / static_cast<double>(sv);
        return CmdItem(static_cast<std::int64_t>(q));  // |q| < 2**53: truncation is defined
    }
    return steal(PyNumber_Long(num_div(bytes_, step).ptr()));
}

// Start and stop of a placement: the fields of a slice read directly.
void slice_ends(py::handle sl, py::object& start, py::object& stop) {
    if (PySlice_Check(sl.ptr())) {
        auto* s = reinterpret_cast<PySliceObject*>(sl.ptr());
        start = py::reinterpret_borrow<py::object>(s->start);
        stop = py::reinterpret_borrow<py::object>(s->stop);
        return;
    }
    start = attr(sl, TVK_NAME("start"));
    stop = attr(sl, TVK_NAME("stop"));
}

// stop - start; an unlinked play (stop None) fails here with the
// interpreter's TypeError.
py::object slice_length(const py::object& start, const py::object& stop) {
    std::int64_t a, b, r;
    if (small_int(start.ptr(), a) && small_int(stop.ptr(), b) && !__builtin_sub_overflow(b, a, &r)) return py_int(r);
    return num_sub(stop, start);
}

void pack_play_wave(Self self, DriveItems& out) {
    out[0] = words::kHeadPlayWave;
    out[1] = mul_add_small(self.get(TVK_NAME("frame_idx")), 4, 0);
    py::object start, stop;
    slice_ends(self.get(TVK_NAME("envelop_slice")), start, stop);
    py::object step = config(TVK_NAME("envelope_step"));
    out[2] = envelope_units(start, step);
    out[3] = envelope_units(slice_length(start, stop), step);
    py::object amp = self.get(TVK_NAME("amp"));
    if (PyFloat_CheckExact(amp.ptr())) {
        double a = PyFloat_AS_DOUBLE(amp.ptr()) * 32768.0;
        out[4] = num::fits_int64(a) ? CmdItem(static_cast<std::int64_t>(a)) : CmdItem(trunc_int(a));
    } else {
        out[4] = steal(PyNumber_Long(num_mul(amp, py_int(32768)).ptr()));
    }
    out[7] = frequency_word(self.get(TVK_NAME("attach_freq")));
    out[8] = phase_word(self.get(TVK_NAME("attach_phase")));
}

py::object play_wave_overhead(py::handle self) {
    py::object start, stop;
    slice_ends(attr(self, TVK_NAME("envelop_slice")), start, stop);
    py::object len = slice_length(start, stop);
    py::object rate = config(TVK_NAME("OUTSrate"));
    std::int64_t lv;
    if (PyFloat_CheckExact(rate.ptr()) && PyFloat_AS_DOUBLE(rate.ptr()) != 0.0 && small_int(len.ptr(), lv) &&
        lv > -(1ll << 53) && lv < (1ll << 53))
        return py_float(static_cast<double>(lv) / 2.0 / PyFloat_AS_DOUBLE(rate.ptr()));
    return num_div(num_div(len, py_int(2)), rate);
}

void pack_frame(Self self, DriveItems& out) {
    out[0] = words::kHeadFrame;
    out[1] = mul_add_small(self.get(TVK_NAME("frame_idx")), 4, 0);
    out[2] = frequency_word(self.get(TVK_NAME("freq")));
}

void pack_jump(Self self, DriveItems& out) {
    out[0] = words::kHeadJump;
    out[3] = self.get(TVK_NAME("ins_idx"));
}

void pack_inc_phase(Self self, DriveItems& out) {
    out[0] = words::kHeadIncPhase;
    out[1] = mul_add_small(self.get(TVK_NAME("frame_idx")), 4, 1);
    out[2] = phase_word(self.get(TVK_NAME("phase")));
}

void pack_jump_with_reg(Self self, DriveItems& out) {
    out[0] = words::kHeadJumpCond;
    out[1] = self.get(TVK_NAME("reg"));
    out[2] = self.get(TVK_NAME("value"));
    out[3] = self.get(TVK_NAME("ins_idx"));
}

void pack_jump_with_judge(Self self, DriveItems& out) {
    out[0] = words::kHeadJumpCond;
    out[1] = words::kJudgeSelector;
    py::object value = self.get(TVK_NAME("value"));
    py::object mask = self.get(TVK_NAME("mask"));
    // (mask << 16) | value with the interpreter's int semantics (big or
    // negative values included; the packer judges the range).
    std::int64_t m, v;
    if (small_int(mask.ptr(), m) && small_int(value.ptr(), v) && m >= 0 && m < (1ll << 40) && v >= 0) {
        out[2] = (m << 16) | v;
    } else {
        py::object shifted = steal(PyNumber_Lshift(mask.ptr(), py_int(16).ptr()));
        out[2] = steal(PyNumber_Or(shifted.ptr(), value.ptr()));
    }
    out[3] = self.get(TVK_NAME("ins_idx"));
}

void pack_reset(Self self, DriveItems& out) {
    py::object type = self.get(TVK_NAME("type"));
    py::object lower = call_method(type, TVK_NAME("lower"));
    out[0] = head_of(self, lower);
    out[1] = mul_add_small(self.get(TVK_NAME("frame_idx")), 4, 0);
}

void pack_mov(Self self, DriveItems& out) {
    out[0] = head_of(self, self.get(TVK_NAME("type")));
    out[1] = self.get(TVK_NAME("reg"));
    out[2] = self.get(TVK_NAME("value"));
}

// The zero-play length: round(float(width) / (play_zero_step / OUTSrate)),
// with the step kept for the overhead.
CmdItem zero_steps(py::handle width, py::object& step) {
    double w = to_float(width);
    py::object zstep = config(TVK_NAME("play_zero_step"));
    py::object rate = config(TVK_NAME("OUTSrate"));
    std::int64_t zs;
    if (small_int(zstep.ptr(), zs) && PyFloat_CheckExact(rate.ptr()) && PyFloat_AS_DOUBLE(rate.ptr()) != 0.0 &&
        zs > -(1ll << 53) && zs < (1ll << 53)) {
        double st = static_cast<double>(zs) / PyFloat_AS_DOUBLE(rate.ptr());
        if (st != 0.0) {
            double q = num::round_half_even(w / st);
            if (num::fits_int64(q)) {
                step = py_float(st);
                return CmdItem(static_cast<std::int64_t>(q));
            }
        }
    }
    step = num_div(zstep, rate);
    if (PyFloat_CheckExact(step.ptr()) && PyFloat_AS_DOUBLE(step.ptr()) != 0.0)
        return round_int(w / PyFloat_AS_DOUBLE(step.ptr()));
    return py_round(num_div(py::float_(w), step));
}

void pack_play_zero(Self self, DriveItems& out) {
    py::object step;
    out[0] = words::kHeadPlayZero;
    out[3] = zero_steps(self.get(TVK_NAME("width")), step);
}

py::object play_zero_overhead(py::handle self) {
    py::object step;
    py::object count = zero_steps(attr(self, TVK_NAME("width")), step).object();
    return num_mul(count, step);
}

void pack_wait_trig(Self, DriveItems& out) { out[0] = words::kHeadWaitTrig; }
void pack_end(Self, DriveItems& out) { out[0] = words::kHeadEnd; }

py::handle type_of(PyTypeObject* t) { return py::handle(reinterpret_cast<PyObject*>(t)); }

// The annotations of the records' fields.
struct FieldTypes {
    py::handle str = type_of(&PyUnicode_Type);
    py::handle flt = type_of(&PyFloat_Type);
    py::handle integer = type_of(&PyLong_Type);
    py::object width;  // float or a QNumber
};

FieldTypes field_types() {
    FieldTypes t;
    py::object typing = py::module_::import("typing");
    t.width = typing.attr("Union")[py::make_tuple(t.flt, py::handle(reg().QNumber))];
    return t;
}

// A drive record class being built over TVKCommand, whose word it inherits
// until it packs its own.
class DriveRecord {
public:
    explicit DriveRecord(const char* name) : name_(name), b_(name, kModule) { b_.base(reg().TVKCommand); }

    // The __post_init__ that sets the attributes linking resolves.
    DriveRecord& resolves(MethodDef post_init) {
        b_.method("__post_init__", post_init);
        return *this;
    }
    // Its word, from packer P (`Constant`: one that reads nothing).
    template <DrivePacker P, bool Constant = false>
    DriveRecord& packs() {
        drive_packer<P, Constant>(b_);
        return *this;
    }
    // Its own output time, in place of the command's.
    DriveRecord& overhead(GetterDef get, const char* doc) {
        b_.property("overhead", get, doc);
        return *this;
    }
    // The record class with these fields, published as the module's <name>.
    PyObject* publish(py::module_& m, std::initializer_list<DataField> fields) {
        return tvk::publish(m, name_, build_dataclass(b_, fields));
    }

private:
    const char* name_;
    ClassBuilder b_;
};

}  // namespace

void register_drive_records(py::module_& m) {
    Registry& r = reg();
    const FieldTypes t = field_types();
    r.QInsWait = DriveRecord("QInsWait").publish(m, {});
    r.QInsPlayWave = DriveRecord("QInsPlayWave")
                         .resolves(method<post_init_play_wave>())
                         .packs<pack_play_wave>()
                         .overhead(getter<play_wave_overhead>(), "Playing time of the padded envelope, seconds.")
                         .publish(m, {{"frame", t.str},
                                      {"envelop", t.str},
                                      {"amp", t.flt},
                                      {"attach_freq", t.flt},
                                      {"attach_phase", t.flt}});
    r.QInsFrame = DriveRecord("QInsFrame")
                      .resolves(method<post_init_frame_idx>())
                      .packs<pack_frame>()
                      .publish(m, {{"freq", t.flt}});
    r.QInsJump = DriveRecord("QInsJump")
                     .resolves(method<post_init_ins_idx>())
                     .packs<pack_jump>()
                     .publish(m, {{"target", t.str}});
    r.QInsIncPhase = DriveRecord("QInsIncPhase")
                         .resolves(method<post_init_frame_idx>())
                         .packs<pack_inc_phase>()
                         .publish(m, {{"phase", t.flt}, {"frame", t.str}});
    r.QInsJumpWithReg = DriveRecord("QInsJumpWithReg")
                            .resolves(method<post_init_ins_idx>())
                            .packs<pack_jump_with_reg>()
                            .publish(m, {{"reg", t.integer}, {"value", t.integer}, {"target", t.str}});
    r.QInsJumpWithJudge = DriveRecord("QInsJumpWithJudge")
                              .resolves(method<post_init_ins_idx>())
                              .packs<pack_jump_with_judge>()
                              .publish(m, {{"value", t.integer}, {"mask", t.integer}, {"target", t.str}});
    r.QInsResetF = DriveRecord("QInsResetF")
                       .resolves(method<post_init_reset>())
                       .packs<pack_reset>()
                       .publish(m, {{"type", t.str}, {"frame", t.str, py::str("")}});
    r.QInsMov = DriveRecord("QInsMov")
                    .resolves(method<post_init_mov>())
                    .packs<pack_mov>()
                    .publish(m, {{"reg", t.integer}, {"value", t.integer}, {"type", t.str, py::str("=")}});
    r.QInsPlayZero = DriveRecord("QInsPlayZero")
                         .packs<pack_play_zero>()
                         .overhead(getter<play_zero_overhead>(), "The width rounded to whole zero-play steps, seconds.")
                         .publish(m, {{"width", t.width}});
    r.QInsWaitTrig = DriveRecord("QInsWaitTrig").packs<pack_wait_trig, true>().publish(m, {});
    r.QInsEnd = DriveRecord("QInsEnd").packs<pack_end, true>().publish(m, {});
}

}  // namespace tvk::assembler
