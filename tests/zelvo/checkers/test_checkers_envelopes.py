"""Envelope amplitude and total length, and the instruction count."""
import numpy as np
import pytest

from tarvok.zelvo import _checkers as ck
from tarvok.zelvo import _ir as ir

AMP = "Envelope amplitude is more than 1"
TOTAL = "The total length of the envelope is more than 131072 points"
COUNT = "The number of instructions exceeds 20K"


class Samples:
    """Not an array, but numpy can read it (and len() of the envelope its size)."""

    def __init__(self, *values):
        self.values = np.array(values)
        self.size = self.values.size

    def __array__(self, dtype=None):
        return self.values


def amp_records(samples):
    e = ir.IREnvelope(np.zeros(1))
    e.envelope = samples
    return ck.EnvelopeChecker().check_ir([e])[1]


@pytest.mark.parametrize("samples, over", [
    (np.array([0.0, 1.0, -1.0]), False),
    (np.array([0.2, 1.0001]), True),
    (np.array([-1.0001, 0.0]), True),
    (np.array([0.5, np.nan, 0.5]), True),           # a NaN would pass any bound unseen
    (np.array([np.inf]), True),
    (np.array([0.5, 1.5], np.float32), True),
    (np.array([1, -1, 0], np.int16), False),
    (np.array([2], np.int64), True),
    (np.array([-2], np.int8), True),
    (np.array([1, 0], np.uint8), False),
    (np.array([True, False]), False),
    (np.array([0.6 + 0.8j]), False),                # magnitude exactly 1
    (np.array([0.8 + 0.8j], np.complex64), True),
    (np.array([complex(np.nan, 0)]), True),
    (np.array([0.0, 5.0, 0.0, 5.0])[::2], False),   # strided view: only the zeros
    (np.array([[0.5, 0.5], [0.5, 1.5]]), True),
    (np.asfortranarray([[0.5, 1.5], [0.5, 0.5]]), True),
    (np.array([[0.0, 1.5], [0.0, 1.5]])[:, :1], False),
    (np.array([0.5, 1.5], ">f8"), True),            # other byte order: through numpy
    (np.array([0.5, 1.5], np.float16), True),
    (np.array([0.5, 1.5], np.longdouble), True),
    (np.array([0.5, 2], dtype=object), True),
    (np.array([0.5, float("nan")], dtype=object), True),
    (Samples(0.5, -3), True),                       # not an array: numpy reads it
    (Samples(0.5, -1), False),
    (np.float64(1.5), True),
    (np.zeros(0), False),                           # no samples: nothing above full scale
    (Samples(), False),
])
def test_amplitude(samples, over):
    assert len(amp_records(samples)) == over


def test_unreadable_samples_propagate():
    with pytest.raises(TypeError):
        amp_records(Samples("x"))


def envs(*counts, value=0.5):
    return [ir.IREnvelope(np.full(n, value)) for n in counts]


@pytest.mark.parametrize("counts, at", [
    ((65536, 65536), None),
    ((65536, 65537), 1),
    ((131073,), 0),        # one item: recorded at it instead of lost
    ((10, 10, 131060), 1),
])
def test_total_length(b, counts, at):
    lst = envs(*counts)
    out, errors = ck.EnvelopeChecker().check_ir(lst)
    assert out == lst and out is not lst
    if at is None:
        assert errors == []
    else:
        prev = lst[at - 1] if at else None
        nxt = lst[at + 1] if at + 1 < len(lst) else None
        assert errors == [b.rec(TOTAL, prev, lst[at], nxt, b.PlayError)]


def test_total_record_at_the_second_item_whatever_it_is(b):
    nop, frame = ir.IRNop(), b.frame()
    lst = [nop, frame] + envs(70000, 70000)
    assert ck.EnvelopeChecker().check_ir(lst)[1] == [b.rec(TOTAL, nop, frame, lst[2], b.PlayError)]
    two = [nop] + envs(140000)
    assert ck.EnvelopeChecker().check_ir(two)[1] == [b.rec(TOTAL, nop, two[1], None, b.PlayError)]


def test_amplitude_records_in_order_then_total(b):
    lst = envs(5, value=2.0) + [ir.IRNop()] + envs(131072, value=-1.5)
    assert ck.EnvelopeChecker().check_ir(lst)[1] == [
        b.rec(AMP, None, lst[0], lst[1], b.PlayError),
        b.rec(AMP, lst[1], lst[2], None, b.PlayError),
        b.rec(TOTAL, lst[0], lst[1], lst[2], b.PlayError)]


def test_envelopes_in_blocks_are_neither_tested_nor_counted(b):
    head = b.trig(*envs(131073, value=3.0))
    assert ck.EnvelopeChecker().check_ir([head, ir.IRNop()])[1] == []


def test_check_envelope_alone(b):
    lst = envs(3, value=1.5)
    error = []
    assert ck.check_envelope(lst, 0, error) == (error, 3)
    assert error == [b.rec(AMP, None, lst[0], None, b.PlayError)]
    with pytest.raises(TypeError, match="Argument 'ir_list' has incorrect type"):
        ck.EnvelopeChecker().check_ir(tuple(lst))
    nop = ir.IRNop()
    assert ck.EnvelopeChecker().check_ir((nop,)) == ([nop], [])  # a tuple without envelopes passes


@pytest.mark.parametrize("top, block, bad", [
    (20480, 0, False),
    (20481, 0, True),
    (1, 20479, False),
    (1, 20480, True),
    (10000, 10480, False),
])
def test_instruction_count(b, top, block, bad):
    nop = ir.IRNop()
    head = b.trig(*([nop] * block))
    lst = [head] + [nop] * (top - 1) + ["not an instruction"] * 3
    out, errors = ck.IRNumberChecker().check_ir(lst)
    assert out is lst
    second = lst[1]
    assert errors == ([b.rec(COUNT, None, head, second, b.PlayError)] if bad else [])


def test_instruction_count_one_level_deep(b):
    inner = b.trig(*[ir.IRNop()] * 30000)
    assert ck.IRNumberChecker().check_ir([b.trig(inner)])[1] == []
    head = b.trig()
    head.ir_sub = (x for x in [ir.IRNop()] * 20480)  # any iterable block counts its items
    assert len(ck.IRNumberChecker().check_ir([head])[1]) == 1
