// _common_probe: the shared layer's helpers, one thin wrapper each.
#include <pybind11/pybind11.h>

#include <vector>

#include "common/instance_memo.hpp"
#include "common/instance_test.hpp"
#include "common/kit.hpp"
#include "common/walk.hpp"

namespace {
using namespace tvk;

int64_t arg_i64(const Call& c, int i) {
    long long v = PyLong_AsLongLong(c.args[i]);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    return v;
}
void need(const Call& c, Py_ssize_t n) {
    if (c.nargs != n) raise_argtuple_invalid("probe", true, n, n, c.nargs);
}

py::object float_repr(const Call& c) { need(c, 1); return py::str(num::float_repr(as_double(c.args[0]))); }
py::object round_half_even(const Call& c) { need(c, 1); return py_float(num::round_half_even(as_double(c.args[0]))); }
py::object floordiv(const Call& c) {
    need(c, 2);
    return py_int(num::floordiv(arg_i64(c, 0), arg_i64(c, 1)));
}
py::object floormod(const Call& c) {
    need(c, 2);
    return py_int(num::floormod(arg_i64(c, 0), arg_i64(c, 1)));
}
py::object float_floordiv(const Call& c) {
    need(c, 2);
    return py_float(num::float_floordiv(as_double(c.args[0]), as_double(c.args[1])));
}
py::object float_mod(const Call& c) {
    need(c, 2);
    return py_float(num::float_mod(as_double(c.args[0]), as_double(c.args[1])));
}
py::object binary(const Call& c) {
    need(c, 2);
    return py::str(num::binary(arg_i64(c, 0), static_cast<int>(arg_i64(c, 1))));
}
py::object hex(const Call& c) { need(c, 1); return py::str(num::hex(arg_i64(c, 0))); }
py::object fits_int64(const Call& c) { need(c, 1); return py::bool_(num::fits_int64(as_double(c.args[0]))); }
py::object tag(const Call& c) { need(c, 0); return new_tag_str(); }

py::object round_(const Call& c) { need(c, 1); return py_round(c.args[0]); }
py::object fdiv(const Call& c) { need(c, 2); return py_floordiv(c.args[0], c.args[1]); }
py::object mod(const Call& c) { need(c, 2); return py_mod(c.args[0], c.args[1]); }
py::object field(const Call& c) { need(c, 1); return py::str(field_text(c.args[0])); }
py::object hex_(const Call& c) { need(c, 1); return py_hex(c.args[0]); }
template <class F>
py::object appended(F f) {
    std::string s("<");
    f(s);
    return py::str(s);
}
py::object app_str(const Call& c) { need(c, 1); return appended([&](std::string& s) { append_str(s, c.args[0]); }); }
py::object app_round(const Call& c) {
    need(c, 1);
    return appended([&](std::string& s) { append_round(s, as_double(c.args[0])); });
}
py::object app_binary(const Call& c) {
    need(c, 2);
    return appended([&](std::string& s) { append_binary(s, c.args[0], static_cast<int>(arg_i64(c, 1))); });
}
py::object app_hex(const Call& c) { need(c, 1); return appended([&](std::string& s) { append_hex(s, c.args[0]); }); }

// f(a, b, c=3, **kw) -> (a, b, c, kw)
py::object bind_kw(const Call& c) {
    static const Signature sig("f", {"a", "b", "c"}, 2, Signature::VarKw, {py::int_(3).release()});
    auto b = bind<3>(sig, c);
    return py::make_tuple(b[0], b[1], b[2], b.kwargs);
}
// g(a, *args) -> (a, args)
py::object bind_var(const Call& c) {
    static const Signature sig("g", {"a"}, 1, Signature::VarPos);
    auto b = bind<1>(sig, c);
    return py::make_tuple(b[0], b.varargs);
}
// h(x, y, z) -> (float(y), int(z)), x an exact list
py::object checks(const Call& c) {
    static const Signature sig("h", {"x", "y", "z"}, 3);
    auto b = bind<3>(sig, c);
    check_list(b[0], "x");
    return py::make_tuple(to_float_arg(b[1]), to_int_arg(b[2], "z"));
}
py::object list_result(const Call& c) { need(c, 1); return check_list_result(py::reinterpret_borrow<py::object>(c.args[0])); }

// A class exercising every kind of member.
py::object demo_init(const Call& c) {
    static const Signature sig("__init__", {"self"}, 1, Signature::VarKw);
    auto b = bind<1>(sig, c);
    setattr(b[0], TVK_NAME("value"), py::int_(1));
    return py::none();
}
py::object demo_get(py::handle self) { return getattr(self, TVK_NAME("value")); }
void demo_set(py::handle self, py::handle v) { setattr(self, TVK_NAME("value"), v); }
py::object demo_static(const Call& c) { return py::int_(c.nargs); }
py::object demo_class(const Call& c) { return py::reinterpret_borrow<py::object>(c.args[0]); }
py::object demo_abstract(const Call&) { return py::str("body"); }
py::object demo_defining(const Call& c) { return py::reinterpret_borrow<py::object>(c.cls); }
py::object copy_(const Call& c) { need(c, 1); return shallow_copy(c.args[0]); }

// The class Demo: every kind of member.
py::object make_demo_class(const std::string& mod) {
    py::object abc_meta = py::module_::import("abc").attr("ABCMeta");
    return ClassBuilder("Demo", mod)
        .metaclass(abc_meta)
        .method("__init__", method<demo_init>())
        .property("value_ro", tvk::getter<demo_get>())
        .property("value_rw", tvk::getter<demo_get>(), tvk::setter<demo_set>())
        .staticmethod("count", method<demo_static>())
        .classmethod("klass", method<demo_class>())
        .method("defining", method<demo_defining>())
        .abstract_method("must", method<demo_abstract>())
        .attr("CONST", py::int_(7))
        .build();
}
// make_demo(): a new class Demo, for tests that break its members.
py::object make_demo(const Call& c) {
    need(c, 0);
    return make_demo_class("_common_probe");
}
// clear(obj): what the cycle collector does to obj before freeing it.
py::object clear(const Call& c) {
    need(c, 1);
    inquiry f = Py_TYPE(c.args[0])->tp_clear;
    if (f && f(c.args[0]) < 0) throw py::error_already_set();
    return py::none();
}
// gate_opens(obj, name): True when this module's gate for one step, any
// method of the shared layer, lets a direct path call obj.name's entry.
py::object gate_opens(const Call& c) {
    need(c, 2);
    // Names of steps live for the process, as the modules' own do.
    const char* text = PyUnicode_AsUTF8(c.args[1]);
    if (!text) throw py::error_already_set();
    OwnSteps<1> gate({any_method(intern(text))});
    return py::bool_(gate.open(c.args[0]).has_value());
}
// pin_holds(member, change): whether `member`, pinned before change() runs,
// is still trusted after it.
py::object pin_holds(const Call& c) {
    need(c, 2);
    const PinnedFunction pin(c.args[0]);
    call(c.args[1]);
    return py::bool_(pin.is(c.args[0]));
}
// instance_tests(pairs): [is_instance(obj, cls) for obj, cls in pairs], all
// asked inside one instance-test scope.
py::object instance_tests(const Call& c) {
    need(c, 1);
    InstanceTestScope scope;
    py::list out;
    for_each(c.args[0], [&](py::handle pair) {
        py::object obj = steal(PySequence_GetItem(pair.ptr(), 0));
        py::object cls = steal(PySequence_GetItem(pair.ptr(), 1));
        out.append(py::bool_(is_instance(obj, cls)));
    });
    return std::move(out);
}
// insides(): (compiled in, used, (major, minor) built for).
py::object insides_state(const Call& c) {
    need(c, 0);
    return py::make_tuple(insides::kCompiled, insides::usable(), py::make_tuple(PY_MAJOR_VERSION, PY_MINOR_VERSION));
}
py::object raise_cpp(const Call&) { throw std::out_of_range("index past the end"); }

// unpack(obj, n): `a, b, ... = obj` into a tuple of n values.
py::object unpack_(const Call& c) {
    need(c, 2);
    const auto n = static_cast<std::size_t>(arg_i64(c, 1));
    std::vector<py::object> out(n);
    unpack(c.args[0], out.data(), n);
    py::object t = steal(PyTuple_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t i = 0; i < n; ++i) PyTuple_SET_ITEM(t.ptr(), i, out[i].release().ptr());
    return t;
}
// call(fn, *args) through the shared call helper.
py::object call_(const Call& c) {
    if (c.nargs < 1) raise_argtuple_invalid("call", false, 1, 1, c.nargs);
    switch (c.nargs - 1) {
        case 0: return call(c.args[0]);
        case 1: return call(c.args[0], {c.args[1]});
        case 8: return call(c.args[0], {c.args[1], c.args[2], c.args[3], c.args[4], c.args[5], c.args[6],
                                        c.args[7], c.args[8]});
        case 9: return call(c.args[0], {c.args[1], c.args[2], c.args[3], c.args[4], c.args[5], c.args[6],
                                        c.args[7], c.args[8], c.args[9]});
        default: throw std::invalid_argument("probe call: 0, 1, 8 or 9 arguments");
    }
}
py::object str_text_(const Call& c) { need(c, 1); return py::str(str_text(c.args[0])); }
py::object repr_text_(const Call& c) { need(c, 1); return py::str(repr_text(c.args[0])); }

}  // namespace

