"""Immediate plays: block arithmetic from the kernel, lines, words, errors."""
import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from helpers import numbers, outcome
from tarvok.zelvo import _ir


def envelope(start, stop):
    e = _ir.IREnvelope(np.zeros(4))
    e.envelope_slice = slice(start, stop)
    return e


def freq_word(f):
    return round(f * 2 ** 32 / 250000000.0 / 32)


def phase_word(p):
    return round(p * 65536 / (2 * np.pi) / 32)


def reference(play, mnemonic):
    """What the instruction must give, written as plain Python."""
    sl = play.envelope.envelope_slice
    if mnemonic == "plyi ":
        params = play.kernel.compile_params
        srate, clock = params.get("da_srate", 8e9), params.get("base_clock", 4e-9)
        block = round(srate * clock)
        length = sl.stop - sl.start
    else:
        block, length = 32, int(sl.stop - sl.start)
    fields = [play.frame, sl.start // block, length // block, play.amp, play.bias,
              freq_word(play.freq), phase_word(play.phase)]
    return mnemonic + " ".join(str(f) for f in fields)


def ref_wait(play, mnemonic):
    sl = play.envelope.envelope_slice
    if mnemonic == "plyi ":
        params = play.kernel.compile_params
        block = round(params.get("da_srate", 8e9) * params.get("base_clock", 4e-9))
        return (sl.stop - sl.start) // block + 2
    return int(sl.stop - sl.start) // 32 + 2


class Kernel:
    def __init__(self, **params):
        self.compile_params = params
        self.instr_target_map = {}


PLAYS = [(_ir.IRPlayImm, "plyi "), (_ir.IRPlaycImm, "plyic ")]


@pytest.mark.parametrize("cls, mnemonic", PLAYS)
def test_worked_example(cls, mnemonic, kernel):
    p = cls(0, envelope(64, 192), 1, 0, 2.5e8, math.pi / 2, kernel=kernel)
    assert str(p) == mnemonic + "0 2 4 32767 0 134217728 512"
    assert (p.duration, p.wait_time, p.overhead) == (128, 6, 2)
    assert repr(p) == f"<{cls.__name__}: {p.tag}>: {mnemonic}0 2 4 32767 0 134217728 512"
    assert type(p).__bases__ == (_ir.FixIR, _ir.SimulationIR)
    assert p.sim_ir_type is _ir.SimulationIR.SimIRType.NORMAL
    assert p.sim_data(1, x=2).shape == (128,)


@pytest.mark.parametrize("params, span, plyi, plyic", [
    # (compile params, (start, stop), (line blocks, wait) plyi, (line blocks, wait) plyic)
    ({}, (0, 2), ("0 0", 2), ("0 0", 2)),
    ({"da_srate": 8e9, "base_clock": 4e-9}, (40, 90), ("1 1", 3), ("1 1", 3)),
    ({"da_srate": 4e9, "base_clock": 4e-9}, (64, 192), ("4 8", 10), ("2 4", 6)),
    ({"da_srate": 4e9}, (64, 192), ("4 8", 10), ("2 4", 6)),
    ({"base_clock": 2e-9}, (-64, 0), ("-4 4", 6), ("-2 2", 4)),
    ({"da_srate": 10, "base_clock": 3}, (0, 95), ("0 3", 5), ("0 2", 4)),
    ({"da_srate": 2.5, "base_clock": 1}, (5, 7), ("2 1", 3), ("0 0", 2)),  # round(2.5) == 2
    ({"da_srate": 8e9, "base_clock": 4e-9}, (2 ** 70, 2 ** 70 + 64), (f"{2 ** 65} 2", 4), (f"{2 ** 65} 2", 4)),
    ({"da_srate": 1e9, "base_clock": 1e-9}, (3, 1), ("3 -2", 0), ("0 -1", 1)),
    ({"da_srate": np.float64(8e9), "base_clock": 4e-9}, (np.int64(32), 96), ("1 2", 4), ("1 2", 4)),
])
def test_blocks_follow_compile_params(params, span, plyi, plyic, make_kernel):
    k = make_kernel(**params)
    for (cls, mnemonic), (blocks, wait) in zip(PLAYS, (plyi, plyic)):
        p = cls(7, envelope(*span), 0.5, 1, 0, 0, kernel=k)
        assert str(p) == f"{mnemonic}7 {blocks} 16383.5 1 0 0" == reference(p, mnemonic)
        assert p.wait_time == wait == ref_wait(p, mnemonic)
        assert p.duration == span[1] - span[0] and type(p.duration) is int


def test_parameters_are_read_at_every_request(make_kernel):
    k = make_kernel()
    e = envelope(0, 128)
    p = _ir.IRPlayImm(0, e, 1, 0, 0, 0, kernel=k)
    assert p.wait_time == 6
    k.compile_params["da_srate"] = 16e9
    assert p.wait_time == 4 and str(p).split()[2:4] == ["0", "2"]
    k.compile_params = {"base_clock": 8e-9}
    assert p.wait_time == 4
    e.envelope_slice = slice(256, 1280)
    assert (p.wait_time, p.duration, str(p).split()[2:4]) == (18, 1024, ["4", "16"])

    class Params(dict):
        def get(self, key, default=None):
            return {"da_srate": 1e9}.get(key, default)

    k.compile_params = Params(da_srate=123.0)
    assert p.wait_time == 1024 // 4 + 2


