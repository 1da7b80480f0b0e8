"""Arbitrary values thrown at every public callable of the rules and the
pipeline: Python exceptions only, never a crash (child interpreter)."""
from crashcheck import run_fuzz, run_isolated

FUZZ = r'''
import math, random, types
import numpy as np
from crashcheck import attempt
from tarvok.zelvo import _ir, _rules, _conveyor

rng = random.Random(2024)

class Kernel:
    def __init__(self):
        self.compile_params = {k: value() for k in rng.sample(
            ["base_clock", "da_srate", "trig_align_time", "ddr_play_bwidth", "intra_enable", "kernel"],
            rng.randint(0, 6))} if rng.random() < 0.5 else rng.choice([None, [], {"base_clock": 4e-9}])
        self.instr_target_map = {}
        self.instruction_list = irs()
        self.pass_params = {k: rng.choice([rule_classes(), value()]) for k in
                            rng.sample(["rules", "checkers", "optimizers"], rng.randint(0, 3))}
        if rng.random() < 0.8:
            self.pass_params["translate"] = rng.choice([_rules.JumpRule, Translator, int, object])
    def with_error(self, errors):
        if rng.random() < 0.1:
            raise RuntimeError("error")

class Translator:
    def translate_ir(self, ir_list, **kw):
        return ir_list

class Checker:
    def check_ir(self, ir_list):
        return rng.choice([(ir_list, []), (ir_list,), 5, (ir_list, 5), [ir_list, iter([])]])

class Evil:
    wait_time = property(lambda self: rng.choice([1, -1, 2**70, 0.5, math.nan, None, "x"]))
    overhead = property(lambda self: rng.choice([1, 2, 2**65, -3, 1.5, None]))
    def __len__(self): return rng.choice([0, 3, -1])
    def __iter__(self): return iter([_ir.IRNop(), _ir.IRJmov(1)])

def value():
    return rng.choice([None, 0, 1, -1, 5, 2**63, 0.5, -0.0, math.nan, math.inf, 7.0, True, "", "ab",
                       b"xy", [], (), {}, object(), np.int64(2), np.float64(3.5), np.zeros(3), Evil(),
                       complex(1, 1), slice(1), range(2)])

def ir(depth=0):
    k = rng.choice([None, Kernel.__new__(Kernel), types.SimpleNamespace(compile_params={"base_clock": value()}),
                    types.SimpleNamespace(compile_params={"base_clock": 4e-9, "da_srate": 8e9})])
    makers = [
        _ir.IRNop, _ir.IRWaitTrig, _ir.IRPlaceholder, _ir.IRTimingPlaceholder, _ir.IRJumpInside, _ir.IRAdd,
        _ir.IRWaitDDR, _ir.IRFrameRst, lambda: _ir.IRJumpImmediate(1), lambda: _ir.IRJumpConditional(1, 2, 3),
        lambda: _ir.IRWait(value()), lambda: _ir.IRDelay(value()), lambda: _ir.IRMov(1, 2),
        lambda: _ir.IRJmov(1), lambda: _ir.IRNsw(2), lambda: _ir.IREnvelope(np.zeros(rng.randint(0, 9))),
        lambda: _ir.IRPlayDDRImm(_ir.IRArbWaveform("w", np.zeros(8))), lambda: _ir.IRFrame(1e8, 0, 0),
        lambda: _ir.IRJumpImmNormal(None), lambda: _ir.IRCapture([0], 1e-6, 0, 5e-7),
        lambda: _ir.IRPlayImm(0, _ir.IREnvelope(np.zeros(4)), 1, 0, 1e8, 0.0),
    ]
    if rng.random() < 0.1:
        return value()
    x = rng.choice(makers)()
    x.kernel = k
    for _ in range(rng.randint(0, 2)):
        attempt(lambda: setattr(x, rng.choice(["ir_sub", "real_wait_time", "mode", "tag", "line", "envelope",
                                               "irhead", "wait_time", "envelope_slice", "kernel"]),
                                rng.choice([value(), irs(3, depth + 1) if depth < 2 else []])))
    return x

def irs(n=12, depth=0):
    out = [ir(depth) for _ in range(rng.randint(0, n))]
    return rng.choice([out, out, tuple(out), iter(out), value()])

def rule_classes():
    names = [n for n in vars(_rules) if n.endswith("Rule") or n == "WtgAlign"]
    return [rng.choice([getattr(_rules, rng.choice(names)), Checker, Translator, int])
            for _ in range(rng.randint(0, 4))]

rules = [getattr(_rules, n) for n in vars(_rules) if isinstance(getattr(_rules, n), type)
         and issubclass(getattr(_rules, n), _rules.BaseRule)]
functions = [_rules.acq_olp_index, _rules.order_process, _rules.calculate_real_wait_time, _rules.order_unfxir]
keys = ["intra_enable", "trig_align_time", "ddr_play_bwidth", "wait_trig", "is_unfix", "kernel", "base_clock"]
def one_round(pick):
    if pick < 0.55:
        r = rng.choice(rules)()
        kwargs = {k: value() for k in rng.sample(keys, rng.randint(0, 4))}
        # a real schedule now and then, so the later rules get blocks
        lst = irs()
        if rng.random() < 0.5 and isinstance(lst, list):
            lst = _rules.BranchRule().order_ins(lst)
        r.order_ins(*rng.choice([(lst,), (), (lst, 1)]), **kwargs)
    elif pick < 0.7:
        f = rng.choice(functions)
        f(*[rng.choice([value(), irs(), rng.randint(-3, 5)]) for _ in range(rng.randint(0, 3))])
    elif pick < 0.8:
        t = _rules.TimingRule()
        m = getattr(t, rng.choice(["insert_ir", "append_preir", "append_overlapir", "append_fixir",
                                   "append_fakeir", "append_unfixir", "append_reconstitutionir",
                                   "order_overlap"]))
        m(*[rng.choice([ir(), irs(), value()]) for _ in range(rng.randint(0, 2))])
    elif pick < 0.85:
        w = _rules.set_kernel(rng.choice([lambda *a, **k: irs(), lambda *a: value(), value()]))
        w(*[ir() for _ in range(rng.randint(0, 3))])
    else:
        k = Kernel()
        if rng.random() < 0.3:
            del k.instruction_list
        _conveyor.conveyor(k)

ok = sum(attempt(one_round, rng.random()) for _ in range(int(ROUNDS)))
print("ok", ok)
'''


def test_rules_and_pipeline_never_crash():
    run_fuzz(FUZZ, ROUNDS=6000)


CACHE = r'''
from tarvok.zelvo import _ir, _rules

class Stranger:
    """Neither a subclass nor registered, at first."""

rule = _rules.PreConfigRule()
s = Stranger()
assert rule.order_ins([s]) == [s]
first = _rules.TimingRule().insert_ir([s])
assert first == []
_ir.ReconstitutionIR.register(Stranger)
_ir.PreIR.register(Stranger)
nop = _ir.IRNop()
assert rule.order_ins([nop, s]) == [nop, s]
s.wait_time, s.overhead, s.line, s.kernel = 3, 1, 7, None
padded = _rules.TimingRule().insert_ir([s])
assert padded[0] is s and [type(x).__name__ for x in padded[1:]] == ["IRNop", "IRNop"]
assert padded[1].line == 7
print("ok")
'''


def test_a_subclass_registered_later_is_seen_by_the_next_call():
    assert run_isolated(CACHE).startswith("ok")
