// Frequency and phase words of the frame and play instructions, as plain
// double arithmetic. Each function performs the operations in the order the
// instruction's Python expression does, so the unrounded value is bit for bit
// the interpreter's; callers round it half to even.
#pragma once

#include <cstdint>

namespace tvk::ir::words {

inline constexpr double kPi = 3.141592653589793;  // numpy's pi
inline constexpr double kTwoPi = 2 * kPi;
inline constexpr double kDdsClock = 250000000.0;
inline constexpr double kTwo32 = 4294967296.0;

// freq / 2.5e8 * 2**32 / 32
inline double frame_freq(double f) { return f / kDdsClock * kTwo32 / 32.0; }
// phase / (2 * pi) * 2**32 / 32
inline double frame_phase(double p) { return p / kTwoPi * kTwo32 / 32.0; }
// freq * 2**32 / 2.5e8 / 32. For an integer freq Python forms the exact
// product first and converts it to double; scaling by 2**32 commutes with
// that rounding, so double(freq) * 2**32 gives the same value for any int64.
inline double play_freq(double f) { return f * kTwo32 / kDdsClock / 32.0; }
// phase * 65536 / (2 * pi) / 32 (same argument for integer phases).
inline double play_phase(double p) { return p * 65536.0 / kTwoPi / 32.0; }

// Frame bit masks: 1 << i for 0 <= i < 63 stays in a positive int64.
inline constexpr int kMaxFastShift = 62;

}  // namespace tvk::ir::words
