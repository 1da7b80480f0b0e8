// The amplitude optimizer: immediate plays, plyi and the I/Q plyic, get
// whole-number amplitudes, at the top level and one block deep.
#include "optimizations.hpp"

namespace tvk::optimizations {

namespace {

bool is_play(py::handle ir) { return is(ir, kPlay) || is(ir, kPlayIQ); }

void round_amp(py::handle play) {
    setattr(play, TVK_NAME("amp"), py_round(getattr(play, TVK_NAME("amp"))));
}

py::object amp_optimize(const Call& c) {
    static const Signature sig("optimize_ir", {"self", "ir_list"}, 2);
    auto b = bind<2>(sig, c);
    check_list(b[1], "ir_list");
    py::handle list = b[1];
    for (Py_ssize_t i = 0;; ++i) {
        py::object ir = item_at(list, i, 0);
        if (!ir) break;
        if (is_play(ir)) {
            round_amp(ir);
            continue;
        }
        if (!is(ir, kUnfix)) continue;
        py::object sub = getattr(ir, TVK_NAME("ir_sub"));
        Py_ssize_t n = 0;
        if (!PyList_CheckExact(sub.ptr())) {
            n = PyObject_Size(sub.ptr());
            if (n < 0) throw py::error_already_set();
        }
        for (Py_ssize_t j = 0;; ++j) {
            py::object inner = item_at(sub, j, n);
            if (!inner) break;
            if (is_play(inner)) round_amp(inner);
        }
    }
    return py::reinterpret_borrow<py::object>(list);
}

}  // namespace

void register_amp(py::module_& m) {
    define_class(m, kModule, "PlyiAmpOptimizer", {reg().BaseOptimizer}, [](ClassBuilder& b) {
        b.method("__init__", method<init_only>()).method("optimize_ir", method<with_instance_cache<amp_optimize>>());
    });
}

}  // namespace tvk::optimizations
