// Layout of the numbered program text: each instruction's text left-justified
// to a common width, then the position comment. No Python here.
#pragma once

#include <algorithm>
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
    // One growth of the buffer and plain copies: this runs for every line.
    char digits[20];
    std::size_t nd = 0;
    for (std::size_t v = pos;; v /= 10) {
        digits[sizeof digits - 1 - nd++] = static_cast<char>('0' + v % 10);
        if (v < 10) break;
    }
    const std::size_t pad = chars < width ? width - chars : 0;
    const std::size_t start = out.size();
    out.resize(start + (pos ? 1 : 0) + text.size() + pad + kComment.size() + nd);
    char* at = &out[start];
    if (pos) *at++ = '\n';
    at = std::copy(text.begin(), text.end(), at);
    at = std::fill_n(at, pad, ' ');
    at = std::copy(kComment.begin(), kComment.end(), at);
    std::copy(digits + sizeof digits - nd, digits + sizeof digits, at);
}

// Appends a piece already laid out by the interpreter (the slow road), then
// the comment and `pos`.
inline void append_formatted(std::string& out, std::string_view formatted, std::size_t pos) {
    append_line(out, formatted, 0, 0, pos);
}

}  // namespace tvk::translate::text
