"""Awkward values at every kernel function: Python exceptions only, never a
crash (child process)."""
from crashcheck import run_fuzz

BODY = r'''
import math, random
import numpy as np
from crashcheck import attempt
from tarvok.zelvo import _functions as fn

rng = random.Random(int(SEED))

class Weird:
    def __float__(self):
        raise ValueError("float")
    def __index__(self):
        raise RuntimeError("index")
    def __repr__(self):
        raise KeyError("repr")

class Huge:
    def __float__(self):
        return 1e308 * 10

values = [None, 0, -1, 31, 32, 2**70, -2**70, 10**400, 1.5, -0.0, math.nan, math.inf, -math.inf, "", "x", b"y",
          [], [1, None], [math.nan], [0, 40], (), (1, 2), {}, 1j, np.complex64(1), np.float32(1), np.float16(-1),
          np.int64(40), np.bool_(True), np.array(1.0), np.ones(3), np.ones((2, 2)), np.array([1j]), np.array(["a"]),
          np.array([np.nan]), np.array([], dtype=object), np.array([None], dtype=object), np.ones(3)[::2],
          np.ones(8, np.float16), np.arange(4, dtype=np.uint64), Weird(), Huge(), True, fn.frame(1e8),
          fn.envelope(np.ones(4)), object()]
names = [n for n in fn.__all__ if callable(getattr(fn, n)) and n != "numpy"]
calls = 0
for _ in range(int(ROUNDS)):
    f = getattr(fn, rng.choice(names))
    calls += attempt(f, *[rng.choice(values) for _ in range(rng.randint(0, 7))])
print("ok", calls)
'''


def test_awkward_arguments_never_crash():
    run_fuzz(BODY, ROUNDS=20000, SEED=5)
