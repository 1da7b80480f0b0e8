// Declarations: `name: Type = value` files the value in the symbol table the
// type names; frames, envelopes and the other data carriers also enter the
// instruction list, and a register takes the next number and is loaded with
// its initial value.
#include "kernel.hpp"

#include "common/brief.hpp"
#include "common/walk.hpp"

namespace tvk::kernel {

namespace {

constexpr const char* kUnallowed = "Unallowed variable declaration";

// The text after the last "." of a str (all of it without one).
py::object last_part(py::handle s) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(s.ptr());
    Py_ssize_t dot = PyUnicode_FindChar(s.ptr(), '.', 0, n, -1);
    if (dot == -2) throw py::error_already_set();
    if (dot < 0) return py::reinterpret_borrow<py::object>(s);
    return steal(PyUnicode_Substring(s.ptr(), dot + 1, n));
}

// A sequencer register holds an integer: an int or a numpy integer. A bool
// would print True, and a float prints its decimal point even when it is
// integral (2.0), so neither is a value the register can take.
bool register_value(py::handle v) {
    PyObject* o = v.ptr();
    if (PyBool_Check(o)) return false;
    return PyLong_Check(o) || is_instance(o, reg().np_integer);
}

// A frame's number as an int, or an empty object when its idx is none.
py::object frame_number(py::handle frame) {
    py::object idx = lookup_attr(frame, TVK_NAME("idx"));
    if (!idx || !PyIndex_Check(idx.ptr())) return py::object();
    PyObject* n = PyNumber_Index(idx.ptr());
    if (!n) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
        PyErr_Clear();
        return py::object();
    }
    return steal(n);
}

// Two frames of one number in a kernel: both "fmsi" lines move to the front
// of the program and the last wins, so every play of the first would sound
// at the second's frequency. The frame being filed is refused when a frame
// already in the table (the scopes of a loop share it) has its number; the
// same object filed again is no second frame.
bool frame_number_taken(py::handle self, py::handle frame, py::handle node) {
    if (!has_type(frame, reg().IRFrame)) return false;
    py::object number = frame_number(frame);
    if (!number) return false;
    py::object items = steal(PyMapping_Items(getattr(self, TVK_NAME("frame_symbol")).ptr()));
    py::object taken_by, other;
    for_each(items, [&](py::handle item) {
        if (taken_by || !PyTuple_Check(item.ptr()) || PyTuple_GET_SIZE(item.ptr()) != 2) return;
        py::handle o = PyTuple_GET_ITEM(item.ptr(), 1);
        if (o.ptr() == frame.ptr() || !has_type(o, reg().IRFrame)) return;
        py::object n = frame_number(o);
        if (!n) return;
        int same = PyObject_RichCompareBool(n.ptr(), number.ptr(), Py_EQ);
        if (same < 0) throw py::error_already_set();
        if (!same) return;
        taken_by = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(item.ptr(), 0));
        other = py::reinterpret_borrow<py::object>(o);
    });
    if (!taken_by) return false;
    py::object line = lookup_attr(other, TVK_NAME("line"));
    py::object where = line && PyLong_Check(line.ptr()) && PyObject_IsTrue(line.ptr()) == 1
                           ? steal(PyUnicode_FromFormat(" (line %S)", line.ptr()))
                           : py::str("");
    py::object message = steal(PyUnicode_FromFormat(
        "Frame number %S is already frame %S%U; give zv.frame(...) its own idx", number.ptr(), taken_by.ptr(),
        where.ptr()));
    refuse(self, node, message);
    return true;
}

}  // namespace

py::object is_repeat_symbol(const Call& c) {
    static const Signature sig("_is_repeat_symbol", {"self", "name"}, 2);
    auto b = bind<2>(sig, c);
    for (PyObject* table : {TVK_NAME("var_symbol"), TVK_NAME("envelope_symbol"), TVK_NAME("frame_symbol"),
                            TVK_NAME("register_symbol")})
        if (contains(getattr(b[0], table), b[1])) return py::bool_(true);
    return py::bool_(false);
}

// The type name of an annotation: `zv.T` gives "T", 'zv.T' gives "T", `T[...]`
// gives "T". Anything else (a bare name, no annotation) is refused.
py::object get_annotation_type(const Call& c) {
    static const Signature sig("_get_annotation_type", {"self", "node"}, 2);
    auto b = bind<2>(sig, c);
    py::object ann = getattr(b[1], TVK_NAME("annotation"));
    if (has_type(ann, reg().Attribute)) return getattr(ann, TVK_NAME("attr"));
    if (has_type(ann, reg().Constant)) {
        py::object value = getattr(ann, TVK_NAME("value"));
        if (PyUnicode_Check(value.ptr())) return last_part(value);
    } else if (has_type(ann, reg().Subscript)) {
        py::object subscripted = getattr(ann, TVK_NAME("value"));
        if (has_type(subscripted, reg().Name)) return getattr(subscripted, TVK_NAME("id"));
    }
    refuse(b[0], b[1], kUnallowed);
    return py::none();
}

// The called name of an assignment's value `p.f(...)`: "f".
py::object get_value_type(const Call& c) {
    static const Signature sig("_get_value_type", {"self", "node"}, 2);
    auto b = bind<2>(sig, c);
    py::object value = getattr(b[1], TVK_NAME("value"));
    if (has_type(value, reg().Call)) {
        py::object func = getattr(value, TVK_NAME("func"));
        if (has_type(func, reg().Attribute)) return getattr(func, TVK_NAME("attr"));
    }
    refuse(b[0], b[1], kUnallowed);
    return py::none();
}

