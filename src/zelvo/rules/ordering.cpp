// The rules that run while the list is still flat: jump form, envelope
// places, set-up instructions first, empty waits out, trigger alignment.
#include "rules.hpp"

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

// Envelopes first, each given the next samples of envelope memory; then the
// joined samples are read as float64, the translator's own reading, so an
// envelope set it would refuse fails here already.
py::object envelope_rule(const Call& c) {
    auto b = bind_order_ins(c);
    check_list(b[1], "ir_list");
    py::object envelopes = steal(PyList_New(0));
    py::object others = steal(PyList_New(0));
    py::object arrays = steal(PyList_New(0));
    py::object addr = py_int(0);
    static PyObject* const one = keep_new(PyLong_FromLong(1));
    for_each(b[1], [&](py::handle ir) {
        if (!is_a(ir, reg().IREnvelope)) {
            append(others, ir);
            return;
        }
        Py_ssize_t n = PyObject_Length(ir.ptr());
        if (n < 0) throw py::error_already_set();
        py::object stop = steal(PyNumber_Add(addr.ptr(), py_int(n).ptr()));
        setattr(ir, TVK_NAME("envelope_slice"), steal(PySlice_New(addr.ptr(), stop.ptr(), one)));
        append(arrays, getattr(ir, TVK_NAME("envelope")));
        addr = std::move(stop);
        append(envelopes, ir);
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
