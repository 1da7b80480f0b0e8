"""The ten default checkers against the same checkers written in pure Python.

Builds a scheduled program of two levels (set-up instructions, then trigger
waits and conditional jumps each holding a padded block) of 1 000 and
20 000 instructions, checks once that both sides give the same lists and
records (on a clean program and on one with faults in every block), then
times each checker and all ten in a row. Prints ns per instruction, the
scaling ratio (ns per instruction at 20 000 over that at 1 000) and the
ratio pure-Python / ours.

The pure-Python checkers (`Twin*`) live in tests/reference/checkers.py,
the reference of the differential tests."""
import os
import sys
import time
import types

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)
sys.path.append(os.path.join(ROOT, "tests"))
from benchkit.speedups import Speedups  # noqa: E402
from reference.checkers import DEFAULT, TWINS, same  # noqa: E402
from tarvok.zelvo import _checkers  # noqa: E402
from tarvok.zelvo._ir import UnfixIR  # noqa: E402

SIZES = (1_000, 20_000)
REPEAT = 5


# ---- the program -------------------------------------------------------------

def kernel():
    """What the instructions read of their kernel: the compile parameters."""
    return types.SimpleNamespace(compile_params={"da_srate": 8e9, "ad_srate": 8e9, "base_clock": 4e-9,
                                                 "target_chnl_type": "da"}, instr_target_map={})


def program(n, faults=False):
    """A scheduled program of about n instructions: set-up first, then
    blocks of about 16 padded instructions under trigger waits and
    conditional jumps. With faults, every checker but the instruction count
    finds something."""
    import tarvok.zelvo._ir as ir
    k = kernel()
    envs = []
    for i in range(8):
        e = ir.IREnvelope(np.linspace(-0.9, 0.9, 256) * (1.5 if faults and i == 3 else 1))
        e.envelope_slice = slice(256 * i, 256 * (i + 1), 1)
        envs.append(e)
    top = envs + [ir.IRFrame(1e9 * (i + 1) * (10 if faults and i == 2 else 1), 0, i) for i in range(4)]
    top += [ir.IRProt([1e8], 1.5 + 0.5j if faults else 0.5 + 0.5j),
            ir.IRWaveform(np.zeros((3 if faults else 2, 64))), ir.IRNop(), ir.IRNop()]
    ddr = ir.IRPlayDDRImm(types.SimpleNamespace(waveform=np.zeros(4), offset=0), kernel=k)
    count, blocks = len(top), 0
    while count < n:
        blocks += 1
        trig = blocks % 4 != 0
        head = ir.IRWaitTrig(kernel=k) if trig else ir.IRJumpConditional(0, 1, 2, kernel=k)
        env = envs[blocks % 8]
        # Padded as the timing rule pads: each window holds what follows it.
        block = [ir.IRWait(8e-8, kernel=k), ir.IRFrameRst(), ir.IRPlayImm(0, env, 0.5, 0, 1e8, 0, kernel=k),
                 ir.IRNop(), ir.IRNop(), ir.IRDelay(1.6e-8, kernel=k),
                 ir.IRCapture([1e8], 1.6e-8, 0.0, 1.6e-8, kernel=k), ir.IRNop(), ir.IRNop(), ir.IRNop(),
                 ir.IRWait(8e-8, kernel=k), ir.IRFrameAdd([0], 1e8, 0.0),
                 ir.IRPlayImm(1, env, 0.25, 0, 1e8, 0, kernel=k), ir.IRNop(), ir.IRNop()]
        if trig and not (faults and blocks == 5):
            block.append(ddr)
        if faults:
            block[2].amp = 40000
            block[5] = ir.IRDelay(8e-8, kernel=k)
            block.insert(7, ir.IRCapture([1e8], 2.0e-8, 0.0, 1.6e-8, kernel=k))
            block.insert(9, ir.IRFrameRst())
        head.ir_sub = block
        top.append(head)
        count += 1 + len(block)
    return top


# ---- running ------------------------------------------------------------------

def best(fn):
    times = []
    for _ in range(REPEAT):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def main():
    for faults in (False, True):
        prog = program(2_000, faults)
        for name in TWINS:
            ours, theirs = getattr(_checkers, name)().check_ir(prog), TWINS[name]().check_ir(prog)
            assert same(ours, theirs), name
            assert (len(ours[1]) > 0) == (faults and name != "IRNumberChecker"), name
    print("outputs equal on a clean program and on one with faults")
    table = Speedups("checker", 18)
    for n in SIZES:
        prog = program(n)
        size = sum(1 + (len(x.ir_sub) if isinstance(x, UnfixIR) else 0) for x in prog)
        print(f"\n{size} instructions")
        table.header()
        rows = [(name, getattr(_checkers, name), TWINS[name]) for name in DEFAULT]
        rows.append(("all ten", None, None))
        for name, ours, twin in rows:
            if ours is None:
                t_ours = best(lambda: [getattr(_checkers, c)().check_ir(prog) for c in DEFAULT])
                t_twin = best(lambda: [TWINS[c]().check_ir(prog) for c in DEFAULT])
            else:
                t_ours = best(lambda: ours().check_ir(prog))
                t_twin = best(lambda: twin().check_ir(prog))
            table.row(name, t_ours, t_twin, size)
    table.scaling(SIZES)


if __name__ == "__main__":
    main()