"""Awkward lists, instructions and kernels thrown at the flattening, the
translators and the optimizers: Python exceptions only, never a crash (child
process)."""
from crashcheck import run_isolated

FUZZ = r'''
import math, random, types
import numpy as np
from tarvok.zelvo import _ir, _translate as tr, _optimizations as op

rng = random.Random(11)
LISTS = []

TAME = [False]  # well-formed instructions and kernels only, so whole translations succeed

class Kernel:
    def __init__(self):
        if TAME[0]:
            self.compile_params, self.instr_target_map = {"base_clock": 4e-9, "da_srate": 8e9}, {}
            return
        self.compile_params = {"base_clock": rng.choice([4e-9, 0.0, math.nan, "x", 1e-300]),
                               "da_srate": rng.choice([8e9, 0, -1.0])}
        self.instr_target_map = rng.choice([{}, {}, None, [], types.SimpleNamespace()])

class Meddler(_ir.IRDelay):
    """Changes every list it can reach while the passes read it."""
    @property
    def wait_time(self):
        for lst in LISTS:
            if isinstance(lst, list):
                lst.clear() if rng.random() < 0.5 else lst.extend([None, self])
        return rng.choice([1, -5, 2**70, "x", None])

def clear_referrers(obj):
    """Empties every list that holds obj, our own working lists included."""
    import gc
    if rng.random() < 0.9:  # the scan is slow: now and then is enough
        return
    for r in gc.get_referrers(obj):
        if type(r) is list:
            r.clear()

class Vanisher(_ir.IRNop):
    def _pack_cmd(self):
        clear_referrers(self)
        return "gone"

class VanishingPlay(_ir.IRPlayDDRImm):
    def __setattr__(self, name, value):
        if name in ("wave_delay", "mode", "index_map", "tag"):
            clear_referrers(self)
        object.__setattr__(self, name, value)

class BadText(_ir.IRNop):
    def __str__(self):
        return rng.choice([3, "ok", "\ud800", None])
    def __len__(self):
        return rng.choice([2**40, 0, 5])

class BadTag(_ir.IRNop):
    @property
    def tag(self):
        if rng.random() < 0.3:
            raise KeyError("tag")
        return rng.choice([[1], "t", 5, None])
    @tag.setter
    def tag(self, v):
        if self.__dict__.setdefault("_made", False) and rng.random() < 0.3:
            raise ValueError(v)
        self._made = True

class BadFormat(_ir.IRNop):
    def __format__(self, spec):
        return rng.choice([1, spec, "é" * 3])

def value():
    if TAME[0]:
        return rng.choice([0, 1, 8e-9, 4e-7])
    return rng.choice([None, 0, -1, 2**70, 1.5, math.nan, "", "x", [], (), {}, object(), np.zeros(3)])

def kernel():
    if TAME[0]:
        return Kernel()
    return rng.choice([Kernel(), Kernel(), None, object(), types.SimpleNamespace(compile_params=None)])

def leaf():
    k = kernel()
    makers = [
        lambda: _ir.IRNop(),
        lambda: _ir.IRPlaceholder(),
        lambda: _ir.IRDelay(rng.choice([8e-9, 4e-7, value()]), kernel=k),
        lambda: _ir.IRWait(rng.choice([8e-9, value()]), kernel=k),
        lambda: _ir.IRJumpInside(kernel=k),
        lambda: _ir.IRJumpImmNormal(rng.choice([_ir.IRNop(), None, value()][:1 if TAME[0] else 3]), kernel=k),
        lambda: _ir.IREnvelope(rng.choice([np.zeros(rng.randint(0, 9)), np.zeros(3, np.int16)]), kernel=k),
        lambda: _ir.IRWaveform(np.zeros((2, 3)) if TAME[0] else value()),
        lambda: _ir.IRFreqlist([1.0]),
        lambda: _ir.IRDemodule(value()),
        lambda: _ir.IRArbWaveform("w", rng.choice([np.zeros(5), np.zeros(0)])),
        lambda: _ir.IRPlayDDRImm(_ir.IRArbWaveform("w", np.zeros(9)), kernel=k),
        lambda: _ir.IRMov(1, value()),
        lambda: Meddler(8e-9, kernel=k),
        lambda: BadText(),
        lambda: BadTag(),
        lambda: BadFormat(),
        lambda: Vanisher(),
        lambda: VanishingPlay(_ir.IRArbWaveform("w", np.zeros(9)), kernel=k),
        value,
    ]
    ir = rng.choice(makers[:-7] if TAME[0] else makers)()
    if isinstance(ir, _ir.IRBase) and not isinstance(ir, BadTag) and not TAME[0] and rng.random() < 0.1:
        setattr(ir, rng.choice(["tag", "index_map", "kernel", "width", "amp", "mode", "offset", "waveform"]),
                value())
    return ir

def head(depth):
    k = kernel()
    h = rng.choice([lambda: _ir.IRWaitTrig(kernel=k), lambda: _ir.IRJumpConditional(1, 1, 2, kernel=k),
                    lambda: _ir.IRTimingPlaceholder(kernel=k)])()
    h.ir_sub = program(depth + 1) if TAME[0] else rng.choice(
        [program(depth + 1), program(depth + 1), value(), tuple(program(depth + 1))])
    LISTS.append(h.ir_sub)
    return h

def program(depth=0):
    n = rng.randint(0, 12)
    out = [head(depth) if depth < 2 and rng.random() < 0.25 else leaf() for _ in range(n)]
    LISTS.append(out)
    return out

calls = [
    lambda l: tr.unfold_ir(l),
    lambda l: tr.NormalTranslator().translate_ir(l, kernel=Kernel() if TAME[0] else rng.choice([Kernel(), object()])),
    lambda l: tr.PlayDDRTranslator().translate_ir(l, kernel=Kernel(), ddr_play_bwidth=2 if TAME[0] else value()),
    lambda l: tr.NormalTranslator().gen_program(l, Kernel()),
    lambda l: tr.NormalTranslator.get_longest_len(l),
    lambda l: tr.count_nops(rng.choice([0, -3, 2**70, 1.0, value()]), l),
    lambda l: tr.ir_calculate_time(rng.choice([0, 1, -2, 2**70, 1.0, value()]), l),
    lambda l: op.PlyiAmpOptimizer().optimize_ir(l),
    lambda l: op.PlayDDROptimizer().optimize_ir(l),
    lambda l: op.JumpImmOptimizer().optimize_ir(l),
]
for _ in range(int(ROUNDS)):
    LISTS.clear()
    TAME[0] = rng.random() < 0.5
    lst = program()
    if TAME[0]:
        lst.append(_ir.IRNop())  # no block head at the very end
    elif rng.random() < 0.05:
        lst = value()
    try:
        rng.choice(calls)(lst)
    except Exception:
        pass
print("ok")
'''


