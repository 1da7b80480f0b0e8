// tarvok.zelvo._conveyor: the entry of outside callers into the passes.
#include <pybind11/pybind11.h>

#include "conveyor.hpp"

TVK_MODULE(_conveyor, m) { tvk::conveyor::register_conveyor(m); }
