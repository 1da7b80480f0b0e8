// The frequency and phase words as fields of an assembly line, for any
// Python number: plain double arithmetic for exact ints and floats, the
// interpreter's number protocol for everything else.
#pragma once

#include "ir.hpp"

namespace tvk::ir {

enum class Word { FrameFreq, FramePhase, PlayFreq, PlayPhase };

// Appends str(round(<word expression of x>)).
void append_word(std::string& out, py::handle x, Word kind);

}  // namespace tvk::ir
