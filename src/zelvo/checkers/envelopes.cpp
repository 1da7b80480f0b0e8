// Capacity checks: envelope amplitude and total envelope length, and the
// number of instructions.
#include "checkers.hpp"
#include "common/buffer.hpp"
#include "peak.hpp"

namespace tvk::checkers {

namespace {

constexpr Py_ssize_t kMaxEnvelopeSamples = 131072;
constexpr Py_ssize_t kMaxInstructions = 20480;

// The peak test straight on an array's memory, when its layout is one the
// test reads; false when it is not (`over` is then left alone).
bool scan_buffer(PyObject* arr, bool& over) {
    BufferView v;
    if (!v.try_acquire(arr, PyBUF_RECORDS_RO)) return false;
    const Py_buffer& b = v.view();
    peak::Layout l = peak::layout_of(b.format, b.itemsize);
    if (l == peak::Layout::Other || b.itemsize <= 0) return false;
    const Py_ssize_t n = b.len / b.itemsize;
    Py_ssize_t stride;
    if (b.ndim == 0)
        stride = b.itemsize;
    else if (b.ndim == 1)
        stride = b.strides ? b.strides[0] : b.itemsize;
    else if (PyBuffer_IsContiguous(&b, 'A'))
        stride = b.itemsize;
    else
        return false;
    over = peak::exceeds_unit(l, static_cast<const char*>(b.buf), n, stride);
    return true;
}

// Is any sample of the envelope above full scale in magnitude (or NaN)? An
// array of a layout read directly is tested in place; anything else through
// numpy's absolute value, as 64-bit floats. No samples: nothing above it.
bool amplitude_over(py::handle samples) {
    bool over = false;
    PyObject* e = samples.ptr();
    if (is_instance(e, reg().np_ndarray) && scan_buffer(e, over)) return over;
    py::object mag = steal(PyObject_CallOneArg(reg().np_abs, e));
    py::object flt = steal(PyObject_CallFunctionObjArgs(reg().np_asarray, mag.ptr(), reg().np_float64, nullptr));
    if (!scan_buffer(flt.ptr(), over)) throw std::runtime_error("envelope samples could not be read");
    return over;
}

// check_envelope on the item `ir` of `list`: its sample count first, then
// the amplitude test; the record is left to the caller, which knows the
// position.
Py_ssize_t envelope(py::handle list, py::handle ir, py::handle error, bool& over) {
    check_list(list, "ir_list");
    check_list(error, "error");
    Py_ssize_t count = PyObject_Length(ir.ptr());
    if (count < 0) throw py::error_already_set();
    over = amplitude_over(getattr(ir, TVK_NAME("envelope")));
    return count;
}

void record_amplitude(Scope& s, py::handle list, Py_ssize_t index, py::handle error) {
    static PyObject* const msg = intern("Envelope amplitude is more than 1");
    record(s, list, index, error, msg, PlayError);
}

// EnvelopeChecker.check_ir(ir_list) -> (new list of the same items, records)
py::object envelope_check_ir(const Call& c) {
    CheckArgs a = check_args(c);
    Scope s;
    py::object result = new_list();
    py::object error = new_list();
    Py_ssize_t total = 0;
    each(a.list, [&](Py_ssize_t i, py::handle ir) {
        if (s.is(ir.ptr(), IREnvelope)) {
            bool over;
            Py_ssize_t n = envelope(a.list, ir, error, over);
            if (over) record_amplitude(s, a.list, i, error);
            total = n > PY_SSIZE_T_MAX - total ? PY_SSIZE_T_MAX : total + n;
        }
        if (PyList_Append(result.ptr(), ir.ptr()) < 0) throw py::error_already_set();
    });
    if (total > kMaxEnvelopeSamples) {
        // Recorded at the second item; a list of one item has it at its only
        // item rather than losing the record.
        static PyObject* const msg = intern("The total length of the envelope is more than 131072 points");
        Py_ssize_t at = PyList_GET_SIZE(a.list.ptr()) == 1 ? 0 : 1;
        record(s, a.list, at, error, msg, PlayError);
    }
    return pair(result, error);
}

// IRNumberChecker.check_ir(ir_list) -> (ir_list, records)
py::object number_check_ir(const Call& c) {
    CheckArgs a = check_args(c);
    Scope s;
    py::object error = new_list();
    Py_ssize_t count = 0;
    each(a.list, [&](Py_ssize_t, py::handle ir) {
        if (s.is(ir.ptr(), IRBase)) ++count;
        if (!s.is(ir.ptr(), UnfixIR)) return;
        py::object block = getattr(ir, TVK_NAME("ir_sub"));
        if (PyList_CheckExact(block.ptr()))
            count += PyList_GET_SIZE(block.ptr());
        else
            each(block, [&](Py_ssize_t, py::handle) { ++count; });
    });
    if (count > kMaxInstructions) {
        static PyObject* const msg = intern("The number of instructions exceeds 20K");
        record(s, a.list, 0, error, msg, PlayError);
    }
    return pair(a.list, error);
}

// check_envelope(ir_list: list, index, error: list) -> (error, sample count)
py::object check_envelope_fn(const Call& c) {
    static const Signature sig("check_envelope", {"ir_list", "index", "error"}, 3);
    ItemCall a = item_call(c, sig, 0, 1, 2);
    Scope s;
    bool over;
    Py_ssize_t count = envelope(a.list, a.ir, a.error, over);
    if (over) record_amplitude(s, a.list, list_position(a.index), a.error);
    return pair(a.error, py_int(count));
}

}  // namespace

void register_envelopes(py::module_& m) {
    add_function(m, "check_envelope", method<check_envelope_fn>());
    define_checker(m, "EnvelopeChecker", method<envelope_check_ir>());
    define_checker(m, "IRNumberChecker", method<number_check_ir>());
}

}  // namespace tvk::checkers
