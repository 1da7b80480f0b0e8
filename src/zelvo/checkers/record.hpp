// The error record a checker reports, [msg, previous, instruction, next,
// error class, code]: made by append_error, read back by the kernel's
// with_error (a module of its own, so the layout lives here and not in
// either).
#pragma once

namespace tvk::checkers {

enum RecordField : int {
    kRecordMessage,
    kRecordPrevious,     // the instruction before, or None
    kRecordInstruction,  // the instruction at fault
    kRecordNext,         // the instruction after, or None
    kRecordClass,        // the error class to raise
    kRecordCode,         // its code text, "0x1000" by default
    kRecordFields,
};

}  // namespace tvk::checkers