TVK_MODULE(_common_probe, m) {
    add_function(m, "float_repr", method<float_repr>());
    add_function(m, "round_half_even", method<round_half_even>());
    add_function(m, "floordiv", method<floordiv>());
    add_function(m, "floormod", method<floormod>());
    add_function(m, "float_floordiv", method<float_floordiv>());
    add_function(m, "float_mod", method<float_mod>());
    add_function(m, "binary", method<binary>());
    add_function(m, "hex", method<hex>());
    add_function(m, "fits_int64", method<fits_int64>());
    add_function(m, "tag", method<tag>());
    add_function(m, "py_round", method<round_>());
    add_function(m, "py_floordiv", method<fdiv>());
    add_function(m, "py_mod", method<mod>());
    add_function(m, "field_text", method<field>());
    add_function(m, "py_hex", method<hex_>());
    add_function(m, "append_str", method<app_str>());
    add_function(m, "append_round", method<app_round>());
    add_function(m, "append_binary", method<app_binary>());
    add_function(m, "append_hex", method<app_hex>());
    add_function(m, "bind_kw", method<bind_kw>());
    add_function(m, "bind_var", method<bind_var>());
    add_function(m, "checks", method<checks>());
    add_function(m, "list_result", method<list_result>());
    add_function(m, "raise_cpp", method<raise_cpp>());
    add_function(m, "unpack", method<unpack_>());
    add_function(m, "call", method<call_>());
    add_function(m, "str_text", method<str_text_>());
    add_function(m, "repr_text", method<repr_text_>());
    add_function(m, "shallow_copy", method<copy_>());
    add_function(m, "make_demo", method<make_demo>());
    add_function(m, "clear", method<clear>());
    add_function(m, "gate_opens", method<gate_opens>());
    add_function(m, "insides", method<insides_state>());
    add_function(m, "pin_holds", method<pin_holds>());
    add_function(m, "instance_tests", method<instance_tests>());
    const std::string mod = module_name(m);
    m.attr("Demo") = make_demo_class(mod);
    m.attr("Flags") = make_int_flag("Flags", mod.c_str(), "Flags", {{"A", 1}, {"B", 2}});
    m.attr("GenTagMixin") = make_gen_tag_mixin(mod.c_str());
}
