"""Instruction-queue builder: build, compile and assemble one channel of about
1 000 and 10 000 compiled commands (plays, variables, nested if/else blocks
and loops).

Prints the time per compiled command of each step, how far it drifts from
1 000 to 10 000 commands (1 = linear), and the speed-up of compile() over
pure-Python versions of the same step, written below and run on the same
channel: one that follows the steps literally (a list per block level, a scan
of the whole list for every label) and one with linear label resolution.
Both are first checked to give the same list as ours. Prints figures only."""
import copy
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from tarvok.compiler import zel_wave as z  # noqa: E402

LOOPS = 12     # loop counters share the channel's 16 registers with its variables


def best(fn, repeat=5):
    """The fastest of `repeat` runs, in seconds."""
    t_best = float("inf")
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        t_best = min(t_best, time.perf_counter() - t)
    return t_best


# ---- the program ----------------------------------------------------------------

def unit(ch, s, s2, loop):
    """One stretch of program: plays, a variable, an if/else with an if/else
    nested in its else block; every few units wrapped in a loop."""
    q = ch.ins_loop(3) if loop else ch
    with q:
        q.play_wave(s, 0.5)
        with q.ins_if("a == 1") as b:
            b.play_wave(s)
            b.ins_add("a", 1)
        with q.ins_else() as e:
            e.play_wave(s2, 0.25, 1e6)
            with e.ins_if("FREQ_2 == 1") as inner:
                inner.play_zero(8e-9)
            e.ins_else().play_zero(4e-9)
        q.ins_variable("b", 2)


def build(n):
    """A channel whose compiled list holds about n commands."""
    ch = z.InsChannel(freqs=[1e8, 2e8])
    s = ch.f_set[0] * ch.evlp_gaussian(20e-9)
    s2 = ch.f_set[1] * ch.ins_envelope(np.full(64, 0.5))
    ch.ins_variable("a", 0)
    ch.wait_for_trigger()
    per_unit = 25
    units = max(1, (n - 12) // per_unit)
    every = max(1, units // LOOPS)
    for i in range(units):
        unit(ch, s, s2, loop=(i % every == 0 and i // every < LOOPS))
    ch.end()
    return ch


# ---- the compile step in pure Python, as the steps state it ------------------------

def copy_items(q, flatten_block):
    out = []
    for item in q.i_set:
        if isinstance(item, z.InstructionQ):
            out += flatten_block(item)
        else:
            out.append(copy.copy(item))
    return out


def py_flatten(q):
    if isinstance(q, z.InsIF):
        return py_if_layout(q)
    if isinstance(q, z.InsLoop):
        return py_loop_layout(q)
    return copy_items(q, py_flatten)


def py_if_layout(blk):
    if_list = copy_items(blk, py_flatten)
    else_list = copy_items(blk.ins_else, py_flatten) if isinstance(blk.ins_else, z.InsElse) else []
    while len(else_list) < 3:
        else_list.append(z.QInsWait(tag=blk.generate_tag))
    label = z.QInsPlaceholder(tag=blk.generate_tag)
    if_list.append(label)
    blk.key_ins.target = if_list[0].tag
    jump = z.QInsJump(target=label.tag, tag=blk.generate_tag)

    def w():
        return z.QInsWait(tag=blk.generate_tag)
    return [w(), blk.key_ins, w(), w()] + else_list + [w(), jump, w(), w()] + if_list


def py_loop_layout(blk):
    body = copy_items(blk, py_flatten)
    reg = blk.channel._map_var(blk.var)
    start = z.QInsMov(reg=reg, value=0, type="=", tag=blk.generate_tag)
    body.append(z.QInsMov(reg=reg, value=1, type="+", tag=blk.generate_tag))
    label = z.QInsPlaceholder(tag=blk.generate_tag)
    test = z.QInsJumpWithReg(reg=reg, value=blk.times, target=label.tag, tag=blk.generate_tag)
    back = z.QInsJump(target=body[0].tag, tag=blk.generate_tag)

    def w():
        return z.QInsWait(tag=blk.generate_tag)
    return [start] + body + [w(), test, w(), w(), back, label, w(), w()]


def py_head(ch):
    out = [ch.f_set[k].format() for k in sorted(ch.f_set)]
    out += [ch.e_set[k].format() for k in sorted(ch.e_set)]
    out += py_flatten(ch)
    if not isinstance(out[-1], (z.QInsWait, z.QInsEnd)):
        out.append(ch.wait())
    if not isinstance(out[-1], z.QInsEnd):
        out.append(ch.end())
    return out


def py_compile_literal(ch):
    out = py_head(ch)
    result = []
    for i, item in enumerate(out):
        if isinstance(item, z.QInsPlaceholder):
            label, repl = item.tag, out[i + 1].tag
            for other in out:
                if getattr(other, "target", "") == label:
                    other.target = repl
        else:
            result.append(item)
    return result


def py_compile_linear(ch):
    out = py_head(ch)
    final = {}
    for i in range(len(out) - 1, -1, -1):
        if isinstance(out[i], z.QInsPlaceholder):
            nxt = out[i + 1].tag
            final[out[i].tag] = final.get(nxt, nxt)
    result = []
    for item in out:
        if isinstance(item, z.QInsPlaceholder):
            continue
        t = getattr(item, "target", "")
        if t in final:
            item.target = final[t]
        result.append(item)
    return result


# ---- measuring ---------------------------------------------------------------------------

def structure(recs):
    """The list without its fresh tags: each record's class, fields and the
    position its target names."""
    pos = {r.tag: i for i, r in enumerate(recs)}
    out = []
    for r in recs:
        fields = {k: v for k, v in vars(r).items() if k not in ("tag", "target", "envelop")}
        out.append((type(r).__name__, tuple(sorted(fields.items(), key=str)),
                    pos.get(getattr(r, "target", None), -1)))
    return [(k, repr(f), t) for k, f, t in out]


def run(n):
    t0 = time.perf_counter()
    ch = build(n)
    t_build = time.perf_counter() - t0
    compiled = ch.compile()            # records the closing wait and end once
    size = len(compiled)
    ref = structure(compiled)
    for twin in (py_compile_literal, py_compile_linear):
        assert structure(twin(ch)) == ref, twin.__name__
    t_ours = best(ch.compile)
    t_literal = best(lambda: py_compile_literal(ch), repeat=1 if size > 5000 else 3)
    t_linear = best(lambda: py_compile_linear(ch))
    asm = z.Assembler({1: [3]})
    t_load = best(lambda: asm.set_chnl_cmdq(3, compiled))
    t_image = best(asm.assemble, repeat=3)
    assert len(asm.drive_cmdq[3]) == size - len(ch.e_set)
    per = {k: v / size * 1e6 for k, v in dict(build=t_build, compile=t_ours, literal=t_literal,
                                             linear=t_linear, load=t_load, image=t_image).items()}
    print(f"{size:6d} commands: build {per['build']:5.2f} us, compile {per['compile']:5.2f} us, "
          f"assemble {per['load'] + per['image']:5.2f} us per command; "
          f"compile speed-up {t_literal / t_ours:6.1f}x over the literal Python steps, "
          f"{t_linear / t_ours:4.1f}x over Python with linear labels")
    return size, per


if __name__ == "__main__":
    small, large = run(1000), run(10000)
    print("per-command time, 10 000 / 1 000 commands (1 = linear): " + ", ".join(
        f"{k} {large[1][k] / small[1][k]:.2f}" for k in ("build", "compile", "linear", "load", "image")))
