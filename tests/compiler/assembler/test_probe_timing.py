"""The probe side waits what the drive side takes when the drive queue loops
and branches: a counted loop's body counts once per pass, a branch of equal
paths counts one path, and a capture whose time the probe cannot know is
refused. Builder programs and hand-built lists, through the one-pass linking
and through its separate steps."""
import random
import re

import numpy as np
import pytest

from tarvok.compiler import ostrane as o
from tarvok.compiler import zel_wave as z

NS = 1e-9


class Steps(o.Assembler):
    """Links through the separate steps, as a subclass that replaces them does."""

    def _link_wave(self, *args):
        return super()._link_wave(*args)

    def _optimize_probe_q(self, *args):
        return super()._optimize_probe_q(*args)


def timeline(queue):
    """(word, seconds the probe waits right before it) for every probe word
    but the delays and the opening trigger wait."""
    out, waited = [], 0.0
    for w in queue[1:]:
        if isinstance(w, o._QInsPTrigDelay):
            waited += float(w.delay)
            continue
        out.append((type(w).__name__.strip("_").replace("QInsP", "").replace("QIns", ""), waited))
        waited = 0.0
    return out


def loaded(cls, cmdq):
    a = cls({1: [3]})
    a.set_chnl_cmdq(3, cmdq)
    return a


def shape_of(ns):
    """An envelope lasting `ns` nanoseconds (8 samples a nanosecond)."""
    return np.full(int(ns * 8), 0.5)


# ---------------------------------------------------------------- builder programs

def loop_of_plays(ch, h):
    s = ch.f_set[0] * ch.ins_envelope(shape_of(36))
    with ch.ins_loop(10) as loop:
        loop.play_wave(s)
    h["cap"] = ch.capture(1e-6)


def nested_loops(ch, h):
    s = ch.f_set[0] * ch.ins_envelope(shape_of(36))
    with ch.ins_loop(3) as outer:
        with outer.ins_loop(4) as inner:
            inner.play_wave(s)
        outer.play_zero(4 * NS)
    h["cap"] = ch.capture(1e-6)


def if_else(a, b, trigger=False, capture=True):
    def build(ch, h):
        ch.ins_variable("x", 1)
        with ch.ins_if("x == 1") as blk:
            blk.play_zero(a * NS)
        with ch.ins_else() as els:
            els.play_zero(b * NS)
        h["block"] = blk.key_ins
        if trigger:
            h["trig"] = ch.wait_for_trigger()
            ch.play_zero(100 * NS)
        if capture:
            h["cap"] = ch.capture(1e-6)
    return build


def branch_in_loop(ch, h):
    with ch.ins_loop(3) as loop:
        with loop.ins_if("FREQ_2 == 0") as blk:
            blk.play_zero(40 * NS)
        with loop.ins_else() as els:
            els.play_zero(16 * NS)
            els.play_zero(24 * NS)
    h["cap"] = ch.capture(1e-6)


def if_without_else(ch, h):
    with ch.ins_if("FREQ_1 == 1") as blk:
        blk.play_zero(40 * NS)
    h["block"] = blk.key_ins
    h["cap"] = ch.capture(1e-6)


def trigger_in_loop(ch, h):
    h["cap"] = ch.capture(1e-6)
    with ch.ins_loop(3) as loop:
        h["trig"] = loop.wait_for_trigger()
        loop.play_zero(40 * NS)
    h["test"] = loop


def no_blocks(ch, h):
    s = ch.f_set[0] * ch.ins_envelope(shape_of(24))
    ch.wait_for_trigger()
    ch.play_wave(s, 0.5)
    ch.play_zero(100 * NS)
    h["cap"] = ch.capture(1.6e-6)


def compiled(build):
    ch = z.InsChannel(freqs=[1e8])
    h = {}
    build(ch, h)
    ch.end()
    return ch.compile(), h


def exit_test_of(cmdq, loop_count):
    return next(r for r in cmdq if type(r) is o.QInsJumpWithReg and r.value == loop_count)


