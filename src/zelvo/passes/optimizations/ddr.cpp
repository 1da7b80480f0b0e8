// The DDR play optimizer: trigger-wait blocks are opened, and every wait
// becomes the delay of the DDR play that follows it.
#include "ddr_fold.hpp"
#include "optimizations.hpp"

namespace tvk::optimizations {

namespace {

py::object ddr_init(const Call& c) {
    setattr(init_self_only(c), TVK_NAME("enable"), py::handle(Py_False));
    return py::none();
}

py::object ddr_optimize(const Call& c) {
    static const Signature sig("optimize_ir", {"self", "ir_list"}, 2, Signature::VarKw);
    auto b = bind<2>(sig, c);
    py::handle self = b[0], ir_list = b[1];

    // Top-level trigger waits give way to their blocks.
    py::list opened;
    for_each(ir_list, [&](py::handle ir) {
        if (is(ir, kWaitTrig))
            extend(opened, getattr(ir, TVK_NAME("ir_sub")));
        else
            append(opened, ir);
    });
    // A tuple of our own: code run by the setters below cannot move its items.
    py::object items = steal(PyList_AsTuple(opened.ptr()));
    const Py_ssize_t n = PyTuple_GET_SIZE(items.ptr());
    std::vector<std::uint8_t> kinds(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::handle x = PyTuple_GET_ITEM(items.ptr(), i);
        // The first matching test decides what happens to the item; being a
        // play still makes it the landing place of earlier waits.
        std::uint8_t kind = 0;
        if (is(x, kWait))
            kind = fold::kWait;
        else if (is(x, kDelay))
            kind = fold::kDelay;
        if (is(x, kLoadDDR)) kind |= fold::kPlay;
        kinds[static_cast<std::size_t>(i)] = kind;
    }
    fold::Plan plan = fold::plan(kinds);

    static PyObject* const two = keep_new(PyLong_FromLong(2));
    for (const fold::Move& mv : plan.moves) {
        py::handle wait = PyTuple_GET_ITEM(items.ptr(), static_cast<Py_ssize_t>(mv.wait));
        py::handle play = PyTuple_GET_ITEM(items.ptr(), static_cast<Py_ssize_t>(mv.play));
        setattr(play, TVK_NAME("wave_delay"), getattr(wait, TVK_NAME("width")));
        py::object mode = getattr(play, TVK_NAME("mode"));
        setattr(play, TVK_NAME("mode"), steal(PyNumber_Or(mode.ptr(), two)));
    }
    if (plan.met_play) setattr(self, TVK_NAME("enable"), py::handle(Py_True));

    if (!truth(getattr(self, TVK_NAME("enable")))) return check_list_result(py::reinterpret_borrow<py::object>(ir_list));
    py::list kept(plan.kept.size());
    for (std::size_t i = 0; i < plan.kept.size(); ++i) {
        PyObject* item = PyTuple_GET_ITEM(items.ptr(), static_cast<Py_ssize_t>(plan.kept[i]));
        Py_INCREF(item);
        PyList_SET_ITEM(kept.ptr(), static_cast<Py_ssize_t>(i), item);
    }
    return std::move(kept);
}

}  // namespace

void register_ddr(py::module_& m) {
    define_class(m, kModule, "PlayDDROptimizer", {reg().BaseOptimizer}, [](ClassBuilder& b) {
        b.method("__init__", method<ddr_init>()).method("optimize_ir", method<with_instance_cache<ddr_optimize>>());
    });
}

}  // namespace tvk::optimizations
