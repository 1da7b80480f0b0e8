// The Assembler class of the ostrane module: loading, linking and the memory
// images. Needs the module's records, configuration and QNumber to exist
// when it is registered, so it is registered last.
#pragma once

#include "common/kit.hpp"

namespace tvk::assembler {

void register_assembler(py::module_& m);

}  // namespace tvk::assembler
