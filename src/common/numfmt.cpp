#include "numfmt.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <system_error>

namespace tvk::num {

std::string float_repr(double x) {
    if (std::isnan(x)) return "nan";
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
    if (res.ec != std::errc()) throw std::runtime_error("float_repr: conversion failed");
    std::string sci(buf, res.ptr);
    bool neg = sci[0] == '-';
    size_t pos = neg ? 1 : 0;
    size_t epos = sci.find('e');
    std::string digits;
    for (size_t i = pos; i < epos; ++i)
        if (sci[i] != '.') digits += sci[i];
    int exp10 = std::atoi(sci.c_str() + epos + 1);
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
    int decpt = exp10 + 1;  // value = 0.digits * 10**decpt
    std::string out = neg ? "-" : "";
    if (decpt <= -4 || decpt > 16) {
        out += digits[0];
        if (digits.size() > 1) {
            out += '.';
            out.append(digits, 1, std::string::npos);
        }
        int e = decpt - 1;
        out += e < 0 ? "e-" : "e+";
        int ae = std::abs(e);
        if (ae < 10) out += '0';
        out += std::to_string(ae);
    } else if (decpt <= 0) {
        out += "0.";
        out.append(static_cast<size_t>(-decpt), '0');
        out += digits;
    } else if (static_cast<size_t>(decpt) >= digits.size()) {
        out += digits;
        out.append(static_cast<size_t>(decpt) - digits.size(), '0');
        out += ".0";
    } else {
        out.append(digits, 0, static_cast<size_t>(decpt));
        out += '.';
        out.append(digits, static_cast<size_t>(decpt), std::string::npos);
    }
    return out;
}

double round_half_even(double x) { return std::nearbyint(x); }

std::int64_t floordiv(std::int64_t a, std::int64_t b) {
    if (b == 0) throw zero_division("integer division or modulo by zero");
    if (b == -1) {
        if (a == INT64_MIN) throw std::overflow_error("integer division result too large");
        return -a;
    }
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

std::int64_t floormod(std::int64_t a, std::int64_t b) {
    if (b == 0) throw zero_division("integer division or modulo by zero");
    if (b == -1) return 0;
    std::int64_t r = a % b;
    if (r != 0 && ((r < 0) != (b < 0))) r += b;
    return r;
}

double float_floordiv(double vx, double wx) {
    if (wx == 0.0) throw zero_division("float floor division by zero");
    double mod = std::fmod(vx, wx);
    double div = (vx - mod) / wx;
    if (mod != 0.0) {
        if ((wx < 0) != (mod < 0)) div -= 1.0;
    }
    double floordiv;
    if (div != 0.0) {
        floordiv = std::floor(div);
        if (div - floordiv > 0.5) floordiv += 1.0;
    } else {
        floordiv = std::copysign(0.0, vx / wx);
    }
    return floordiv;
}

double float_mod(double vx, double wx) {
    if (wx == 0.0) throw zero_division("float modulo");
    double mod = std::fmod(vx, wx);
    if (mod != 0.0) {
        if ((wx < 0) != (mod < 0)) mod += wx;
    } else {
        mod = std::copysign(0.0, wx);
    }
    return mod;
}

std::string binary(std::int64_t v, int width) {
    bool neg = v < 0;
    // magnitude without overflow for INT64_MIN
    std::uint64_t mag = neg ? (~static_cast<std::uint64_t>(v) + 1) : static_cast<std::uint64_t>(v);
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + (mag & 1)));
        mag >>= 1;
    } while (mag);
    int body = width - (neg ? 1 : 0);
    if (static_cast<int>(digits.size()) < body) digits.insert(0, static_cast<size_t>(body) - digits.size(), '0');
    return neg ? "-" + digits : digits;
}

std::string hex(std::int64_t v) {
    bool neg = v < 0;
    std::uint64_t mag = neg ? (~static_cast<std::uint64_t>(v) + 1) : static_cast<std::uint64_t>(v);
    static const char* d = "0123456789abcdef";
    std::string digits;
    do {
        digits.insert(digits.begin(), d[mag & 15]);
        mag >>= 4;
    } while (mag);
    return (neg ? "-0x" : "0x") + digits;
}

namespace {
// Hexadecimal digits of a magnitude into buf (filled from the end); returns
// the number of digits.
int hex_digits(std::uint64_t mag, bool upper, char (&buf)[16]) {
    const char* d = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    int n = 0;
    do {
        buf[15 - n++] = d[mag & 15];
        mag >>= 4;
    } while (mag);
    return n;
}
}  // namespace

void append_hex_padded(std::string& out, std::int64_t v, int width, bool upper) {
    bool neg = v < 0;
    std::uint64_t mag = neg ? (~static_cast<std::uint64_t>(v) + 1) : static_cast<std::uint64_t>(v);
    char buf[16];
    int n = hex_digits(mag, upper, buf);
    if (neg) out += '-';
    int body = width - (neg ? 1 : 0);
    if (n < body) out.append(static_cast<size_t>(body - n), '0');
    out.append(buf + 16 - n, static_cast<size_t>(n));
}

void append_hex_zfill(std::string& out, std::int64_t v, int width) {
    bool neg = v < 0;
    std::uint64_t mag = neg ? (~static_cast<std::uint64_t>(v) + 1) : static_cast<std::uint64_t>(v);
    char buf[16];
    int n = hex_digits(mag, false, buf);
    int len = n + (neg ? 1 : 0);  // "x" + digits for a negative value
    if (len < width) out.append(static_cast<size_t>(width - len), '0');
    if (neg) out += 'x';
    out.append(buf + 16 - n, static_cast<size_t>(n));
}

bool fits_int64(double x) {
    return std::isfinite(x) && x >= -9223372036854775808.0 && x < 9223372036854775808.0;
}

}  // namespace tvk::num
