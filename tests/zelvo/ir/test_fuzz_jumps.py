"""The jump and branch classes under arbitrary fields, maps and kernels: Python
exceptions only, never a crash (child interpreter)."""
from crashcheck import run_fuzz

FUZZ = r'''
import math, random
import numpy as np
from crashcheck import attempt
from tarvok.zelvo import _ir

class Kernel:
    def __init__(self, targets):
        self.compile_params = {}
        self.instr_target_map = targets

class BadMap(dict):
    def get(self, *a):
        raise KeyError("get")

class Odd:
    def __index__(self): return -2**63
    def __str__(self): return "\udcff"
    def __bool__(self): raise RuntimeError("bool")
    def __hash__(self): raise TypeError("hash")

rng = random.Random(99)
nop = _ir.IRNop()
POOL = [None, 0, -1, 1, 2**63 - 1, -2**63, 2**64, -2**200, 0.5, math.nan, math.inf, True, False, "", "x",
        "\u00e9\u4e2d", [], {}, (), object(), Odd(), np.int64(-2**63), np.uint64(2**64 - 1), np.float32(1.5),
        np.array([1, 2]), complex(0, 1), nop, _ir.IRPlaceholder(), BadMap(), b"\x00"]
CLASSES = [_ir.IRWaitTrig, _ir.IRJumpImmediate, _ir.IRJumpImmTiming, _ir.IRTimingPlaceholder,
           _ir.IRJumpConditional, _ir.IRJumpInside, _ir.IRJumpEvent, _ir.IRNativeLoop, _ir.IRLoop,
           _ir.IRPlaceholder, _ir.IRJumpImmNormal]
FIELDS = ["idx", "result", "feedback_chnl", "jumpaddr", "intra_enable", "index_map", "tag", "target",
          "cmd_idx", "count", "event_str", "kernel", "wait_time", "_wait_time", "irhead"]

def v():
    return rng.choice(POOL)

made = 0
for _ in range(int(ROUNDS)):
    cls = rng.choice(CLASSES)
    kw = {"kernel": rng.choice([None, Kernel(v()), Kernel({nop.tag: v()}), v()])} if rng.random() < 0.5 else {}
    try:
        ir = cls(*[v() for _ in range(rng.randint(0, 5))], **kw)
    except Exception:
        continue
    made += 1
    for _ in range(4):
        def tamper():
            value = v()
            if rng.random() < 0.3 and hasattr(ir, "tag"):
                value = rng.choice([{ir.tag: v()}, BadMap({ir.tag: 1}), Kernel({nop.tag: v()})])
            setattr(ir, rng.choice(FIELDS), value)
        attempt(tamper)
        for op in (str, repr, len, bool, lambda x: format(x, "^30"), lambda x: x.overhead,
                   lambda x: x.wait_time, lambda x: x.duration, lambda x: x.sim_data(),
                   lambda x: x._pack_cmd(), lambda x: x._check_attr(), lambda x: x.mapping_target()):
            attempt(op, ir)
print("ok", made)
'''


def test_jumps_never_crash():
    run_fuzz(FUZZ, ROUNDS=4000)