# (program, the words after the opening wait with the time waited before each)
# or (program, a function of the compiled list and the handles giving the refusal)
PROGRAMS = {
    "loop": (loop_of_plays, [("Capture", 360 * NS), ("Jump", 0.0)]),
    "nested loops": (nested_loops, [("Capture", 444 * NS), ("Jump", 0.0)]),
    "equal paths": (if_else(400, 400), [("Capture", 400 * NS), ("Jump", 0.0)]),
    "equal paths in a loop": (branch_in_loop, [("Capture", 120 * NS), ("Jump", 0.0)]),
    "unequal paths, then a capture": (
        if_else(400, 200),
        lambda q, h: f"the capture {h['cap']!r} follows the branch {h['block']!r} before the next "
                     "trigger wait, and its paths take different times"),
    "unequal paths, a trigger wait, a capture": (
        if_else(400, 200, trigger=True),
        [("WaitTrig", 200 * NS), ("Capture", 100 * NS), ("Jump", 0.0)]),  # the shorter path
    "unequal paths, no capture": (if_else(200, 400, capture=False), [("Jump", 200 * NS)]),
    "if without else": (
        if_without_else,
        lambda q, h: f"the capture {h['cap']!r} follows the branch {h['block']!r} before the next "
                     "trigger wait, and its paths take different times"),
    "trigger wait in a loop": (
        trigger_in_loop,
        lambda q, h: f"the trigger wait {h['trig']!r} stands in the loop {exit_test_of(q, 3)!r}, of 3 "
                     f"passes, so the probe side would fall out of step with the capture {h['cap']!r}"),
    "no blocks": (no_blocks, [("WaitTrig", 0.0), ("Capture", 124 * NS), ("Jump", 0.0)]),
}


@pytest.mark.parametrize("name", PROGRAMS)
@pytest.mark.parametrize("cls", [o.Assembler, Steps], ids=["one pass", "steps"])
def test_builder_programs(name, cls):
    build, expected = PROGRAMS[name]
    q, h = compiled(build)
    if callable(expected):
        a = cls({1: [3]})
        with pytest.raises(o.AssemblyError) as e:
            a.set_chnl_cmdq(3, q)
        assert str(e.value) == "The probe program cannot branch: " + expected(q, h)
        assert a.probe_cmdq[1] == [] and a.drive_cmdq[3] == []
        return
    words = timeline(loaded(cls, q).probe_cmdq[1])
    assert [w for w, _ in words] == [w for w, _ in expected]
    assert [t for _, t in words] == pytest.approx([t for _, t in expected], abs=1e-15)


@pytest.mark.parametrize("name", [n for n, (_, e) in PROGRAMS.items() if not callable(e)])
def test_both_roads_give_the_same_queues_and_images(name):
    q, _ = compiled(PROGRAMS[name][0])
    fast, steps = loaded(o.Assembler, q), loaded(Steps, q)
    for x, y in ((fast.drive_cmdq[3], steps.drive_cmdq[3]), (fast.probe_cmdq[1], steps.probe_cmdq[1])):
        assert [type(r) for r in x] == [type(r) for r in y]
        assert [getattr(r, "ins_idx", None) for r in x] == [getattr(r, "ins_idx", None) for r in y]
    assert [float(w.delay) for w in fast.probe_cmdq[1] if hasattr(w, "delay")] == \
        [float(w.delay) for w in steps.probe_cmdq[1] if hasattr(w, "delay")]
    for x, y in zip(fast.assemble(), steps.assemble()):
        assert np.array_equal(x[1], y[1])


def test_program_without_blocks_keeps_its_probe_image():
    q, _ = compiled(no_blocks)
    words = loaded(o.Assembler, q).assemble()[2][1].reshape(-1, 4).tolist()
    # trigger waits, 124 ns (7.75 steps) of drive output, the capture, the closing jump
    assert words == [[0, 0, 0, 0], [0, 0, 0, 0], [8, 0, 0, 65539], [100, 100, 0, 131075], [0, 0, 0, 196608]]


def test_one_delay_word_per_record_carries_its_weight():
    # the if path's play counts 0 (the else path, as long and first in the
    # list, stands for both), each play of the else path 3 times
    q, _ = compiled(branch_in_loop)
    a = loaded(o.Assembler, q)
    _, pq, _, _ = a._link_wave(3, [r for r in q if not isinstance(r, o.QInsEnvelop)])
    delays = [float(w.delay) for w in pq if isinstance(w, o._QInsPTrigDelay)]
    assert len(delays) == len(q) - 1  # every record but the capture
    assert [d for d in delays if d] == pytest.approx([48 * NS, 72 * NS])


# ---------------------------------------------------------------- hand-built lists

def zero(tag, ns):
    return o.QInsPlayZero(tag, ns * NS)


