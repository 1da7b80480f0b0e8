"""Arbitrary values thrown at every record's constructor, attributes and
bytes(): Python exceptions only, never a crash (run in a child interpreter)."""
from crashcheck import run_fuzz

FUZZ = r'''
import copy, math, random, struct, warnings
warnings.simplefilter("ignore")
import numpy as np
from hypothesis import given, settings, strategies as st, HealthCheck
from crashcheck import attempt, raising
from tarvok.compiler import ostrane as o

Weird = raising("Weird", "__float__", "__index__", "__int__", "__bool__", "__lt__", "__gt__",
                lower=lambda self: self)

class BigIndex:
    def __index__(self): return 2**200

class Shrinker:
    """An item whose conversion empties the list being packed."""
    target = None
    def __index__(self):
        if Shrinker.target is not None:
            Shrinker.target.clear()
        return 1

q = o.QNumber()            # its value is redrawn for every example
inner = o.QNumber()
inner.value = 1e-7
values = st.one_of(
    st.none(), st.booleans(), st.integers(), st.integers(-2**70, 2**70), st.floats(),
    st.floats(-1e-3, 1e-3), st.text(max_size=5), st.sampled_from(
        ["all", "single", "PHASE", "=", "+", "", "1e-7", "nan", "inf"]),
    st.just(q), st.just(inner), st.just(Weird()), st.just(BigIndex()), st.just(Shrinker()),
    st.builds(np.float32, st.floats(width=32)), st.builds(np.int64, st.integers(-2**63, 2**63 - 1)),
    st.builds(np.uint32, st.integers(0, 2**32 - 1)),
    st.lists(st.floats(-3, 3), max_size=4).map(np.array), st.lists(st.integers(), max_size=3),
    st.just(slice(0, None, 1)), st.builds(slice, st.integers(-100, 10**12), st.integers(-100, 10**12)),
    st.just({}), st.just(()))

CLASSES = [o.TVKCommand, o.QInsWait, o.QInsPlayWave, o.QInsFrame, o.QInsJump, o.QInsIncPhase,
           o.QInsJumpWithReg, o.QInsJumpWithJudge, o.QInsResetF, o.QInsMov, o.QInsPlayZero,
           o.QInsWaitTrig, o.QInsEnd, o.QInsEnvelop, o.QInsCapture, o._ProbeCommand,
           o._QInsPTrigDelay, o._QInsPWaitTrig, o._QInsPJump]
ATTRS = ["frame_idx", "envelop_slice", "ins_idx", "type2head", "ch_flag", "amp", "width", "type"]
CONFIG = ["OUTSrate", "play_zero_step", "envelope_step", "capture_step", "max_capture_width",
          "envelope_quant", "envelope_dtype"]
saved = dict(o.global_config)
count = [0, 0]

def tally(f):
    count[0 if attempt(f) else 1] += 1

@settings(max_examples=6000, deadline=None, database=None,
          suppress_health_check=list(HealthCheck))
@given(st.sampled_from(CLASSES), st.lists(values, max_size=7), st.lists(
    st.tuples(st.sampled_from(ATTRS), values), max_size=3), st.lists(
    st.tuples(st.sampled_from(CONFIG), values), max_size=2), values)
def fuzz(cls, args, attrs, cfg, qv):
    o.global_config.clear(); o.global_config.update(saved)
    q.value = qv if qv is not q else 0
    for k, v in cfg:
        o.global_config[k] = v
    rec = None
    def make():
        nonlocal rec
        rec = cls(*args)
    tally(make)
    if rec is None:
        return
    for k, v in attrs:
        setattr(rec, k, v)
    tally(lambda: bytes(rec))
    tally(lambda: rec._pack_cmd())
    tally(lambda: rec.overhead)
    tally(lambda: len(rec))
    tally(lambda: repr(rec))
    tally(lambda: rec == copy.copy(rec))
    lst = list(args) + [0] * 9
    Shrinker.target = lst
    tally(lambda: rec.list2bytes(lst[:9]))
    tally(lambda: rec.list2bytes(lst[:8]))
    tally(lambda: rec.list2bytes(lst))
    Shrinker.target = None
    tally(lambda: o.TVKCommand.frequency_normalization32(qv))
    tally(lambda: o.TVKCommand.phase_normalization32(qv))
    tally(lambda: o._align_envelope_step(qv))
    tally(lambda: (int(q), float(q), str(q), repr(q), bool(q)))

fuzz()
print("done", count)
'''


def test_fuzz_records_never_crash():
    run_fuzz(FUZZ, ends="done")
