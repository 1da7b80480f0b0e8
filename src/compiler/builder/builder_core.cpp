#include "builder_core.hpp"

#include <cmath>

namespace tvk::builder::core {

double gaussian_scale(double width) { return width / (std::sqrt(std::log(2.0)) * 4.0); }

void linspace(double start, double stop, std::int64_t n, double* out) {
    if (n <= 0) return;
    const std::int64_t div = n - 1;
    const double delta = stop - start;
    if (div == 0) {
        out[0] = 0.0 * delta + start;
        return;
    }
    const double step = delta / static_cast<double>(div);
    if (step == 0.0) {
        for (std::int64_t i = 0; i < n; ++i)
            out[i] = static_cast<double>(i) / static_cast<double>(div) * delta + start;
    } else {
        for (std::int64_t i = 0; i < n; ++i) out[i] = static_cast<double>(i) * step + start;
    }
    out[div] = stop;
}

void gaussian(double width, double scale, std::int64_t n, double* out) {
    linspace(-width / 2.0, width / 2.0, n, out);
    for (std::int64_t i = 0; i < n; ++i) {
        const double x = out[i] / scale;
        out[i] = std::exp(-(x * x));
    }
}

namespace {

void append_u_escape(std::string& out, char32_t unit) {
    static const char* hexd = "0123456789abcdef";
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out += hexd[(unit >> shift) & 0xF];
}

void append_json_string(std::string& out, const std::u32string& s) {
    out += '"';
    for (char32_t c : s) {
        switch (c) {
            case U'"': out += "\\\""; break;
            case U'\\': out += "\\\\"; break;
            case U'\n': out += "\\n"; break;
            case U'\r': out += "\\r"; break;
            case U'\t': out += "\\t"; break;
            case U'\b': out += "\\b"; break;
            case U'\f': out += "\\f"; break;
            default:
                if (c >= 0x20 && c <= 0x7E) {
                    out += static_cast<char>(c);
                } else if (c > 0xFFFF) {
                    const char32_t v = c - 0x10000;
                    append_u_escape(out, 0xD800 | ((v >> 10) & 0x3FF));
                    append_u_escape(out, 0xDC00 | (v & 0x3FF));
                } else {
                    append_u_escape(out, c);
                }
        }
    }
    out += '"';
}

}  // namespace

std::string json_string_array(const std::vector<std::u32string>& items, int indent) {
    if (items.empty()) return "[]";
    const std::string pad(static_cast<std::size_t>(indent < 0 ? 0 : indent), ' ');
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        out += i ? ",\n" : "\n";
        out += pad;
        append_json_string(out, items[i]);
    }
    out += "\n]";
    return out;
}

}  // namespace tvk::builder::core
