// tarvok.zelvo._optimizations: the passes between the checkers and the
// translator.
#include "optimizations.hpp"

namespace tvk::optimizations {

Registry& reg() {
    static auto* r = new Registry();
    return *r;
}

py::object define_class(py::module_& m, const char* name, PyObject* base, void (*fill)(ClassBuilder&)) {
    ClassBuilder b(name, kModule);
    if (base) b.base(base);
    fill(b);
    py::object cls = b.build();
    m.attr(name) = cls;
    return cls;
}

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
    for (int k = 0; k < kNumCats; ++k) reg().cats[k] = keep(ir, kCatNames[k]);
    register_base(m);
    register_amp(m);
    register_ddr(m);
    py::list all;
    for (const char* name : {"BaseOptimizer", "JumpImmOptimizer", "PlyiAmpOptimizer", "PlayDDROptimizer"})
        all.append(py::str(name));
    m.attr("__all__") = all;
}
