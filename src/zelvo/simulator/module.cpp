// tarvok.zelvo._simulator: the timing simulator of simulating kernels. It is
// reset before and asked to analyze after each parse; the analysis lays the
// instructions of the kernel's list that have a duration end to end. Whatever
// the list holds, analysis never raises: an item without a usable duration is
// left out of the timeline.
#include <pybind11/pybind11.h>

#include "common/kit.hpp"

namespace {

namespace py = pybind11;
using namespace tvk;

constexpr const char* kModule = "tarvok.zelvo._simulator";

// Runs `f`; an Exception it raises is dropped and reported as false.
template <class F>
bool guarded(F&& f) {
    try {
        f();
        return true;
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return false;
    }
}

void count_up(py::handle self, PyObject* name) {
    guarded([&] {
        py::object n = getattr(self, name);
        static PyObject* const one = keep_new(PyLong_FromLong(1));
        setattr(self, name, steal(PyNumber_Add(n.ptr(), one)));
    });
}

void clear_timeline(py::handle self) {
    setattr(self, TVK_NAME("timeline"), py::list());
    setattr(self, TVK_NAME("duration"), py::int_(0));
}

// WaveTimingSimulator(kernel)
py::object sim_init(const Call& c) {
    static const Signature sig("__init__", {"self", "kernel"}, 2);
    auto b = bind<2>(sig, c);
    setattr(b[0], TVK_NAME("kernel"), b[1]);
    clear_timeline(b[0]);
    setattr(b[0], TVK_NAME("resets"), py::int_(0));
    setattr(b[0], TVK_NAME("analyses"), py::int_(0));
    return py::none();
}

py::object sim_reset(const Call& c) {
    static const Signature sig("reset", {"self"}, 1);
    auto b = bind<1>(sig, c);
    guarded([&] { clear_timeline(b[0]); });
    count_up(b[0], TVK_NAME("resets"));
    return py::none();
}

// The item's duration as an int; an empty object when it has none (an
// Exception while reading it, dropped here without a C++ throw: many lists
// hold items without one, whose absence is asked without raising).
py::object duration_of(py::handle item) {
    PyObject* d = nullptr;
    int found = insides::lookup_attr(item.ptr(), TVK_NAME("duration"), &d);
    if (found == 0) return py::object();
    PyObject* n = d ? PyNumber_Index(d) : nullptr;
    Py_XDECREF(d);
    if (n) return steal(n);
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::error_already_set();
    PyErr_Clear();
    return py::object();
}

// The items of the kernel's instruction list at the time of the call; an
// empty tuple when there is no list to read.
py::object snapshot(py::handle self) {
    py::object items = py::tuple();
    guarded([&] {
        py::object kernel = getattr(self, TVK_NAME("kernel"));
        py::object list = getattr(kernel, TVK_NAME("instruction_list"));
        if (PyList_Check(list.ptr()) || PyTuple_Check(list.ptr())) items = steal(PySequence_Tuple(list.ptr()));
    });
    return items;
}

// timeline: (start, instruction) for every item with a non-negative integer
// duration, starts in samples from 0; duration: the sum.
py::object sim_analyze(const Call& c) {
    static const Signature sig("analyze", {"self"}, 1);
    auto b = bind<1>(sig, c);
    py::handle self = b[0];
    py::object items = snapshot(self);
    py::list timeline;
    py::object start = py::int_(0);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.ptr()); ++i) {
        py::handle item = PyTuple_GET_ITEM(items.ptr(), i);
        py::object length = duration_of(item);
        if (!length || insides::long_sign(length.ptr()) < 0) continue;
        timeline.append(py::make_tuple(start, item));
        start = steal(PyNumber_Add(start.ptr(), length.ptr()));
    }
    guarded([&] {
        setattr(self, TVK_NAME("timeline"), timeline);
        setattr(self, TVK_NAME("duration"), start);
    });
    count_up(self, TVK_NAME("analyses"));
    return py::none();
}

}  // namespace

TVK_MODULE(_simulator, m) {
    m.doc() = "Timing simulator of simulating kernels.";
    PyObject* meta = define_class(m, kModule, "SimulatorMeta", {reinterpret_cast<PyObject*>(&PyType_Type)},
                                  [](ClassBuilder& b) {
                                      b.attr("__doc__", py::str("Metaclass of the timing simulators."));
                                  });
    define_class(m, kModule, "WaveTimingSimulator", {}, [&](ClassBuilder& b) {
        b.metaclass(meta)
            .attr("__doc__", py::str("Lays a kernel's instructions end to end by their durations (samples)."))
            .method("__init__", method<sim_init>())
            .method("reset", method<sim_reset>())
            .method("analyze", method<sim_analyze>());
    });
    set_all(m, {"WaveTimingSimulator", "SimulatorMeta"});
}
