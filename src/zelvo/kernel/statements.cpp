// Statements the kernel language has no lowering for. Left to the generic
// walk they would compile whatever they hold (a try its body and its
// handlers, a with its body) or nothing at all, so each is refused at the
// statement before anything of it reaches the instruction list.
#include <utility>

#include "kernel.hpp"

#include "common/helptext.hpp"

namespace tvk::kern {

namespace {

struct Foreign {
    const char* member;     // the visitor's name
    const char* statement;  // how the refusal names the statement
};

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
};

template <std::size_t I>
py::object refuse_foreign(const Call& c) {
    static const Signature sig(kForeign[I].member, {"self", "node"}, 2);
    auto b = bind<2>(sig, c);
    py::object message = steal(PyUnicode_FromFormat("Unallowed %s statement", kForeign[I].statement));
    refuse(b[0], b[1], message);
    return py::none();
}

std::string help(const Foreign& f) {
    std::string text = std::string("Refuse the statement (") + f.statement + "): the kernel language has no such statement.";
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

}  // namespace tvk::kern
