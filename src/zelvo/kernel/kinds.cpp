// The error class, the metaclass, the simulation mixin and the two kernel
// kinds beside Kernel: simulating kernels (made by the decorator) and scope
// kernels (made inside a parse, sharing their creator's symbols).
#include <pybind11/pybind11.h>

#include "docs.hpp"
#include "kernel.hpp"

namespace tvk::kernel {

namespace {

// ---- ZelvoKernel ------------------------------------------------------------

// __init__(cls, name, bases, attrs): type's own initialisation, nothing added.
py::object meta_init(const Call& c) {
    static const Signature sig("__init__", {"cls", "name", "bases", "attrs"}, 4);
    auto b = bind<4>(sig, c);
    py::tuple args = py::make_tuple(b[1], b[2], b[3]);
    if (PyType_Type.tp_init(b.v[0], args.ptr(), nullptr) < 0) throw py::error_already_set();
    return py::none();
}

// ---- SimulateMixin ----------------------------------------------------------

py::object mixin_init(const Call& c) {
    static const Signature sig("__init__", {"self"}, 1, Signature::VarPos | Signature::VarKw);
    auto b = bind<1>(sig, c);
    setattr(b[0], TVK_NAME("_Simulator"), global(TVK_NAME("WaveTimingSimulator")));
    return py::none();
}

py::object get_simulator_class(py::handle self) { return getattr(self, TVK_NAME("_Simulator")); }

// A new simulator class drops the cached simulator, whichever kernel it
// belongs to.
void set_simulator_class(py::handle self, py::handle value) {
    setattr(self, TVK_NAME("_Simulator"), value);
    call_method(getattr(self, TVK_NAME("_simulator")), TVK_NAME("cache_clear"));
}

py::object get_simulator(py::handle self) { return call_method(self, TVK_NAME("_simulator")); }

// _simulator(self): Simulator(self); wrapped in a one-entry lru_cache shared
// by the whole process.
py::object make_simulator(const Call& c) {
    static const Signature sig("_simulator", {"self"}, 1);
    py::handle self = bind<1>(sig, c)[0];
    py::object cls = getattr(self, TVK_NAME("Simulator"));
    return steal(PyObject_CallOneArg(cls.ptr(), self.ptr()));
}

// ---- SimulationKernel -------------------------------------------------------

py::object sim_kernel_init(const Call& c) {
    static const Signature sig("__init__", {"self", "func", "args", "kwargs"}, 1, Signature::None,
                               {py::none(), py::none(), py::none()});
    auto b = bind<4>(sig, c);
    py::handle self = b[0];
    kernel_member(TVK_NAME("__init__"), self, {b[1], b[2], b[3]});
    call_next_init(c.cls, self, py::handle());
    setattr(self, TVK_NAME("Simulator"), global(TVK_NAME("WaveTimingSimulator")));
    return py::none();
}

py::object sim_kernel_clear(const Call& c) {
    static const Signature sig("clear", {"self"}, 1);
    py::handle self = bind<1>(sig, c)[0];
    kernel_member(TVK_NAME("clear"), self);
    call_method(getattr(self, TVK_NAME("simulator")), TVK_NAME("reset"));
    return py::none();
}

py::object sim_kernel_parse(const Call& c) {
    static const Signature sig("parse", {"self"}, 1);
    py::handle self = bind<1>(sig, c)[0];
    py::object list = kernel_member(TVK_NAME("parse"), self);
    call_method(getattr(self, TVK_NAME("simulator")), TVK_NAME("analyze"));
    return list;
}

// ---- ScopeKernel ------------------------------------------------------------

py::object scope_init(const Call& c) {
    static const Signature sig("__init__", {"self", "_kernel"}, 2);
    auto b = bind<2>(sig, c);
    kernel_member(TVK_NAME("__init__"), b[0]);
    setattr(b[0], TVK_NAME("parent"), b[1]);
    return py::none();
}

// from_kernel(cls, _kernel): the creator's tables are shared and its counters
// copied (kKernelAttrs says which); the list is new, the waveform,
// frequency-list and demodulation tables stay the scope's own.
py::object scope_from_kernel(const Call& c) {
    static const Signature sig("from_kernel", {"cls", "_kernel"}, 2);
    auto b = bind<2>(sig, c);
    py::handle parent = b[1];
    py::object scope = steal(PyObject_CallOneArg(b.v[0], b.v[1]));
    for (int i = 0; i < kKernelAttrCount; ++i) {
        PyObject* name = kernel_attr_name(i);
        const KernelAttr& a = kKernelAttrs[i];
        if (a.scope == InScope::Taken) setattr(scope, name, getattr(parent, name));
        if (a.scope == InScope::New) setattr(scope, name, new_attr_value(scope, a.start));
    }
    return scope;
}

py::object cached(py::object f) {
    py::object lru = py::module_::import("functools").attr("lru_cache");
    using namespace pybind11::literals;
    return lru("maxsize"_a = 1)(f);
}

}  // namespace

void register_mixin(py::module_& m) {
    Registry& r = reg();
    r.KernelParseError = publish(m, "KernelParseError", make_exception("KernelParseError", kModule, PyExc_Exception));

    ClassBuilder mixin("SimulateMixin", kModule);
    mixin.docs(kSimulateMixinDocs)
        .attr("__doc__", py::str("Gives a kernel its timing simulator, cached for the last kernel that asked."))
        .method("__init__", method<mixin_init>())
        .property("Simulator", getter<get_simulator_class>(), setter<set_simulator_class>())
        .property("simulator", getter<get_simulator>());
    mixin.attr("_simulator", cached(make_cfunction("_simulator", method<make_simulator>().fn, mixin.cell(),
                                                   nullptr, kModule)));
    r.SimulateMixin = publish(m, "SimulateMixin", mixin.build());

    ClassBuilder meta("ZelvoKernel", kModule);
    meta.base(reinterpret_cast<PyObject*>(&PyType_Type))
        .docs(kZelvoKernelDocs)
        .attr("__doc__", py::str("Metaclass of the kernel classes."))
        .method("__init__", method<meta_init>());
    r.ZelvoKernel = publish(m, "ZelvoKernel", meta.build());
}

void register_kinds(py::module_& m) {
    Registry& r = reg();
    ClassBuilder sim("SimulationKernel", kModule);
    sim.base(r.SimulateMixin)
        .base(r.Kernel)
        .metaclass(r.ZelvoKernel)
        .docs(kSimulationKernelDocs)
        .attr("__doc__", py::str("A kernel that resets its timing simulator before and runs it after each parse."))
        .method("__init__", method<sim_kernel_init>())
        .method("clear", method<sim_kernel_clear>())
        .method("parse", method<sim_kernel_parse>());
    r.SimulationKernel = publish(m, "SimulationKernel", sim.build());

    ClassBuilder scope("ScopeKernel", kModule);
    scope.base(r.Kernel)
        .metaclass(r.ZelvoKernel)
        .docs(kScopeKernelDocs)
        .attr("__doc__", py::str("A kernel that lowers statements into a list of its own while sharing its "
                                 "creator's symbols."))
        .method("__init__", method<scope_init>())
        .classmethod("from_kernel", method<scope_from_kernel>());
    publish(m, "ScopeKernel", scope.build());
}

}  // namespace tvk::kernel
