// PlayDDRRule: every DDR play gets the play width; the first DDR play of each
// trigger wait's block is marked as triggered.
#include "rules.hpp"

namespace tvk::rules {

namespace {

py::object play_ddr_init(const Call& c) {
    setattr(init_self_only(c), TVK_NAME("enable"), Py_False);
    return py::none();
}

py::object play_ddr(const Call& c) {
    auto b = bind_order_ins(c);
    py::handle self = b[0], ir_list = b[1];
    static PyObject* const two = keep_new(PyLong_FromLong(2));
    static PyObject* const one = keep_new(PyLong_FromLong(1));
    py::object width = kwarg(b.kwargs, TVK_NAME("ddr_play_bwidth"), two);
    py::object wait_trig = kwarg(b.kwargs, TVK_NAME("wait_trig"), Py_False);
    bool triggered = truth(wait_trig);
    NestedCall nested(self, b.kwargs, TVK_NAME("wait_trig"));
    py::object out = steal(PyList_New(0));
    for_each(ir_list, [&](py::handle ir) {
        append(out, ir);
        if (is_a(ir, reg().UnfixIR)) {
            bool is_trig = is_a(ir, reg().IRWaitTrig);
            setattr(ir, TVK_NAME("ir_sub"), nested(getattr(ir, TVK_NAME("ir_sub")), is_trig));
        } else if (is_a(ir, reg().LoadDDRIR)) {
            setattr(self, TVK_NAME("enable"), Py_True);
            setattr(ir, TVK_NAME("b_width"), width);
            if (triggered) {
                py::object mode = getattr(ir, TVK_NAME("mode"));
                setattr(ir, TVK_NAME("mode"), steal(PyNumber_InPlaceOr(mode.ptr(), one)));
                triggered = false;
            }
        }
    });
    // Without a DDR play the list given comes back itself.
    if (truth(getattr(self, TVK_NAME("enable")))) return out;
    return check_list_result(py::reinterpret_borrow<py::object>(ir_list));
}

}  // namespace

void register_play_ddr(py::module_& m) {
    define_rule(m, "PlayDDRRule", [](ClassBuilder& b) {
        member(b, "PlayDDRRule", "__init__", entry<play_ddr_init>());
        member(b, "PlayDDRRule", "order_ins", entry<play_ddr>(), list_annotations({}, true));
    });
}

}  // namespace tvk::rules
