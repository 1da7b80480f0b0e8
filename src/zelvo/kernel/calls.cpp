// Calls and expressions: `zv.f(...)` (or `zelvo.f(...)`) calls the kernel
// function library, `np.f(...)` numpy, `f(...)` the name as written; the
// value of the call is what the statement around it works with. The library
// hooks of hooked `if` and `for` statements share the call rewriting.
#include <pybind11/cast.h>

#include <utility>

#include "kernel.hpp"

#include "common/fields.hpp"
#include "common/helptext.hpp"
#include "common/walk.hpp"

namespace tvk::kernel {

namespace {

// A shallow copy of the call whose callee is the plain name of the library
// function; refuses keywords. False when a refusal returned.
bool rewrite_call(py::handle self, py::handle node, py::object& copy, py::object& name) {
    py::object func = getattr(node, TVK_NAME("func"));
    if (has_type(func, reg().Attribute)) {
        name = getattr(func, TVK_NAME("attr"));
    } else if (has_type(func, reg().Name)) {
        name = getattr(func, TVK_NAME("id"));
    } else {
        refuse(self, node, "Unallowed function call");
        return false;
    }
    copy = rewritten_call(node, name);
    if (truth(getattr(copy, TVK_NAME("keywords")))) {
        py::object message = steal(PyUnicode_FromFormat("Function zv.%S could not have keywords", name.ptr()));
        refuse(self, copy, message);
        return false;
    }
    return true;
}

// The registry entry of `name`, or an empty object when it has none.
py::object registry_entry(py::handle name) {
    py::object registry = global(TVK_NAME("KernelFunction"));
    // The library's own lookups, read from its table directly.
    if (py::object table = own_registry_table(registry)) {
        if (!contains(table, name)) return py::object();
        return table_item(table, name);
    }
    if (!truth(call_method(registry, TVK_NAME("has_func"), {name}))) return py::object();
    return call_method(registry, TVK_NAME("get_func"), {name});
}

// _zv_func_on_if / _zv_func_on_for(call_node, stmt_node, *args): hands the
// statement to the library's hook. A statement the library has no hook for
// would lose its body, so it is refused at the statement with `refusal`.
template <const char* Hook, const char* Member, const char* Refusal>
py::object zv_func_on(const Call& c) {
    static const Signature sig(Member, {"self", "call_node", "stmt_node"}, 3, Signature::VarPos);
    auto b = bind<3>(sig, c);
    py::handle self = b[0];
    py::object call_copy, name;
    if (!rewrite_call(self, b[1], call_copy, name)) return py::none();
    py::object stmt_copy = copy_node(b[2]);
    py::object entry = registry_entry(name);
    py::object hook = entry ? lookup_attr(entry, TVK_NAME(Hook)) : py::object();
    if (!hook || hook.is_none()) {
        refuse(self, b[2], Refusal);
        return py::none();
    }
    py::tuple extra = py::reinterpret_borrow<py::tuple>(b.varargs);
    Py_ssize_t n = PyTuple_GET_SIZE(extra.ptr());
    py::tuple args(n + 2);
    args[0] = self;
    args[1] = stmt_copy;
    for (Py_ssize_t i = 0; i < n; ++i) args[i + 2] = extra[i];
    steal(PyObject_Call(hook.ptr(), args.ptr(), nullptr));
    return py::make_tuple(call_copy, stmt_copy);
}

constexpr char kIfCall[] = "if_call";
constexpr char kForCall[] = "for_call";
constexpr char kOnIf[] = "_zv_func_on_if";
constexpr char kOnFor[] = "_zv_func_on_for";

py::object var_table(py::handle self) { return getattr(self, TVK_NAME("var_symbol")); }

// visit_BinOp / visit_Subscript: the value over the compile-time variables.
template <const char* Member>
py::object eval_over_variables(const Call& c) {
    static const Signature sig(Member, {"self", "node"}, 2);
    auto b = bind<2>(sig, c);
    py::list tables;
    tables.append(var_table(b[0]));
    return evaluate(b[0], b[1], tables);
}

constexpr char kVisitBinOp[] = "visit_BinOp";
constexpr char kVisitSubscript[] = "visit_Subscript";

// A call of the kernel library anywhere inside `node`.
bool holds_library_call(py::handle node) {
    bool found = false;
    for_each(call_method(global(TVK_NAME("ast")), TVK_NAME("walk"), {node}),
             [&](py::handle n) { found = found || prefixed_call(n, {"zv", "zelvo"}); });
    return found;
}

// Names, attributes, operations, conditional expressions, f-strings,
// displays and comprehensions met as the value of a declaration, a parameter
// default or an expression statement: the value over the compile-time
// variables, as an arithmetic expression has it. A name or attribute that is
// written to gives None; a value holding a library call is walked as any
// other expression (its calls run, hooks included) and gives None.
struct ValueVisitor {
    const char* member;
    const char* help;
};
constexpr ValueVisitor kValueVisitors[] = {
    {"visit_Name", "The value of a name over the compile-time variables; None for a name written to."},
    {"visit_Attribute",
     "The value of an attribute (np.pi, x.real) over the compile-time variables; None for one written to."},
    {"visit_UnaryOp", "The value of a unary operation over the compile-time variables."},
    {"visit_BoolOp", "The value of a boolean operation (and, or) over the compile-time variables."},
    {"visit_IfExp", "The value of a conditional expression over the compile-time variables."},
    {"visit_JoinedStr", "The value of an f-string over the compile-time variables."},
    {"visit_List", "The value of a list display over the compile-time variables."},
    {"visit_Tuple", "The value of a tuple display over the compile-time variables."},
    {"visit_Set", "The value of a set display over the compile-time variables."},
    {"visit_Dict", "The value of a dictionary display over the compile-time variables."},
    {"visit_ListComp", "The value of a list comprehension over the compile-time variables."},
    {"visit_SetComp", "The value of a set comprehension over the compile-time variables."},
    {"visit_DictComp", "The value of a dictionary comprehension over the compile-time variables."},
    {"visit_GeneratorExp", "The value of a generator expression over the compile-time variables."},
};
constexpr char kHoldingCall[] = " None when it holds a library call, whose calls run.";

py::object value_over_variables(py::handle self, py::handle node) {
    py::object ctx = lookup_attr(node, TVK_NAME("ctx"));
    if (ctx && !has_type(ctx, reg().Load)) return py::none();
    if (!has_type(node, reg().Name) && holds_library_call(node)) {
        call_method(self, TVK_NAME("generic_visit"), {node});
        return py::none();
    }
    py::list tables;
    tables.append(var_table(self));
    return evaluate(self, node, tables);
}

template <std::size_t I>
py::object visit_value(const Call& c) {
    static const Signature sig(kValueVisitors[I].member, {"self", "node"}, 2);
    auto b = bind<2>(sig, c);
    return value_over_variables(b[0], b[1]);
}

template <std::size_t... I>
void add_each(ClassBuilder& b, std::index_sequence<I...>) {
    auto help = [](const ValueVisitor& v) {
        std::string text = v.help;
        if (std::string(v.member) != "visit_Name") text += kHoldingCall;
        return signed_doc(v.member, "(self, node)", text.c_str());
    };
    (b.method(kValueVisitors[I].member, method<visit_value<I>>(), help(kValueVisitors[I]).c_str()), ...);
}

}  // namespace

// generic_visit(node): every child with a visitor of its own is visited,
// results dropped; every other child, and every value kind (names,
// attributes, operations, comparisons, displays, comprehensions...), is
// walked the same way. So a value is evaluated only where a statement asks
// for it, never as a part of another expression.
py::object generic_visit(const Call& c) {
    static const Signature sig("generic_visit", {"self", "node"}, 2);
    auto b = bind<2>(sig, c);
    py::handle self = b[0];
    for_each(call_method(global(TVK_NAME("ast")), TVK_NAME("iter_child_nodes"), {b[1]}), [&](py::handle child) {
        int value = PyObject_IsInstance(child.ptr(), reg().ValueKinds);
        if (value < 0) throw py::error_already_set();
        if (value)
            call_method(self, TVK_NAME("generic_visit"), {child});
        else
            visit(self, child);
    });
    return py::none();
}

py::object value_of(py::handle self, py::handle node) {
    if (has_type(node, reg().Compare)) return value_over_variables(self, node);
    return visit(self, node);
}

void add_value_visitors(ClassBuilder& b) {
    b.method("generic_visit", method<generic_visit>(),
             signed_doc("generic_visit", "(self, node)",
                        "Visit the node's children, dropping their results; names, attributes, operations, "
                        "comparisons, f-strings, displays and comprehensions among them are walked, not "
                        "evaluated.")
                 .c_str());
    add_each(b, std::make_index_sequence<sizeof(kValueVisitors) / sizeof(kValueVisitors[0])>{});
}

void hand_to_library(py::handle self, py::handle call, py::handle stmt, PyObject* member, const char* refusal) {
    if (!prefixed_call(call, {"zv", "zelvo"})) {
        refuse(self, stmt, refusal);
        return;
    }
    py::object value = visit(self, call);
    call_method(self, member, {call, stmt, value});
}

py::object zv_func_on_if(const Call& c) { return zv_func_on<kIfCall, kOnIf, kUnknownJudgement>(c); }
py::object zv_func_on_for(const Call& c) { return zv_func_on<kForCall, kOnFor, kUnallowedIterable>(c); }

// _zv_func_precall(node): the rewritten call, after the keyword refusal and
// the library's pre_call hook, which may still change it.
py::object zv_func_precall(const Call& c) {
    static const Signature sig("_zv_func_precall", {"self", "node"}, 2);
    auto b = bind<2>(sig, c);
    py::handle self = b[0], node = b[1];
    py::object copy, name;
    if (!rewrite_call(self, node, copy, name)) return py::none();
    py::object entry = registry_entry(name);
    if (!entry) {
        note_rewrite(copy);
        return copy;
    }
    // The library's own hook leaves the call as written; any other may change
    // it, and its text is then made anew.
    static OwnSteps<1, NoExtra> own_pre_call({own_object(TVK_NAME("pre_call"), reg().default_pre_call)});
    const bool own = own_pre_call.open(entry.ptr()).has_value();
    call_method(entry, TVK_NAME("pre_call"), {self, copy});
    if (own)
        note_rewrite(copy);
    else
        make_text_anew(copy);
    return copy;
}

py::object precall(py::handle self, py::handle node) {
    static OwnSteps<1, NoExtra> own_precall({own_method(TVK_NAME("_zv_func_precall"), method<zv_func_precall>().fn)});
    if (!own_precall.open(self.ptr())) return call_method(self, TVK_NAME("_zv_func_precall"), {node});
    PyObject* argv[] = {self.ptr(), node.ptr()};
    return zv_func_precall(Call{argv, 2, nullptr, nullptr});
}

py::object visit_Call(const Call& c) {
    static const Signature sig("visit_Call", {"self", "node"}, 2);
    auto b = bind<2>(sig, c);
    py::handle self = b[0], node = b[1];
    py::object func = getattr(node, TVK_NAME("func"));
    py::object result;
    if (has_type(func, reg().Attribute)) {
        py::object owner = getattr(func, TVK_NAME("value"));
        if (name_in(owner, {"zv", "zelvo"})) {
            py::object rewritten = precall(self, node);
            py::list tables;
            tables.append(var_table(self));
            tables.append(getattr(self, TVK_NAME("envelope_symbol")));
            tables.append(getattr(self, TVK_NAME("frame_symbol")));
            tables.append(getattr(self, TVK_NAME("register_symbol")));
            result = evaluate(self, rewritten, tables);
        } else if (name_in(owner, {"np", "numpy"})) {
            py::list tables;
            tables.append(var_table(self));
            result = evaluate(self, node, tables);
        } else {
            refuse(self, node, "Unallowed function call");
            return py::none();
        }
    } else if (has_type(func, reg().Name)) {
        result = evaluate(self, node, py::list());
    } else {
        refuse(self, node, "Unallowed function call");
        return py::none();
    }
    if (has_type(result, reg().IRBase)) {
        static InlineFields fields({"line", "kernel"});
        py::object line = getattr(node, TVK_NAME("lineno"));
        fields.set(result.ptr(), {line.ptr(), self.ptr()});
    }
    return result;
}

py::object visit_BinOp(const Call& c) { return eval_over_variables<kVisitBinOp>(c); }
py::object visit_Subscript(const Call& c) { return eval_over_variables<kVisitSubscript>(c); }

py::object visit_Constant(const Call& c) {
    static const Signature sig("visit_Constant", {"self", "node"}, 2);
    auto b = bind<2>(sig, c);
    return getattr(b[1], TVK_NAME("value"));
}

// A parameter's annotation is read by the binding, not visited.
py::object visit_arg(const Call& c) {
    static const Signature sig("visit_arg", {"self", "node"}, 2);
    bind<2>(sig, c);
    return py::none();
}

// An expression statement: a tuple's members are appended one by one, any
// other value (None included) as one item.
py::object visit_Expr(const Call& c) {
    static const Signature sig("visit_Expr", {"self", "node"}, 2);
    auto b = bind<2>(sig, c);
    py::handle self = b[0];
    py::object value = visit(self, getattr(b[1], TVK_NAME("value")));
    if (!PyTuple_Check(value.ptr())) {
        append(self, value);
        return py::none();
    }
    extend_list(self, value);
    return py::none();
}

}  // namespace tvk::kernel
