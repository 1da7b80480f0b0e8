#include "probe_timing.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <unordered_map>

namespace tvk::assembler::timing {

namespace {

// An open region of the scan: the top level, a loop body, or a branch path.
struct Frame {
    std::int32_t node;  // -1 at the top level
    Part part;          // the part the region's own records take
    std::int64_t hi;    // the region ends before hi (a loop body: at its back jump)
    std::int64_t resume = -1;  // loop body: where the exit test lands
};

}  // namespace

Structure analyse(const std::vector<Rec>& recs) {
    Structure s;
    const auto n = static_cast<std::int64_t>(recs.size());
    s.owner.assign(recs.size(), -1);
    s.part.assign(recs.size(), Part::Level);

    // Back jumps by the first record of their body; positions jumps land on;
    // counter moves by register.
    std::vector<std::int64_t> back_of(recs.size(), -1);
    std::vector<char> landed(recs.size(), 0);
    std::unordered_map<std::int64_t, std::vector<std::int64_t>> moves;
    for (std::int64_t i = 0; i < n; ++i) {
        const Rec& r = recs[i];
        if (r.kind == Kind::MovSet || r.kind == Kind::MovAdd || r.kind == Kind::MovOther) {
            if (r.reg_known) moves[r.reg].push_back(i);
            continue;
        }
        if (!is_jump(r.kind)) continue;
        if (r.kind == Kind::OtherJump || r.target < 0 || r.target >= n) return s;
        landed[r.target] = 1;
        if (r.target <= i) {
            // Only an unconditional jump closes a loop, and one body has one.
            if (r.kind != Kind::Jump || back_of[r.target] >= 0) return s;
            back_of[r.target] = i;
        }
    }

    // Records that never run must be plain ones nothing jumps to.
    auto skip = [&](std::int64_t from, std::int64_t to, std::int32_t node) {
        for (std::int64_t p = from; p < to; ++p) {
            if (is_jump(recs[p].kind) || landed[p] || back_of[p] >= 0) return false;
            s.owner[p] = node;
            s.part[p] = Part::Skip;
        }
        return true;
    };

    std::vector<Frame> open{{-1, Part::Level, n}};
    std::int64_t i = 0;
    bool body_start = false;  // i is the first record of a loop body just opened
    for (;;) {
        // Close every region that ends here.
        while (open.size() > 1 && i == open.back().hi) {
            Frame f = open.back();
            Node& node = s.nodes[f.node];
            const std::int64_t outer_hi = open[open.size() - 2].hi;
            if (!node.loop) {  // a path ends where the branch resumes
                node.end = i;
                open.pop_back();
                continue;
            }
            if (node.exit < 0 || f.resume > outer_hi) return s;
            s.owner[i] = f.node;
            s.part[i] = Part::LoopPost;
            if (!skip(i + 1, f.resume, f.node)) return s;
            // The counter: set right before the body, raised only at the
            // loop's own level, and by nothing else inside it.
            const Rec& set = recs[node.open];
            if (set.kind != Kind::MovSet || !set.reg_known || set.reg != node.reg) return s;
            const std::int64_t first = node.open + 1;
            const auto& on_reg = moves[node.reg];
            for (auto it = std::lower_bound(on_reg.begin(), on_reg.end(), first);
                 it != on_reg.end() && *it <= node.back; ++it) {
                if (recs[*it].kind != Kind::MovAdd || s.owner[*it] != f.node) return s;
                (*it < node.exit ? node.pre : node.post).push_back(*it);
            }
            node.end = f.resume;
            i = f.resume;
            open.pop_back();
        }
        if (i == n) break;

        Frame& f = open.back();
        const Rec& r = recs[i];
        // A loop body is entered only through its counter set.
        if (back_of[i] >= 0 && !body_start) return s;
        body_start = false;
        s.owner[i] = f.node;
        s.part[i] = f.part;

        if (i + 1 < n && back_of[i + 1] >= 0) {  // i is the counter set of a loop
            const std::int64_t back = back_of[i + 1];
            if (r.kind != Kind::MovSet || back >= f.hi) return s;
            Node loop;
            loop.loop = true;
            loop.parent = f.node;
            loop.parent_part = f.part;
            loop.open = i;
            loop.back = back;
            s.nodes.push_back(std::move(loop));
            open.push_back({static_cast<std::int32_t>(s.nodes.size() - 1), Part::LoopPre, back});
            ++i;
            body_start = true;
            continue;
        }

        if (!is_jump(r.kind)) {
            ++i;
            continue;
        }
        const std::int64_t t = r.target;
        if (t <= i) return s;  // a back jump is met only as the end of its loop
        const bool in_loop = f.node >= 0 && s.nodes[f.node].loop;
        if (r.kind == Kind::Jump) {
            // The jump over the other path, at the end of a branch's first path.
            const bool over = f.node >= 0 && f.part == Part::PathA && t >= f.hi;
            if (!over || t > open[open.size() - 2].hi || !skip(i + 1, f.hi, f.node)) return s;
            i = f.hi;
            f.part = Part::PathB;
            f.hi = t;
            continue;
        }
        if (in_loop && t > f.hi) {  // leaves the loop: its exit test, the only one
            Node& loop = s.nodes[f.node];
            if (r.kind != Kind::JumpReg || !r.reg_known || loop.exit >= 0) return s;
            loop.exit = i;
            loop.reg = r.reg;
            f.resume = t;
            f.part = Part::LoopPost;
            ++i;
            continue;
        }
        if (t > f.hi) return s;
        Node branch;
        branch.parent = f.node;
        branch.parent_part = f.part;
        branch.open = i;
        s.nodes.push_back(std::move(branch));
        open.push_back({static_cast<std::int32_t>(s.nodes.size() - 1), Part::PathA, t});
        ++i;
    }
    s.recognised = true;
    return s;
}

namespace {

std::size_t at(Part p) { return static_cast<std::size_t>(p); }

// k runs of a part taking x seconds (no NaN from an infinite count of nothing).
double runs(double k, double x) { return x == 0.0 ? 0.0 : k * x; }

}  // namespace

Outcome resolve(const Structure& s, const std::vector<Rec>& recs, const std::vector<Count>& counts,
                const std::vector<double>& overhead, double tolerance) {
    const std::size_t m = s.nodes.size();
    Outcome out;
    out.factors.resize(m);

    // Time of each part, then of each structure, children first.
    std::vector<std::array<double, kParts>> time(m);
    for (auto& t : time) t.fill(0.0);
    for (std::size_t i = 0; i < recs.size(); ++i)
        if (s.owner[i] >= 0 && s.part[i] != Part::Skip) time[s.owner[i]][at(s.part[i])] += overhead[i];
    // A structure whose time is not settled (unequal paths, an unknown count),
    // itself or inside; and the one to name for it.
    std::vector<char> unsettled(m, 0);
    std::vector<std::int32_t> culprit(m, -1);
    for (std::size_t x = m; x-- > 0;) {
        const Node& node = s.nodes[x];
        auto& f = out.factors[x];
        f.fill(Factor::Zero);
        double t;
        bool own;
        if (node.loop) {
            const Count& c = counts[x];
            f[at(Part::LoopPre)] = Factor::One;
            t = time[x][at(Part::LoopPre)];
            own = !c.known;
            if (c.known && !c.one()) {  // an unknown count waits one pass, the least the drive side takes
                f[at(Part::LoopPre)] = Factor::K;
                f[at(Part::LoopPost)] = Factor::KLess1;
                t = runs(c.k, t) + runs(c.k - 1.0, time[x][at(Part::LoopPost)]);
            }
        } else {
            const double a = time[x][at(Part::PathA)], b = time[x][at(Part::PathB)];
            own = !(std::fabs(a - b) <= tolerance);
            // Equal paths count once, the first; else the probe takes the
            // shorter, and never waits past a trigger the drive side waits for.
            const bool take_b = own && b < a;
            f[at(take_b ? Part::PathB : Part::PathA)] = Factor::One;
            t = take_b ? b : a;
        }
        if (own) {
            unsettled[x] = 1;
            culprit[x] = static_cast<std::int32_t>(x);
        }
        if (node.parent >= 0) {
            time[node.parent][at(node.parent_part)] += t;
            // Children run last to first, before their parent: the parent
            // names itself, else its first unsettled child.
            if (unsettled[x]) {
                unsettled[node.parent] = 1;
                culprit[node.parent] = culprit[x];
            }
        }
    }
    bool any_capture = false;
    for (const Rec& r : recs) any_capture = any_capture || r.kind == Kind::Capture;
    std::vector<std::int32_t> by_end(m);
    std::iota(by_end.begin(), by_end.end(), 0);
    std::stable_sort(by_end.begin(), by_end.end(),
                     [&](std::int32_t a, std::int32_t b) { return s.nodes[a].end < s.nodes[b].end; });

    // Why a record in part p of structure o does not run once per run of o.
    auto why = [&](std::int32_t o, Part p) {
        const Node& node = s.nodes[o];
        if (!node.loop) return Refusal::InBranch;
        if (!counts[o].one()) return Refusal::InLoop;
        return p == Part::LoopPre ? Refusal::None : Refusal::AfterExit;
    };
    // Whether each structure runs once, in line, wherever it stands.
    std::vector<char> in_line(m, 1);
    for (std::size_t x = 0; x < m; ++x) {
        const Node& node = s.nodes[x];
        if (node.parent >= 0)
            in_line[x] = in_line[node.parent] && why(node.parent, node.parent_part) == Refusal::None;
    }

    std::int32_t pending = -1;  // an unsettled structure since the last trigger wait
    std::size_t e = 0;
    const auto n = static_cast<std::int64_t>(recs.size());
    for (std::int64_t i = 0; i < n; ++i) {
        for (; e < m && s.nodes[by_end[e]].end <= i; ++e)
            if (pending < 0 && unsettled[by_end[e]]) pending = culprit[by_end[e]];
        const Kind kind = recs[i].kind;
        if (kind != Kind::Capture && !(kind == Kind::WaitTrig && any_capture)) continue;
        // The probe sees a capture or a trigger wait once, in line: refuse it
        // where the drive side does not run it exactly once in line (the
        // innermost structure that does not is named; the walk out runs once).
        const std::int32_t own = s.owner[i];
        if (own >= 0 && (why(own, s.part[i]) != Refusal::None || !in_line[own])) {
            Part p = s.part[i];
            for (std::int32_t o = own; o >= 0 && out.refusal == Refusal::None; o = s.nodes[o].parent) {
                out.refusal = why(o, p);
                out.block = o;
                p = s.nodes[o].parent_part;
            }
        }
        if (out.refusal == Refusal::None && kind == Kind::Capture && pending >= 0) {
            out.refusal = Refusal::FollowsBlock;
            out.block = pending;
        }
        if (out.refusal != Refusal::None) {
            out.at = i;
            if (kind == Kind::WaitTrig) {
                for (std::int64_t j = i + 1; j < n && out.capture < 0; ++j)
                    if (recs[j].kind == Kind::Capture) out.capture = j;
                for (std::int64_t j = 0; j < i && out.capture < 0; ++j)
                    if (recs[j].kind == Kind::Capture) out.capture = j;
            }
            return out;
        }
        if (kind == Kind::WaitTrig) pending = -1;
    }
    return out;
}

}  // namespace tvk::assembler::timing
