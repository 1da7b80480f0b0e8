// How long the probe side waits for each drive record when the drive queue
// loops and branches. The probe program runs straight through, so each drive
// record stands in it for as many runs as the drive side makes of it on the
// path the probe follows: the loops and branches of a loaded list are
// recognised from its jumps, and each record gets that number as a factor of
// the counts of the loops around it. Plain values only: the exact pass counts
// and weights are the caller's, on the interpreter's integers.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace tvk::assembler::timing {

enum class Kind : std::uint8_t {
    Plain,      // takes its overhead and nothing else
    Capture,
    WaitTrig,
    Jump,       // unconditional
    JumpReg,    // on a register
    JumpJudge,  // on judgement bits
    OtherJump,  // a record linking resolves as a jump, of no known kind
    MovSet,     // register moves: "=", "+", any other type
    MovAdd,
    MovOther,
};

inline bool is_jump(Kind k) {
    return k == Kind::Jump || k == Kind::JumpReg || k == Kind::JumpJudge || k == Kind::OtherJump;
}

struct Rec {
    Kind kind = Kind::Plain;
    std::int64_t target = -1;  // jumps: list position of the target; -1 when it names none
    std::int64_t reg = 0;      // register jumps and moves
    bool reg_known = false;    // false: the register is no integer of 64 bits
};

// Where a record stands in its innermost structure.
enum class Part : std::uint8_t {
    Level,     // at the top level, or the opening record of a structure at its parent's level
    LoopPre,   // a loop body up to and including the exit test: k runs
    LoopPost,  // the body after the exit test: k - 1 runs
    PathA,     // a branch's first path in list order (the fall-through)
    PathB,     // its other path (the jump's target), empty for an if without else
    Skip,      // never runs
};
inline constexpr std::size_t kParts = 6;

struct Node {
    bool loop = false;
    std::int32_t parent = -1;  // enclosing structure, -1 at the top level
    Part parent_part = Part::Level;
    std::int64_t open = 0;  // the loop's counter set / the branch's condition
    std::int64_t end = 0;   // the first position after the structure
    // loops
    std::int64_t exit = -1;  // the exit test, the record that names the loop
    std::int64_t back = -1;  // the back jump
    std::int64_t reg = 0;    // the counter register
    std::vector<std::int64_t> pre, post;  // increments of the counter before / after the exit test
};

struct Structure {
    bool recognised = false;  // false: every record keeps a weight of 1
    std::vector<Node> nodes;  // parents before their children
    std::vector<std::int32_t> owner;  // per record: innermost structure, -1 at the top level
    std::vector<Part> part;
};

// The loops and branches of a list, or recognised == false for anything that
// is not properly nested loops and branches (a back jump without its counter,
// jumps that cross, a target outside the list, a jump of no known kind).
Structure analyse(const std::vector<Rec>& recs);

// A loop's pass count as the caller worked it out.
struct Count {
    bool known = false;
    double k = 1.0;  // the count, for comparing times (may be inf)
    // Exactly one pass: no other count converts to 1.0.
    bool one() const { return known && k == 1.0; }
};

// How many runs a part of a structure makes per run of the structure.
enum class Factor : std::uint8_t { Zero, One, K, KLess1 };

enum class Refusal : std::uint8_t {
    None,
    FollowsBlock,  // a capture after a branch of unequal paths or a loop of unknown count
    InBranch,      // a capture or trigger wait on a branch path
    InLoop,        // ... in a loop of other than one pass
    AfterExit,     // ... after the exit test of a one-pass loop, where it never runs
};

struct Outcome {
    std::vector<std::array<Factor, kParts>> factors;  // per structure and part
    Refusal refusal = Refusal::None;
    std::int64_t at = -1;      // the capture or trigger wait refused
    std::int32_t block = -1;   // the structure that names the block
    std::int64_t capture = -1; // for a trigger wait: the capture the probe would miss
};

// Branch paths compared within `tolerance` seconds; `overhead` per record
// (only the records that take time matter), `counts` per structure (only the
// loops' are read).
Outcome resolve(const Structure& s, const std::vector<Rec>& recs, const std::vector<Count>& counts,
                const std::vector<double>& overhead, double tolerance);

}  // namespace tvk::assembler::timing
