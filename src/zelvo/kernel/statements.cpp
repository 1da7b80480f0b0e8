// Statements the kernel language has no lowering for. Left to the generic
// walk they would compile whatever they hold (a try its body and its
// handlers, a with its body) or nothing at all, so each is refused at the
// statement before anything of it reaches the instruction list. So are the
// expressions that have no sound value in a kernel: a walrus target enters no
// symbol table, a lambda's body would see the kernel's names as they were when
// it was made rather than when it is called (a loop variable), and await and
// yield mean nothing outside a coroutine or generator.
#include <utility>

#include "kernel.hpp"

#include "common/helptext.hpp"

namespace tvk::kernel {

namespace {

struct Foreign {
    const char* member;  // the visitor's name
    const char* name;    // how the refusal names the statement or expression
    const char* kind = "statement";
};

constexpr char kExpression[] = "expression";

// A break or continue would not end or skip anything in the lowered code.
constexpr Foreign kForeign[] = {
    {"visit_Break", "break"},
    {"visit_Continue", "continue"},
    {"visit_Try", "try"},
    {"visit_TryStar", "try"},
    {"visit_With", "with"},
    {"visit_AsyncWith", "async with"},
    {"visit_Raise", "raise"},
    {"visit_Import", "import"},
    {"visit_ImportFrom", "import"},
    {"visit_Global", "global"},
    {"visit_Nonlocal", "nonlocal"},
    {"visit_Delete", "del"},
    {"visit_Assert", "assert"},
    {"visit_ClassDef", "class"},
    {"visit_AsyncFunctionDef", "async def"},
    {"visit_AsyncFor", "async for"},
    {"visit_Match", "match"},
    {"visit_NamedExpr", "assignment (:=)", kExpression},
    {"visit_Lambda", "lambda", kExpression},
    {"visit_Await", "await", kExpression},
    {"visit_Yield", "yield", kExpression},
    {"visit_YieldFrom", "yield from", kExpression},
};

template <std::size_t I>
py::object refuse_foreign(const Call& c) {
    static const Signature sig(kForeign[I].member, {"self", "node"}, 2);
    auto b = bind<2>(sig, c);
    py::object message = steal(PyUnicode_FromFormat("Unallowed %s %s", kForeign[I].name, kForeign[I].kind));
    refuse(b[0], b[1], message);
    return py::none();
}

std::string help(const Foreign& f) {
    std::string text = std::string("Refuse the ") + f.kind + " (" + f.name + "): the kernel language has no such " +
                       f.kind + ".";
    return signed_doc(f.member, "(self, node)", text.c_str());
}

template <std::size_t... I>
void add_each(ClassBuilder& b, std::index_sequence<I...>) {
    (b.method(kForeign[I].member, method<refuse_foreign<I>>(), help(kForeign[I]).c_str()), ...);
}

}  // namespace

void add_statement_refusals(ClassBuilder& b) {
    add_each(b, std::make_index_sequence<sizeof(kForeign) / sizeof(kForeign[0])>{});
}

}  // namespace tvk::kernel
