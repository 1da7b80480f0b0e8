// Shared declarations of module tarvok.zelvo.kernel: the class registry filled
// at module init, the helpers every handler uses and the members of the kernel
// classes, one topic per source file.
#pragma once

#include <initializer_list>

#include "common/kit.hpp"
#include "common/members.hpp"
#include "common/pyops.hpp"
#include "common/recursion.hpp"
#include "common/text.hpp"

namespace tvk::kernel {

inline constexpr const char* kModule = "tarvok.zelvo.kernel";

// What the handlers take from the ast module: node classes and operators,
// copy_location, and AST, the base of every node class.
#define TVK_KERNEL_AST_NAMES(X)                                                                        \
    X(Name) X(Attribute) X(Call) X(Constant) X(Subscript) X(Compare) X(Eq) X(Gt) X(Lt) X(Load) X(Assign) \
    X(Expr) X(BinOp) X(copy_location) X(AST)
// The instructions the front-end makes itself, taken from _ir.
#define TVK_KERNEL_IR_CLASSES(X) X(IRBase) X(IRMov) X(IRJmov) X(IRJumpInside) X(IRPlaceholder) X(IRJumpImmNormal)

// The module's registry (common/module.hpp).
struct Registry {
    PyObject* module_dict;
    TVK_KERNEL_AST_NAMES(TVK_REGISTRY_FIELD)
    PinnedFunction visit;             // ast.NodeVisitor.visit, as found at load
    PinnedFunction default_pre_call;  // KernelFunction's own pre_call, as found at load
    PyObject* Iterable;          // collections.abc.Iterable
    PyObject *eval, *compile;    // builtins.eval, builtins.compile
    PyObject* wraps;             // functools.wraps
    PyObject* np_integer;        // numpy.integer
    TVK_KERNEL_IR_CLASSES(TVK_REGISTRY_FIELD)
    PyObject* IRFrame;  // declared frames are told apart by their number
    // The module's own classes.
    PyObject *KernelParseError, *SimulateMixin, *ZelvoKernel, *Kernel, *SimulationKernel;
    PyObject* EvalLocals;  // type of the evaluation's local namespace
    // Tuple of the syntax-tree classes evaluated whole as values (names,
    // attributes, operations, displays, comprehensions...): walked, not
    // evaluated, as parts of another node.
    PyObject* ValueKinds;
};
inline Registry& reg() { return module_registry<Registry>(); }

// ---- helpers ---------------------------------------------------------------

// Refusals of a hooked statement, given alike by its handler and by the
// library hook it hands the statement to.
inline constexpr char kUnknownJudgement[] = "Unknown judgement type";  // if
inline constexpr char kUnallowedIterable[] = "Unallowed if condition";  // for
// What a RecursionError of a handler that lowers nested statements names.
inline constexpr char kLowering[] = " while lowering a kernel";

// A name of the module namespace, looked up at the call (NameError if unbound).
py::object global(PyObject* name);
// The __name__ of a library function or type marker, as the namespace holds it.
py::object global_name(PyObject* name);
// "feedbackchnl_<name>": the register table's entry for a register's
// feedback channel.
py::object feedback_key(py::handle name);

// type(o) is cls or a subclass of it: a type test, without the class's own
// __instancecheck__ (the syntax-tree classes have none), unlike isinstance.
inline bool has_type(py::handle o, PyObject* cls) {
    return PyObject_TypeCheck(o.ptr(), reinterpret_cast<PyTypeObject*>(cls));
}
// `node` is an ast.Name whose id is one of `ids`.
bool name_in(py::handle node, std::initializer_list<const char*> ids);
// `node` is a call of the form p.f(...) with p a plain name among `prefixes`.
bool prefixed_call(py::handle node, std::initializer_list<const char*> prefixes);
// `key in table`.
bool contains(py::handle table, py::handle key);
// a == b as `in` and list.index test it (identity first).
bool equal(py::handle a, py::handle b);
// The first item of the sequence node.name, or an empty object when it is empty.
py::object first_of(py::handle node, PyObject* name);
// table[key], for a symbol table of the kernel.
py::object table_item(py::handle table, py::handle key);
// self.<table>[key] = value.
void file_symbol(py::handle self, PyObject* table, py::handle key, py::handle value);
// `node` is an ast.Name whose id is a key of self.<table>.
bool named_in_table(py::handle self, py::handle node, PyObject* table);
// Appends one item, or every item of an iterable, to the visiting kernel's
// instruction list.
void append(py::handle self, py::handle item);
void extend_list(py::handle self, py::handle items);
// self.visit(node) for every node of `nodes`, results dropped.
void visit_each(py::handle self, py::handle nodes);
py::object visit(py::handle self, py::handle node);
// Reports a refusal through self._raise_error with KernelParseError (looked
// up in the module namespace). Returns only if an override lets it return;
// the caller then stops handling the statement.
void refuse(py::handle self, py::handle node, const char* message);
void refuse(py::handle self, py::handle node, py::handle message);
// A hooked statement: its test or iterable `call` must be a library call,
// which is evaluated and handed with the statement to the kernel's `member`
// (_zv_func_on_if or _zv_func_on_for); anything else would drop the body
// unseen and is refused with `refusal`.
void hand_to_library(py::handle self, py::handle call, py::handle stmt, PyObject* member, const char* refusal);
// str(x) as format(x, "") gives it.
py::object formatted(py::handle x);
// Kernel.<name>(self, *args): the member as the class Kernel holds it.
py::object kernel_member(PyObject* name, py::handle self, std::initializer_list<py::handle> args = {});
// A syntax-tree node made as cls(**fields).
py::object ast_node(PyObject* cls, py::handle fields);
// A ready instruction of the front-end's own: cls(*args, **kw).
py::object make(PyObject* cls, std::initializer_list<py::handle> args, py::handle kernel = {});

// ---- memos -------------------------------------------------------------------

// inspect.getsource(func), remembered for func's code object and the lines
// linecache holds for its file.
py::object function_source(py::handle func);
// ast.parse(source): a tree of its own for every caller, copied from the one
// remembered for the text.
py::object parse_source(py::handle source);
// A node's compiled code, remembered for the node's structure (`compiled`
// true), or its text (astor's to_source) when the text is made anew, for the
// caller to compile.
py::object node_code(py::handle node, bool& compiled);
// The next evaluation of `node` makes its text anew (a hook that is not the
// library's own may have changed it in ways its structure does not show).
void make_text_anew(py::handle node);
// A shallow copy of the call `node` whose callee is Name(id=name,
// ctx=Load()), as the library rewrites a call of its own functions.
py::object rewritten_call(py::handle node, py::handle name);
// `copy`, the last call rewritten, is handed back as it was made by the
// library's own _zv_func_precall: while it and the call it was made from
// stay as they are, its code is the one found for an earlier rewrite of the
// same call.
void note_rewrite(py::handle copy);
// The end of a parse: the nodes of its tree, evaluated again only within
// it, are let go.
void forget_evaluations();
// A new node of one of the parser's classes holding `dict` as its fields, as
// cls() followed by filling its dict gives it.
py::object node_with_dict(PyTypeObject* tp, py::handle dict);
// copy.copy(node), without the copy module for the parser's own classes.
py::object copy_node(py::handle node);
// KernelFunction._registry when `registry` is the library's KernelFunction
// with its own has_func and get_func (which only read that table); empty
// otherwise.
py::object own_registry_table(py::handle registry);
void register_memo(py::module_& m);
// ---- the kernel's own attributes -----------------------------------------------

// Where an attribute's first value comes from: __init__'s arguments (the
// first six), or a new object made for it.
enum class Start : unsigned char { Name, Self, Args, Kwargs, Source, Tree, Dict, Zero, List, CompileParams,
                                   PassParams };
static_assert(static_cast<int>(Start::Tree) == 5, "kernel_init hands the six given values in this order");
// What a scope kernel does with it in from_kernel: keeps its own, takes its
// creator's object, or gets a new one.
enum class InScope : unsigned char { Own, Taken, New };
struct KernelAttr {
    const char* name;
    Start start;
    int cleared;  // position among the attributes clear renews, 0 for one it leaves
    InScope scope;
};
// In the order __init__ sets them, which is the order of vars(kernel).
inline constexpr KernelAttr kKernelAttrs[] = {
    {"name", Start::Name, 0, InScope::Taken},
    {"parent", Start::Self, 0, InScope::Own},
    {"func_args", Start::Args, 0, InScope::Taken},
    {"func_kwargs", Start::Kwargs, 0, InScope::Taken},
    {"top_src", Start::Source, 0, InScope::Taken},
    {"top_node", Start::Tree, 0, InScope::Taken},
    {"var_symbol", Start::Dict, 1, InScope::Taken},
    {"frame_symbol", Start::Dict, 2, InScope::Taken},
    {"frame_idx", Start::Zero, 3, InScope::Taken},
    {"envelope_symbol", Start::Dict, 4, InScope::Taken},
    {"waveform_symbol", Start::Dict, 10, InScope::Own},
    {"freq_list_symbol", Start::Dict, 9, InScope::Own},
    {"demodulation_symbol", Start::Dict, 11, InScope::Own},
    {"register_symbol", Start::Dict, 5, InScope::Taken},
    {"register_idx", Start::Zero, 6, InScope::Taken},
    {"instruction_list", Start::List, 7, InScope::New},
    {"instr_target_map", Start::Dict, 0, InScope::Taken},
    {"jail_tag", Start::Dict, 0, InScope::Taken},
    {"compile_params", Start::CompileParams, 8, InScope::Taken},
    {"pass_params", Start::PassParams, 0, InScope::Taken},
};
inline constexpr int kKernelAttrCount = sizeof(kKernelAttrs) / sizeof(kKernelAttrs[0]);
// The interned name of kKernelAttrs[i].
PyObject* kernel_attr_name(int i);
// A new first value of an attribute that does not start from __init__'s
// arguments.
py::object new_attr_value(py::handle self, Start start);

// ---- members ----------------------------------------------------------------

// The members of Kernel in the order of its namespace, each beside the file
// that defines it (common/members.hpp): declared here, added to the class in
// module.cpp.
#define TVK_KERNEL_MEMBERS(X)                                                     \
    X(method, "__init__", kernel_init)                       /* object.cpp */     \
    X(property, "Simulator", no_simulator)                                        \
    X(property, "simulator", no_simulator)                                        \
    X(property, "default_compile_params", default_compile_params)                 \
    X(method, "clear", clear)                                                     \
    X(method, "parse", parse)                                                     \
    X(method, "show", show)                                                       \
    X(method, "__call__", call)                                                   \
    X(method, "__repr__", repr)                                                   \
    X(staticmethod, "_remove_tabs", remove_tabs)                                  \
    X(method, "_kernel_eval", kernel_eval)                   /* evaluate.cpp */   \
    X(method, "_get_line_source", get_line_source)           /* report.cpp */     \
    X(method, "_raise_error", raise_error)                                        \
    X(method, "_is_repeat_symbol", is_repeat_symbol)         /* declare.cpp */    \
    X(method, "_zv_func_precall", zv_func_precall)           /* calls.cpp */      \
    X(method, "_zv_func_on_if", zv_func_on_if)                                    \
    X(method, "_zv_func_on_for", zv_func_on_for)                                  \
    X(method, "_get_annotation_type", get_annotation_type)   /* declare.cpp */    \
    X(method, "_get_value_type", get_value_type)                                  \
    X(method, "_get_compare_type", get_compare_type)                              \
    X(method, "_set_variable_symbol", set_variable_symbol)                        \
    X(method, "_set_judge_symbol", set_judge_symbol)         /* compare.cpp */    \
    X(method, "_handle_eq", handle_eq)                                            \
    X(method, "_handle_gt", handle_gt)                                            \
    X(method, "_handle_lt", handle_lt)                                            \
    X(method, "_handle_in", handle_in)                                            \
    X(method, "_handle_noteq", handle_noteq)                                      \
    X(method, "_handle_gte", handle_gte)                                          \
    X(method, "_handle_lte", handle_lte)                                          \
    X(method, "visit_Subscript", visit_Subscript)            /* calls.cpp */      \
    X(method, "visit_arg", visit_arg)                                             \
    X(method, "visit_Assign", visit_Assign)                  /* assign.cpp */     \
    X(method, "visit_AugAssign", visit_AugAssign)                                 \
    X(method, "visit_AnnAssign", visit_AnnAssign)            /* declare.cpp */    \
    X(method, "visit_Call", visit_Call)                      /* calls.cpp */      \
    X(method, "visit_BinOp", visit_BinOp)                                         \
    X(method, "visit_Constant", visit_Constant)                                   \
    X(method, "visit_Expr", visit_Expr)                                           \
    X(method, "visit_Compare", visit_Compare)                /* compare.cpp */    \
    X(method, "visit_If", visit_If)                          /* branches.cpp */   \
    X(method, "_judgment_jump", judgment_jump)                                    \
    X(method, "_is_compile_loop_var", is_compile_loop_var)   /* loops.cpp */      \
    X(method, "_is_compile_loop_func", is_compile_loop_func)                      \
    X(method, "visit_For", visit_For)                                             \
    X(method, "visit_While", visit_While)                                         \
    X(method, "visit_Return", visit_Return)                  /* binding.cpp */    \
    X(method, "visit_FunctionDef", visit_FunctionDef)                             \
    X(method, "visit_arguments", visit_arguments)                                 \
    X(method, "visit_Module", visit_Module)                                       \
    /* generic_visit and the visitors of names, attributes, operations,           \
       f-strings, displays and comprehensions */                                  \
    X(members, "", add_value_visitors)                       /* calls.cpp */      \
    /* statements outside the kernel language (break, try, import, ...) and      \
       expressions without a sound value in a kernel (walrus, lambda, ...),      \
       each refused at its node before anything of it is lowered */              \
    X(members, "", add_statement_refusals)                   /* statements.cpp */ \
    X(method, "with_error", with_error)                      /* report.cpp */     \
    X(method, "node_line", node_line)                                             \
    X(classmethod, "wrap", wrap)                             /* object.cpp */     \
    X(classmethod, "form_kernel", form_kernel)                                    \
    X(method, "create_scope", create_scope)
TVK_KERNEL_MEMBERS(TVK_DECLARE_MEMBER)
// The type of an evaluation's local namespace (evaluate.cpp).
void register_eval_locals(py::module_& m);
// self._kernel_eval(node, locals_list), the library's own run here directly.
py::object evaluate(py::handle self, py::handle node, py::handle locals_list);
// The body of the library's own _kernel_eval.
py::object evaluate_node(py::handle self, py::handle node, py::handle locals_list);
// self._zv_func_precall(node), the library's own run here directly.
py::object precall(py::handle self, py::handle node);

// What a declaration value or a parameter default gives: its visit, but a
// comparison is evaluated as a value rather than lowered as a condition (an
// expression statement still hands it to visit_Compare, as the if does).
py::object value_of(py::handle self, py::handle node);

// Class assembly, in the order the classes must exist: the namespace, then
// KernelParseError, SimulateMixin and ZelvoKernel, then Kernel, then
// SimulationKernel and ScopeKernel.
void register_namespace(py::module_& m);
void register_mixin(py::module_& m);
void register_kernel(py::module_& m);
void register_kinds(py::module_& m);

}  // namespace tvk::kernel
