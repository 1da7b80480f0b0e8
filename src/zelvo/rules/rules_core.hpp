// Python-free steps of the rules: where overlap runs lie, the order the
// overlap sort makes, where a placeholder's tag goes, whole cycle counts and
// the whole blocks an envelope occupies.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace tvk::rules::core {

// For every position, the first later position whose `skip` flag is false,
// or skip.size() when there is none; one backward pass.
inline std::vector<std::size_t> next_kept(const std::vector<bool>& skip) {
    const std::size_t n = skip.size();
    std::vector<std::size_t> next(n);
    std::size_t after = n;
    for (std::size_t i = n; i-- > 0;) {
        next[i] = after;
        if (!skip[i]) after = i;
    }
    return next;
}

// The overlap runs of a list: two or more consecutive overlap positions
// followed by a position that is not one. A run still open at the end of
// the list is no run.
inline std::vector<std::vector<std::size_t>> overlap_runs(const std::vector<bool>& overlap) {
    std::vector<std::vector<std::size_t>> runs;
    std::vector<std::size_t> current;
    for (std::size_t i = 0; i < overlap.size(); ++i) {
        if (overlap[i]) {
            current.push_back(i);
            continue;
        }
        if (current.size() >= 2) runs.push_back(std::move(current));
        current.clear();
    }
    return runs;
}

// The selection sort of a run by descending key, exactly: for every i the
// last j (from i on) whose key is >= the best so far wins, and is swapped
// into i, also onto itself. `ge(a, b)` compares the keys now at run
// positions a and b; `swap(a, b)` exchanges the items there. Equal keys do
// not keep their order.
template <class Ge, class Swap>
void selection_sort_desc(std::size_t n, Ge&& ge, Swap&& swap) {
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t m = i;
        for (std::size_t j = i + 1; j < n; ++j)
            if (ge(j, m)) m = j;
        swap(i, m);
    }
}

// The most nops one padding makes: fifty times the 20480 instructions the
// instrument holds at all.
inline constexpr std::int64_t kMaxNops = std::int64_t{1} << 20;

// A count of nops from a real number of cycles: none for zero or less, the
// value itself when it is whole; false when it is not a whole number (NaN
// and infinity included). Counts beyond int64 are clipped, more than can
// ever be made.
inline bool whole_count(double cycles, std::int64_t& count) {
    if (cycles <= 0) {
        count = 0;
        return true;
    }
    if (!std::isfinite(cycles) || cycles != std::floor(cycles)) return false;
    count = cycles >= 9.2e18 ? INT64_MAX : static_cast<std::int64_t>(cycles);
    return true;
}

// The fixed block of an I/Q play (plyic), and the samples envelope memory
// holds (the envelope checker's limit on their total).
inline constexpr std::int64_t kIQBlock = 32;
inline constexpr std::int64_t kEnvelopeMemory = 131072;

// The unit every envelope of a list is padded to: its block, or
// lcm(block, 32) when the list holds an I/Q envelope, since each start must
// suit both kinds of play. 0 for a block below 1 (nothing is padded); false
// when the unit does not fit int64.
inline bool envelope_unit(std::int64_t block, bool iq, std::int64_t& unit) {
    if (block < 1) {
        unit = 0;
        return true;
    }
    if (!iq) {
        unit = block;
        return true;
    }
    std::int64_t a = block, b = kIQBlock;
    while (b != 0) {
        std::int64_t t = a % b;
        a = b;
        b = t;
    }
    return !__builtin_mul_overflow(block / a, kIQBlock, &unit);
}

// n (>= 0) rounded up to a multiple of unit (>= 1); false when that does not
// fit int64.
inline bool round_up(std::int64_t n, std::int64_t unit, std::int64_t& out) {
    const std::int64_t rest = n % unit;
    if (rest == 0) {
        out = n;
        return true;
    }
    return !__builtin_add_overflow(n, unit - rest, &out);
}

}  // namespace tvk::rules::core
