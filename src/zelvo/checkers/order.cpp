// Order checks: a frame reset must follow a wait, no capture may follow a
// capture, and in a program that plays from DDR memory every trigger-wait
// block must hold a DDR play.
#include "checkers.hpp"

namespace tvk::checkers {

namespace {

// One link of a chain: the test of the item against the previous significant
// instruction, then the update (nops and delays never interrupt a chain).
struct Chain {
    Name offender;
    bool (*breaks)(Scope&, PyObject* before);
};

bool drst_breaks(Scope& s, PyObject* before) { return !(s.is(before, IRWaitTrig) || s.is(before, IRWait)); }
bool capi_breaks(Scope& s, PyObject* before) { return s.is(before, IRCapture); }

constexpr Chain kDrst{IRFrameRst, drst_breaks};
constexpr Chain kCapi{IRCapture, capi_breaks};

// `index` is asked for only when a record is made.
template <class Index>
void step(Scope& s, const Chain& chain, py::handle list, Index index, py::handle ir, py::handle error,
          py::object& before, PyObject* msg, PyObject* code) {
    PyObject* x = ir.ptr();
    if (s.is(x, chain.offender) && chain.breaks(s, before.ptr()))
        append_error(list, index(), error, msg, s.global(TimingError), code);
    if (s.is(x, IRBase) && !s.is(x, IRNop) && !s.is(x, IRDelay)) before = py::reinterpret_borrow<py::object>(ir);
}

// The chain through the whole schedule: each top-level item, then the items
// of its block; the previous significant instruction starts as no
// instruction (an empty list).
template <const Chain& C>
py::object chain_check_ir(const Call& c, PyObject* msg, PyObject* code) {
    CheckArgs a = check_args(c);
    Scope s;
    py::object error = new_list();
    py::object before = new_list();
    each_with_blocks(s, a.list, [&](py::handle list, Py_ssize_t i, py::handle ir) {
        // The step function's own argument test.
        check_list(list, "ir_list");
        step(s, C, list, [i] { return i; }, ir, error, before, msg, code);
    });
    return pair(a.list, error);
}

py::object drst_check_ir(const Call& c) {
    static PyObject* const msg = intern("drst position is wrong");
    return chain_check_ir<kDrst>(c, msg, code_default());
}

py::object capi_check_ir(const Call& c) {
    static PyObject* const msg = intern("Two consecutive capture is forbidden");
    static PyObject* const code = intern("0x1001");
    return chain_check_ir<kCapi>(c, msg, code);
}

// drst_before_check(ir_list: list, index: int, error: list, ir_before,
// msg: str) and two_capi_check(..., error_code=None) -> (error, ir_before)
template <const Chain& C>
py::object step_fn(const Call& c, const Signature& sig, bool has_code) {
    auto b = bind<6>(sig, c);
    check_list(b[0], "ir_list");
    py::object index = to_int_arg(b[1], "index");
    check_list(b[2], "error");
    check_str(b[4], "msg");
    Scope s;
    py::object ir = steal(PyObject_GetItem(b.v[0], index.ptr()));
    py::object before = py::reinterpret_borrow<py::object>(b[3]);
    PyObject* code = has_code ? b.v[5] : code_default();
    step(s, C, b[0], [&] { return list_position(index); }, ir, b[2], before, b.v[4], code);
    return pair(b[2], before);
}

py::object drst_before_check_fn(const Call& c) {
    static const Signature sig("drst_before_check", {"ir_list", "index", "error", "ir_before", "msg"}, 5);
    return step_fn<kDrst>(c, sig, false);
}

py::object two_capi_check_fn(const Call& c) {
    static const Signature sig("two_capi_check", {"ir_list", "index", "error", "ir_before", "msg", "error_code"}, 5,
                               Signature::None, {py::none()});
    return step_fn<kCapi>(c, sig, true);
}

// EmptyWtgChecker(): enable starts False.
py::object empty_wtg_init(const Call& c) {
    setattr(init_self_only(c), TVK_NAME("enable"), py::bool_(false));
    return py::none();
}

// EmptyWtgChecker.check_ir(ir_list) -> (ir_list, records); the records count
// only once a DDR play has been seen (by this object, in any call).
py::object empty_wtg_check_ir(const Call& c) {
    static PyObject* const msg = intern("There must be a 'play' between two 'wait_for_trig' statements.");
    static PyObject* const code = intern("0x2000");
    CheckArgs a = check_args(c);
    Scope s;
    py::object error = new_list();
    auto any_ddr = [&](py::handle seq) {
        bool found = false;
        // Stops at the first DDR play, as any() does.
        py::object it = steal(PyObject_GetIter(seq.ptr()));
        while (PyObject* item = PyIter_Next(it.ptr())) {
            py::object hold = py::reinterpret_steal<py::object>(item);
            if (s.is(item, LoadDDRIR)) {
                found = true;
                break;
            }
        }
        if (PyErr_Occurred()) throw py::error_already_set();
        return found;
    };
    if (any_ddr(a.list)) setattr(a.self, TVK_NAME("enable"), py::bool_(true));
    each(a.list, [&](Py_ssize_t i, py::handle ir) {
        if (!s.is(ir.ptr(), IRWaitTrig)) return;
        if (any_ddr(getattr(ir, TVK_NAME("ir_sub"))))
            setattr(a.self, TVK_NAME("enable"), py::bool_(true));
        else
            append_error(a.list, i, error, msg, s.global(TimingError), code);
    });
    return pair(a.list, truth(getattr(a.self, TVK_NAME("enable"))) ? error : new_list());
}

}  // namespace

void register_order(py::module_& m) {
    add_function(m, "drst_before_check", method<drst_before_check_fn>());
    add_function(m, "two_capi_check", method<two_capi_check_fn>());
    define_checker(m, "DrstChecker", method<drst_check_ir>());
    define_checker(m, "TwoCapiChecker", method<capi_check_ir>());
    define_checker(m, "EmptyWtgChecker", method<empty_wtg_check_ir>(), method<empty_wtg_init>());
}

}  // namespace tvk::checkers