def test_fuzz_passes_never_crash():
    assert run_isolated("ROUNDS = 3000\n" + FUZZ).strip().endswith("ok")


PIPELINE = r'''
import math, random, sys
import numpy as np
from tarvok.zelvo import _checkers, _conveyor, _ir, _optimizations, _rules, _translate
sys.path.append(TESTS)
from reference import pipeline as bp  # appended: the tree under test stays first

rng = random.Random(5)
WEIRD = [None, 0, -1, 2**70, 1.5, math.nan, math.inf, "", "x", [], {}, object(), np.zeros(2), -4e-9]

def passes():
    rules = [getattr(_rules, n) for n in bp.RULES]
    checkers = [getattr(_checkers, n) for n in bp.CHECKERS]
    optimizers = [getattr(_optimizations, n) for n in _optimizations.__all__]
    if rng.random() < 0.3:
        rules = rng.sample(rules, rng.randint(0, len(rules)))
    if rng.random() < 0.3:
        optimizers = [rng.choice(optimizers) for _ in range(rng.randint(0, 4))]
    return {"rules": rules, "checkers": checkers if rng.random() < 0.7 else [], "optimizers": optimizers,
            "translate": rng.choice([_translate.NormalTranslator, _translate.PlayDDRTranslator])}

for _ in range(int(ROUNDS)):
    k = bp.PipelineKernel(passes())
    program = bp.random_program(k, random.Random(rng.random()))
    for _ in range(rng.choice([0, 0, 1, 3])):
        victim = rng.choice(program)
        field = rng.choice(["tag", "kernel", "line", "ir_sub", "amp", "width", "wave", "envelope",
                            "envelope_slice", "mode", "target", "index_map", "real_wait_time"])
        if rng.random() < 0.5:
            setattr(victim, field, rng.choice(WEIRD))
        elif field in vars(victim):
            delattr(victim, field)
    if rng.random() < 0.2:
        program.insert(rng.randrange(len(program) + 1), rng.choice(WEIRD))
    if rng.random() < 0.2:
        k.compile_params[rng.choice(list(k.compile_params))] = rng.choice(WEIRD)
    try:
        _conveyor.conveyor(k)
    except Exception:
        pass
print("ok")
'''


def test_fuzz_pipeline_never_crashes():
    import os

    import pytest
    for name in ("_conveyor", "_rules", "_checkers"):
        pytest.importorskip("tarvok.zelvo." + name, reason="the pipeline, rule and checker modules are not built here")
    tests = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..")
    assert run_isolated(f"ROUNDS = 1500\nTESTS = {tests!r}\n" + PIPELINE).strip().endswith("ok")
