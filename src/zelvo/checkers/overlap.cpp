// The overlap checks: the time a fixed-duration instruction leaves free for
// the instructions after it, and the older wait-time check with its helpers
// (kept for callers; no checker runs it).
#include "checkers.hpp"
#include "window.hpp"

namespace tvk::checkers {

namespace {

PyObject* msg_window() {
    static PyObject* const m = intern("Instructions can not arrange");
    return m;
}

// The positions of a list as the window scan reads them.
class ListItems {
public:
    ListItems(Scope& s, py::handle list) : s_(s), list_(list.ptr()) {}

    std::ptrdiff_t size() const { return PyList_GET_SIZE(list_); }

    window::Kind kind(std::ptrdiff_t j) {
        fetch(j);
        PyObject* x = cur_.ptr();
        if (s_.is(x, IRDelay)) return window::Kind::Delay;
        if (s_.is(x, FixIR)) return window::Kind::Fix;
        if (s_.is(x, OverlapIR)) return window::Kind::Overlap;
        return window::Kind::Other;
    }
    Count wait(std::ptrdiff_t) { return cycles(cur_, TVK_NAME("wait_time")); }
    Count overhead(std::ptrdiff_t) { return cycles(cur_, TVK_NAME("overhead")); }
    bool is_nop(std::ptrdiff_t p) {
        fetch(p);
        return s_.is(cur_.ptr(), IRNop);
    }

private:
    void fetch(std::ptrdiff_t j) { cur_ = py::reinterpret_borrow<py::object>(item_at(list_, j)); }

    Scope& s_;
    PyObject* list_;
    py::object cur_;
};

// The scan after the window's owner at `index`; at most one record, at the
// first instruction that does not fit.
void scan(Scope& s, py::handle list, Py_ssize_t index, const Count& window, py::handle error) {
    if (PyList_GET_SIZE(list.ptr()) == 1) return;
    ListItems items(s, list);
    if (auto j = window::first_misfit(items, index, window))
        record(s, list, *j, error, msg_window(), TimingError);
}

// Every window of one list, in position order.
void overlap_time(Scope& s, py::handle list, py::handle error) {
    check_list(list, "ir_list");
    check_list(error, "error");
    PyObject* l = list.ptr();
    py::object hold = py::reinterpret_borrow<py::object>(list);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(l); ++i) {
        py::object ir = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(l, i));
        if (!s.is(ir.ptr(), FixIR) || s.is(ir.ptr(), IRDelay)) continue;
        scan(s, list, i, window_of(ir), error);
    }
}

// count_nops for an exact int position in a list; anything else through the
// interpreter's own operations, step by step.
py::object nops(Scope& s, py::handle start, py::handle seq) {
    std::int64_t v;
    if (PyList_CheckExact(seq.ptr()) && small_int(start.ptr(), v)) {
        ListItems items(s, seq);
        return py_int(window::nop_run(items, v));
    }
    long count = 1;
    for (long i = 0; i < 100; ++i) {
        py::object ii = py_int(i);
        static PyObject* const one = keep(py_int(1));
        py::object p = steal(PyNumber_Add(steal(PyNumber_Add(start.ptr(), ii.ptr())).ptr(), one));
        Py_ssize_t n = PyObject_Length(seq.ptr());
        if (n < 0) throw py::error_already_set();
        py::object len = steal(PyLong_FromSsize_t(n));
        int past = PyObject_RichCompareBool(p.ptr(), len.ptr(), Py_GE);
        if (past < 0) throw py::error_already_set();
        if (past) break;
        py::object x = steal(PyObject_GetItem(seq.ptr(), p.ptr()));
        if (!s.is(x.ptr(), IRNop)) break;
        ++count;
    }
    return py_int(count);
}

[[noreturn]] void out_of_bounds() {
    PyErr_SetString(PyExc_IndexError, "Index out of bounds");
    throw py::error_already_set();
}

// ir_calculate_time for a position that fits a Py_ssize_t.
py::object calculate_time(Scope& s, Py_ssize_t index, py::handle list) {
    PyObject* l = list.ptr();
    if (index >= PyList_GET_SIZE(l) - 1) out_of_bounds();
    py::object pos = py_int(index);
    py::object x = steal(PyObject_GetItem(l, pos.ptr()));
    if (s.is(x.ptr(), FixIR)) {
        py::object after = py_int(index + 1);
        py::object next = steal(PyObject_GetItem(l, after.ptr()));
        if (!s.is(next.ptr(), IRDelay)) return nops(s, pos, list);
        static PyObject* const five = keep(py_int(5));
        return steal(PyNumber_Add(getattr(next, TVK_NAME("wait_time")).ptr(), five));
    }
    if ((s.is(x.ptr(), PreIR) && !s.is(x.ptr(), IRNop)) || s.is(x.ptr(), UnfixIR) || s.is(x.ptr(), OverlapIR))
        return nops(s, pos, list);
    return py_int(0);
}

