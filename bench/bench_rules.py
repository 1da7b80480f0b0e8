"""Scheduling rules and the pass pipeline against the same rules written in
pure Python.

Generates kernel programs as the front-end lays them out (declarations, trigger
waits, plays, captures, register moves, overlap instructions, lowered `if`
branches, DDR plays, waits of every length), runs the nine default rules
through both the C++ modules and the Python twins (tests/reference/rules.py),
checks once that both schedule every program alike (instructions, real wait
times, lines, kernels, fields, blocks), then times each rule and the whole
pipeline (no checkers, no optimizers, a translator that returns the list) at
1 000 and 20 000 instructions. Prints ns per instruction, the ratio of the two
sizes (linear: close to 1) and the speed-up over pure Python. Rules change the
instructions they are given, so every timed run gets a program of its own."""
import gc
import math
import os
import random
import sys
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)
sys.path.append(os.path.join(ROOT, "tests"))
from reference.rules import OURS, PURE, RULE_NAMES, Conveyor, Kernel, run_rules, signature  # noqa: E402
from tarvok.zelvo import _conveyor  # noqa: E402
from tarvok.zelvo._ir import (  # noqa: E402
    IRAdd, IRArbWaveform, IRCapture, IRDelay, IREnvelope, IRFrame, IRFrameAdd, IRFrameRst, IRJmov,
    IRJumpConditional, IRJumpInside, IRLoadDDRImm, IRMov, IRNsw, IRPlaceholder, IRPlayDDRImm, IRPlayImm,
    IRProt, IRWait, IRWaitTrig)

SIZES = (1_000, 20_000)
REPEAT = 3


# ---- programs ----------------------------------------------------------------

def build(n, rules, seed=11):
    """A flat program of n instructions as the front-end lays it out."""
    rnd = random.Random(seed)
    k = Kernel("k", rules)
    other = Kernel("other", rules)
    line = [1]

    def put(ir, kernel=k):
        ir.kernel = kernel
        ir.line = line[0]
        line[0] += 1
        prog.append(ir)
        return ir

    prog = []
    envs = [put(IREnvelope(np.hanning(m))) for m in (64, 128, 96, 256)]
    arb = put(IRArbWaveform("w", np.zeros(512)))
    for i in range(4):
        put(IRFrame(rnd.uniform(-4e8, 4e8), 0.1 * i, i))
    put(IRProt([1e6], complex(0.5, 0.5)))
    while len(prog) < n:
        put(IRWaitTrig())
        put(IRMov(rnd.randrange(16), rnd.randrange(100)))
        for _ in range(rnd.randrange(1, 4)):
            kind = rnd.random()
            if kind < 0.5:
                put(IRPlayImm(rnd.randrange(4), rnd.choice(envs), 0.5, 0, 1e8, 0.0))
            elif kind < 0.7:
                put(IRPlayDDRImm(arb), kernel=rnd.choice([k, other]))
            else:
                put(IRLoadDDRImm(arb))
            put(IRWait(rnd.choice([0, 1e-9, 4e-9, 2e-8, 1e-7, 4e-6])))
        for _ in range(rnd.randrange(0, 4)):
            put(rnd.choice([lambda: IRNsw(1), lambda: IRJmov(2), IRFrameRst,
                            lambda: IRFrameAdd([0], 1e6, 0.1)])())
        put(IRCapture([0, 1], 1e-6, 0, 5e-7))
        put(IRJmov(3))
        if rnd.random() < 0.3:
            put(IRDelay(rnd.choice([4e-9, 8e-8])))
        if rnd.random() < 0.05:
            put(IRAdd())
        if rnd.random() < 0.4:
            # if r == 1: play else: nop, as the front-end lowers it
            jump = put(IRJumpConditional(1, 1, 1))
            inside = put(IRJumpInside())
            put(IRPlaceholder()).tag = jump.tag
            put(IRPlayImm(0, envs[0], 0.5, 0, 1e8, 0.0))
            put(IRPlaceholder()).tag = inside.tag
        if rnd.random() < 0.05:
            put(IREnvelope(np.hanning(32)))
    del prog[n:]
    k.instruction_list = prog
    return k


def check():
    for seed in range(5):
        for n in (40, 400):
            ours = signature(run_rules(OURS, build(n, OURS, seed)))
            pure = signature(run_rules(PURE, build(n, PURE, seed)))
            assert ours == pure, f"schedules differ (seed {seed}, {n} instructions)"
            ours = signature(_conveyor.conveyor(build(n, OURS, seed)))
            pure = signature(Conveyor.with_kernel(build(n, PURE, seed)))
            assert ours == pure, f"pipelines differ (seed {seed}, {n} instructions)"


def timed(rules, stage, n):
    """Best ns per instruction of rule `stage` (None: the pipeline). The
    cycle collector is paused while a run is timed, as timeit does: both sides
    make the same objects, and its pauses grow with the whole heap, not with
    the work measured."""
    best = math.inf
    for rep in range(REPEAT):
        kernel = build(n, rules, seed=rep)
        gc.collect()
        gc.disable()
        try:
            if stage is None:
                t0 = time.perf_counter()
                (_conveyor.conveyor if rules is OURS else Conveyor.with_kernel)(kernel)
            else:
                irs = run_rules(rules, kernel, stage)
                rule = rules[stage]()
                t0 = time.perf_counter()
                rule.order_ins(irs, kernel=kernel, **kernel.compile_params)
            best = min(best, time.perf_counter() - t0)
        finally:
            gc.enable()
    return best / n * 1e9


def main():
    check()
    print("schedules of both checked equal")
    small, large = SIZES
    print(f"{'stage':<20} {'ns@' + str(small):>9} {'ns@' + str(large):>10} {'ratio':>6} "
          f"{'py ns@' + str(large):>12} {'speed-up':>9}")
    for stage, name in list(enumerate(RULE_NAMES)) + [(None, "pipeline (9 rules)")]:
        t_small = timed(OURS, stage, small)
        t_large = timed(OURS, stage, large)
        t_pure = timed(PURE, stage, large)
        print(f"{name:<20} {t_small:>9.1f} {t_large:>10.1f} {t_large / t_small:>6.2f} "
              f"{t_pure:>12.1f} {t_pure / t_large:>9.2f}")


if __name__ == "__main__":
    main()