// Any str as UTF-8 bytes and back, lone surrogates included (they travel as
// their three-byte forms), so text handed to a Python-free core round-trips.
#pragma once

#include <string>

#include "call.hpp"

namespace tvk {

// The text of a str (the interpreter's TypeError for anything else).
std::string text_of(py::handle str);
// The str of such text.
py::object str_of(const std::string& text);

}  // namespace tvk
