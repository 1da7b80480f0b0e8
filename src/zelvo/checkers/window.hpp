// The timing arithmetic of the overlap checks over plain positions: which
// instruction after a window's owner is the first that does not fit, and how
// many nops follow a position. No Python here: the items are reached through
// an accessor, and the cycle type only needs + and >.
#pragma once

#include <cstddef>
#include <optional>

namespace tvk::checkers::window {

// How the scan treats an instruction, in the order the tests are made.
enum class Kind { Delay, Fix, Overlap, Other };

// Items: size(), kind(j), wait(j), overhead(j); kind(j) is asked first for a
// position, wait and overhead only when the scan needs them. Positions go
// from index + 1 to the end (a negative one counts from the end).
//
// The instructions that merely pass (set-up, unfixed, markers) add their wait
// time and the scan goes on; the first delay, fixed-duration or overlap
// instruction ends it, fitting or not. A delay adds its wait time and overhead
// wherever it stands, the last position included.
template <class Num, class Items>
std::optional<std::ptrdiff_t> first_misfit(Items& items, std::ptrdiff_t index, const Num& window) {
    Num used{};
    for (std::ptrdiff_t j = index + 1; j < items.size(); ++j) {
        const bool last = j == items.size() - 1;
        switch (items.kind(j)) {
            case Kind::Delay: {
                Num delay = items.wait(j) + items.overhead(j);
                used = used + delay;
                if (used > window) return j;
                return std::nullopt;
            }
            case Kind::Fix:
                if (used + items.overhead(j) > window) return j;
                return std::nullopt;
            case Kind::Overlap:
                if (used + items.wait(j) > window) return j;
                return std::nullopt;
            case Kind::Other:
                if (last) return std::nullopt;
                used = used + items.wait(j);
                break;
        }
    }
    return std::nullopt;
}

// 1 plus the nops that directly follow `start`, looking at most 100 positions
// ahead. Items: size(), is_nop(p).
template <class Items>
long nop_run(Items& items, std::ptrdiff_t start) {
    long count = 1;
    for (std::ptrdiff_t i = 0; i < 100; ++i) {
        // start + i + 1 >= size, without overflow for any start
        if (start >= items.size() - (i + 1)) return count;
        if (!items.is_nop(start + i + 1)) return count;
        ++count;
    }
    return count;
}

}  // namespace tvk::checkers::window