// ---- module functions -----------------------------------------------------

// OverlapChecker.check_ir(ir_list: list) -> (copy of ir_list, records)
py::object overlap_check_ir(const Call& c) {
    CheckArgs a = check_args(c);
    check_list(a.list, "ir_list");
    Scope s;
    py::object copy = steal(PyList_GetSlice(a.list.ptr(), 0, PyList_GET_SIZE(a.list.ptr())));
    py::object error = new_list();
    overlap_time(s, copy, error);
    each(a.list, [&](Py_ssize_t, py::handle ir) {
        if (s.is(ir.ptr(), UnfixIR)) overlap_time(s, getattr(ir, TVK_NAME("ir_sub")), error);
    });
    return pair(copy, error);
}

// check_overlap_time(ir_list: list, error: list) -> error
py::object check_overlap_time_fn(const Call& c) {
    static const Signature sig("check_overlap_time", {"ir_list", "error"}, 2);
    auto b = bind<2>(sig, c);
    Scope s;
    overlap_time(s, b[0], b[1]);
    return py::reinterpret_borrow<py::object>(b[1]);
}

// check_limit(index, ir_list: list, error: list) -> error; the position is
// used as list indexing takes it.
py::object check_limit_fn(const Call& c) {
    static const Signature sig("check_limit", {"index", "ir_list", "error"}, 3);
    ItemCall a = item_call(c, sig, 1, 0, 2);
    Scope s;
    Count window = window_of(a.ir);
    scan(s, a.list, list_position(a.index), window, a.error);
    return py::reinterpret_borrow<py::object>(a.error);
}

// count_nops(start_index, IR_list) -> int
py::object count_nops_fn(const Call& c) {
    static const Signature sig("count_nops", {"start_index", "IR_list"}, 2);
    auto b = bind<2>(sig, c);
    Scope s;
    return nops(s, b[0], b[1]);
}

// ir_calculate_time(index: int, IR_list: list) -> int
py::object ir_calculate_time_fn(const Call& c) {
    static const Signature sig("ir_calculate_time", {"index", "IR_list"}, 2);
    auto b = bind<2>(sig, c);
    int overflow;
    Py_ssize_t index = position(b[0], "index", overflow);
    check_list(b[1], "IR_list");
    if (overflow > 0) out_of_bounds();
    if (overflow < 0) index_overflow();
    Scope s;
    return calculate_time(s, index, b[1]);
}

// check_wait_time(ir_list: list, error: list) -> error
py::object check_wait_time_fn(const Call& c) {
    static const Signature sig("check_wait_time", {"ir_list", "error"}, 2);
    auto b = bind<2>(sig, c);
    check_list(b[0], "ir_list");
    check_list(b[1], "error");
    static PyObject* const msg = intern("instructions can not arrange");
    Scope s;
    PyObject* l = b.v[0];
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(l); ++i) {
        py::object x = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(l, i));
        if (s.is(x.ptr(), IRNop)) continue;
        py::object t = calculate_time(s, i, b[0]);
        PyObject* least = s.is(x.ptr(), UnfixIR) ? TVK_NAME("irhead") : TVK_NAME("overhead");
        py::object need = getattr(x, least);
        int short_of = PyObject_RichCompareBool(t.ptr(), need.ptr(), Py_LT);
        if (short_of < 0) throw py::error_already_set();
        if (short_of) record(s, b[0], i, b[1], msg, TimingError);
    }
    return py::reinterpret_borrow<py::object>(b[1]);
}

}  // namespace

void register_overlap(py::module_& m) {
    add_function(m, "check_overlap_time", method<check_overlap_time_fn>());
    add_function(m, "check_limit", method<check_limit_fn>());
    add_function(m, "check_wait_time", method<check_wait_time_fn>());
    add_function(m, "ir_calculate_time", method<ir_calculate_time_fn>());
    add_function(m, "count_nops", method<count_nops_fn>());
    define_checker(m, "OverlapChecker", method<overlap_check_ir>());
}

}  // namespace tvk::checkers
