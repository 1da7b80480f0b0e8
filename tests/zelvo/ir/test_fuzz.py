"""Arbitrary Python values thrown at every instruction class: Python exceptions
only, never a crash (the body runs in a child interpreter)."""
from crashcheck import run_fuzz

FUZZ = r'''
import math, random, inspect
import numpy as np
from crashcheck import attempt
from tarvok.zelvo import _ir

class Kernel:
    def __init__(self, params, targets):
        self.compile_params = params
        self.instr_target_map = targets

class Weird:
    def __format__(self, spec): raise RuntimeError("fmt")
    def __index__(self): raise RuntimeError("idx")
    def __float__(self): raise RuntimeError("flt")

rng = random.Random(1234)
POOL = [None, 0, 1, -1, 2**64, -2**80, 0.0, -0.0, 0.5, 1e-300, 1e300, math.inf, -math.inf, math.nan,
        True, "", "abc", "1.5", b"x", [], [1, 2], [0.5] * 3, (), {}, {"a": 1}, object(), Weird(),
        np.int16(3), np.float64(2.5), np.float32(math.nan), np.zeros(3), np.array([1.0, -2.0]),
        np.zeros((2, 2)), complex(1, 2), slice(1), 3.0e-9, 4e-9, 8e9]

def value():
    return rng.choice(POOL)

def kernel():
    params = {k: value() for k in rng.sample(["base_clock", "da_srate", "ad_srate", "trig_align_time",
              "ddr_play_bwidth", "target_chnl_type", "envelope_type", "intra_enable"], rng.randint(0, 8))}
    return rng.choice([None, Kernel(params, {}), Kernel(value(), value()), object()])

names = [n for n in dir(_ir) if isinstance(getattr(_ir, n), type) and issubclass(getattr(_ir, n), _ir.IRBase)]
made = []
for _ in range(int(ROUNDS)):
    cls = getattr(_ir, rng.choice(names))
    args = [value() for _ in range(rng.randint(0, 5))]
    kwargs = {k: value() for k in rng.sample(["kernel", "name", "envelope", "amp", "frame", "target",
              "width", "wait_trig", "delay", "foo", "register_idx"], rng.randint(0, 3))}
    try:
        ir = cls(*args, **kwargs)
    except Exception:
        continue
    made.append(ir)
    for ir in rng.sample(made, min(len(made), 3)):
        if rng.random() < 0.5:
            attempt(lambda: setattr(ir, "kernel", kernel()))
        if rng.random() < 0.3:
            attr = rng.choice([a for a in vars(ir)] or ["tag"])
            attempt(setattr, ir, attr, rng.choice(POOL + made[-3:]))
        for op in (str, repr, len, bool, lambda x: format(x, "<20"),
                   lambda x: x.overhead, lambda x: x.wait_time, lambda x: x.duration,
                   lambda x: x.sim_data(), lambda x: x._check_attr(), lambda x: x._pack_cmd(),
                   lambda x: x.to_bytes() if hasattr(x, "to_bytes") else None):
            attempt(op, ir)
        for name, member in inspect.getmembers(type(ir), inspect.isroutine):
            if name.startswith("__") or name in ("sim_data",):
                continue
            attempt(lambda: getattr(ir, name)(*[value() for _ in range(rng.randint(0, 2))]))
print("ok", len(made))
'''


def test_instructions_never_crash():
    run_fuzz(FUZZ, ROUNDS=6000)
