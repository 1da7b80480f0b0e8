// Module tarvok.compiler.ostrane: the binary command assembler.
#include <pybind11/pybind11.h>

#include "assembler.hpp"
#include "ostrane.hpp"

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
    // The export list in its order; a name is listed once it exists.
    tvk::set_all(m,
                 {"AssemblyError", "GenTagMixin", "Assembler", "TVKCommand", "zlv_config", "QInsWait",
                  "QInsWaitTrig", "QInsEnd", "QInsFrame", "QInsEnvelop", "QInsJumpWithJudge", "QInsJump",
                  "QInsJumpWithReg", "QInsCapture", "QInsMov", "QInsIncPhase", "QInsPlayZero", "QInsPlayWave",
                  "QInsResetF"},
                 true);
}