def counted(set_value, pre, post, value, body=()):
    """A loop as the builder lays it out: the counter set, the body (a 40 ns
    zero-play, then `body`), increments `pre`, the exit test, increments
    `post`, the back jump; after it a trigger wait."""
    q = [o.QInsMov("set", 2, set_value, "=")]
    q += [zero("first", 40)] + list(body)
    q += [o.QInsMov(f"pre{i}", 2, v, "+") for i, v in enumerate(pre)]
    q += [o.QInsJumpWithReg("exit", 2, value, "after"), zero("late", 8)]
    q += [o.QInsMov(f"post{i}", 2, v, "+") for i, v in enumerate(post)]
    q += [o.QInsJump("back", "first"), o.QInsWait("after"), o.QInsWaitTrig("T")]
    return q


@pytest.mark.parametrize("set_value, pre, post, value, passes", [
    (0, [1], [], 10, 10),
    (5, [1], [2], 15, 4),          # 5 + 4 + 2 * 3
    (0, [1, 1], [], 6, 3),
    (10, [-1], [], 7, 3),
    (3, [], [], 3, 1),             # nothing raises it: one pass, the test holds at once
    (0, [2], [], 3, None),         # never equal
    (0, [1], [], 0, None),         # equal only before the first pass
    (0, [], [], 3, None),
    (0, [1], [], 2.0, None),       # no integer
    (np.int64(0), [np.int8(1)], [], np.uint32(4), 4),
    (0, [1], [], 2**70, 2**70),
])
def test_pass_count_of_a_counted_loop(set_value, pre, post, value, passes):
    a = loaded(o.Assembler, counted(set_value, pre, post, value))
    waited = timeline(a.probe_cmdq[1])[0]
    # an unknown count waits one pass, the least the drive side can take
    k = passes or 1
    assert waited == ("WaitTrig", pytest.approx(40 * NS * k + 8 * NS * (k - 1)))


@pytest.mark.parametrize("passes", [3, None])
def test_a_capture_after_a_loop_follows_its_count(passes):
    q = counted(0, [1], [], passes if passes else 0) + [o.QInsCapture("C", 1e-06)]
    del q[-2]  # no trigger wait between
    if passes:
        assert timeline(loaded(o.Assembler, q).probe_cmdq[1])[0] == ("Capture", pytest.approx(136 * NS))
        return
    a = o.Assembler({1: [3]})
    with pytest.raises(o.AssemblyError, match=re.escape(
            "The probe program cannot branch: the capture QInsCapture(tag='C', width=1e-06, probe_delay=0) "
            "follows the loop QInsJumpWithReg(tag='exit', reg=2, value=0, target='after') before the next "
            "trigger wait, and its pass count is unknown")):
        a.set_chnl_cmdq(3, q)
    # linking got through the whole list before refusing it
    assert a.capture_count[1] == [1] and a.probe_count(1) == 1


@pytest.mark.parametrize("where, value, text", [
    ("body", 3, "stands in the loop QInsJumpWithReg(tag='exit', reg=2, value=3, target='after'), of 3 passes"),
    ("body", 2.5, "stands in the loop QInsJumpWithReg(tag='exit', reg=2, value=2.5, target='after'), "
                  "of an unknown number of passes"),
    ("after exit", 1, "stands after the exit test of the loop QInsJumpWithReg(tag='exit', reg=2, value=1, "
                      "target='after'), of one pass, and never runs"),
])
@pytest.mark.parametrize("cls", [o.Assembler, Steps], ids=["one pass", "steps"])
def test_capture_inside_a_hand_built_loop_is_refused(where, value, text, cls):
    cap = o.QInsCapture("C", 1e-06)
    q = counted(0, [1], [], value, body=[cap] if where == "body" else [])
    if where == "after exit":
        q.insert(q.index(next(r for r in q if r.tag == "late")), cap)
    a = cls({1: [3]})
    with pytest.raises(o.AssemblyError) as e:
        a.set_chnl_cmdq(3, q)
    assert str(e.value) == ("The probe program cannot branch: the capture QInsCapture(tag='C', width=1e-06, "
                            "probe_delay=0) " + text)


def test_capture_inside_a_single_pass_loop_runs_in_line():
    q = counted(0, [1], [], 1, body=[o.QInsCapture("C", 1e-06)])
    assert timeline(loaded(o.Assembler, q).probe_cmdq[1])[:2] == [
        ("Capture", pytest.approx(40 * NS)), ("WaitTrig", 0.0)]  # the part after the test never runs


def test_hand_built_branch_on_a_register():
    # if/else without the builder's spacers; the paths take 40 ns each
    q = [o.QInsJumpWithReg("c", 1, 0, "if"), zero("else", 40), o.QInsJump("over", "after"),
         zero("never", 1000), zero("if", 16), zero("if2", 24), o.QInsWait("after"), o.QInsCapture("C", 1e-06)]
    a = loaded(o.Assembler, q)
    assert timeline(a.probe_cmdq[1])[0] == ("Capture", pytest.approx(40 * NS))
    assert [r.ins_idx for r in a.drive_cmdq[3] if hasattr(r, "ins_idx")] == [4, 6]


