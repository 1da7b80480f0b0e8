"""Frames, readout settings, data carriers and immediate plays built with the
right number of arguments from arbitrary values, then with arbitrary fields:
Python exceptions only, never a crash (the body runs in a child interpreter)."""
from crashcheck import run_fuzz

FUZZ = r'''
import math, random
import numpy as np
from crashcheck import attempt
from tarvok.zelvo import _ir

class Kernel:
    def __init__(self, params):
        self.compile_params = params
        self.instr_target_map = {}

class Weird:
    real = imag = envelope_type = property(lambda self: 1 / 0)
    def __format__(self, spec): raise RuntimeError("fmt")
    def __index__(self): raise RuntimeError("idx")
    def __float__(self): raise RuntimeError("flt")
    def __lt__(self, other): return True
    def __ge__(self, other): return True
    def __iter__(self): return iter([self, 3, -1])

rng = random.Random(4321)
def env(a, b):
    e = _ir.IREnvelope(np.zeros(3))
    e.envelope_slice = slice(a, b)
    return e
ENVS = [env(0, 64), env(-5, 2**70), env(None, 3), env(1.5, 64.25), env(np.int32(3), np.int64(99)),
        _ir.IREnvelope(np.zeros(2), np.ones(2)), _ir.IREnvelope([1, 2]), slice(0, 4)]
POOL = [None, 0, 1, -1, 7, 8, 31, 32, 62, 63, 64, 200, 2**64, -2**80, 0.0, -0.0, 0.5, 2.5, 1e-300, 1e300,
        math.inf, -math.inf, math.nan, True, "", "abc", b"x", [], [1, 2], [0, 70, -1], [0.5, 2.0],
        [3, "a"], (), (1, 2), {}, object(), Weird(), np.int16(3), np.float64(2.5), np.float32(math.nan),
        np.zeros(3), np.array([1.0, -2.0]), np.zeros((2, 2)), complex(1, 2), 1j, range(10), {1: 2},
        8e9, 4e-9, 1e-10, 10**400] + ENVS

def value():
    return rng.choice(POOL)

def kernel():
    keys = ["da_srate", "base_clock", "ad_srate"]
    params = {k: value() for k in rng.sample(keys, rng.randint(0, 3))}
    return rng.choice([None, Kernel(params), Kernel(value()), object()])

ARITY = {_ir.IRFrame: 3, _ir.IRFrameAdd: 3, _ir.IRFrameRst: 0, _ir.IRProt: 2, _ir.IRPth: 2,
         _ir.IREnvelope: 3, _ir.IRArbWaveform: 2, _ir.IRWaveform: 1, _ir.IRDemodule: 1,
         _ir.IRFreqlist: 1, _ir.IRPlayImm: 6, _ir.IRPlaycImm: 6}
OPS = (str, repr, len, bool, bytes, lambda x: format(x, "^30"), lambda x: x.overhead,
       lambda x: x.wait_time, lambda x: x.duration, lambda x: x.sim_data(), lambda x: x._pack_cmd(),
       lambda x: x._get_envelope(value(), value()))
made = []
for _ in range(int(ROUNDS)):
    cls = rng.choice(list(ARITY))
    n = ARITY[cls] + (rng.random() < 0.05) * rng.choice([-1, 1])
    try:
        ir = cls(*[value() for _ in range(n)], **({"kernel": kernel()} if rng.random() < 0.5 else {}))
    except Exception:
        continue
    made.append(ir)
    for ir in rng.sample(made, min(len(made), 3)):
        if rng.random() < 0.3:
            attempt(lambda: setattr(ir, "kernel", kernel()))
        if rng.random() < 0.3:
            attempt(lambda: setattr(ir, rng.choice(list(vars(ir))), value()))
        # a non-empty sequence as frequency is repeated 2**32 times by the
        # word's multiplication, as in Python: legal, but gigabytes
        if isinstance(getattr(ir, "freq", None), (str, bytes, list, tuple)) and len(ir.freq):
            ir.freq = 0
        for op in OPS:
            attempt(op, ir)
    if len(made) > 200:
        del made[:100]
print("ok", len(made))
'''


def test_data_and_play_instructions_never_crash():
    run_fuzz(FUZZ, ROUNDS=30000)
