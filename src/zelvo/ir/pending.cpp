// TEMPORARY while the instruction classes are written in parallel: weak
// no-op registrations, each replaced by the real one at link time.
#include "ir.hpp"

namespace tvk::ir {
__attribute__((weak)) void register_IRFrame(py::module_&) {}
__attribute__((weak)) void register_IRArbWaveform(py::module_&) {}
__attribute__((weak)) void register_IREnvelope(py::module_&) {}
__attribute__((weak)) void register_IRProt(py::module_&) {}
__attribute__((weak)) void register_IRPth(py::module_&) {}
__attribute__((weak)) void register_IRDemodule(py::module_&) {}
__attribute__((weak)) void register_IRWaveform(py::module_&) {}
__attribute__((weak)) void register_IRFreqlist(py::module_&) {}
__attribute__((weak)) void register_IRLoadDDRImm(py::module_&) {}
__attribute__((weak)) void register_IRPlayDDRImm(py::module_&) {}
__attribute__((weak)) void register_IRPlayImm(py::module_&) {}
__attribute__((weak)) void register_IRPlaycImm(py::module_&) {}
__attribute__((weak)) void register_IRCapture(py::module_&) {}
__attribute__((weak)) void register_IRWait(py::module_&) {}
__attribute__((weak)) void register_IRWaitPoints(py::module_&) {}
__attribute__((weak)) void register_IRDelay(py::module_&) {}
__attribute__((weak)) void register_IRFrameAdd(py::module_&) {}
__attribute__((weak)) void register_IRFrameRst(py::module_&) {}
__attribute__((weak)) void register_IRWaitDDR(py::module_&) {}
}  // namespace tvk::ir
