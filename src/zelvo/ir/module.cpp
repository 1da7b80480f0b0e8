// tarvok.zelvo._ir: the instruction classes of the kernel compiler.
#include "ir.hpp"

namespace {

// Export list in its published order; names not (yet) defined are left out.
constexpr const char* kAll[] = {
    "AssemblyError", "GenTagMixin", "IRBase", "PreIR", "zlv_config", "UnfixIR", "IRFrameRst",
    "IRWaitTrig", "FixIR", "OverlapIR", "ReconstitutionIR", "IRFrame", "IREnvelope", "IRNop",
    "IRDelay", "IRDemodule", "IRWaveform", "IRFreqlist", "IRProt", "IRPth", "IRMov", "IRJmov",
    "IRNsw", "IRNlw", "IRPlaceholder", "IRTimingPlaceholder", "IRPlaycImm", "IRJumpImmediate",
    "IRPlayImm", "IRCapture", "IRWait", "IRFrameAdd", "IRAdd", "FakeIR", "IRPlayDDRImm",
    "IRArbWaveform", "LoadDDRIR", "IRWaitDDR", "IRLoadDDRImm", "SimulationIR", "IRJumpInside",
    "IRLoadEvent", "IRJumpEvent", "IRClearEvent", "IRNativeLoop", "IRJumpImmNormal", "JumpImmIR",
    "IRWaitPoints", "IRLoop", "IRJumpConditional",
};

}  // namespace

PYBIND11_MODULE(_ir, m) {
    namespace py = pybind11;
    using namespace tvk::ir;
    register_config(m);
    register_base(m);
    register_categories(m);
    // Concrete classes in their published order.
    register_IRNop(m);
    register_IRAdd(m);
    register_IRMov(m);
    register_IRNsw(m);
    register_IRNlw(m);
    register_IRJmov(m);
    register_IRLoadEvent(m);
    register_IRClearEvent(m);

    py::list all;
    for (const char* name : kAll)
        if (py::hasattr(m, name)) all.append(py::str(name));
    m.attr("__all__") = all;
}
