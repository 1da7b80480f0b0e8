// The rules that run while the list is still flat: jump form, envelope
// places, set-up instructions first, empty waits out, trigger alignment.
#include "rules.hpp"

#include "common/brief.hpp"
#include "zelvo/ir/cycles.hpp"
#include "rules_core.hpp"

namespace tvk::rules {

namespace {

// Every instruction of `cls` gets `field` = `value`; a new list of all.
py::object set_on_each(py::handle ir_list, PyObject* cls, PyObject* field, py::handle value) {
    py::object out = steal(PyList_New(0));
    for_each(ir_list, [&](py::handle ir) {
        if (is_a(ir, cls)) setattr(ir, field, value);
        append(out, ir);
    });
    return out;
}

py::object select_jump_type(const Call& c) {
    auto b = bind_order_ins(c);
    py::object intra = kwarg(b.kwargs, TVK_NAME("intra_enable"), Py_False);
    return set_on_each(b[1], reg().IRJumpConditional, TVK_NAME("intra_enable"), intra);
}

py::object wtg_align(const Call& c) {
    auto b = bind_order_ins(c);
    py::object align = trig_align_time(b.kwargs);
    return set_on_each(b[1], reg().IRWaitTrig, TVK_NAME("wait_time"), align);
}

// round(da_srate * base_clock) of the rule's keywords (fallbacks 8e9 and
// 4e-9), as a play computes its block.
py::object envelope_block(py::handle kwargs) {
    py::object srate = kwarg(kwargs, TVK_NAME("da_srate"), TVK_FLOAT(8e9));
    py::object clock = kwarg(kwargs, TVK_NAME("base_clock"), TVK_FLOAT(4e-9));
    py::object rounded = ir::cyc::round_mul(srate, clock).object();
    if (PyLong_Check(rounded.ptr())) return rounded;
    return steal(PyNumber_Long(rounded.ptr()));
}

// What every envelope of one list is padded to (core::envelope_unit): `unit`
// samples, 0 for none; `too_large` when the unit is past what envelope memory
// holds, so that padding to it would only make zeros no play can reach.
struct Unit {
    std::int64_t unit = 0;  // 0 too when it does not fit int64
    bool too_large = false;
    py::object shown;       // the unit, or the block when the unit does not fit
};

Unit envelope_unit(py::handle kwargs, bool any_iq) {
    Unit u;
    u.shown = envelope_block(kwargs);
    int overflow = 0;
    long long block = PyLong_AsLongLongAndOverflow(u.shown.ptr(), &overflow);
    if (block == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow < 0 || (!overflow && block < 1)) return u;
    if (overflow || !core::envelope_unit(block, any_iq, u.unit)) {
        u.unit = 0;
        u.too_large = true;
        return u;
    }
    u.shown = py_int(u.unit);
    u.too_large = u.unit > core::kEnvelopeMemory;
    return u;
}

bool is_iq(py::handle ir) {
    static PyObject* const complex = intern("complex");
    py::object type = lookup_attr(ir, TVK_NAME("envelope_type"));
    return type && compare(type, complex, Py_EQ);
}

[[noreturn]] void refuse_odd_iq(py::handle ir, std::int64_t size) {
    py::object tag = brief_repr(getattr(ir, TVK_NAME("tag")));
    PyErr_Format(PyExc_ValueError,
                 "The %s instruction %U is an I/Q envelope of %lld samples, an odd number: it has no two equal "
                 "halves, I and Q, to pad to whole blocks",
                 Py_TYPE(ir.ptr())->tp_name, tag.ptr(), static_cast<long long>(size));
    throw py::error_already_set();
}

[[noreturn]] void refuse_unit(py::handle ir, std::int64_t size, const Unit& u) {
    py::object tag = brief_repr(getattr(ir, TVK_NAME("tag")));
    PyErr_Format(PyExc_ValueError,
                 "The %s instruction %U of %lld samples cannot be padded to whole blocks of %S samples "
                 "(da_srate * base_clock): envelope memory holds %lld samples",
                 Py_TYPE(ir.ptr())->tp_name, tag.ptr(), static_cast<long long>(size), u.shown.ptr(),
                 static_cast<long long>(core::kEnvelopeMemory));
    throw py::error_already_set();
}

// The envelope's samples padded with zeros of their own type to whole units:
// a real envelope at its end, an I/Q envelope each half at its end. Samples
// already of whole units keep their very array; a value that is no numpy
// array is left to the byte join.
void pad_envelope(py::handle ir, const Unit& u) {
    py::object samples = getattr(ir, TVK_NAME("envelope"));
    if (!is_a(samples, reg().np_ndarray)) return;
    py::object size_obj = getattr(samples, TVK_NAME("size"));
    const std::int64_t size = PyLong_AsLongLong(size_obj.ptr());
    if (size == -1 && PyErr_Occurred()) throw py::error_already_set();
    const bool iq = is_iq(ir);
    if (iq && size % 2) refuse_odd_iq(ir, size);
    const std::int64_t part = iq ? size / 2 : size;
    if (u.too_large) {
        if (part == 0 || (u.unit && part % u.unit == 0)) return;
        refuse_unit(ir, size, u);
    }
    std::int64_t padded = part;
    if (!core::round_up(part, u.unit, padded)) refuse_unit(ir, size, u);
    if (padded == part) return;
    py::object flat = call_method(steal(PyObject_CallOneArg(reg().np_asarray, samples.ptr())), TVK_NAME("ravel"));
    py::object zeros = steal(PyObject_CallFunctionObjArgs(reg().np_zeros, py_int(padded - part).ptr(),
                                                          getattr(flat, TVK_NAME("dtype")).ptr(), nullptr));
    py::object pieces;
    if (iq) {
        py::object i = steal(PySequence_GetSlice(flat.ptr(), 0, static_cast<Py_ssize_t>(part)));
        py::object q = steal(PySequence_GetSlice(flat.ptr(), static_cast<Py_ssize_t>(part), PY_SSIZE_T_MAX));
        pieces = steal(PyTuple_Pack(4, i.ptr(), zeros.ptr(), q.ptr(), zeros.ptr()));
    } else {
        pieces = steal(PyTuple_Pack(2, flat.ptr(), zeros.ptr()));
    }
    setattr(ir, TVK_NAME("envelope"), steal(PyObject_CallOneArg(reg().np_concatenate, pieces.ptr())));
}

// Envelopes first, each padded to whole blocks (a play addresses whole blocks
// only) and given the next samples of envelope memory; then the joined
// samples are read as float64, the translator's own reading, so an envelope
// set it would refuse fails here already.
py::object envelope_rule(const Call& c) {
    auto b = bind_order_ins(c);
    check_list(b[1], "ir_list");
    py::object envelopes = steal(PyList_New(0));
    py::object others = steal(PyList_New(0));
    bool any_iq = false;
    for_each(b[1], [&](py::handle ir) {
        if (!is_a(ir, reg().IREnvelope)) {
            append(others, ir);
            return;
        }
        append(envelopes, ir);
        any_iq = any_iq || is_iq(ir);
    });
    Unit unit;
    if (PyList_GET_SIZE(envelopes.ptr())) unit = envelope_unit(b.kwargs, any_iq);
    py::object arrays = steal(PyList_New(0));
    py::object addr = py_int(0);
    static PyObject* const one = keep_new(PyLong_FromLong(1));
    for_each(envelopes, [&](py::handle ir) {
        if (unit.unit || unit.too_large) pad_envelope(ir, unit);
        Py_ssize_t n = PyObject_Length(ir.ptr());
        if (n < 0) throw py::error_already_set();
        py::object stop = steal(PyNumber_Add(addr.ptr(), py_int(n).ptr()));
        setattr(ir, TVK_NAME("envelope_slice"), steal(PySlice_New(addr.ptr(), stop.ptr(), one)));
        append(arrays, getattr(ir, TVK_NAME("envelope")));
        addr = std::move(stop);
    });
    extend(envelopes, others);
    static PyObject* const empty = keep_new(PyBytes_FromStringAndSize(nullptr, 0));
    py::object joined = call_method(empty, TVK_NAME("join"), {arrays});
    steal(PyObject_CallOneArg(reg().np_frombuffer, joined.ptr()));
    return envelopes;
}

// A stable partition: set-up instructions ahead of the rest.
py::object pre_config(const Call& c) {
    auto b = bind_order_ins(c);
    py::object first = steal(PyList_New(0));
    py::object second = steal(PyList_New(0));
    for_each(b[1], [&](py::handle ir) { append(is_a(ir, reg().PreIR) ? first : second, ir); });
    extend(first, second);
    return first;
}

// Waits that round to no cycle disappear.
py::object witi_rule(const Call& c) {
    auto b = bind_order_ins(c);
    py::object out = steal(PyList_New(0));
    static PyObject* const zero = keep_new(PyLong_FromLong(0));
    for_each(b[1], [&](py::handle ir) {
        if (is_a(ir, reg().IRWait)) {
            py::object wait = getattr(ir, TVK_NAME("wait_time"));
            int eq = PyObject_RichCompareBool(wait.ptr(), zero, Py_EQ);
            if (eq < 0) throw py::error_already_set();
            if (eq) return;
        }
        append(out, ir);
    });
    return out;
}

}  // namespace

void register_ordering(py::module_& m) {
    simple_rule(m, "SelectJumpTypeRule", entry<select_jump_type>());
    simple_rule(m, "EnvelopeRule", entry<envelope_rule>(), true);
    simple_rule(m, "PreConfigRule", entry<pre_config>());
    simple_rule(m, "WitiRule", entry<witi_rule>());
    simple_rule(m, "WtgAlign", entry<wtg_align>());
}

}  // namespace tvk::rules