UNRECOGNISED = {
    "back jump without a counter": [o.QInsWaitTrig("T"), zero("z", 40), o.QInsJump("j", "T")],
    "conditional back jump": [o.QInsMov("s", 0, 0), zero("z", 40), o.QInsJumpWithReg("j", 0, 3, "z")],
    "two exit tests": [o.QInsMov("s", 0, 0), zero("z", 40), o.QInsMov("i", 0, 1, "+"),
                       o.QInsJumpWithReg("e1", 0, 3, "w"), o.QInsJumpWithReg("e2", 0, 5, "w"),
                       o.QInsJump("b", "z"), o.QInsWait("w")],
    "counter written in a nested branch": [
        o.QInsMov("s", 0, 0), zero("z", 40), o.QInsJumpWithJudge("c", 1, 1, "w0"), o.QInsMov("i", 0, 1, "+"),
        o.QInsWait("w0"), o.QInsJumpWithReg("e", 0, 3, "w"), o.QInsJump("b", "z"), o.QInsWait("w")],
    "counter set apart from the loop": [o.QInsMov("s", 0, 0), o.QInsWait("gap"), zero("z", 40),
                                        o.QInsMov("i", 0, 1, "+"), o.QInsJumpWithReg("e", 0, 3, "w"),
                                        o.QInsJump("b", "z"), o.QInsWait("w")],
    "branch crossing a loop": [o.QInsJumpWithJudge("c", 1, 1, "z2"), o.QInsMov("s", 0, 0), zero("z", 40),
                               zero("z2", 8), o.QInsMov("i", 0, 1, "+"), o.QInsJumpWithReg("e", 0, 3, "w"),
                               o.QInsJump("b", "z"), o.QInsWait("w")],
    "forward jump alone": [o.QInsJump("j", "w"), zero("z", 40), o.QInsWait("w")],
}


@pytest.mark.parametrize("name", UNRECOGNISED)
@pytest.mark.parametrize("cls", [o.Assembler, Steps], ids=["one pass", "steps"])
def test_unrecognised_jumps_keep_one_run_per_record(name, cls):
    # a capture after a loop or branch the analysis does not see is not
    # refused: every record counts once, as the list reads
    q = UNRECOGNISED[name] + [zero("tail", 8), o.QInsCapture("C", 1e-06)]
    a = loaded(cls, q)
    expected = sum(r.overhead for r in q if not isinstance(r, o.QInsCapture))
    assert timeline(a.probe_cmdq[1])[-2] == ("Capture", pytest.approx(expected))


def test_a_target_outside_the_list_still_fails_as_a_missing_tag():
    with pytest.raises(KeyError, match="elsewhere"):
        o.Assembler().set_chnl_cmdq(3, [o.QInsMov("s", 0, 0), zero("z", 40), o.QInsJump("b", "z"),
                                        o.QInsJumpWithReg("e", 0, 1, "elsewhere"), o.QInsCapture("C", 1e-06)])


def test_trigger_waits_inside_blocks_need_no_refusal_without_captures():
    q, _ = compiled(trigger_in_loop)
    q = [r for r in q if not isinstance(r, o.QInsCapture)]
    a = loaded(o.Assembler, q)
    assert [w for w, _ in timeline(a.probe_cmdq[1])] == ["WaitTrig", "Jump"]


# ---------------------------------------------------------------- against the drive side running