// The comparison operators of an if statement's test.
py::object get_compare_type(const Call& c) {
    static const Signature sig("_get_compare_type", {"self", "node"}, 2);
    auto b = bind<2>(sig, c);
    py::object test = getattr(b[1], TVK_NAME("test"));
    if (has_type(test, reg().Compare)) return getattr(test, TVK_NAME("ops"));
    refuse(b[0], b[1], kUnallowed);
    return py::none();
}

// _set_variable_symbol(_type, ins, node, sym): the first type whose name
// equals `_type` decides the table and what enters the instruction list.
py::object set_variable_symbol(const Call& c) {
    static const Signature sig("_set_variable_symbol", {"self", "_type", "ins", "node", "sym"}, 5);
    auto b = bind<5>(sig, c);
    py::handle self = b[0], type_name = b[1], ins = b[2], node = b[3], sym = b[4];
    struct Carrier {
        PyObject* marker;
        PyObject* table;
    };
    // Data carriers: filed and appended as they came.
    const Carrier carriers[] = {
        {TVK_NAME("Frame"), TVK_NAME("frame_symbol")},
        {TVK_NAME("Envelope"), TVK_NAME("envelope_symbol")},
        {TVK_NAME("Waveform"), TVK_NAME("waveform_symbol")},
        {TVK_NAME("Freqlist"), TVK_NAME("freq_list_symbol")},
        {TVK_NAME("Demodulation"), TVK_NAME("demodulation_symbol")},
    };
    for (const Carrier& k : carriers) {
        if (!equal(type_name, global_name(k.marker))) continue;
        if (k.marker == TVK_NAME("Frame") && frame_number_taken(self, ins, node)) return py::none();
        file_symbol(self, k.table, sym, ins);
        // An envelope value that is no instruction stays out of the list.
        if (k.marker != TVK_NAME("Envelope") || has_type(ins, reg().IRBase)) append(self, ins);
        return py::none();
    }
    if (equal(type_name, global_name(TVK_NAME("ArbWave")))) {
        append(self, ins);
        file_symbol(self, TVK_NAME("var_symbol"), sym, ins);
        return py::none();
    }
    if (equal(type_name, global_name(TVK_NAME("Var")))) {
        file_symbol(self, TVK_NAME("var_symbol"), sym, ins);
        return py::none();
    }
    if (equal(type_name, global_name(TVK_NAME("Int")))) {
        file_symbol(self, TVK_NAME("register_symbol"), sym, ins);
        return py::none();
    }
    if (equal(type_name, global_name(TVK_NAME("Reg")))) {
        if (!register_value(ins)) {
            py::object message = steal(PyUnicode_FromFormat("A register holds an integer, not %s %U",
                                                            Py_TYPE(ins.ptr())->tp_name, brief_repr(ins).ptr()));
            refuse(self, node, message);
            return py::none();
        }
        py::object idx = getattr(self, TVK_NAME("register_idx"));
        file_symbol(self, TVK_NAME("register_symbol"), sym, idx);
        py::object channel_key = feedback_key(sym);
        file_symbol(self, TVK_NAME("register_symbol"), channel_key, idx);
        py::object mov = make(reg().IRMov, {idx, ins});
        setattr(mov, TVK_NAME("line"), getattr(node, TVK_NAME("lineno")));
        append(self, mov);
        static PyObject* const one = keep_new(PyLong_FromLong(1));
        setattr(self, TVK_NAME("register_idx"), steal(PyNumber_Add(idx.ptr(), one)));
        return py::none();
    }
    for (const char* plain : {"ndarray", "int", "float", "dict", "list", "tuple"}) {
        if (!equal(type_name, py::str(plain))) continue;
        file_symbol(self, TVK_NAME("var_symbol"), sym, ins);
        return py::none();
    }
    py::object message = steal(PyUnicode_FromFormat("Unknown variable type %S", type_name.ptr()));
    refuse(self, node, message);
    return py::none();
}

// visit_AnnAssign(node): `name: Type = value` or `name: Type`.
py::object visit_AnnAssign(const Call& c) {
    static const Signature sig("visit_AnnAssign", {"self", "node"}, 2);
    auto b = bind<2>(sig, c);
    py::handle self = b[0], node = b[1];
    py::object target = getattr(node, TVK_NAME("target"));
    if (!has_type(target, reg().Name)) {
        py::object source = call_method(self, TVK_NAME("_get_line_source"), {target});
        py::object message = steal(PyUnicode_FromFormat("Unallowed variable declaration xxx %S", source.ptr()));
        refuse(self, node, message);
        return py::none();
    }
    py::object name = getattr(target, TVK_NAME("id"));
    if (truth(call_method(self, TVK_NAME("_is_repeat_symbol"), {name}))) {
        py::object message = steal(PyUnicode_FromFormat("Variable \"%S\" has been defined", name.ptr()));
        refuse(self, node, message);
        return py::none();
    }
    py::object type_name = call_method(self, TVK_NAME("_get_annotation_type"), {node});
    py::object value_node = getattr(node, TVK_NAME("value"));
    py::object value = value_node.is_none() ? getattr(node, TVK_NAME("simple")) : value_of(self, value_node);
    call_method(self, TVK_NAME("_set_variable_symbol"), {type_name, value, node, name});
    return py::none();
}

}  // namespace tvk::kernel
