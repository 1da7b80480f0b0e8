// Module tarvok.compiler.ostrane: the binary command assembler.
#include "assembler.hpp"
#include "ostrane.hpp"

namespace tvk::assembler {
namespace {

// The export list, in its order; a name is listed only once it exists.
constexpr const char* kExports[] = {
    "AssemblyError", "GenTagMixin",     "Assembler",         "TVKCommand", "zlv_config",
    "QInsWait",      "QInsWaitTrig",    "QInsEnd",           "QInsFrame",  "QInsEnvelop",
    "QInsJumpWithJudge", "QInsJump",    "QInsJumpWithReg",   "QInsCapture", "QInsMov",
    "QInsIncPhase",  "QInsPlayZero",    "QInsPlayWave",      "QInsResetF",
};

void set_exports(py::module_& m) {
    py::list all;
    for (const char* name : kExports)
        if (py::hasattr(m, name)) all.append(py::str(name));
    m.attr("__all__") = all;
}

}  // namespace
}  // namespace tvk::assembler

TVK_MODULE(ostrane, m) {
    using namespace tvk::assembler;
    m.doc() = "Command records with their binary drive and probe words, and the assembler.";
    // Class order: every class after the ones it derives from or uses.
    register_config(m);          // imports, HAS_WAVEFORM, global_config, zlv_config, QNumber, AssemblyError, GenTagMixin
    register_bases(m);           // TVKCommand, _ProbeCommand
    register_drive_records(m);   // QInsWait ... QInsEnd
    register_envelope(m);        // QInsEnvelop
    register_capture(m);         // QInsCapture, _QInsPTrigDelay, _QInsPWaitTrig, _QInsPJump
    register_assembler(m);       // Assembler comes last
    set_exports(m);
}
