// Binary layouts of the sequencer's command words, free of Python: the
// 32-byte drive word, the 16-byte probe word, the frequency and phase words,
// and the range rules (with the packer's texts) every field obeys.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tvk::assembler::words {

// Unsigned field widths of the words.
enum class Field : std::uint8_t { U8, U16, U32 };

inline constexpr std::uint64_t field_max(Field f) {
    return f == Field::U8 ? 0xFFull : f == Field::U16 ? 0xFFFFull : 0xFFFFFFFFull;
}
inline constexpr std::size_t field_size(Field f) {
    return f == Field::U8 ? 1 : f == Field::U16 ? 2 : 4;
}

// Drive word: nine command items, then eight reserved zero bytes.
inline constexpr std::size_t kDriveItems = 9;
inline constexpr std::size_t kDrivePacked = 17;  // items once the reserved zeros are appended
inline constexpr std::size_t kDriveBytes = 32;
inline constexpr std::array<Field, kDrivePacked> kDriveFields = {
    Field::U8,  Field::U8,  Field::U32, Field::U32, Field::U16, Field::U16,
    Field::U16, Field::U32, Field::U32, Field::U8,  Field::U8,  Field::U8,
    Field::U8,  Field::U8,  Field::U8,  Field::U8,  Field::U8};

// Probe word: eight 16-bit items written last item first.
inline constexpr std::size_t kProbeItems = 8;
inline constexpr std::size_t kProbeBytes = 16;

// Drive heads.
enum DriveHead : std::uint8_t {
    kHeadWait = 0,
    kHeadPlayWave = 4,
    kHeadFrame = 0x11,
    kHeadJump = 0x18,
    kHeadIncPhase = 0x21,
    kHeadJumpCond = 0x28,
    kHeadResetAll = 0x51,
    kHeadResetSingle = 0x41,
    kHeadResetPhase = 0x31,
    kHeadMovSet = 0x38,
    kHeadMovAdd = 0x48,
    kHeadPlayZero = 0x44,
    kHeadWaitTrig = 0xF4,
    kHeadEnd = 0xF8,
};
inline constexpr std::uint8_t kJudgeSelector = 16;

// Probe heads and channel flags.
enum ProbeHead : std::uint16_t { kProbeWaitTrig = 0, kProbeDelay = 1, kProbeCapture = 2, kProbeJump = 3 };
enum ChannelFlag : std::uint16_t { kFlagDrive = 1, kFlagProbe = 2, kFlagAll = 3 };

// The fixed 16 ns of a probe delay word, independent of the configured step.
inline constexpr double kProbeDelayStep = 1.6e-08;
inline constexpr double kWordScale = 4294967296.0;  // 2**32

// An integer item as the packer sees it: its value when it fits 64 signed
// bits, else only its sign and whether it fits 64 unsigned bits.
struct Item {
    bool in_i64 = true;
    std::int64_t value = 0;
    bool negative = false;
    bool in_u64 = false;
    std::uint64_t uvalue = 0;  // valid when in_u64 and !in_i64
};

// nullptr when the item fits its field, else the packer's error text. The
// 8- and 16-bit packers go through a signed 64-bit value first, the 32-bit
// one through an unsigned 64-bit value, hence the different texts.
inline const char* field_error(Field f, const Item& it) {
    switch (f) {
        case Field::U8:
            if (!it.in_i64) return "argument out of range";
            if (it.value < 0 || it.value > 0xFF) return "ubyte format requires 0 <= number <= 255";
            return nullptr;
        case Field::U16:
            if (!it.in_i64) return "argument out of range";
            if (it.value < 0 || it.value > 0xFFFF) return "ushort format requires 0 <= number <= 65535";
            return nullptr;
        case Field::U32:
            if (it.in_i64 ? it.value < 0 : (it.negative || !it.in_u64)) return "argument out of range";
            if (!it.in_i64 || it.value > 0xFFFFFFFFll) return "'I' format requires 0 <= number <= 4294967295";
            return nullptr;
    }
    return "argument out of range";
}

// Little-endian write of the low `n` bytes of v at p.
inline void put_le(std::uint8_t* p, std::uint64_t v, std::size_t n) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::memcpy(p, &v, n);
#else
    for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
#endif
}

// Drive word from its seventeen packed items, each already within its field.
inline std::array<std::uint8_t, kDriveBytes> encode_drive(const std::array<std::uint64_t, kDrivePacked>& items) {
    std::array<std::uint8_t, kDriveBytes> out{};
    std::size_t off = 0;
    for (std::size_t i = 0; i < kDrivePacked; ++i) {
        std::size_t n = field_size(kDriveFields[i]);
        put_le(out.data() + off, items[i], n);
        off += n;
    }
    return out;
}

// Drive word at dst from its nine command items (the reserved tail is
// written as zeros), each already within its field: the layout of
// kDriveFields spelled out.
inline void write_drive(const std::uint64_t* v, std::uint8_t* dst) {
    dst[0] = static_cast<std::uint8_t>(v[0]);
    dst[1] = static_cast<std::uint8_t>(v[1]);
    put_le(dst + 2, v[2], 4);
    put_le(dst + 6, v[3], 4);
    put_le(dst + 10, v[4], 2);
    put_le(dst + 12, v[5], 2);
    put_le(dst + 14, v[6], 2);
    put_le(dst + 16, v[7], 4);
    put_le(dst + 20, v[8], 4);
    put_le(dst + 24, 0, 8);
}

// Probe word from its eight items (item 0 the head), each within 16 bits:
// item 7 lands in bytes 0-1, the head in bytes 14-15.
inline std::array<std::uint8_t, kProbeBytes> encode_probe(const std::array<std::uint64_t, kProbeItems>& items) {
    std::array<std::uint8_t, kProbeBytes> out{};
    for (std::size_t i = 0; i < kProbeItems; ++i) put_le(out.data() + 2 * i, items[kProbeItems - 1 - i], 2);
    return out;
}

// Frequency word before rounding: freq as a fraction of the sample rate,
// times 2**32.
inline double frequency_scaled(double freq, double rate) { return freq / rate * kWordScale; }

// Phase word before rounding: the fraction of a turn in [0, 1) times 2**32
// (NaN for a non-finite phase).
inline double phase_scaled(double phase) {
    double x = phase / M_PI / 2.0;
    double f = std::fmod(std::fmod(x, 1.0) + 1.0, 1.0);
    return f * kWordScale;
}

// A rounded phase word of a whole turn wraps to 0.
inline double phase_wrap(double rounded) { return rounded == kWordScale ? 0.0 : rounded; }

// True when a rounded word lies in 0 .. 2**32 - 1.
inline bool fits_u32(double rounded) { return rounded >= 0.0 && rounded <= 4294967295.0; }

}  // namespace tvk::assembler::words
