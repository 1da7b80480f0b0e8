// tarvok.zelvo.kernel: the kernel front-end. Its namespace is the global
// namespace of every expression a kernel evaluates, so the order of the
// bindings below decides which of two equal names a kernel sees: a later
// binding replaces an earlier one.
#include <pybind11/pybind11.h>

#include "common/imports.hpp"
#include "docs.hpp"
#include "kernel.hpp"

namespace tvk::kernel {

namespace {

void bind_from(py::module_& m, const py::module_& from, std::initializer_list<const char*> names) {
    for (const char* n : names) m.attr(n) = from.attr(n);
}

}  // namespace

void register_namespace(py::module_& m) {
    Registry& r = reg();
    r.module_dict = keep(m, "__dict__");
    // Standard library and numpy.
    for (const char* n : {"copy", "inspect", "ast", "astor"}) m.attr(n) = py::module_::import(n);
    bind_from(m, py::module_::import("typing"), {"Dict", "List", "Union", "Iterable", "Any", "Generic", "TypeVar"});
    bind_from(m, py::module_::import("functools"), {"wraps", "lru_cache"});
    bind_from(m, py::module_::import("itertools"), {"chain", "zip_longest"});
    m.attr("np") = py::module_::import("numpy");

    // The kernel function library, then the instruction model, the passes
    // and the simulator: each may replace a library name.
    py::module_ functions = import_sibling(m, "_functions");
    star_import(m, functions);
    bind_from(m, functions, {"KernelFunction"});
    r.default_pre_call = pin(functions.attr("KernelFunction").attr("__dict__")["pre_call"]);
    py::module_ ir = import_sibling(m, "_ir");
    bind_from(m, ir, {"IRBase", "IRWait", "IRJumpImmNormal", "IRMov", "IRJmov", "IRNop", "IRJumpInside",
                      "IRPlaceholder", "IRTimingPlaceholder"});
    for (const char* pass : {"_rules", "_checkers", "_optimizations", "_translate"}) {
        py::module_ p = import_sibling(m, pass);
        star_import(m, p);
    }
    bind_from(m, import_sibling(m, "_simulator"), {"WaveTimingSimulator", "SimulatorMeta"});

    import_optional(m, "waveforms", "wf", "HAS_WAVEFORM");

    // What the handlers use directly, taken from the modules held above.
    py::module_ ast = py::module_::import("ast");
    TVK_KEEP_EACH(r, ast, TVK_KERNEL_AST_NAMES);
    r.visit = pin(py::object(ast.attr("NodeVisitor")).attr("__dict__")["visit"]);
    py::list kinds;
    for (const char* n : {"Name", "Attribute", "UnaryOp", "BoolOp", "Compare", "IfExp", "JoinedStr", "List", "Tuple",
                          "Set", "Dict", "ListComp", "SetComp", "DictComp", "GeneratorExp"})
        kinds.append(ast.attr(n));
    r.ValueKinds = keep(steal(PyList_AsTuple(kinds.ptr())));
    r.Iterable = keep(py::module_::import("collections.abc").attr("Iterable"));
    r.eval = keep(py::module_::import("builtins").attr("eval"));
    r.compile = keep(py::module_::import("builtins").attr("compile"));
    py::module_ functools = py::module_::import("functools");
    r.wraps = keep(functools, "wraps");
    r.np_integer = keep(py::module_::import("numpy"), "integer");
    TVK_KEEP_EACH(r, ir, TVK_KERNEL_IR_CLASSES);
    r.IRFrame = keep(ir, "IRFrame");
}

void register_kernel(py::module_& m) {
    ClassBuilder b("Kernel", kModule);
    b.base(py::module_::import("ast").attr("NodeVisitor"))
        .metaclass(reg().ZelvoKernel)
        .docs(kKernelDocs)
        .attr("__doc__", py::str("Compile context of one kernel and the visitor of its syntax tree."))
        .attr("max_frame", py::int_(16))
        .attr("DefaultError", reg().KernelParseError);
    TVK_KERNEL_MEMBERS(TVK_ADD_MEMBER)
    reg().Kernel = publish(m, "Kernel", b.build());
}

}  // namespace tvk::kernel

TVK_MODULE(kernel, m) {
    namespace py = pybind11;
    using namespace tvk::kernel;
    m.doc() = "Kernel front-end: kernel functions and source texts to IR instruction lists.";
    register_namespace(m);
    register_memo(m);
    tvk::set_all(m, {"kernel", "Kernel", "SimulationKernel", "ScopeKernel", "form_kernel"});
    register_mixin(m);
    register_kernel(m);
    register_kinds(m);
    m.attr("kernel") = py::handle(reg().SimulationKernel).attr("wrap");
    m.attr("form_kernel") = py::handle(reg().Kernel).attr("form_kernel");
    m.attr("function") = m.attr("KernelFunction").attr("wrap");
    register_eval_locals(m);
}
