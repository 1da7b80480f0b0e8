// tarvok.zelvo._errors: the error classes of the checkers' records. The
// kernel raises a record's class with one text, and prints its __name__.
#include "common/module.hpp"
#include "common/pyclass.hpp"

TVK_MODULE(_errors, m) {
    namespace py = pybind11;
    m.doc() = "Error classes of the checkers' records.";
    const std::string mod = tvk::module_name(m);
    py::list all;
    for (const char* name : {"TimingError", "PlayError", "CaptureError"}) {
        m.attr(name) = tvk::make_exception(name, mod.c_str(), PyExc_Exception);
        all.append(py::str(name));
    }
    m.attr("__all__") = all;
}
