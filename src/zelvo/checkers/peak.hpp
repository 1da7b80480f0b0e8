// Envelope amplitude over plain sample buffers: is any sample's magnitude
// above full scale (1)? A NaN sample counts as above it: it compares false
// with every bound and would otherwise pass unseen. No Python here.
#pragma once

#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tvk::checkers::peak {

// The sample types read directly; anything else goes another way.
enum class Layout { F64, F32, I8, I16, I32, I64, U8, U16, U32, U64, Bool, C64, C128, Other };

// A native buffer format ("d", "Zd", ...) of the given item size.
inline Layout layout_of(const char* format, std::ptrdiff_t itemsize) {
    if (!format) return Layout::Other;
    struct Entry {
        const char* format;
        Layout layout;
        std::size_t size;
    };
    static const Entry table[] = {
        {"d", Layout::F64, sizeof(double)},       {"f", Layout::F32, sizeof(float)},
        {"b", Layout::I8, 1},                     {"h", Layout::I16, sizeof(short)},
        {"i", Layout::I32, sizeof(int)},          {"l", Layout::I64, sizeof(long)},
        {"q", Layout::I64, sizeof(long long)},    {"B", Layout::U8, 1},
        {"H", Layout::U16, sizeof(unsigned short)}, {"I", Layout::U32, sizeof(unsigned)},
        {"L", Layout::U64, sizeof(unsigned long)}, {"Q", Layout::U64, sizeof(unsigned long long)},
        {"?", Layout::Bool, 1},                   {"Zf", Layout::C64, 2 * sizeof(float)},
        {"Zd", Layout::C128, 2 * sizeof(double)},
    };
    for (const Entry& e : table)
        if (std::strcmp(format, e.format) == 0)
            return static_cast<std::size_t>(itemsize) == e.size ? e.layout : Layout::Other;
    return Layout::Other;
}

namespace detail {

template <class T>
T load(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline bool over(double x) { return !(std::fabs(x) <= 1.0); }  // NaN too
inline bool over_complex(double re, double im) { return !(std::hypot(re, im) <= 1.0); }

template <class T>
bool signed_over(T v) {
    return v > 1 || v < -1;
}

template <class F>
bool any(const char* base, std::ptrdiff_t n, std::ptrdiff_t stride, F&& test) {
    for (std::ptrdiff_t i = 0; i < n; ++i)
        if (test(base + i * stride)) return true;
    return false;
}

}  // namespace detail

// `n` samples of layout `l`, the first at `base`, `stride` bytes apart.
inline bool exceeds_unit(Layout l, const char* base, std::ptrdiff_t n, std::ptrdiff_t stride) {
    using namespace detail;
    switch (l) {
        case Layout::F64: return any(base, n, stride, [](const char* p) { return over(load<double>(p)); });
        case Layout::F32: return any(base, n, stride, [](const char* p) { return over(load<float>(p)); });
        case Layout::I8: return any(base, n, stride, [](const char* p) { return signed_over(load<std::int8_t>(p)); });
        case Layout::I16: return any(base, n, stride, [](const char* p) { return signed_over(load<std::int16_t>(p)); });
        case Layout::I32: return any(base, n, stride, [](const char* p) { return signed_over(load<std::int32_t>(p)); });
        case Layout::I64: return any(base, n, stride, [](const char* p) { return signed_over(load<std::int64_t>(p)); });
        case Layout::U8: return any(base, n, stride, [](const char* p) { return load<std::uint8_t>(p) > 1; });
        case Layout::U16: return any(base, n, stride, [](const char* p) { return load<std::uint16_t>(p) > 1; });
        case Layout::U32: return any(base, n, stride, [](const char* p) { return load<std::uint32_t>(p) > 1; });
        case Layout::U64: return any(base, n, stride, [](const char* p) { return load<std::uint64_t>(p) > 1; });
        case Layout::Bool: return false;  // 0 or 1
        case Layout::C64:
            return any(base, n, stride, [](const char* p) {
                return over_complex(load<float>(p), load<float>(p + sizeof(float)));
            });
        case Layout::C128:
            return any(base, n, stride, [](const char* p) {
                return over_complex(load<double>(p), load<double>(p + sizeof(double)));
            });
        case Layout::Other: break;
    }
    return false;
}

}  // namespace tvk::checkers::peak
