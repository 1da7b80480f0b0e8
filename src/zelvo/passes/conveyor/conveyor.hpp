// Module tarvok.zelvo._conveyor: the pass pipeline.
#pragma once

#include "common/kit.hpp"

namespace tvk::conveyor {

inline constexpr const char* kModule = "tarvok.zelvo._conveyor";

void register_conveyor(py::module_& m);

}  // namespace tvk::conveyor
