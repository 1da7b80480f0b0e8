// tarvok.zelvo._errors: the error classes of the checkers' records. The
// kernel raises a record's class with one text, and prints its __name__.
#include <pybind11/pybind11.h>

#include "common/module.hpp"
#include "common/pyclass.hpp"

TVK_MODULE(_errors, m) {
    namespace py = pybind11;
    m.doc() = "Error classes of the checkers' records.";
    const std::string mod = tvk::module_name(m);
    for (const char* name : {"TimingError", "PlayError", "CaptureError"})
        tvk::publish(m, name, tvk::make_exception(name, mod.c_str(), PyExc_Exception));
    tvk::set_all(m, {"TimingError", "PlayError", "CaptureError"});
}
