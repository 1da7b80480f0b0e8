// The gate of every memo: whether a standard-library step is still the one
// the module found at load, and the node classes and lookups the memos take
// from the modules then.
//
// Relies on: a step is what its function does, and a function does what its
// code, defaults and keyword defaults say (its globals and closure cannot be
// replaced; one with a closure is never trusted). So a step is its own while
// the kernel namespace names the module found at load, that module holds
// the function found then, and the function still has the code and
// defaults it had then. A dict's version tag changes with every change of
// the dict, so while both tags read for the last yes stand, only the
// function needs asking again; without tags every question is asked anew.
#include "memo.hpp"

#include <pybind11/pybind11.h>

#include <stdexcept>

namespace tvk::kernel::memo {

PyObject* Memo::get(PyObject* key) const {
    if (!dict_) return nullptr;
    PyObject* v = PyDict_GetItemWithError(dict_, key);
    if (!v && PyErr_Occurred()) throw py::error_already_set();
    return v;
}

void Memo::put(PyObject* key, PyObject* value) {
    if (!dict_) dict_ = steal(PyDict_New()).release().ptr();
    py::object gone;  // let go last: its release may run Python code
    if (PyDict_GET_SIZE(dict_) >= limit_) {
        Py_ssize_t pos = 0;
        PyObject *oldest, *oldest_value;
        if (insides::dict_next(dict_, &pos, &oldest, &oldest_value)) {
            py::object k = borrow(oldest);
            gone = borrow(oldest_value);
            if (PyDict_DelItem(dict_, k.ptr()) < 0) throw py::error_already_set();
        }
    }
    if (PyDict_SetItem(dict_, key, value) < 0) throw py::error_already_set();
}

void TypeSet::insert(const PyTypeObject* tp) {
    if (count_ * 2 >= slots_.size()) grow();
    place(tp, Slot());
}

void TypeSet::place(const PyTypeObject* tp, const Slot& from) {
    std::size_t i = index(tp);
    while (slots_[i].tp && slots_[i].tp != tp) i = (i + 1) & (slots_.size() - 1);
    if (!slots_[i].tp) ++count_;
    slots_[i] = from;
    slots_[i].tp = tp;
}

void TypeSet::grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 256 : old.size() * 2, Slot{});
    count_ = 0;
    for (const Slot& s : old)
        if (s.tp) place(s.tp, s);
}

Originals& orig() {
    static auto* o = new Originals();
    return *o;
}

PyObject* class_names(PyTypeObject* tp, PyObject* which) {
    PyObject* t = insides::type_lookup(tp, which);
    if (!t || !PyTuple_CheckExact(t)) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(t); ++i)
        if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(t, i))) return nullptr;
    return t;
}

PyObject* slot_fields(TypeSet::Slot* slot, PyTypeObject* tp, unsigned& version) {
    version = insides::type_version(tp);
    if (version && slot->version == version) return slot->fields;
    PyObject* fields = class_names(tp, TVK_NAME("_fields"));
    // The lookup gives the class a tag when it had none.
    version = insides::type_version(tp);
    if (version) {
        PyObject* old = slot->fields;
        slot->fields = Py_XNewRef(fields);
        slot->version = version;
        Py_XDECREF(old);
    }
    return fields;
}

namespace {

// `global_name` in the namespace `ns` is still the module `s` was read from,
// which still holds the function under its name, unchanged.
bool own_step(PyObject* ns, PyObject* global_name, Step& s) {
    if (!s.func()) return false;
    PyObject* module_dict = PyModule_GetDict(s.module);
    if (s.namespace_version && insides::dict_version(ns) == s.namespace_version &&
        insides::dict_version(module_dict) == s.module_version)
        return s.fn.unchanged();
    PyObject* m = PyDict_GetItemWithError(ns, global_name);
    if (!m) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return false;
    }
    if (m != s.module) return false;
    PyObject* f = PyDict_GetItemWithError(module_dict, s.name);
    if (!f && PyErr_Occurred()) throw py::error_already_set();
    if (!s.fn.is(f)) return false;
    s.namespace_version = insides::dict_version(ns);
    s.module_version = insides::dict_version(module_dict);
    return true;
}

// The step `name` of `module`, as found now; a function that is not a plain
// one (or has a closure) is kept unknown, so that its gate never opens.
Step find_step(py::handle module, const char* name) {
    Step s;
    s.module = keep(module);
    s.name = intern(name);
    if (!PyModule_CheckExact(module.ptr())) return s;
    py::object f = module.attr(name);
    if (Py_TYPE(f.ptr()) != &PyFunction_Type || PyFunction_GET_CLOSURE(f.ptr())) return s;
    s.fn = PinnedFunction(f.ptr());
    return s;
}

}  // namespace

bool own_getsource() { return own_step(reg().module_dict, TVK_NAME("inspect"), orig().getsource); }
bool own_parse() { return own_step(reg().module_dict, TVK_NAME("ast"), orig().parse); }
bool own_to_source() { return own_step(reg().module_dict, TVK_NAME("astor"), orig().to_source); }
bool own_linecache() {
    PyObject* ns = PyModule_GetDict(orig().getsource.module);
    return own_step(ns, TVK_NAME("linecache"), orig().checkcache) &&
           own_step(ns, TVK_NAME("linecache"), orig().getlines);
}

}  // namespace tvk::kernel::memo

namespace tvk::kernel {

py::object own_registry_table(py::handle registry) {
    memo::Originals& o = memo::orig();
    PyObject* cls = registry.ptr();
    // The class found at load, looked up by type's own attribute access, its
    // two lookups (builtins, whose behaviour nothing can replace) still the
    // ones it had.
    if (cls != o.kernel_function || Py_TYPE(cls)->tp_getattro != PyType_Type.tp_getattro) return py::object();
    auto* tp = reinterpret_cast<PyTypeObject*>(cls);
    if (insides::type_lookup(tp, TVK_NAME("has_func")) != o.has_func ||
        insides::type_lookup(tp, TVK_NAME("get_func")) != o.get_func)
        return py::object();
    return getattr(registry, TVK_NAME("_registry"));
}

void register_memo(py::module_& m) {
    memo::Originals& o = memo::orig();
    py::object inspect = m.attr("inspect"), ast = m.attr("ast"), astor = m.attr("astor");
    py::object linecache = inspect.attr("linecache");
    o.getsource = memo::find_step(inspect, "getsource");
    o.parse = memo::find_step(ast, "parse");
    o.to_source = memo::find_step(astor, "to_source");
    o.checkcache = memo::find_step(linecache, "checkcache");
    o.getlines = memo::find_step(linecache, "getlines");
    py::dict parser_classes = py::module_::import("_ast").attr("__dict__");
    for (auto item : parser_classes) {
        PyObject* v = item.second.ptr();
        if (PyType_Check(v) && PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(v),
                                                reinterpret_cast<PyTypeObject*>(reg().AST)))
            o.node_types.insert(reinterpret_cast<PyTypeObject*>(keep(v)));
    }
    o.kernel_function = keep(m.attr("KernelFunction"));
    auto* registry = reinterpret_cast<PyTypeObject*>(o.kernel_function);
    o.has_func = insides::type_lookup(registry, TVK_NAME("has_func"));
    o.get_func = insides::type_lookup(registry, TVK_NAME("get_func"));
    if (!o.has_func || !o.get_func) throw std::runtime_error("KernelFunction lacks has_func or get_func");
    keep(o.has_func);
    keep(o.get_func);
    o.fresh = steal(PySet_New(nullptr)).release().ptr();
}

}  // namespace tvk::kernel
