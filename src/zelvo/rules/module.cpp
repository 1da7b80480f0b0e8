// tarvok.zelvo._rules: the scheduling rules.
#include "rules.hpp"

namespace {

constexpr const char* kAll[] = {"BaseRule",  "BranchRule", "TimingRule",  "EnvelopeRule",
                                "AddJumpRule", "WitiRule", "ReTagRule",   "PreConfigRule",
                                "WtgAlign",  "PlayDDRRule", "SelectJumpTypeRule"};

}  // namespace

TVK_MODULE(_rules, m) {
    namespace py = pybind11;
    using namespace tvk::rules;
    using tvk::keep;
    m.attr("copy") = py::module_::import("copy");
    // The IR module's exports become module globals, as a star import makes them.
    py::module_ ir = tvk::import_sibling(m, "_ir");
    tvk::star_import(m, ir);
    py::module_ np = py::module_::import("numpy");
    m.attr("np") = np;
    py::module_ functools = py::module_::import("functools");
    m.attr("functools") = functools;
    py::list all;
    for (const char* name : kAll) all.append(py::str(name));
    m.attr("__all__") = all;

    // The IR classes are taken from the IR module itself, once.
    Registry& r = reg();
    r.PreIR = keep(ir, "PreIR");
    r.UnfixIR = keep(ir, "UnfixIR");
    r.FixIR = keep(ir, "FixIR");
    r.OverlapIR = keep(ir, "OverlapIR");
    r.FakeIR = keep(ir, "FakeIR");
    r.ReconstitutionIR = keep(ir, "ReconstitutionIR");
    r.LoadDDRIR = keep(ir, "LoadDDRIR");
    r.IREnvelope = keep(ir, "IREnvelope");
    r.IRWait = keep(ir, "IRWait");
    r.IRWaitTrig = keep(ir, "IRWaitTrig");
    r.IRJumpConditional = keep(ir, "IRJumpConditional");
    r.IRNop = keep(ir, "IRNop");
    r.IRDelay = keep(ir, "IRDelay");
    r.IRWaitDDR = keep(ir, "IRWaitDDR");
    r.IRJumpImmNormal = keep(ir, "IRJumpImmNormal");
    r.np_frombuffer = keep(np, "frombuffer");
    r.update_wrapper = keep(functools, "update_wrapper");

    register_timing_functions(m);
    register_base(m);
    register_ordering(m);
    register_branch(m);
    register_play_ddr(m);
    register_timing(m);
    register_closing(m);
}
