// Folding waits into DDR plays over plain category flags: which items stay,
// and which wait hands its width to which play. One walk; each wait waits in
// a pending list until the next play instead of scanning ahead for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tvk::optimizations::fold {

enum Kind : std::uint8_t { kWait = 1, kDelay = 2, kPlay = 4 };

struct Move {
    std::size_t wait, play;  // positions in the opened list
};

struct Plan {
    std::vector<std::size_t> kept;  // positions that stay, in order
    std::vector<Move> moves;        // in the order the waits come
    bool met_play = false;          // a play was kept
};

// kinds[i]: the Kind bits of item i. A wait hands its width to the first play
// at or after its own position (itself, when it is also a play); waits and
// delays are dropped, everything else stays.
inline Plan plan(const std::vector<std::uint8_t>& kinds) {
    Plan p;
    p.kept.reserve(kinds.size());
    std::vector<std::size_t> pending;
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        const std::uint8_t k = kinds[i];
        if (k & kWait) pending.push_back(i);
        if ((k & kPlay) && !pending.empty()) {
            for (std::size_t w : pending) p.moves.push_back({w, i});
            pending.clear();
        }
        if (k & (kWait | kDelay)) continue;
        if (k & kPlay) p.met_play = true;
        p.kept.push_back(i);
    }
    return p;
}

}  // namespace tvk::optimizations::fold
