// Flattening of the scheduled list over plain category flags: the order of the
// flat program and where each landing placeholder's tag goes. No Python here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tvk::translate::flat {

enum Kind : std::uint16_t {
    kUnfix = 1,        // heads a block
    kJumpImm = 2,      // ends the padding stretch of a block head
    kNop = 4,
    kDelay = 8,
    kWait = 16,        // left out of the flat program
    kPlaceholder = 32, // removed, its tag handed on
};

// An item of the scheduled list: a top-level item, or item `sub` of the block
// of top-level item `top`.
struct Ref {
    std::uint32_t top;
    std::int32_t sub;  // -1: the top-level item itself
};

// Placeholder `from` hands its tag to the flat position `pos` (one past the
// end for placeholders that end the program). The last of a run may give the
// instruction there its tag (unless that one resolves its operand by its own
// tag); the others' tags map to `pos` without being borne.
struct Handover {
    Ref from;
    std::size_t pos;
    bool last;
};

struct Plan {
    std::vector<Ref> order;  // the flat program
    std::vector<Handover> handovers;  // in program order
};

// `top[i]` are the Kind bits of top-level item i, `blocks[i]` those of the
// items of its block (empty unless it heads one).
inline Plan plan(const std::vector<std::uint16_t>& top, const std::vector<std::vector<std::uint16_t>>& blocks) {
    // The program with its placeholders: every block right after its head and
    // the head's padding, the run of nops and delays directly after the head.
    // The padding stops at the first other instruction, which keeps its own
    // place after the block.
    std::vector<Ref> seq;
    seq.reserve(top.size());
    const std::size_t n = top.size();
    for (std::size_t i = 0; i < n;) {
        const std::uint16_t k = top[i];
        if (k & kUnfix) {
            seq.push_back({static_cast<std::uint32_t>(i), -1});
            std::size_t j = i + 1;
            while (j < n && !(top[j] & (kUnfix | kJumpImm)) && (top[j] & (kNop | kDelay)))
                seq.push_back({static_cast<std::uint32_t>(j++), -1});
            const auto& block = blocks[i];
            for (std::size_t s = 0; s < block.size(); ++s)
                if (!(block[s] & kWait)) seq.push_back({static_cast<std::uint32_t>(i), static_cast<std::int32_t>(s)});
            i = j;
            continue;
        }
        if (!(k & kWait)) seq.push_back({static_cast<std::uint32_t>(i), -1});
        ++i;
    }

    // Placeholders leave the program. A run of them hands its tags to the
    // next instruction; tags of a run at the end map to the position after
    // the last instruction.
    auto kind = [&](const Ref& r) { return r.sub < 0 ? top[r.top] : blocks[r.top][static_cast<std::size_t>(r.sub)]; };
    Plan p;
    p.order.reserve(seq.size());
    std::vector<Ref> pending;
    for (const Ref& r : seq) {
        const std::uint16_t k = kind(r);
        if (k & kPlaceholder) {
            pending.push_back(r);
            continue;
        }
        const std::size_t pos = p.order.size();
        p.order.push_back(r);
        for (std::size_t i = 0; i < pending.size(); ++i) p.handovers.push_back({pending[i], pos, i + 1 == pending.size()});
        pending.clear();
    }
    for (const Ref& r : pending) p.handovers.push_back({r, p.order.size(), false});
    return p;
}

}  // namespace tvk::translate::flat
