// TEMPORARY while the instruction classes are written in parallel: weak
// no-op registrations, each replaced by the real one at link time.
#include "ir.hpp"

namespace tvk::ir {
__attribute__((weak)) void register_IRLoadDDRImm(py::module_&) {}
__attribute__((weak)) void register_IRPlayDDRImm(py::module_&) {}
__attribute__((weak)) void register_IRCapture(py::module_&) {}
__attribute__((weak)) void register_IRWait(py::module_&) {}
__attribute__((weak)) void register_IRWaitPoints(py::module_&) {}
__attribute__((weak)) void register_IRDelay(py::module_&) {}
__attribute__((weak)) void register_IRWaitDDR(py::module_&) {}
}  // namespace tvk::ir
