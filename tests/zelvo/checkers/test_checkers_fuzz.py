"""Every checker and module function over random instruction lists and
arguments: Python exceptions only, never a crash (child process)."""
from crashcheck import run_isolated

FUZZ = r'''
import math, random, types
import numpy as np
from tarvok.zelvo import _checkers as ck, _ir as ir

rng = random.Random(int(SEED))
POOL = [None, 0, 1, -1, 2, 31, 2**63, -2**63 - 1, 2**200, 0.5, 1e10, 2e10, -0.0, math.inf, -math.inf, math.nan,
        True, "", "x", b"x", [], (), {}, object(), np.int64(3), np.float32(math.nan), np.float64(1.5),
        np.zeros(0), np.zeros((2, 3)), np.array([1.0, np.nan]), np.array(["a"]), complex(1, 1), slice(1)]
SHARED = []  # the list being walked, for the instructions that change it


def value():
    return rng.choice(POOL)


class Kernel:
    def __init__(self):
        self.compile_params = {k: value() for k in rng.sample(["da_srate", "base_clock", "target_chnl_type"],
                                                                rng.randint(0, 3))}
        self.instr_target_map = {}


class Meddler(ir.FixIR):
    # Changes the list while a checker walks it.
    @property
    def wait_time(self):
        rng.choice([SHARED.clear, lambda: SHARED.append(ir.IRNop()), lambda: SHARED.pop() if SHARED else 0])()
        return rng.choice([3, 2**70, 0.5, "x"])

    @property
    def overhead(self):
        if rng.random() < 0.3:
            raise RuntimeError("overhead")
        return 1


class Liar:
    @property
    def __class__(self):
        if rng.random() < 0.5:
            raise RuntimeError("class")
        return ir.IRFrame
    freq = 2e10


def envelope():
    e = ir.IREnvelope(np.zeros(1))
    e.envelope = rng.choice([np.zeros(rng.randint(0, 5)), np.array([2.0, np.nan])[::rng.choice([1, -1, 2])],
                             np.ones((3, 4), np.int8).T, np.array([1 + 1j], np.complex64), np.array(["x"]),
                             np.array([None]), value()])
    return e


def play():
    e = ir.IREnvelope(np.zeros(4))
    e.envelope_slice = rng.choice([slice(0, 64, 1), slice(0, value()), value()])
    return ir.IRPlayImm(0, e, rng.choice([0.5, 2, value()]), 0, 0, 0, kernel=rng.choice([Kernel(), None]))


makers = [
    play, envelope, ir.IRNop, ir.IRFrameRst, ir.IRWaitTrig, lambda: ir.IRJumpConditional(0, 1, 2),
    lambda: ir.IRFrame(value(), 0, 0), lambda: ir.IRProt([1], complex(rng.uniform(-2, 2), rng.uniform(-2, 2))),
    lambda: ir.IRWaveform(value()), lambda: ir.IRCapture([1], rng.uniform(0, 4e-6), 0.0, 1.6e-8, kernel=Kernel()),
    lambda: ir.IRDelay(value(), kernel=rng.choice([Kernel(), None])), lambda: ir.IRWait(value(), kernel=Kernel()),
    lambda: ir.IRPlayDDRImm(types.SimpleNamespace(waveform=np.zeros(4), offset=0), kernel=Kernel()),
    lambda: ir.IRNsw(0), ir.IRTimingPlaceholder, Meddler, Liar, value,
]
FIELDS = ["amp", "freq", "rotation_real", "rotation_imag", "wave", "acq_width", "envelope", "ir_sub", "kernel",
          "irhead", "width"]


def instruction(depth=0):
    try:
        x = rng.choice(makers)()
    except Exception:
        x = ir.IRNop()
    if rng.random() < 0.2:
        try:
            setattr(x, rng.choice(FIELDS), value())
        except Exception:
            pass
    if issubclass(type(x), ir.UnfixIR) and depth < 2:
        block = [instruction(depth + 1) for _ in range(rng.randint(0, 6))]
        x.ir_sub = rng.choice([block, block, tuple(block), iter(block), value()])
    return x


CHECKERS = [getattr(ck, n) for n in ck.__all__]
FUNCS = [ck.append_error, ck.check_overlap_time, ck.check_limit, ck.check_wait_time, ck.ir_calculate_time,
         ck.count_nops, ck.check_envelope, ck.check_ply, ck.drst_before_check, ck.two_capi_check]
calls = 0
for _ in range(int(ROUNDS)):
    SHARED[:] = [instruction() for _ in range(rng.randint(0, 12))]
    arg = rng.choice([SHARED, SHARED, tuple(SHARED), value()])
    for cls in CHECKERS:
        try:
            cls().check_ir(arg)
            calls += 1
        except Exception:
            pass
    for fn in FUNCS:
        args = [rng.choice([SHARED, rng.randint(-3, 12), value(), [], "m", KeyError]) for _ in range(rng.randint(0, 7))]
        try:
            fn(*args)
        except Exception:
            pass
    if rng.random() < 0.05:
        # a rebound or removed global name
        name = rng.choice(["IRNop", "FixIR", "UnfixIR", "TimingError", "IRFrame"])
        old = getattr(ck, name)
        setattr(ck, name, rng.choice([5, None, ir.IRBase, int]))
        try:
            ck.OverlapChecker().check_ir(SHARED)
            ck.DrstChecker().check_ir(SHARED)
        except Exception:
            pass
        setattr(ck, name, old)
print("ok", calls)
'''


def test_checkers_never_crash():
    out = run_isolated(f"SEED = 7\nROUNDS = 15000\n{FUZZ}")
    assert out.startswith("ok")