def test_fields_and_construction(kernel):
    e = envelope(0, 64)
    e.envelope_type = "complex"
    p = _ir.IRPlayImm(frame="f", envelope=e, amp=0.5, bias=-2, freq=1, phase=2, kernel=kernel, junk=1)
    assert (p.frame, p.envelope, p.bias, p.freq, p.phase) == ("f", e, -2, 1, 2)
    assert p.amp == 16383.5 and p.envelope_type == "complex" and p.kernel is kernel
    assert not hasattr(p, "junk") and (p.real_wait_time, p.line) == (0, 0)
    c = _ir.IRPlaycImm(1, e, 1, 0, 0, 0)
    assert c.amp == 32767 and type(c.amp) is int and c.kernel is None
    assert str(c) == "plyic 1 0 2 32767 0 0 0" and c.wait_time == 4
    assert _ir.IRPlaycImm(1, e, np.float32(1), 0, 0, 0).amp == 32767
    assert not isinstance(c, _ir.IRPlayImm) and not isinstance(p, _ir.IRPlaycImm)


@pytest.mark.parametrize("cls", [_ir.IRPlayImm, _ir.IRPlaycImm])
def test_construction_errors(cls):
    e = envelope(0, 64)
    with pytest.raises(TypeError, match=r"takes exactly 7 positional arguments \(6 given\)"):
        cls(0, e, 1, 0, 0)
    with pytest.raises(TypeError, match=r"takes exactly 7 positional arguments \(8 given\)"):
        cls(0, e, 1, 0, 0, 0, 0)
    with pytest.raises(TypeError, match="unsupported operand"):
        cls(0, e, None, 0, 0, 0)
    with pytest.raises(TypeError, match=r"for \*: 'dict' and 'int'"):
        cls(0, e, {}, 0, 0, 0)
    assert cls(0, e, "a", 0, 0, 0).amp == "a" * 32767
    with pytest.raises(AttributeError, match="envelope_type"):
        cls(0, slice(0, 64), 1, 0, 0, 0)


def test_errors_of_the_requests(make_kernel):
    p = _ir.IRPlayImm(0, envelope(0, 64), 1, 0, 0, 0)
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'compile_params'"):
        p.wait_time
    with pytest.raises(AttributeError, match="compile_params"):
        str(p)
    assert (p.duration, p.overhead) == (64, 2)
    p.kernel = make_kernel(da_srate=1e9, base_clock=1e-10)  # round(0.1) == 0
    for op in (lambda: p.wait_time, lambda: str(p)):
        with pytest.raises(ZeroDivisionError, match="integer division or modulo by zero"):
            op()
    p.kernel = make_kernel(da_srate=math.inf)
    with pytest.raises(OverflowError, match="cannot convert float infinity to integer"):
        p.wait_time
    p.kernel = make_kernel(da_srate=math.nan)
    with pytest.raises(ValueError, match="cannot convert float NaN to integer"):
        str(p)
    p.kernel = make_kernel(da_srate="8e9")
    with pytest.raises(TypeError, match="can't multiply sequence"):
        p.wait_time
    # the kernel is read before the envelope
    p.kernel = None
    p.envelope = None
    with pytest.raises(AttributeError, match="compile_params"):
        p.wait_time
    c = _ir.IRPlaycImm(0, envelope(0, 64), 1, 0, None, 0)
    with pytest.raises(TypeError, match=r"unsupported operand type\(s\) for \*: 'NoneType' and 'int'"):
        str(c)
    c.envelope.envelope_slice = slice(None, 64)
    for op in (lambda: c.wait_time, lambda: c.duration, lambda: str(c)):
        with pytest.raises(TypeError, match="unsupported operand"):
            op()
    c.envelope = object()
    with pytest.raises(AttributeError, match="envelope_slice"):
        c.duration
    c.envelope, c.freq = envelope(0, 64.9), 0
    assert (c.duration, c.wait_time) == (64, 4) and str(c).split()[2:4] == ["0", "2"]


@pytest.mark.parametrize("freq, phase, words", [
    (2.5e8, 2 * math.pi, "134217728 2048"),
    (-2.5e8, -math.pi, "-134217728 -1024"),
    (0, 0, "0 0"),
    (250000000, math.pi / 2, "134217728 512"),
    (10 ** 30, 0, str(round(10 ** 30 * 2 ** 32 / 250000000.0 / 32)) + " 0"),
    (np.float64(1e8), np.float32(1.0), f"{freq_word(np.float64(1e8))} {phase_word(np.float32(1.0))}"),
])
def test_words(freq, phase, words):
    p = _ir.IRPlaycImm(0, envelope(0, 64), 1, 0, freq, phase)
    assert " ".join(str(p).split()[-2:]) == words


@settings(max_examples=600, deadline=None)
@given(numbers(1e10, 2 ** 64, 9), numbers(1e10, 2 ** 64, 9))
def test_play_words_match_python(freq, phase):
    p = _ir.IRPlaycImm(0, envelope(0, 64), 1, 0, freq, phase)
    want = outcome(reference, p, "plyic ")
    assert outcome(str, p) == want


@settings(max_examples=400, deadline=None)
@given(st.integers(-10 ** 6, 10 ** 6), st.integers(0, 10 ** 5), st.integers(),
       st.one_of(st.floats(1e6, 1e11), st.integers(-5, 10 ** 10), st.just(1e300)),
       st.one_of(st.floats(1e-11, 1e-7), st.floats(-1e-8, 1e-8), st.integers(-3, 3)),
       st.floats(-1e9, 1e9), st.floats(-10, 10))
def test_plays_match_python(start, length, frame, srate, clock, freq, phase):
    k = Kernel(da_srate=srate, base_clock=clock)
    for cls, mnemonic in PLAYS:
        p = cls(frame, envelope(start, start + length), 0.75, 3, freq, phase, kernel=k)
        assert outcome(str, p) == outcome(reference, p, mnemonic)
        assert outcome(lambda: p.wait_time) == outcome(ref_wait, p, mnemonic)
        assert p.duration == length
