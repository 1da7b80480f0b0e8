// The kernel function's definition: the first statement of the source names
// the kernel, binds its parameters and has its body lowered statement by
// statement.
#include "core.hpp"
#include "kernel.hpp"

#include "common/walk.hpp"

namespace tvk::kernel {

namespace {

// Concatenation of the list attributes `names` of `node`.
py::list joined(py::handle node, std::initializer_list<PyObject*> names) {
    py::list out;
    for (PyObject* n : names) extend(out, getattr(node, n));
    return out;
}

// Positional values as a list; an omitted collection binds as none.
py::list positional_values(py::handle args) {
    if (args.is_none()) return py::list();
    return steal(PySequence_List(args.ptr()));
}

// The body begins with a string constant: the function's documentation,
// which is no statement of the kernel.
bool docstring_first(py::handle function) {
    py::object first = first_of(function, TVK_NAME("body"));
    if (!first || !has_type(first, reg().Expr)) return false;
    py::object value = getattr(first, TVK_NAME("value"));
    return has_type(value, reg().Constant) && PyUnicode_Check(getattr(value, TVK_NAME("value")).ptr());
}

}  // namespace

// visit_Module(node): the first statement only.
py::object visit_Module(const Call& c) {
    static const Signature sig("visit_Module", {"self", "node"}, 2);
    auto b = bind<2>(sig, c);
    py::object body = getattr(b[1], TVK_NAME("body"));
    visit(b[0], steal(PySequence_GetItem(body.ptr(), 0)));
    return py::none();
}

py::object visit_FunctionDef(const Call& c) {
    static const Signature sig("visit_FunctionDef", {"self", "node"}, 2);
    auto b = bind<2>(sig, c);
    py::handle self = b[0], node = b[1];
    RecursionGuard guard(kLowering);
    setattr(self, TVK_NAME("name"), getattr(node, TVK_NAME("name")));
    visit(self, getattr(node, TVK_NAME("args")));
    py::object body = getattr(node, TVK_NAME("body"));
    if (docstring_first(node)) body = steal(PySequence_GetSlice(body.ptr(), 1, PY_SSIZE_T_MAX));
    visit_each(self, body);
    return py::none();
}

// A return ends nothing: the statements after it are lowered as well.
py::object visit_Return(const Call& c) {
    static const Signature sig("visit_Return", {"self", "node"}, 2);
    bind<2>(sig, c);
    return py::none();
}

// visit_arguments(node): binds the parameters from the last to the first.
// Each takes its positional value, else its keyword value, else its visited
// default, else None (a value of None counts as none), and is filed by the
// type its annotation names, at the parameter itself.
py::object visit_arguments(const Call& c) {
    static const Signature sig("visit_arguments", {"self", "node"}, 2);
    auto b = bind<2>(sig, c);
    py::handle self = b[0], node = b[1];
    py::list params = joined(node, {TVK_NAME("posonlyargs"), TVK_NAME("args"), TVK_NAME("kwonlyargs")});
    py::list defaults = joined(node, {TVK_NAME("defaults"), TVK_NAME("kw_defaults")});
    py::list values = positional_values(getattr(self, TVK_NAME("func_args")));
    py::object kwargs = getattr(self, TVK_NAME("func_kwargs"));
    const Py_ssize_t np = PyList_GET_SIZE(params.ptr());
    const Py_ssize_t nd = PyList_GET_SIZE(defaults.ptr());
    const Py_ssize_t nv = PyList_GET_SIZE(values.ptr());
    if (nv > np) {
        Py_ssize_t with_default = 0;
        for (Py_ssize_t i = 0; i < nd; ++i) with_default += PyList_GET_ITEM(defaults.ptr(), i) != Py_None;
        std::string name = text_of(formatted(getattr(self, TVK_NAME("name"))));
        std::string message = core::too_many_positional(name, np, with_default, nv);
        PyErr_SetObject(PyExc_TypeError, str_of(message).ptr());
        throw py::error_already_set();
    }
    for (Py_ssize_t step = 0; step < np; ++step) {
        py::handle param = PyList_GET_ITEM(params.ptr(), np - 1 - step);
        Py_ssize_t di = nd - 1 - step;
        py::handle fallback = di >= 0 ? py::handle(PyList_GET_ITEM(defaults.ptr(), di)) : py::handle(Py_None);
        // Values are padded at their end: parameter i meets value i.
        Py_ssize_t vi = np - 1 - step;
        py::object type_name = call_method(self, TVK_NAME("_get_annotation_type"), {param});
        py::object sym = getattr(param, TVK_NAME("arg"));
        py::object value = vi < nv ? py::reinterpret_borrow<py::object>(PyList_GET_ITEM(values.ptr(), vi))
                                   : py::none();
        if (value.is_none() && !kwargs.is_none() && contains(kwargs, sym)) value = table_item(kwargs, sym);
        if (value.is_none() && !fallback.is_none()) value = value_of(self, fallback);
        call_method(self, TVK_NAME("_set_variable_symbol"), {type_name, value, param, sym});
    }
    return py::none();
}

}  // namespace tvk::kernel
