// Value-limit checks: frame frequency, play amplitude and length, rotation
// factor, probe waveform shape and capture width granularity.
#include <cmath>

#include "checkers.hpp"

namespace tvk::checkers {

namespace {

// Constants kept for the process.
PyObject* full_scale_amp() {
    static PyObject* const v = keep(py_int(32767));
    return v;
}
PyObject* negative_full_scale_amp() {
    static PyObject* const v = keep(py_int(-32767));
    return v;
}
PyObject* full_scale_rotation() {
    static PyObject* const v = keep(py_int(32768));
    return v;
}

// int(wait_time - overhead) < 2: the play is shorter than two blocks.
bool play_too_short(py::handle ir) {
    Count length = window_of(ir);
    if (length.plain()) return length.value() < 2;
    py::object whole = steal(PyNumber_Long(length.object().ptr()));
    static PyObject* const two = keep(py_int(2));
    int r = PyObject_RichCompareBool(whole.ptr(), two, Py_LT);
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

// check_ply on the play `ir` of `list`: amplitude (beyond full scale either
// way: a play below -1 wraps as surely as one above 1), then length. `index`
// is asked for only when a record is made.
template <class Index>
void ply(Scope& s, py::handle list, Index index, py::handle ir, py::handle error) {
    check_list(list, "ir_list");
    check_list(error, "error");
    static PyObject* const amp_msg = intern("Play-Wave has a playback amplitude of more than 1");
    static PyObject* const len_msg = intern("The play-wave length is less than 2");
    py::object amp = getattr(ir, TVK_NAME("amp"));
    if (over_limit(amp, full_scale_amp(), 32767.0) || under_limit(amp, negative_full_scale_amp(), -32767.0))
        record(s, list, index(), error, amp_msg, PlayError);
    if (play_too_short(ir)) record(s, list, index(), error, len_msg, PlayError);
}

// round(acq_width * 1e9) % 16 != 0: not a whole multiple of 16 ns once
// rounded to the nanosecond.
bool capture_misaligned(py::handle width) {
    PyObject* w = width.ptr();
    if (PyFloat_CheckExact(w)) {
        double ns = PyFloat_AS_DOUBLE(w) * 1e9;
        if (std::isfinite(ns)) {
            double r = num::round_half_even(ns);
            if (num::fits_int64(r)) return num::floormod(static_cast<std::int64_t>(r), 16) != 0;
        }
    }
    static PyObject* const giga = keep(py_float(1e9));
    static PyObject* const sixteen = keep(py_int(16));
    static PyObject* const zero = keep(py_int(0));
    py::object ns = steal(PyNumber_Multiply(w, giga));
    py::object rest = py_mod(py_round(ns), sixteen);
    int r = PyObject_RichCompareBool(rest.ptr(), zero, Py_NE);
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

// The five walks: the top level and, unless TopOnly, one level into blocks;
// Test(scope, container, position, item, error) for each item of class Cls
// (or of class Also).
using Test = void (*)(Scope&, py::handle, Py_ssize_t, py::handle, py::handle);

template <Name Cls, Test T, bool TopOnly = false, Name Also = Cls>
py::object limit_check_ir(const Call& c) {
    CheckArgs a = check_args(c);
    Scope s;
    py::object error = new_list();
    auto visit = [&](py::handle list, Py_ssize_t i, py::handle ir) {
        if (s.is(ir.ptr(), Cls) || (Also != Cls && s.is(ir.ptr(), Also))) T(s, list, i, ir, error);
    };
    if (TopOnly)
        each(a.list, [&](Py_ssize_t i, py::handle ir) { visit(a.list, i, ir); });
    else
        each_with_blocks(s, a.list, visit);
    return pair(a.list, error);
}

void frame_test(Scope& s, py::handle list, Py_ssize_t i, py::handle ir, py::handle error) {
    static PyObject* const limit = keep(py_float(1e10));
    static PyObject* const msg = intern("Additional frequencies exceed 10GHz");
    if (over_limit(getattr(ir, TVK_NAME("freq")), limit, 1e10)) record(s, list, i, error, msg, PlayError);
}

void play_test(Scope& s, py::handle list, Py_ssize_t i, py::handle ir, py::handle error) {
    ply(s, list, [i] { return i; }, ir, error);
}

void rotation_test(Scope& s, py::handle list, Py_ssize_t i, py::handle ir, py::handle error) {
    static PyObject* const msg = intern("Rotation factor exceed 1");
    for (PyObject* part : {TVK_NAME("rotation_real"), TVK_NAME("rotation_imag")})
        if (over_limit(getattr(ir, part), full_scale_rotation(), 32768.0)) record(s, list, i, error, msg, PlayError);
}

void waveform_test(Scope& s, py::handle list, Py_ssize_t i, py::handle ir, py::handle error) {
    static PyObject* const msg = intern("dimensions of Probe waveform is should be [freq, points]");
    py::object wave = getattr(ir, TVK_NAME("wave"));
    Py_ssize_t n = PyObject_Length(wave.ptr());
    if (n < 0) throw py::error_already_set();
    if (n != 2) record(s, list, i, error, msg, PlayError);
}

void capture_test(Scope& s, py::handle list, Py_ssize_t i, py::handle ir, py::handle error) {
    static PyObject* const msg = intern("capi acq_time is not divisible");
    if (capture_misaligned(getattr(ir, TVK_NAME("acq_width")))) record(s, list, i, error, msg, CaptureError);
}

// check_ply(ir_list: list, index, error: list) -> error
py::object check_ply_fn(const Call& c) {
    static const Signature sig("check_ply", {"ir_list", "index", "error"}, 3);
    ItemCall a = item_call(c, sig, 0, 1, 2);
    Scope s;
    ply(s, a.list, [&] { return list_position(a.index); }, a.ir, a.error);
    return py::reinterpret_borrow<py::object>(a.error);
}

}  // namespace

void register_limits(py::module_& m) {
    add_function(m, "check_ply", method<check_ply_fn>());
    define_checker(m, "FmsiChecker", method<limit_check_ir<IRFrame, frame_test>>());
    // Both immediate plays, plyi and the I/Q plyic, are held to the same limits.
    define_checker(m, "PlyChecker", method<limit_check_ir<IRPlayImm, play_test, false, IRPlaycImm>>());
    define_checker(m, "ProtChecker", method<limit_check_ir<IRProt, rotation_test>>());
    define_checker(m, "WaveformChecker", method<limit_check_ir<IRWaveform, waveform_test, true>>());
    define_checker(m, "CapiChecker", method<limit_check_ir<IRCapture, capture_test>>());
}

}  // namespace tvk::checkers
