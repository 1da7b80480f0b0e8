// tarvok.zelvo._translate: program flattening and the two translators.
#include <pybind11/pybind11.h>

#include "translate.hpp"

namespace tvk::translate {
namespace {

// np, copy, TYPE_CHECKING and the instruction classes the translators test,
// bound as module globals.
void import_names(py::module_& m) {
    Registry& r = reg();
    py::module_ np = py::module_::import("numpy");
    m.attr("np") = np;
    r.np_frombuffer = keep(np, "frombuffer");
    m.attr("copy") = py::module_::import("copy");
    m.attr("TYPE_CHECKING") = py::module_::import("typing").attr("TYPE_CHECKING");
    py::module_ ir = import_sibling(m, "_ir");
    keep_each(ir, r.cats, kCatNames);
    for (int k = 0; k < kNumCats; ++k) m.attr(kCatNames[k]) = py::handle(r.cats[k]);
    py::object base_dict = ir.attr("IRBase").attr("__dict__");
    r.base_len = pin(base_dict["__len__"]);
    r.base_format = pin(base_dict["__format__"]);
}

}  // namespace
}  // namespace tvk::translate

TVK_MODULE(_translate, m) {
    using namespace tvk;
    using namespace tvk::translate;
    import_names(m);
    register_flatten(m);
    register_normal(m);
    register_ddr(m);
    set_all(m, {"NormalTranslator", "PlayDDRTranslator"});
}
