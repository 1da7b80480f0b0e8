// tarvok.zelvo.kernel: the kernel front-end. Its namespace is the global
// namespace of every expression a kernel evaluates, so the order of the
// bindings below decides which of two equal names a kernel sees: a later
// binding replaces an earlier one.
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
    r.default_pre_call = keep(functions.attr("KernelFunction").attr("__dict__")["pre_call"]);
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
    r.Name = keep(ast, "Name");
    r.Attribute = keep(ast, "Attribute");
    r.Call = keep(ast, "Call");
    r.Constant = keep(ast, "Constant");
    r.Subscript = keep(ast, "Subscript");
    r.Compare = keep(ast, "Compare");
    r.Eq = keep(ast, "Eq");
    r.Gt = keep(ast, "Gt");
    r.Lt = keep(ast, "Lt");
    r.Load = keep(ast, "Load");
    r.Assign = keep(ast, "Assign");
    r.Expr = keep(ast, "Expr");
    r.BinOp = keep(ast, "BinOp");
    r.copy_location = keep(ast, "copy_location");
    r.AST = keep(ast, "AST");
    r.visit = keep(py::object(ast.attr("NodeVisitor")).attr("__dict__")["visit"]);
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
    r.IRBase = keep(ir, "IRBase");
    r.IRMov = keep(ir, "IRMov");
    r.IRJmov = keep(ir, "IRJmov");
    r.IRJumpInside = keep(ir, "IRJumpInside");
    r.IRPlaceholder = keep(ir, "IRPlaceholder");
    r.IRJumpImmNormal = keep(ir, "IRJumpImmNormal");
}

void register_kernel(py::module_& m) {
    ClassBuilder b("Kernel", kModule);
    b.base(py::module_::import("ast").attr("NodeVisitor"))
        .metaclass(reg().ZelvoKernel)
        .docs(kKernelDocs)
        .attr("__doc__", py::str("Compile context of one kernel and the visitor of its syntax tree."))
        .attr("max_frame", py::int_(16))
        .attr("DefaultError", reg().KernelParseError)
        .method("__init__", method<kernel_init>())
        .property("Simulator", getter<no_simulator>())
        .property("simulator", getter<no_simulator>())
        .property("default_compile_params", getter<default_compile_params>())
        .method("clear", method<clear>())
        .method("parse", method<parse>())
        .method("show", method<show>())
        .method("__call__", method<call>())
        .method("__repr__", method<repr>())
        .staticmethod("_remove_tabs", method<remove_tabs>())
        .method("_kernel_eval", method<kernel_eval>())
        .method("_get_line_source", method<get_line_source>())
        .method("_raise_error", method<raise_error>())
        .method("_is_repeat_symbol", method<is_repeat_symbol>())
        .method("_zv_func_precall", method<zv_func_precall>())
        .method("_zv_func_on_if", method<zv_func_on_if>())
        .method("_zv_func_on_for", method<zv_func_on_for>())
        .method("_get_annotation_type", method<get_annotation_type>())
        .method("_get_value_type", method<get_value_type>())
        .method("_get_compare_type", method<get_compare_type>())
        .method("_set_variable_symbol", method<set_variable_symbol>())
        .method("_set_judge_symbol", method<set_judge_symbol>())
        .method("_handle_eq", method<handle_eq>())
        .method("_handle_gt", method<handle_gt>())
        .method("_handle_lt", method<handle_lt>())
        .method("_handle_in", method<handle_in>())
        .method("_handle_noteq", method<handle_noteq>())
        .method("_handle_gte", method<handle_gte>())
        .method("_handle_lte", method<handle_lte>())
        .method("visit_Subscript", method<visit_Subscript>())
        .method("visit_arg", method<visit_arg>())
        .method("visit_Assign", method<visit_Assign>())
        .method("visit_AugAssign", method<visit_AugAssign>())
        .method("visit_AnnAssign", method<visit_AnnAssign>())
        .method("visit_Call", method<visit_Call>())
        .method("visit_BinOp", method<visit_BinOp>())
        .method("visit_Constant", method<visit_Constant>())
        .method("visit_Expr", method<visit_Expr>())
        .method("visit_Compare", method<visit_Compare>())
        .method("visit_If", method<visit_If>())
        .method("_judgment_jump", method<judgment_jump>())
        .method("_is_compile_loop_var", method<is_compile_loop_var>())
        .method("_is_compile_loop_func", method<is_compile_loop_func>())
        .method("visit_For", method<visit_For>())
        .method("visit_While", method<visit_While>())
        .method("visit_Return", method<visit_Return>())
        .method("visit_FunctionDef", method<visit_FunctionDef>())
        .method("visit_arguments", method<visit_arguments>())
        .method("visit_Module", method<visit_Module>());
    add_value_visitors(b);
    add_statement_refusals(b);
    b.method("with_error", method<with_error>())
        .method("node_line", method<node_line>())
        .classmethod("wrap", method<wrap>())
        .classmethod("form_kernel", method<form_kernel>())
        .method("create_scope", method<create_scope>());
    py::object cls = b.build();
    reg().Kernel = keep(cls);
    m.attr("Kernel") = cls;
}

}  // namespace tvk::kernel

TVK_MODULE(kernel, m) {
    namespace py = pybind11;
    using namespace tvk::kernel;
    m.doc() = "Kernel front-end: kernel functions and source texts to IR instruction lists.";
    register_namespace(m);
    register_memo(m);
    py::list all;
    for (const char* n : {"kernel", "Kernel", "SimulationKernel", "ScopeKernel", "form_kernel"}) all.append(n);
    m.attr("__all__") = all;
    register_mixin(m);
    register_kernel(m);
    register_kinds(m);
    m.attr("kernel") = py::handle(reg().SimulationKernel).attr("wrap");
    m.attr("form_kernel") = py::handle(reg().Kernel).attr("form_kernel");
    m.attr("function") = m.attr("KernelFunction").attr("wrap");
    register_eval_locals(m);
}
