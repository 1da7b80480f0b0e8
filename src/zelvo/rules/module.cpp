// tarvok.zelvo._rules: the scheduling rules.
#include <pybind11/pybind11.h>

#include "rules.hpp"

namespace tvk::rules {
namespace {

// copy, np, functools and, as a star import makes them, the IR module's
// exports; the IR classes the rules use are taken from the IR module itself.
void import_names(py::module_& m) {
    m.attr("copy") = py::module_::import("copy");
    py::module_ ir = import_sibling(m, "_ir");
    star_import(m, ir);
    py::module_ np = py::module_::import("numpy");
    m.attr("np") = np;
    py::module_ functools = py::module_::import("functools");
    m.attr("functools") = functools;
    set_all(m, {"BaseRule", "BranchRule", "TimingRule", "EnvelopeRule", "AddJumpRule", "WitiRule", "ReTagRule",
                "PreConfigRule", "WtgAlign", "PlayDDRRule", "SelectJumpTypeRule"});

    Registry& r = reg();
    TVK_KEEP_EACH(r, ir, TVK_RULES_IR_CLASSES);
    r.np_frombuffer = keep(np, "frombuffer");
    r.np_ndarray = keep(np, "ndarray");
    r.np_asarray = keep(np, "asarray");
    r.np_zeros = keep(np, "zeros");
    r.np_concatenate = keep(np, "concatenate");
    r.update_wrapper = keep(functools, "update_wrapper");
}

}  // namespace
}  // namespace tvk::rules

TVK_MODULE(_rules, m) {
    using namespace tvk::rules;
    import_names(m);
    register_timing_functions(m);
    register_base(m);
    register_ordering(m);
    register_branch(m);
    register_play_ddr(m);
    register_timing(m);
    register_closing(m);
}
