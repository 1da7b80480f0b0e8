#include "visitor.hpp"

#include "direct.hpp"
#include "pyops.hpp"
#include "recursion.hpp"

namespace tvk {

namespace {

// "visit_" + the class name, interned so that the lookups hit the type
// caches; remembered by the class name's text.
py::object visitor_name(py::handle node) {
    static PyObject* const names = PyDict_New();  // kept for the process
    py::object cls = getattr(node, TVK_NAME("__class__"));
    py::object cls_name = getattr(cls, TVK_NAME("__name__"));
    const bool text = PyUnicode_CheckExact(cls_name.ptr());
    if (text) {
        if (PyObject* known = PyDict_GetItemWithError(names, cls_name.ptr())) return py::reinterpret_borrow<py::object>(known);
        if (PyErr_Occurred()) throw py::error_already_set();
    }
    PyObject* raw = PyUnicode_Concat(TVK_NAME("visit_"), cls_name.ptr());
    if (!raw) throw py::error_already_set();
    PyUnicode_InternInPlace(&raw);
    py::object name = steal(raw);
    if (text) {
        if (PyDict_GET_SIZE(names) >= 1024) PyDict_Clear(names);
        if (PyDict_SetItem(names, cls_name.ptr(), name.ptr()) < 0) throw py::error_already_set();
    }
    return name;
}

}  // namespace

py::object node_visit(py::handle self, py::handle node, PyObject* own) {
    static OwnSteps<1, NoExtra> own_visit({own_object(TVK_NAME("visit"), own)});
    if (!own_visit.open(self.ptr())) return call_method(self, TVK_NAME("visit"), {node});
    RecursionGuard guard(" while visiting a kernel");
    py::object visitor = lookup_attr(self, visitor_name(node).ptr());
    if (!visitor) visitor = getattr(self, TVK_NAME("generic_visit"));
    return steal(PyObject_CallOneArg(visitor.ptr(), node.ptr()));
}

}  // namespace tvk
