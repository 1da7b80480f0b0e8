#include "dataclass_new.hpp"

#include "insides.hpp"
#include "keep.hpp"
#include "pinned.hpp"

#include <pybind11/pybind11.h>

#include <deque>
#include <vector>

namespace tvk {

namespace {

// One trusted __init__: its parameters in order, and for each keyword tuple
// seen so far, where each parameter's value stands in the call.
struct Plan {
    PinnedFunction init;            // with the code the parameters were read from
    std::vector<PyObject*> params;  // interned names, after self
    bool post_init;
    // kwnames -> value index per param. A deque: setting a field may run
    // code that makes records too, and entries in use must not move.
    std::deque<std::pair<PyObject*, std::vector<Py_ssize_t>>> orders;
};

std::deque<Plan>& plans() {
    static auto* p = new std::deque<Plan>();  // leaked: lives for the process
    return *p;
}

bool attr_true(py::handle obj, const char* name) {
    PyObject* v = PyObject_GetAttrString(obj.ptr(), name);
    if (!v) throw py::error_already_set();
    int t = PyObject_IsTrue(v);
    Py_DECREF(v);
    if (t < 0) throw py::error_already_set();
    return t != 0;
}

// The value positions of the plan's parameters in a call with `kwnames`, or
// nullptr when the keywords are not exactly the parameters.
const std::vector<Py_ssize_t>* order_for(Plan& plan, PyObject* kwnames) {
    for (auto& [names, order] : plan.orders)
        if (names == kwnames) return &order;
    Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    if (n != static_cast<Py_ssize_t>(plan.params.size())) return nullptr;
    std::vector<Py_ssize_t> order;
    for (PyObject* p : plan.params) {
        Py_ssize_t at = -1;
        for (Py_ssize_t i = 0; i < n; ++i)
            if (PyTuple_GET_ITEM(kwnames, i) == p) at = i;
        if (at < 0) return nullptr;
        order.push_back(at);
    }
    plan.orders.emplace_back(Py_NewRef(kwnames), std::move(order));
    return &plan.orders.back().second;
}

}  // namespace

void trust_dataclass_init(py::handle cls) {
    PyObject* init = PyDict_GetItemString(reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_dict, "__init__");
    if (!init || !PyFunction_Check(init)) return;
    py::object held = borrow(init);  // the calls below run Python code
    py::object params = py::reinterpret_borrow<py::object>(cls).attr("__dataclass_params__");
    if (!attr_true(params, "init") || attr_true(params, "frozen")) return;
    // Every field must be a parameter of __init__, in order, and nothing else.
    py::object fields = py::module_::import("dataclasses").attr("fields")(cls);
    // Pinned before the code is read, and the code held: the reads of the
    // fields below run Python code, which may give __init__ another code.
    Plan plan{PinnedFunction(init), {}, false, {}};
    py::object held_code = borrow(PyFunction_GET_CODE(init));
    auto* code = reinterpret_cast<PyCodeObject*>(held_code.ptr());
    if (code->co_kwonlyargcount != 0 || (code->co_flags & (CO_VARARGS | CO_VARKEYWORDS))) return;
    py::object varnames = py::reinterpret_steal<py::object>(PyCode_GetVarnames(code));
    if (!varnames) throw py::error_already_set();
    Py_ssize_t nparams = code->co_argcount - 1;
    if (nparams != static_cast<Py_ssize_t>(py::len(fields))) return;
    Py_ssize_t i = 1;
    for (py::handle f : fields) {
        if (!attr_true(f, "init")) return;
        py::object name = f.attr("name");
        if (!PyUnicode_Check(name.ptr()) ||
            PyUnicode_Compare(name.ptr(), PyTuple_GET_ITEM(varnames.ptr(), i)) != 0)
            return;
        plan.params.push_back(intern(PyUnicode_AsUTF8(name.ptr())));
        ++i;
    }
    int calls_post = PySequence_Contains(code->co_names, TVK_NAME("__post_init__"));
    if (calls_post < 0) throw py::error_already_set();
    plan.post_init = calls_post != 0;
    plans().push_back(std::move(plan));
}

py::object new_dataclass(py::handle cls, PyObject* kwnames, PyObject* const* values) {
    PyObject* c = cls.ptr();
    if (Py_IS_TYPE(c, &PyType_Type)) {
        auto* tp = reinterpret_cast<PyTypeObject*>(c);
        if (tp->tp_new == PyBaseObject_Type.tp_new) {
            PyObject* init = insides::type_lookup(tp, TVK_NAME("__init__"));
            for (Plan& plan : plans()) {
                // The same function, still with the code its parameters
                // were read from (a replaced __code__ is called instead).
                if (!plan.init.is(init)) continue;
                const std::vector<Py_ssize_t>* order = order_for(plan, kwnames);
                if (!order) break;
                static PyObject* const no_args = keep_new(PyTuple_New(0));
                py::object obj = steal(PyBaseObject_Type.tp_new(tp, no_args, nullptr));
                for (std::size_t k = 0; k < plan.params.size(); ++k)
                    if (PyObject_SetAttr(obj.ptr(), plan.params[k], values[(*order)[k]]) < 0)
                        throw py::error_already_set();
                if (plan.post_init) call_method(obj, TVK_NAME("__post_init__"));
                return obj;
            }
        }
    }
    return steal(PyObject_Vectorcall(c, values, 0, kwnames));
}

}  // namespace tvk
