// Shared declarations of module tarvok.zelvo.kernel: the class registry filled
// at module init, the helpers every handler uses and the members of the kernel
// classes, one topic per source file.
#pragma once

#include <initializer_list>

#include "common/kit.hpp"
#include "common/pyops.hpp"
#include "common/recursion.hpp"
#include "common/text.hpp"

namespace tvk::kernel {

inline constexpr const char* kModule = "tarvok.zelvo.kernel";

// Objects made or imported at module init. Plain pointers, each also held by
// the module (an attribute, a class member or an imported module), so nothing
// here has a destructor that could run after the interpreter is gone.
struct Registry {
    PyObject* module_dict = nullptr;
    // Syntax-tree classes.
    PyObject* Name = nullptr;
    PyObject* Attribute = nullptr;
    PyObject* Call = nullptr;
    PyObject* Constant = nullptr;
    PyObject* Subscript = nullptr;
    PyObject* Compare = nullptr;
    PyObject* Eq = nullptr;
    PyObject* Gt = nullptr;
    PyObject* Lt = nullptr;
    PyObject* Load = nullptr;
    PyObject* Assign = nullptr;
    PyObject* Expr = nullptr;
    PyObject* BinOp = nullptr;
    PyObject* copy_location = nullptr;
    PyObject* AST = nullptr;        // ast.AST, the base of every node class
    PyObject* visit = nullptr;      // ast.NodeVisitor.visit, as found at load
    PyObject* default_pre_call = nullptr;  // KernelFunction's own pre_call, as found at load
    PyObject* Iterable = nullptr;   // collections.abc.Iterable
    PyObject* eval = nullptr;       // builtins.eval
    PyObject* compile = nullptr;    // builtins.compile
    PyObject* wraps = nullptr;      // functools.wraps
    PyObject* np_integer = nullptr; // numpy.integer
    // Instructions the front-end makes itself.
    PyObject* IRBase = nullptr;
    PyObject* IRMov = nullptr;
    PyObject* IRJmov = nullptr;
    PyObject* IRJumpInside = nullptr;
    PyObject* IRPlaceholder = nullptr;
    PyObject* IRJumpImmNormal = nullptr;
    // The module's own classes.
    PyObject* KernelParseError = nullptr;
    PyObject* SimulateMixin = nullptr;
    PyObject* ZelvoKernel = nullptr;
    PyObject* Kernel = nullptr;
    PyObject* SimulationKernel = nullptr;
    PyObject* EvalLocals = nullptr;  // type of the evaluation's local namespace
    // Tuple of the syntax-tree classes evaluated whole as values (names,
    // attributes, operations, displays, comprehensions...): walked, not
    // evaluated, as parts of another node.
    PyObject* ValueKinds = nullptr;
};
Registry& reg();

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

// inspect.getsource(func), remembered for func's code object.
py::object function_source(py::handle func);
// ast.parse(source): a tree of its own for every caller, copied from the one
// remembered for the text.
py::object parse_source(py::handle source);
// parse_source(source) for a kernel whose tree is `current` (held by
// `holders` references, the caller's included): `current` itself when it is
// the last tree handed out, for this very text, unchanged and reachable by
// nothing else, so that no one can tell it from a new one.
py::object parse_again(py::handle source, py::handle current, Py_ssize_t holders);
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

// ---- members ---------------------------------------------------------------

// The object, its parameters and entry points.
py::object kernel_init(const Call& c);
py::object no_simulator(py::handle self);
py::object default_compile_params(py::handle self);
py::object clear(const Call& c);
py::object parse(const Call& c);
py::object show(const Call& c);
py::object call(const Call& c);
py::object repr(const Call& c);
py::object remove_tabs(const Call& c);
py::object wrap(const Call& c);
py::object form_kernel(const Call& c);
py::object create_scope(const Call& c);

// Evaluation and error reporting.
py::object kernel_eval(const Call& c);
// self._kernel_eval(node, locals_list), the library's own run here directly.
py::object evaluate(py::handle self, py::handle node, py::handle locals_list);
// The body of the library's own _kernel_eval.
py::object evaluate_node(py::handle self, py::handle node, py::handle locals_list);
py::object get_line_source(const Call& c);
py::object raise_error(const Call& c);
py::object with_error(const Call& c);
py::object node_line(const Call& c);
void register_eval_locals(py::module_& m);

// Declarations.
py::object is_repeat_symbol(const Call& c);
py::object get_annotation_type(const Call& c);
py::object get_value_type(const Call& c);
py::object get_compare_type(const Call& c);
py::object set_variable_symbol(const Call& c);
py::object visit_AnnAssign(const Call& c);

// Calls and expressions, and the library hooks.
py::object zv_func_precall(const Call& c);
// self._zv_func_precall(node), the library's own run here directly.
py::object precall(py::handle self, py::handle node);
py::object zv_func_on_if(const Call& c);
py::object zv_func_on_for(const Call& c);
py::object visit_Subscript(const Call& c);
py::object visit_arg(const Call& c);
py::object visit_Call(const Call& c);
py::object visit_BinOp(const Call& c);
py::object visit_Constant(const Call& c);
py::object visit_Expr(const Call& c);
// Adds the visitors of names, attributes, unary and boolean operations,
// conditional expressions, f-strings, displays and comprehensions.
void add_value_visitors(ClassBuilder& b);
// What a declaration value or a parameter default gives: its visit, but a
// comparison is evaluated as a value rather than lowered as a condition (an
// expression statement still hands it to visit_Compare, as the if does).
py::object value_of(py::handle self, py::handle node);

// Re-assignments.
py::object visit_Assign(const Call& c);
py::object visit_AugAssign(const Call& c);

// Comparisons.
py::object set_judge_symbol(const Call& c);
py::object handle_eq(const Call& c);
py::object handle_gt(const Call& c);
py::object handle_lt(const Call& c);
py::object handle_in(const Call& c);
py::object handle_noteq(const Call& c);
py::object handle_gte(const Call& c);
py::object handle_lte(const Call& c);
py::object visit_Compare(const Call& c);

// Branches and loops.
py::object visit_If(const Call& c);
py::object judgment_jump(const Call& c);
py::object is_compile_loop_var(const Call& c);
py::object is_compile_loop_func(const Call& c);
py::object visit_For(const Call& c);
py::object visit_While(const Call& c);

// Statements outside the kernel language (break, continue, try, with,
// import, ...) and expressions without a sound value in a kernel (walrus,
// lambda, await, yield): each refused at its node, before anything of it is
// lowered. Adds their visitors to the Kernel class.
void add_statement_refusals(ClassBuilder& b);

// The function definition and its parameters.
py::object visit_Return(const Call& c);
py::object visit_FunctionDef(const Call& c);
py::object visit_arguments(const Call& c);
py::object visit_Module(const Call& c);

// Class assembly, in the order the classes must exist: the namespace, then
// KernelParseError, SimulateMixin and ZelvoKernel, then Kernel, then
// SimulationKernel and ScopeKernel.
void register_namespace(py::module_& m);
void register_mixin(py::module_& m);
void register_kernel(py::module_& m);
void register_kinds(py::module_& m);

}  // namespace tvk::kernel
