"""The whole default pass pipeline against the same passes written in pure
Python.

Runs a valid trigger-wait program of about 1 000 and 5 000 instructions
(counted after padding, in the program text) through `conveyor` with the
default passes and through the pure-Python pipeline, checks once that both
give the same translation, then times both. Prints ns per instruction for the
whole pipeline and for the optimizers and the translator alone, the scaling
ratio (ns per instruction at 5 000 over that at 1 000) and the speed-up.

The pure-Python passes live in tests/reference/, the reference of the
differential tests of the pipeline."""
import os
import random
import sys
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)
sys.path.append(os.path.join(ROOT, "tests"))
from benchkit.speedups import Speedups  # noqa: E402
from reference.pipeline import PipelineKernel, ProgramBuilder, default_passes, twin_conveyor  # noqa: E402


def trigger_program(kernel, n):
    """A valid trigger-wait program of about n instructions once scheduled:
    each shot a trigger wait, a frame reset, two plays and a capture."""
    import tarvok.zelvo._ir as ir
    b = ProgramBuilder(kernel, random.Random(1))
    while len(b.out) * 9 < n * 2:  # a shot of 7 pads to about 31 lines
        b.line += 1
        b.add(ir.IRWaitTrig)
        b.add(ir.IRFrameRst)
        b.play()
        b.add(ir.IRWait, 1e-7)
        b.play()
        b.add(ir.IRCapture, [1e8], 6.4e-8, 0.0, 1.6e-8)
        b.add(ir.IRJmov, 2)
    kernel.instruction_list = b.out
    return b.out


# ---- running ------------------------------------------------------------------------

SIZES = (1_000, 5_000)
REPEAT = 5


def build(ours, n):
    kernel = PipelineKernel(default_passes(ours))
    trigger_program(kernel, n)
    return kernel


def scheduled(ours, n):
    """A kernel and its list after the rules, ready for the optimizers."""
    kernel = build(ours, n)
    ir_list = list(kernel.instruction_list)
    for cls in kernel.pass_params["rules"]:
        ir_list = cls().order_ins(ir_list, **dict(kernel.compile_params, kernel=kernel))
    return kernel, ir_list


def optimize_and_translate(arg):
    kernel, ir_list = arg
    for cls in kernel.pass_params["optimizers"]:
        ir_list = cls().optimize_ir(ir_list)
    return kernel.pass_params["translate"]().translate_ir(ir_list, **dict(kernel.compile_params, kernel=kernel))


def best(make, run):
    """The shortest of REPEAT runs, each on a program made fresh (the passes
    change the instructions they are given)."""
    times = []
    for _ in range(REPEAT):
        arg = make()
        t = time.perf_counter()
        run(arg)
        times.append(time.perf_counter() - t)
    return min(times)


def main():
    from tarvok.zelvo import _conveyor
    table = Speedups("stage", 26)
    for n in SIZES:
        a, b = _conveyor.conveyor(build(True, n)), twin_conveyor(build(False, n))
        assert a[4] == b[4] and np.array_equal(a[0], b[0]), "outputs differ"
        size = a[4].count("\n") + 1
        print(f"\n{size} instructions in the program text (outputs equal)")
        table.header()
        rows = [("whole pipeline", lambda ours: (lambda: build(ours, n)),
                 lambda ours: _conveyor.conveyor if ours else twin_conveyor),
                ("optimizers + translator", lambda ours: (lambda: scheduled(ours, n)),
                 lambda ours: optimize_and_translate)]
        for name, make, run in rows:
            table.row(name, best(make(True), run(True)), best(make(False), run(False)), size)
    table.scaling(SIZES)


if __name__ == "__main__":
    main()
