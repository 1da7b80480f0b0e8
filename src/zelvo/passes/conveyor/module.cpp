// tarvok.zelvo._conveyor: the entry of outside callers into the passes.
#include "conveyor.hpp"

TVK_MODULE(_conveyor, m) { tvk::conveyor::register_conveyor(m); }