def random_program(rng):
    """Nested counted loops and branches (some of unequal paths, some of
    unreachable counts) around zero-plays, captures, trigger waits and moves,
    laid out as the builder lays them out but without its spacers."""
    n = [0]
    regs = iter(range(1, 256))

    def tag(prefix):
        n[0] += 1
        return f"{prefix}{n[0]}"

    def plain(depth):
        c = rng.random()
        if c < 0.6:
            return [zero(tag("z"), rng.choice([0, 4, 8, 12, 20]))]
        if c < 0.75 and (depth == 0 or rng.random() < 0.1):
            return [o.QInsCapture(tag("c"), 1e-07)]
        if c < 0.85 and (depth == 0 or rng.random() < 0.2):
            return [o.QInsWaitTrig(tag("t"))]
        return [o.QInsMov(tag("m"), 0, 3)]

    def block(depth, size):
        out = []
        for _ in range(size):
            c = rng.random()
            out += loop(depth + 1) if depth < 3 and c < 0.2 else branch(depth + 1) if depth < 3 and c < 0.4 \
                else plain(depth)
        return out

    def loop(depth):
        r, v0, step = next(regs), rng.choice([0, 0, 2]), rng.choice([1, 1, 2])
        body = block(depth, rng.randint(0, 3)) + [o.QInsMov(tag("i"), r, step, "+")]
        land = zero(tag("l"), 0)
        post = block(depth, 1) if rng.random() < 0.3 else []
        value = v0 + step * rng.randint(1, 4) if rng.random() < 0.9 else v0 + rng.randint(1, 5)  # may be missed
        return ([o.QInsMov(tag("s"), r, v0, "=")] + body
                + [o.QInsJumpWithReg(tag("x"), r, value, land.tag)] + post
                + [o.QInsJump(tag("j"), body[0].tag), land])

    def branch(depth):
        a, b = block(depth, rng.randint(0, 2)), block(depth, rng.randint(0, 2))
        if rng.random() < 0.5:  # paths of equal time
            b = [zero(tag("z"), sum(r.overhead for r in a if type(r) is o.QInsPlayZero) / NS)]
        land = zero(tag("l"), 0)
        if rng.random() < 0.3:
            return [o.QInsJumpWithJudge(tag("b"), 1, 1, land.tag)] + a + [land]
        taken = b + [land]
        return ([o.QInsJumpWithJudge(tag("b"), 1, 1, taken[0].tag)] + a
                + [o.QInsJump(tag("o"), land.tag), zero(tag("k"), 1000)] + taken)

    last = [o.QInsCapture(tag("c"), 1e-07)] if rng.random() < 0.7 else []
    return block(0, rng.randint(1, 8)) + last + [o.QInsEnd("end")]


def drive_events(a, judge):
    """Runs the linked drive queue: (event, seconds since the last trigger
    wait) for each trigger wait and capture, and the end; None for a program
    that does not end (a loop whose count is never met)."""
    dq = a.drive_cmdq[3]
    captures = {r.tag for r in dq if type(r) is o.QInsPlayZero and r.tag.startswith("c")}
    regs, events, t, pc = {}, [], 0.0, 0
    for _ in range(100_000):
        r = dq[pc]
        if type(r) is o.QInsEnd:
            return events + [("end", t)]
        pc += 1
        if type(r) is o.QInsJump:
            pc = r.ins_idx
        elif type(r) is o.QInsJumpWithReg:
            pc = r.ins_idx if regs.get(r.reg, 0) == r.value else pc
        elif type(r) is o.QInsJumpWithJudge:
            pc = r.ins_idx if judge() else pc
        elif type(r) is o.QInsMov:
            regs[r.reg] = r.value + (regs.get(r.reg, 0) if r.type == "+" else 0)
        elif type(r) is o.QInsWaitTrig:
            events.append(("trig", t))
            t = 0.0
        else:
            if r.tag in captures:
                events.append(("cap", t))
            t += r.overhead
    return None


def probe_events(a):
    events, t = [], 0.0
    for w in a.probe_cmdq[1][1:]:
        if isinstance(w, o._QInsPTrigDelay):
            t += float(w.delay)
        elif isinstance(w, o.QInsCapture):
            events.append(("cap", t))
            t += len(w) * o.global_config["capture_step"]
        else:
            events.append(("trig" if isinstance(w, o._QInsPWaitTrig) else "end", t))
            t = 0.0
    return events


@pytest.mark.parametrize("seed", range(8))
def test_probe_captures_where_the_drive_side_does(seed):
    # every accepted program with captures, run on the drive side with the
    # judgement bits always set, never set and at random
    rng, gen = np.random.default_rng(seed), random.Random(seed)
    checked = 0
    for _ in range(80):
        q = random_program(gen)
        a = o.Assembler({1: [3]})
        try:
            a.set_chnl_cmdq(3, q)
        except o.AssemblyError as e:
            assert str(e).startswith("The probe program cannot branch: the ")
            continue
        if not any(type(r) is o.QInsCapture for r in q):
            continue
        probe = probe_events(a)
        runs = [drive_events(a, judge) for judge in (lambda: True, lambda: False, lambda: rng.random() < 0.5)]
        if runs[0] is None:  # the drive side never ends
            continue
        for drive in runs:
            assert [e for e, _ in drive] == [e for e, _ in probe]
            for (event, td), (_, tp) in zip(drive, probe):
                if event == "cap":
                    assert tp == pytest.approx(td, abs=1e-12)
                else:  # the probe never waits past the drive side
                    assert tp <= td + 1e-12
        checked += 1
    assert checked >= 10
