// The optimizer base and the jump optimizer, which hands on a fresh copy.
#include "optimizations.hpp"

namespace tvk::optimizations {

namespace {

py::object base_init(const Call& c) {
    static const Signature sig("__init__", {"self"}, 1);
    bind<1>(sig, c);
    return py::none();
}

py::object base_optimize(const Call& c) {
    static const Signature sig("optimize_ir", {"self", "ir_list"}, 2);
    auto b = bind<2>(sig, c);
    check_list(b[1], "ir_list");
    return py::none();
}

py::object jump_optimize(const Call& c) {
    static const Signature sig("optimize_ir", {"self", "ir_list"}, 2);
    auto b = bind<2>(sig, c);
    check_list(b[1], "ir_list");
    return steal(PyList_GetSlice(b.v[1], 0, PyList_GET_SIZE(b.v[1])));
}

}  // namespace

void register_base(py::module_& m) {
    reg().BaseOptimizer = define_class(m, kModule, "BaseOptimizer", {}, [](ClassBuilder& b) {
        b.method("__init__", method<base_init>())
            .method("optimize_ir", method<base_optimize>());
    });
    define_class(m, kModule, "JumpImmOptimizer", {reg().BaseOptimizer}, [](ClassBuilder& b) {
        b.method("__init__", method<init_only>()).method("optimize_ir", method<jump_optimize>());
    });
}

}  // namespace tvk::optimizations
