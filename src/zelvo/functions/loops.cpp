// repeat(n): a register loop. `for r in zv.repeat(n):` is lowered by the
// for_call hook into a landing placeholder, the body, and an IRLoop that
// jumps back to the placeholder.
#include <pybind11/pybind11.h>

#include "functions.hpp"

#include "common/brief.hpp"
#include "common/visitor.hpp"
#include "common/walk.hpp"

namespace tvk::functions {

namespace {

// The count of a "lopi" line is 32 bits wide, and a loop passes at least once.
constexpr long long kMaxRepeat = 4294967295;

py::object repeat(const Call& c) {
    static const Signature sig("repeat", {"n"}, 1);
    auto b = bind<1>(sig, c);
    if (!PyIndex_Check(b.v[0])) {
        PyErr_Format(PyExc_TypeError, "repeat() argument 'n' must be an integer, not %.200s", Py_TYPE(b.v[0])->tp_name);
        throw py::error_already_set();
    }
    py::object n = steal(PyNumber_Index(b.v[0]));
    int overflow = 0;
    long long count = PyLong_AsLongLongAndOverflow(n.ptr(), &overflow);
    if (count == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow || count < 1 || count > kMaxRepeat) {
        PyErr_Format(PyExc_ValueError, "repeat count must be a positive integer up to %lld (the 32 bits of the "
                     "loop's \"lopi\" line), got %U", kMaxRepeat, brief_repr(n).ptr());
        throw py::error_already_set();
    }
    return n;
}

void append_to(py::handle kernel, py::handle ins) {
    call_method(getattr(kernel, TVK_NAME("instruction_list")), TVK_NAME("append"), {ins});
}

// A new instruction of `cls` with `kernel` and the statement's line.
py::object made_for(PyObject* cls, py::handle kernel, py::handle node, std::initializer_list<py::handle> args) {
    py::tuple argv(args.size());
    size_t i = 0;
    for (py::handle a : args) argv[i++] = a;
    py::dict kw;
    kw["kernel"] = kernel;
    py::object ins = steal(PyObject_Call(cls, argv.ptr(), kw.ptr()));
    setattr(ins, TVK_NAME("line"), getattr(node, TVK_NAME("lineno")));
    return ins;
}

// for_call(kernel, for_node, count)
py::object repeat_for_call(const Call& c) {
    static const Signature sig("for_call", {"kernel", "for_node", "count"}, 3);
    auto b = bind<3>(sig, c);
    py::handle kernel = b[0], node = b[1], count = b[2];
    if (truth(getattr(node, TVK_NAME("orelse")))) {
        py::object error = getattr(kernel, TVK_NAME("DefaultError"));
        call_method(kernel, TVK_NAME("_raise_error"),
                    {error, node, py::str("Unallowed else condition in register loops")});
        return py::none();
    }
    py::object landing = made_for(reg().IRPlaceholder, kernel, node, {});
    append_to(kernel, landing);
    for_each(getattr(node, TVK_NAME("body")), [&](py::handle stmt) { node_visit(kernel, stmt, reg().visit); });
    append_to(kernel, made_for(reg().IRLoop, kernel, node, {count, landing}));
    return py::none();
}

}  // namespace

void register_loops(py::module_& m, py::list& all) {
    py::object visitor = py::module_::import("ast").attr("NodeVisitor");
    reg().visit = pin(py::object(visitor.attr("__dict__"))["visit"]);
    const std::string mod = module_name(m);
    py::object fn = make_cfunction("repeat", method<repeat>().fn, py::none(),
                                   signed_doc("repeat", "(n)",
                                              "A register loop of `n` passes (an integer from 1 to 4294967295) "
                                              "over its body, written for r in zv.repeat(n): with r a declared "
                                              "zv.Reg.")
                                       .c_str(),
                                   mod.c_str());
    py::object hook = make_cfunction("for_call", method<repeat_for_call>().fn, py::none(), nullptr, mod.c_str());
    export_name(m, all, "repeat", fn);
    register_entry(fn, py::none(), py::none(), hook);
}

}  // namespace tvk::functions
