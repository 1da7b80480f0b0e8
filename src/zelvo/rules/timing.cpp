// Real wait times: the longest-waiting overlap instructions of each block go
// first in their run, then every instruction gets the cycles its wanted wait
// leaves once its successor's share is taken off.
#include <pybind11/cast.h>

#include "rules.hpp"

#include "rules_core.hpp"

namespace tvk::rules {

namespace {

// ir_list[i] of a list whose length may have changed under a property.
py::handle item_at(py::handle list, Py_ssize_t i) {
    if (i < 0 || i >= PyList_GET_SIZE(list.ptr())) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        throw py::error_already_set();
    }
    return PyList_GET_ITEM(list.ptr(), i);
}

void set_real_wait(py::handle ir, py::handle value) { setattr(ir, TVK_NAME("real_wait_time"), value); }

// The predecessor of position i waits what its wanted wait leaves after
// the successor's share.
void real_wait_of_predecessor(py::handle list, Py_ssize_t i) {
    py::object pred = py::reinterpret_borrow<py::object>(item_at(list, i - 1));
    Count wait = cycles(pred, TVK_NAME("wait_time"));
    Count cost = successor_cost(py::reinterpret_borrow<py::object>(item_at(list, i)));
    set_real_wait(pred, (wait - cost).object());
}

// Real wait times along one list, in place. Instructions of unfixed duration
// and set-up instructions take no share from their predecessor.
void process(py::handle list) {
    const Py_ssize_t n = PyList_GET_SIZE(list.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::object ir = py::reinterpret_borrow<py::object>(item_at(list, i));
        if (is_a(ir, reg().UnfixIR) || i == 0 || is_a(ir, reg().PreIR)) continue;
        if (i == PyList_GET_SIZE(list.ptr()) - 1) set_real_wait(ir, getattr(ir, TVK_NAME("wait_time")));
        real_wait_of_predecessor(list, i);
    }
    if (PyList_GET_SIZE(list.ptr()) == 1) {
        py::object only = py::reinterpret_borrow<py::object>(item_at(list, 0));
        set_real_wait(only, getattr(only, TVK_NAME("wait_time")));
    }
}

std::vector<std::vector<size_t>> runs_of(py::handle list) {
    std::vector<bool> overlap;
    overlap.reserve(static_cast<size_t>(PyList_GET_SIZE(list.ptr())));
    for_each(list, [&](py::handle ir) { overlap.push_back(is_a(ir, reg().OverlapIR)); });
    return core::overlap_runs(overlap);
}

// One run sorted by descending wait time, each wait time read once.
void sort_run(py::handle block, const std::vector<size_t>& run) {
    std::vector<Count> waits;
    waits.reserve(run.size());
    for (size_t p : run) waits.push_back(cycles(item_at(block, static_cast<Py_ssize_t>(p)), TVK_NAME("wait_time")));
    core::selection_sort_desc(
        run.size(), [&](size_t a, size_t b) { return waits[a] >= waits[b]; },
        [&](size_t a, size_t b) {
            if (a == b) return;
            Py_ssize_t pa = static_cast<Py_ssize_t>(run[a]), pb = static_cast<Py_ssize_t>(run[b]);
            py::object x = py::reinterpret_borrow<py::object>(item_at(block, pa));
            py::object y = py::reinterpret_borrow<py::object>(item_at(block, pb));
            if (PyList_SetItem(block.ptr(), pa, y.inc_ref().ptr()) < 0 ||
                PyList_SetItem(block.ptr(), pb, x.inc_ref().ptr()) < 0)
                throw py::error_already_set();
            std::swap(waits[a], waits[b]);
        });
}

// A declared `index: int` and `ir_list: list`, in that order.
std::pair<py::object, py::handle> index_and_list(const Call& c, const Signature& sig) {
    auto b = bind<2>(sig, c);
    py::object index = to_int_arg(b[0], "index");
    check_list(b[1], "ir_list");
    return {index, b[1]};
}

// A function's one declared `ir_list: list`.
py::handle list_arg(const Call& c, const Signature& sig) {
    py::handle list = bind<1>(sig, c)[0];
    check_list(list, "ir_list");
    return list;
}

py::object acq_olp_index(const Call& c) {
    static const Signature sig("acq_olp_index", {"ir_list"}, 1);
    py::handle list = list_arg(c, sig);
    py::object out = steal(PyList_New(0));
    for (const auto& run : runs_of(list)) {
        py::object positions = steal(PyList_New(static_cast<Py_ssize_t>(run.size())));
        for (size_t k = 0; k < run.size(); ++k)
            PyList_SET_ITEM(positions.ptr(), static_cast<Py_ssize_t>(k), py_int(static_cast<long long>(run[k])).release().ptr());
        append(out, positions);
    }
    return out;
}

py::object order_process(const Call& c) {
    static const Signature sig("order_process", {"ir_list"}, 1);
    py::handle list = list_arg(c, sig);
    process(list);
    return py::reinterpret_borrow<py::object>(list);
}

py::object calculate_real_wait_time(const Call& c) {
    static const Signature sig("calculate_real_wait_time", {"index", "ir_list"}, 2);
    auto [index, list] = index_and_list(c, sig);
    // Position 0 has no predecessor: a negative position would silently
    // take the last item as one.
    Py_ssize_t i = PyNumber_AsSsize_t(index.ptr(), nullptr);
    if (i == -1 && PyErr_Occurred()) throw py::error_already_set();
    Py_ssize_t n = PyList_GET_SIZE(list.ptr());
    if (i < 1 || i >= n) {
        PyErr_Format(PyExc_IndexError, "index %R out of range: it must be at least 1 and less than %zd, the list's length",
                     index.ptr(), n);
        throw py::error_already_set();
    }
    real_wait_of_predecessor(list, i);
    return py::reinterpret_borrow<py::object>(list);
}

py::object order_unfxir(const Call& c) {
    static const Signature sig("order_unfxir", {"index", "ir_list"}, 2);
    auto [index, list] = index_and_list(c, sig);
    py::object head = steal(PyObject_GetItem(list.ptr(), index.ptr()));
    py::object block = shallow_copy(getattr(head, TVK_NAME("ir_sub")));
    check_list(block, "ir_list");
    process(block);
    return block;
}

// ---- TimingRule -------------------------------------------------------------

py::object order_ins(const Call& c) {
    auto b = bind_order_ins(c);
    py::handle self = b[0];
    check_list(b[1], "ir_list");
    py::object top = steal(PyList_GetSlice(b.v[1], 0, PyList_GET_SIZE(b.v[1])));
    call_method(self, TVK_NAME("order_overlap"), {top});
    process(top);
    for_each(top, [&](py::handle ir) {
        if (!is_a(ir, reg().UnfixIR)) return;
        py::object block = getattr(ir, TVK_NAME("ir_sub"));
        check_list(block, "ir_list");
        process(block);
        if (PyList_GET_SIZE(block.ptr()) == 0) return;
        // The block's first instruction takes its share from the head; a
        // placeholder there costs its overhead.
        Count wait = cycles(ir, TVK_NAME("wait_time"));
        py::object first = py::reinterpret_borrow<py::object>(item_at(block, 0));
        Count cost = cycles(first, is_a(first, reg().OverlapIR) ? TVK_NAME("wait_time") : TVK_NAME("overhead"));
        set_real_wait(ir, (wait - cost).object());
    });
    return check_list_result(call_method(self, TVK_NAME("insert_ir"), {top}));
}

py::object order_overlap(const Call& c) {
    static const Signature sig("order_overlap", {"self", "ir_list_ordered"}, 2);
    auto b = bind<2>(sig, c);
    for_each(b[1], [&](py::handle ir) {
        if (!is_a(ir, reg().UnfixIR)) return;
        py::object block = getattr(ir, TVK_NAME("ir_sub"));
        check_list(block, "ir_list");
        for (const auto& run : runs_of(block)) sort_run(block, run);
    });
    return check_list_result(py::reinterpret_borrow<py::object>(b[1]));
}

}  // namespace

void register_timing_functions(py::module_& m) {
    py::object list_in = list_annotations({"ir_list"}, true);
    module_function(m, "acq_olp_index", entry<acq_olp_index>(), list_in);
    module_function(m, "order_process", entry<order_process>(), list_in);
    py::dict indexed;
    indexed["index"] = py::handle(reinterpret_cast<PyObject*>(&PyLong_Type));
    indexed["ir_list"] = py::handle(reinterpret_cast<PyObject*>(&PyList_Type));
    indexed["return"] = py::handle(reinterpret_cast<PyObject*>(&PyList_Type));
    module_function(m, "calculate_real_wait_time", entry<calculate_real_wait_time>(), indexed);
    module_function(m, "order_unfxir", entry<order_unfxir>(), indexed.attr("copy")());
    register_set_kernel(m);
}

void register_timing(py::module_& m) {
    define_rule(m, "TimingRule", [](ClassBuilder& b) {
        member(b, "TimingRule", "order_ins", entry<order_ins>(), list_annotations({"ir_list"}, true));
        padding_members(b);
        member(b, "TimingRule", "order_overlap", entry<order_overlap>(), list_annotations({}, true));
    });
}

}  // namespace tvk::rules
