// Layout of the numbered program text: each instruction's text left-justified
// to a common width, then the position comment. No Python here.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tvk::translate::text {

inline constexpr std::string_view kComment = "# seq idx tag ";
// Blanks between the longest text and the comment column.
inline constexpr std::size_t kGap = 8;

// Appends one line: `text` (UTF-8, `chars` characters long), blanks up to
// `width` characters, the comment and `pos`; lines after the first are
// preceded by a line break.
inline void append_line(std::string& out, std::string_view text, std::size_t chars, std::size_t width,
                        std::size_t pos) {
    if (pos) out += '\n';
    out += text;
    if (chars < width) out.append(width - chars, ' ');
    out += kComment;
    out += std::to_string(pos);
}

// Appends a piece already laid out by the interpreter (the slow road), then
// the comment and `pos`.
inline void append_formatted(std::string& out, std::string_view formatted, std::size_t pos) {
    append_line(out, formatted, 0, 0, pos);
}

}  // namespace tvk::translate::text
