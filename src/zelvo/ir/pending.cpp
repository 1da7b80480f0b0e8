// TEMPORARY while the instruction classes are written in parallel: weak
// no-op registrations, each replaced by the real one at link time.
#include "ir.hpp"

namespace tvk::ir {
}  // namespace tvk::ir
