#include "visitor.hpp"

#include "direct.hpp"
#include "pyops.hpp"
#include "recursion.hpp"

namespace tvk {

namespace {

// "visit_" + the class name, interned so that the lookups hit the type
// caches; remembered by the class name's text, the first 1024 names kept
// for the process (`kept`), any later one made anew each time.
py::object visitor_name(py::handle node, bool& kept) {
    static PyObject* const names = PyDict_New();  // kept for the process
    kept = false;
    py::object cls = getattr(node, TVK_NAME("__class__"));
    py::object cls_name = getattr(cls, TVK_NAME("__name__"));
    const bool text = PyUnicode_CheckExact(cls_name.ptr());
    if (text) {
        if (PyObject* known = PyDict_GetItemWithError(names, cls_name.ptr())) {
            kept = true;
            return py::reinterpret_borrow<py::object>(known);
        }
        if (PyErr_Occurred()) throw py::error_already_set();
    }
    PyObject* raw = PyUnicode_Concat(TVK_NAME("visit_"), cls_name.ptr());
    if (!raw) throw py::error_already_set();
    PyUnicode_InternInPlace(&raw);
    py::object name = steal(raw);
    if (text && PyDict_GET_SIZE(names) < 1024) {
        if (PyDict_SetItem(names, cls_name.ptr(), name.ptr()) < 0) throw py::error_already_set();
        kept = true;
    }
    return name;
}

}  // namespace

py::object node_visit(py::handle self, py::handle node, const PinnedFunction& own) {
    static OwnSteps<1, NoExtra> own_visit({own_object(TVK_NAME("visit"), own)});
    if (!own_visit.open(self.ptr())) return call_method(self, TVK_NAME("visit"), {node});
    RecursionGuard guard(" while visiting a kernel");
    bool kept = false;
    py::object name = visitor_name(node, kept);
    // A visitor of this layer's own, not shadowed by the instance: called as
    // the bound method would call it, without making one. Only for a name
    // kept for the process, which the gate's memos may remember by address.
    if (kept)
        if (MethodEntry own = Instance(self.ptr()).own_member(name.ptr())) {
            py::object cell = py::reinterpret_borrow<py::object>(own.cell);  // held while it runs
            PyObject* args[2] = {self.ptr(), node.ptr()};
            return steal(own.fn(cell.ptr(), args, 2, nullptr));
        }
    py::object visitor = lookup_attr(self, name.ptr());
    if (!visitor) visitor = getattr(self, TVK_NAME("generic_visit"));
    return steal(PyObject_CallOneArg(visitor.ptr(), node.ptr()));
}

}  // namespace tvk
