// tarvok.zelvo._checkers: the checkers that hold a scheduled instruction list
// to the instrument's limits and return error records.
#include <pybind11/pybind11.h>

#include "checkers.hpp"

#include "common/init_slot.hpp"

namespace tvk::checkers {
namespace {

// from ._ir import *; import copy; from ._errors import TimingError,
// PlayError, CaptureError. The package is the one this module was loaded
// from.
void import_names(py::module_& m) {
    std::string name = module_name(m);
    std::string package = name.substr(0, name.rfind('.'));
    star_import(m, import_sibling(m, "_ir"));
    m.attr("copy") = py::module_::import("copy");

    std::string errors_name = package + "._errors";
    py::module_ errors = py::module_::import(errors_name.c_str());
    for (const char* n : {"TimingError", "PlayError", "CaptureError"}) {
        PyObject* v = PyObject_GetAttrString(errors.ptr(), n);
        if (!v) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
            PyErr_Clear();
            py::object file = py::getattr(errors, "__file__", py::str("unknown location"));
            std::string msg = std::string("cannot import name '") + n + "' from '" + errors_name + "' (" +
                              std::string(py::str(file)) + ")";
            py::object text = make_str(msg);
            py::object mod = make_str(errors_name);
            PyErr_SetImportError(text.ptr(), mod.ptr(), file.ptr());
            throw py::error_already_set();
        }
        m.attr(n) = py::reinterpret_steal<py::object>(v);
    }
}

void init_registry(py::module_& m) {
    Registry& r = reg();
    r.module_dict = keep(m, "__dict__");
    r.abc_meta = keep(py::module_::import("abc").attr("ABCMeta"));
    PyObject* cls_attr = insides::type_lookup(&PyBaseObject_Type, TVK_NAME("__class__"));
    if (!cls_attr) throw std::runtime_error("object has no __class__");
    r.object_class = Py_NewRef(cls_attr);
    py::module_ np = py::module_::import("numpy");
    r.np_ndarray = keep(np, "ndarray");
    r.np_floating = keep(np, "floating");
    r.np_abs = keep(np, "abs");
    r.np_asarray = keep(np, "asarray");
    r.np_float64 = keep(np.attr("float64"));
}

}  // namespace
}  // namespace tvk::checkers

TVK_MODULE(_checkers, m) {
    using namespace tvk::checkers;
    m.doc() = "Checkers of the scheduled instruction list and their error records.";
    init_registry(m);
    import_names(m);
    register_records(m);
    register_overlap(m);
    register_envelopes(m);
    register_limits(m);
    register_order(m);
    tvk::set_all(m, {"BaseChecker", "OverlapChecker", "EnvelopeChecker", "TwoCapiChecker", "SequenceChecker",
                     "PlyChecker", "DrstChecker", "CapiChecker", "FmsiChecker", "IRNumberChecker", "WaveformChecker",
                     "ProtChecker", "EmptyWtgChecker"});
    // A run makes each checker anew: their __init__ is entered without the
    // generic call in between.
    for (pybind11::handle name : pybind11::list(m.attr("__all__"))) tvk::direct_init_slot(m.attr(name));
}
