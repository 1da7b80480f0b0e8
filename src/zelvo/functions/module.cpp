// tarvok.zelvo._functions: the kernel function library. Its export list is
// what a kernel reaches through `zv.`; it never exports the standard-library
// names the kernel module binds itself.
#include <pybind11/pybind11.h>

#include "functions.hpp"

TVK_MODULE(_functions, m) {
    namespace py = pybind11;
    using namespace tvk::functions;
    m.doc() = "Kernel function library: the functions kernels call through `zv.`.";
    py::list all;
    register_registry(m, all);
    register_markers(m, all);
    register_library(m, all);
    register_loops(m, all);
    // `numpy.f(...)` in a kernel finds numpy under its own name.
    export_name(m, all, "numpy", py::module_::import("numpy"));
    m.attr("__all__") = all;
}
