// tarvok.zelvo._ir: the instruction classes of the kernel compiler.
#include <pybind11/pybind11.h>

#include "ir.hpp"

#include "common/init_slot.hpp"

TVK_MODULE(_ir, m) {
    using namespace tvk;
    using namespace tvk::ir;
    register_config(m);
    register_base(m);
    register_categories(m);
    // Concrete classes in their published order.
    register_IRFrame(m);
    register_IRArbWaveform(m);
    register_IREnvelope(m);
    register_IRNop(m);
    register_IRProt(m);
    register_IRPth(m);
    register_IRDemodule(m);
    register_IRWaveform(m);
    register_IRFreqlist(m);
    register_IRWaitTrig(m);
    register_IRJumpImmediate(m);
    register_IRJumpImmTiming(m);
    register_IRTimingPlaceholder(m);
    register_IRJumpConditional(m);
    register_IRJumpInside(m);
    register_IRLoadDDRImm(m);
    register_IRPlayDDRImm(m);
    register_IRPlayImm(m);
    register_IRPlaycImm(m);
    register_IRCapture(m);
    register_IRWait(m);
    register_IRWaitPoints(m);
    register_IRDelay(m);
    register_IRFrameAdd(m);
    register_IRFrameRst(m);
    register_IRAdd(m);
    register_IRMov(m);
    register_IRNsw(m);
    register_IRNlw(m);
    register_IRJmov(m);
    register_IRWaitDDR(m);
    register_IRLoadEvent(m);
    register_IRClearEvent(m);
    register_IRJumpEvent(m);
    register_IRNativeLoop(m);
    register_IRLoop(m);
    register_IRPlaceholder(m);
    register_IRJumpImmNormal(m);

    // The export list in its published order; a name is listed once it exists.
    set_all(m,
            {"AssemblyError", "GenTagMixin", "IRBase", "PreIR", "zlv_config", "UnfixIR", "IRFrameRst",
             "IRWaitTrig", "FixIR", "OverlapIR", "ReconstitutionIR", "IRFrame", "IREnvelope", "IRNop",
             "IRDelay", "IRDemodule", "IRWaveform", "IRFreqlist", "IRProt", "IRPth", "IRMov", "IRJmov",
             "IRNsw", "IRNlw", "IRPlaceholder", "IRTimingPlaceholder", "IRPlaycImm", "IRJumpImmediate",
             "IRPlayImm", "IRCapture", "IRWait", "IRFrameAdd", "IRAdd", "FakeIR", "IRPlayDDRImm",
             "IRArbWaveform", "LoadDDRIR", "IRWaitDDR", "IRLoadDDRImm", "SimulationIR", "IRJumpInside",
             "IRLoadEvent", "IRJumpEvent", "IRClearEvent", "IRNativeLoop", "IRJumpImmNormal", "JumpImmIR",
             "IRWaitPoints", "IRLoop", "IRJumpConditional"},
            true);
    // Instructions are made by the thousand: their __init__ chain is entered
    // without the generic call in between.
    for (py::handle name : py::list(m.attr("__all__"))) direct_init_slot(m.attr(name));
}
