#include "numfmt.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <system_error>

namespace tvk::num {

namespace {

constexpr double kPow10[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11,
                             1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20};

// The shortest decimal m * 10**-k (k as small as it goes) that reads back
// as a, for 1e-4 <= a < 1e15 with at most 15 significant digits: the digits
// of m into `digits`, their count into nd and the point's place into decpt.
// False when a needs more digits (then the general conversion decides).
//
// Why it is exact: below 1e15 the product a * 10**k is off by less than 0.12
// and a decimal with k places that reads back as a lies within 0.12 of the
// exact product, so rounding the product finds it when there is one; m and
// 10**k are exact doubles, so m / 10**k is the correctly rounded value of the
// decimal, which is what reading it back gives; two such decimals with k
// places would be 1 apart in m, farther than a's rounding interval allows; and
// a smaller k, tried first, means fewer significant digits.
bool short_decimal(double a, char (&digits)[32], int& nd, int& decpt) {
    if (!(a >= 1e-4 && a < 1e15)) return false;
    for (int k = 0; k <= 20; ++k) {
        double y = a * kPow10[k];
        if (y >= 1e15) return false;
        double m = std::nearbyint(y);
        if (m / kPow10[k] != a) continue;
        char buf[24];
        auto r = std::to_chars(buf, buf + sizeof buf, static_cast<std::int64_t>(m));
        int n = static_cast<int>(r.ptr - buf);
        decpt = n - k;
        nd = 0;
        for (int i = 0; i < n; ++i) digits[nd++] = buf[i];
        while (nd > 1 && digits[nd - 1] == '0') --nd;
        return true;
    }
    return false;
}

}  // namespace

void append_float_repr(std::string& out, double x) {
    if (std::isnan(x)) {
        out += "nan";
        return;
    }
    if (std::isinf(x)) {
        out += x > 0 ? "inf" : "-inf";
        return;
    }
    // Shortest round-trip digits (value = 0.digits * 10**decpt), then laid
    // out as repr lays them out. Everything stays in fixed buffers.
    bool neg = std::signbit(x);
    char digits[32];
    int nd = 0;
    int decpt = 0;
    if (!short_decimal(std::fabs(x), digits, nd, decpt)) {
        char sci[40];
        auto res = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific);
        if (res.ec != std::errc()) throw std::runtime_error("float_repr: conversion failed");
        const char* p = sci;
        const char* end = res.ptr;
        if (*p == '-') ++p;
        const char* e = p;
        for (; e < end && *e != 'e'; ++e)
            if (*e != '.') digits[nd++] = *e;
        int exp10 = 0;
        bool eneg = false;
        const char* q = e + 1;
        if (q < end && (*q == '-' || *q == '+')) eneg = *q++ == '-';
        for (; q < end; ++q) exp10 = exp10 * 10 + (*q - '0');
        if (eneg) exp10 = -exp10;
        while (nd > 1 && digits[nd - 1] == '0') --nd;
        decpt = exp10 + 1;
    }
    char buf[64];
    int n = 0;
    if (neg) buf[n++] = '-';
    if (decpt <= -4 || decpt > 16) {
        buf[n++] = digits[0];
        if (nd > 1) {
            buf[n++] = '.';
            for (int i = 1; i < nd; ++i) buf[n++] = digits[i];
        }
        int ex = decpt - 1;
        buf[n++] = 'e';
        buf[n++] = ex < 0 ? '-' : '+';
        int ae = ex < 0 ? -ex : ex;
        if (ae < 10) buf[n++] = '0';
        auto r = std::to_chars(buf + n, buf + sizeof buf, ae);
        n = static_cast<int>(r.ptr - buf);
    } else if (decpt <= 0) {
        buf[n++] = '0';
        buf[n++] = '.';
        for (int i = 0; i < -decpt; ++i) buf[n++] = '0';
        for (int i = 0; i < nd; ++i) buf[n++] = digits[i];
    } else if (decpt >= nd) {
        for (int i = 0; i < nd; ++i) buf[n++] = digits[i];
        for (int i = nd; i < decpt; ++i) buf[n++] = '0';
        buf[n++] = '.';
        buf[n++] = '0';
    } else {
        for (int i = 0; i < decpt; ++i) buf[n++] = digits[i];
        buf[n++] = '.';
        for (int i = decpt; i < nd; ++i) buf[n++] = digits[i];
    }
    out.append(buf, static_cast<size_t>(n));
}

std::string float_repr(double x) {
    std::string out;
    append_float_repr(out, x);
    return out;
}

void append_int(std::string& out, std::int64_t v) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, static_cast<size_t>(r.ptr - buf));
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

void append_binary(std::string& out, std::int64_t v, int width) {
    bool neg = v < 0;
    // magnitude without overflow for INT64_MIN
    std::uint64_t mag = neg ? (~static_cast<std::uint64_t>(v) + 1) : static_cast<std::uint64_t>(v);
    char buf[64];
    int n = 0;
    do {
        buf[63 - n++] = static_cast<char>('0' + (mag & 1));
        mag >>= 1;
    } while (mag);
    if (neg) out += '-';
    int body = width - (neg ? 1 : 0);
    if (n < body) out.append(static_cast<size_t>(body - n), '0');
    out.append(buf + 64 - n, static_cast<size_t>(n));
}

std::string binary(std::int64_t v, int width) {
    std::string out;
    append_binary(out, v, width);
    return out;
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

std::string hex(std::int64_t v) {
    bool neg = v < 0;
    std::uint64_t mag = neg ? (~static_cast<std::uint64_t>(v) + 1) : static_cast<std::uint64_t>(v);
    char buf[16];
    int n = hex_digits(mag, false, buf);
    std::string out = neg ? "-0x" : "0x";
    out.append(buf + 16 - n, static_cast<size_t>(n));
    return out;
}

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
