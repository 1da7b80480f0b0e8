// tarvok.zelvo._translate: program flattening and the two translators.
#include "translate.hpp"

namespace tvk::translate {

Registry& reg() {
    static auto* r = new Registry();
    return *r;
}

}  // namespace tvk::translate

TVK_MODULE(_translate, m) {
    using namespace tvk;
    using namespace tvk::translate;
    Registry& r = reg();
    py::module_ np = py::module_::import("numpy");
    m.attr("np") = np;
    r.np_frombuffer = keep(np, "frombuffer");
    m.attr("copy") = py::module_::import("copy");
    m.attr("TYPE_CHECKING") = py::module_::import("typing").attr("TYPE_CHECKING");
    py::module_ ir = import_sibling(m, "_ir");
    for (int k = 0; k < kNumCats; ++k) {
        r.cats[k] = keep(ir, kCatNames[k]);
        m.attr(kCatNames[k]) = py::handle(r.cats[k]);
    }
    py::object base_dict = ir.attr("IRBase").attr("__dict__");
    r.base_len = keep(base_dict["__len__"]);
    r.base_format = keep(base_dict["__format__"]);
    register_flatten(m);
    register_normal(m);
    register_ddr(m);
    py::list all;
    all.append(py::str("NormalTranslator"));
    all.append(py::str("PlayDDRTranslator"));
    m.attr("__all__") = all;
}
