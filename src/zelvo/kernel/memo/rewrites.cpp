// Calls the library rewrote: a new Call whose fields are those of the call as
// written but for a new callee Name(id=name, ctx=Load()). While the rewrite,
// its callee and the call as written stay as they were made, the rewrite's
// structure is the call's with that callee, so its evaluations are known by
// the call as written and the callee's name (seen.cpp).
//
// Relies on: the version tags of the dicts involved and of the Name and Load
// classes, which change with any change (none are read in the generic
// build, where nothing is recorded). The two records are replaced whole, the
// one replaced let go last, and every reader takes what it needs of them
// before Python code can run again: a nested call only finds another record.
#include "memo.hpp"

#include <utility>

namespace tvk::kernel::memo {

namespace {

unsigned class_version(PyObject* cls) { return insides::type_version(reinterpret_cast<PyTypeObject*>(cls)); }

struct Rewrite {
    py::object copy, original, callee, ctx;
    PyObject* copy_dict = nullptr;
    std::uint64_t copy_version = 0;
    PyObject* callee_dict = nullptr;
    std::uint64_t callee_version = 0;
    PyObject* original_dict = nullptr;
    std::uint64_t original_version = 0;
    unsigned name_version = 0, load_version = 0;

    // `node` is that rewrite, and neither it, its callee nor the call as
    // written has changed since: its fields but the callee are the very
    // objects of the call as written. Runs no Python code.
    bool of(PyObject* node) const {
        if (!copy || node != copy.ptr() || Py_TYPE(node) != Py_TYPE(original.ptr())) return false;
        if (node_dict(node) != copy_dict || insides::dict_version(copy_dict) != copy_version) return false;
        if (node_dict(original.ptr()) != original_dict || insides::dict_version(original_dict) != original_version)
            return false;
        if (Py_TYPE(callee.ptr()) != reinterpret_cast<PyTypeObject*>(reg().Name) ||
            node_dict(callee.ptr()) != callee_dict || insides::dict_version(callee_dict) != callee_version)
            return false;
        if (Py_TYPE(ctx.ptr()) != reinterpret_cast<PyTypeObject*>(reg().Load)) return false;
        if (!name_version || class_version(reg().Name) != name_version || class_version(reg().Load) != load_version)
            return false;
        PyObject* ctx_dict;
        return node_dict(ctx.ptr(), ctx_dict) && (!ctx_dict || PyDict_GET_SIZE(ctx_dict) == 0);
    }
    // The callee's name (borrowed), read only once `of` said yes.
    PyObject* callee_name() const { return PyDict_GetItem(callee_dict, TVK_NAME("id")); }
};

// The last call rewritten, and the last one the library's own
// _zv_func_precall handed back as it was made.
Rewrite& draft_rewrite() {
    static auto* r = new Rewrite();
    return *r;
}
Rewrite& last_rewrite() {
    static auto* r = new Rewrite();
    return *r;
}

// ast.Load(): made as the type makes it while its construction is the one
// every node class has (which, given no argument, sets nothing).
py::object new_load() {
    auto* load = reinterpret_cast<PyTypeObject*>(reg().Load);
    auto* base = reinterpret_cast<PyTypeObject*>(reg().AST);
    if (load->tp_new != base->tp_new || load->tp_init != base->tp_init) return steal(PyObject_CallNoArgs(reg().Load));
    return steal(load->tp_alloc(load, 0));
}

}  // namespace

Evaluation evaluation_of(py::handle node, int flags) {
    Evaluation e;
    e.flags = flags;
    const Rewrite& r = last_rewrite();
    if (r.of(node.ptr())) {
        e.node = r.original;
        e.rewritten = true;
        e.callee_name = borrow(r.callee_name());
    } else {
        e.node = borrow(node);
    }
    return e;
}

bool still_rewrite(const Evaluation& e, py::handle node) {
    if (!e.rewritten) return true;
    const Rewrite& r = last_rewrite();
    return r.of(node.ptr()) && r.original.ptr() == e.node.ptr() && r.callee_name() == e.callee_name.ptr();
}

void forget_rewrites() {
    Rewrite draft, last;
    std::swap(draft_rewrite(), draft);
    std::swap(last_rewrite(), last);
}

}  // namespace tvk::kernel::memo

namespace tvk::kernel {

py::object rewritten_call(py::handle node, py::handle name) {
    using memo::node_dict;
    PyTypeObject* tp = Py_TYPE(node.ptr());
    PyObject* original_dict = node_dict(node.ptr());
    // Watched only for a call of the parser's classes whose dict holds str
    // keys alone (so that no key's __eq__ runs while it is copied and set).
    const bool watch = insides::usable() && memo::is_node_type(tp) && original_dict &&
                       insides::str_keys_only(original_dict) && PyUnicode_CheckExact(name.ptr());
    const std::uint64_t original_version = watch ? insides::dict_version(original_dict) : 0;
    py::object copy = copy_node(node);
    py::object fields = steal(PyDict_New());
    py::object ctx = memo::new_load();
    if (PyDict_SetItem(fields.ptr(), TVK_NAME("id"), name.ptr()) < 0 ||
        PyDict_SetItem(fields.ptr(), TVK_NAME("ctx"), ctx.ptr()) < 0)
        throw py::error_already_set();
    py::object callee = node_with_dict(reinterpret_cast<PyTypeObject*>(reg().Name), fields);
    setattr(copy, TVK_NAME("func"), callee);
    memo::Rewrite next;
    PyObject* copy_dict = node_dict(copy.ptr());
    if (watch && copy_dict && node_dict(node.ptr()) == original_dict &&
        insides::dict_version(original_dict) == original_version) {
        next.copy = copy;
        next.original = borrow(node);
        next.callee = callee;
        next.ctx = ctx;
        next.copy_dict = copy_dict;
        next.copy_version = insides::dict_version(copy_dict);
        next.callee_dict = fields.ptr();
        next.callee_version = insides::dict_version(fields.ptr());
        next.original_dict = original_dict;
        next.original_version = original_version;
        next.name_version = insides::tagged_type_version(reinterpret_cast<PyTypeObject*>(reg().Name));
        next.load_version = insides::tagged_type_version(reinterpret_cast<PyTypeObject*>(reg().Load));
    }
    // The rewrite replaced is let go last: its release may run Python code.
    std::swap(memo::draft_rewrite(), next);
    return copy;
}

void note_rewrite(py::handle copy) {
    memo::Rewrite next;
    if (memo::draft_rewrite().of(copy.ptr())) next = memo::draft_rewrite();
    std::swap(memo::last_rewrite(), next);
}

}  // namespace tvk::kernel
