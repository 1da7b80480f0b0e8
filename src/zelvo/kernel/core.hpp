// Python-free text work of the kernel front-end.
#pragma once

#include <cstddef>
#include <string>

namespace tvk::kernel::core {

// The kernel source with the indentation of its first line taken off: the
// blanks (spaces only) that begin the text are dropped, and every line break
// followed by exactly that many blanks becomes a bare line break, so lines
// indented less keep what they have. Works on UTF-8 bytes (blank and line
// break are single bytes that never occur inside a multi-byte character).
inline std::string remove_tabs(const std::string& source) {
    std::size_t n = 0;
    while (n < source.size() && source[n] == ' ') ++n;
    std::string rest = source.substr(n);
    if (n == 0) return rest;
    const std::string pattern = "\n" + std::string(n, ' ');
    std::string out;
    out.reserve(rest.size());
    std::size_t pos = 0;
    for (;;) {
        std::size_t hit = rest.find(pattern, pos);
        if (hit == std::string::npos) break;
        out.append(rest, pos, hit - pos);
        out += '\n';
        pos = hit + pattern.size();
    }
    out.append(rest, pos, std::string::npos);
    return out;
}

// The interpreter's refusal of a call with too many positional values:
// "NAME() takes N positional argument(s) but M were given", "from K to N"
// when the last parameters have defaults.
inline std::string too_many_positional(const std::string& name, long long params, long long defaults,
                                       long long given) {
    std::string takes = defaults > 0 ? "from " + std::to_string(params - defaults) + " to " + std::to_string(params)
                                     : std::to_string(params);
    bool plural = params != 1 || defaults > 0;
    return name + "() takes " + takes + " positional argument" + (plural ? "s" : "") + " but " +
           std::to_string(given) + (given == 1 ? " was" : " were") + " given";
}

}  // namespace tvk::kernel::core
