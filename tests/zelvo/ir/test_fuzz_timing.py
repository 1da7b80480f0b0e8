"""Arbitrary values in the capture, DDR and wait instructions, their waveforms
and compile parameters: Python exceptions only, never a crash (child process)."""
from crashcheck import run_fuzz

FUZZ = r'''
import math, random, types
import numpy as np
from crashcheck import attempt
from tarvok.zelvo import _ir

class Cmp:
    def __le__(self, o): raise RuntimeError("le")
    def __ge__(self, o): return True
    def __lt__(self, o): return True
    def __rshift__(self, o): return self
    def __rlshift__(self, o): return self
    def __ror__(self, o): return self
    def __format__(self, s): return "cmp"

class Shrink(list):
    pass

rng = random.Random(99)
POOL = [None, 0, 1, -1, 7, 8, 2**63, -2**63 - 1, 2**200, 0.0, -0.0, 0.5, 1e-300, 5e-324, 1e300, 4e-9, 8e9,
        math.inf, -math.inf, math.nan, True, False, "", "da", "ad", "1e-6", b"x", [], [0, 1, 9], (1,),
        {}, object(), Cmp(), np.int64(3), np.float64(2.5e-7), np.float32(math.nan), np.bool_(True),
        np.zeros(3), np.array([1.0, np.nan]), complex(1, 1), slice(2)]

def value():
    return rng.choice(POOL)

def wave():
    return rng.choice([
        types.SimpleNamespace(waveform=types.SimpleNamespace(size=value()), step=value(), offset=value()),
        types.SimpleNamespace(waveform=np.zeros(rng.randint(0, 70000)), step=rng.choice([32768, 1, 0, -5]),
                              offset=rng.choice([0, 2**70, -3])),
        types.SimpleNamespace(waveform=value()), value()])

def kernel():
    keys = ["base_clock", "da_srate", "ad_srate", "target_chnl_type", "xy_srate"]
    params = {k: value() for k in rng.sample(keys, rng.randint(0, len(keys)))}
    return rng.choice([None, types.SimpleNamespace(compile_params=params, instr_target_map={}),
                       types.SimpleNamespace(compile_params=value()), object()])

makers = [
    lambda: _ir.IRCapture(rng.choice([[value() for _ in range(3)], Shrink([1]), value()]), value(), value(),
                          value(), *[value() for _ in range(rng.randint(0, 5))]),
    lambda: _ir.IRCapture([1, 2], rng.uniform(-1e-5, 9e-6), rng.uniform(-1, 1), rng.uniform(-1e-5, 9e-6)),
    lambda: _ir.IRLoadDDRImm(wave()),
    lambda: _ir.IRPlayDDRImm(wave()),
    lambda: _ir.IRWaitDDR(**{rng.choice(["kernel", "x"]): value()}),
    lambda: _ir.IRWait(value()),
    lambda: _ir.IRWaitPoints(value()),
    lambda: _ir.IRDelay(value()),
]
fields = ["fre", "acq_width", "delay_width", "play_width", "para", "wave", "b_width", "fifo_id", "mode",
          "wave_delay", "pre_load", "width", "points", "kernel"]
made = 0
for _ in range(int(ROUNDS)):
    try:
        ir = rng.choice(makers)()
    except Exception:
        continue
    made += 1
    ir.kernel = kernel()
    for _ in range(3):
        if rng.random() < 0.5:
            attempt(lambda: setattr(ir, rng.choice(fields), rng.choice([value(), wave(), kernel()])))
        for op in (str, len, bool, repr, lambda x: x.overhead, lambda x: x.wait_time, lambda x: x.duration,
                   lambda x: x._max, lambda x: x.sim_data(1, k=2), lambda x: x._pack_cmd(1)):
            attempt(op, ir)
print("ok", made)
'''


def test_timing_instructions_never_crash():
    run_fuzz(FUZZ, ROUNDS=8000)
