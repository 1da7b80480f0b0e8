// tarvok.zelvo._optimizations: the passes between the checkers and the
// translator.
#include <pybind11/pybind11.h>

#include "optimizations.hpp"

namespace tvk::optimizations {

py::object item_at(py::handle seq, Py_ssize_t i, Py_ssize_t fixed_len) {
    PyObject* s = seq.ptr();
    if (PyList_CheckExact(s)) {
        if (i >= PyList_GET_SIZE(s)) return py::object();
        return py::reinterpret_borrow<py::object>(PyList_GET_ITEM(s, i));
    }
    if (i >= fixed_len) return py::object();
    py::object idx = steal(PyLong_FromSsize_t(i));
    return steal(PyObject_GetItem(s, idx.ptr()));
}

}  // namespace tvk::optimizations

TVK_MODULE(_optimizations, m) {
    using namespace tvk;
    using namespace tvk::optimizations;
    m.attr("copy") = py::module_::import("copy");
    // The IR module's exports become module globals, as a star import makes them.
    py::module_ ir = import_sibling(m, "_ir");
    star_import(m, ir);
    keep_each(ir, reg().cats, kCatNames);
    register_base(m);
    register_amp(m);
    register_ddr(m);
    set_all(m, {"BaseOptimizer", "JumpImmOptimizer", "PlyiAmpOptimizer", "PlayDDROptimizer"});
}
