// The module's registry and helpers, and BaseRule, the root of every rule.
#include <pybind11/pybind11.h>

#include "rules.hpp"

namespace tvk::rules {

Count successor_cost(py::handle ir) {
    if (is_a(ir, reg().OverlapIR)) return cycles(ir, TVK_NAME("wait_time"));
    if (is_a(ir, reg().FakeIR)) return cycles(ir, TVK_NAME("irhead"));
    return cycles(ir, TVK_NAME("overhead"));
}

py::object trig_align_time(py::handle kwargs) {
    static PyObject* const twelve = keep_new(PyLong_FromLong(12));
    return kwarg(kwargs, TVK_NAME("trig_align_time"), twelve);
}

Bound<2> bind_order_ins(const Call& c) {
    static const Signature sig("order_ins", {"self", "ir_list"}, 2, Signature::VarKw);
    return bind<2>(sig, c);
}

void member(ClassBuilder& b, const char* cls, const char* name, MethodDef def, py::handle annotations) {
    function_member(b, cls, kModule, name, def, annotations);
}

void module_function(py::module_& m, const char* name, MethodDef def, py::handle annotations) {
    m.attr(name) = make_function(def.fn, py::none(), name, name, kModule, nullptr, annotations);
}

py::object list_annotations(std::initializer_list<const char*> list_args, bool returns_list) {
    py::handle list_type(reinterpret_cast<PyObject*>(&PyList_Type));
    py::dict d;
    for (const char* a : list_args) d[a] = list_type;
    if (returns_list) d["return"] = list_type;
    return std::move(d);
}

namespace {

// BaseRule(): the one field every rule carries; nothing reads it.
py::object base_init(const Call& c) {
    static const Signature sig("__init__", {"self"}, 1);
    auto b = bind<1>(sig, c);
    setattr(b[0], TVK_NAME("ir_list"), steal(PyList_New(0)));
    return py::none();
}

// A shallow copy of the list, keywords ignored.
py::object base_order_ins(const Call& c) {
    auto b = bind_order_ins(c);
    check_list(b[1], "ir_list");
    return steal(PyList_GetSlice(b.v[1], 0, PyList_GET_SIZE(b.v[1])));
}

}  // namespace

PyObject* define_rule(py::module_& m, const char* name, const std::function<void(ClassBuilder&)>& fill) {
    return define_class(m, kModule, name, {reg().BaseRule}, [&](ClassBuilder& b) {
        member(b, name, "__init__", reg().BaseRule ? entry<init_only>() : entry<base_init>());
        fill(b);
    });
}

void simple_rule(py::module_& m, const char* name, MethodDef order_ins, bool checks_list) {
    define_rule(m, name, [&](ClassBuilder& b) {
        member(b, name, "order_ins", order_ins,
               checks_list ? list_annotations({"ir_list"}, true) : list_annotations({}, true));
    });
}

NestedCall::NestedCall(py::handle self, py::handle kwargs, PyObject* flag)
    : self_(self), kwargs_(py::reinterpret_borrow<py::object>(kwargs)), flag_(flag) {
    Py_ssize_t n = PyDict_GET_SIZE(kwargs.ptr());
    kwnames_ = steal(PyTuple_New(n + 1));
    PyTuple_SET_ITEM(kwnames_.ptr(), 0, Py_NewRef(flag));
    stack_.assign(static_cast<size_t>(n) + 3, nullptr);
    stack_[0] = self.ptr();
    Py_ssize_t pos = 0, i = 1;
    PyObject *key, *value;
    while (PyDict_Next(kwargs.ptr(), &pos, &key, &value)) {
        PyTuple_SET_ITEM(kwnames_.ptr(), i, Py_NewRef(key));
        stack_[static_cast<size_t>(i) + 2] = value;
        ++i;
    }
}

py::object NestedCall::operator()(py::handle block, bool flag_value) {
    int dup = PyDict_Contains(kwargs_.ptr(), flag_);
    if (dup < 0) throw py::error_already_set();
    if (dup) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", "order_ins", flag_);
        throw py::error_already_set();
    }
    stack_[1] = block.ptr();
    stack_[2] = flag_value ? Py_True : Py_False;
    return steal(PyObject_VectorcallMethod(TVK_NAME("order_ins"), stack_.data(), 2, kwnames_.ptr()));
}

void register_base(py::module_& m) {
    simple_rule(m, "BaseRule", entry<base_order_ins>(), true);
    reg().BaseRule = keep(m, "BaseRule");
}

}  // namespace tvk::rules
