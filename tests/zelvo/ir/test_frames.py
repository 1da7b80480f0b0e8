"""Carrier-frame settings and readout settings: lines, costs, words, errors."""
import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from helpers import numbers, outcome
from tarvok.zelvo import _ir

Z31 = "0" * 31


def freq_word(f):
    return round(f / 2.5e8 * 2 ** 32 / 32)


def phase_word(p):
    return round(p / (2 * np.pi) * 2 ** 32 / 32)


def words_of(line):
    if isinstance(line, tuple):
        return line
    try:
        return tuple(int(w) for w in line.split()[2:])
    except Exception as e:  # noqa: BLE001
        return type(e), str(e)


@pytest.mark.parametrize("make, line", [
    (lambda: _ir.IRFrame(2.5e8, math.pi / 2, 3), "fmsi 0b" + "0" * 28 + "1000 134217728 33554432"),
    (lambda: _ir.IRFrame(0.0, 0.0, 0), "fmsi 0b" + Z31 + "1 0 0"),
    (lambda: _ir.IRFrame(0, 0, 31), "fmsi 0b1" + Z31 + " 0 0"),
    (lambda: _ir.IRFrame(0, 0, 32), "fmsi 0b1" + "0" * 32 + " 0 0"),
    (lambda: _ir.IRFrame(1e10, 2 * math.pi, 0), f"fmsi 0b{Z31}1 {40 * 2 ** 27} {2 ** 27}"),
    (lambda: _ir.IRFrame(-2.5e8, -math.pi / 2, 0), f"fmsi 0b{Z31}1 {-2 ** 27} {-2 ** 25}"),
    (lambda: _ir.IRFrame(phase=4 * math.pi, idx=1, freq=5e8), f"fmsi 0b{'0' * 30}10 {2 ** 28} {2 ** 28}"),
    (lambda: _ir.IRFrame(np.float64(2.5e8), np.float32(0.0), np.int64(2)), f"fmsi 0b{'0' * 29}100 134217728 0"),
    (lambda: _ir.IRFrame(True, 0, True), f"fmsi 0b{'0' * 30}10 1 0"),
    (lambda: _ir.IRFrameAdd([0, 5], 0.0, math.pi), "Fmai 0b" + "0" * 26 + "100001 0 67108864"),
    (lambda: _ir.IRFrameAdd([], 2.5e8, 0), "Fmai 0b" + "0" * 32 + " 134217728 0"),
    (lambda: _ir.IRFrameAdd([3, 3], 0, 0), "Fmai 0b" + "0" * 28 + "1000 0 0"),
    (lambda: _ir.IRFrameAdd([40, 0], 0, 0), "Fmai 0b1" + "0" * 39 + "1 0 0"),
    (lambda: _ir.IRFrameAdd([0, 70, 1], 0, 0), "Fmai 0b1" + "0" * 68 + "11 0 0"),
    (lambda: _ir.IRFrameRst(), "drst"),
    (lambda: _ir.IRProt([0, 1, 9], 0.5 + 0.5j), "prot 0x3 16384 16384"),
    (lambda: _ir.IRProt([], 1), "prot 0x0 32768 0"),
    (lambda: _ir.IRProt(range(8), -1j), "prot 0xff 0 -32768"),
    (lambda: _ir.IRProt([8, -1, 100, 2 ** 70, -2 ** 70], -1.0), "prot 0x0 -32768 0"),
    (lambda: _ir.IRProt((7, True, np.int8(3)), 0.25), "prot 0x8a 8192 0"),
    (lambda: _ir.IRPth([7], 0.25), "pth 0x80 8192"),
    (lambda: _ir.IRPth({0, 2}, -1), "pth 0x5 -32768"),
    (lambda: _ir.IRPth([8.5, -0.5], 2.5 / 32768), "pth 0x0 2"),
])
def test_lines(make, line):
    ir = make()
    assert str(ir) == ir._pack_cmd() == line
    assert len(ir) == len(line) and format(ir, ">80") == line.rjust(80)
    assert repr(ir) == f"<{type(ir).__name__}: {ir.tag}>: {line}"


@pytest.mark.parametrize("cls, overhead, wait, rwt, category", [
    (_ir.IRFrame, 2, 6, 6, _ir.PreIR),
    (_ir.IRFrameAdd, 2, 7, 0, _ir.OverlapIR),
    (_ir.IRFrameRst, 1, 8, 0, _ir.OverlapIR),
    (_ir.IRProt, 1, 6, 6, _ir.PreIR),
    (_ir.IRPth, 1, 6, 6, _ir.PreIR),
])
def test_costs_and_common_fields(cls, overhead, wait, rwt, category):
    args = {_ir.IRFrame: ("f", "p", "i"), _ir.IRFrameAdd: ([], 1, 2), _ir.IRFrameRst: (),
            _ir.IRProt: ([], 1j), _ir.IRPth: ([], 1)}[cls]
    ir = cls(*args, kernel="k", unknown=1)
    assert type(ir).__mro__[1:3] == (category, _ir.IRBase)
    assert (ir.overhead, ir.wait_time, ir.real_wait_time) == (overhead, wait, rwt)
    assert type(ir.overhead) is int and type(ir.real_wait_time) is int
    assert (ir.kernel, ir.line, ir.index_map) == ("k", 0, {}) and not hasattr(ir, "unknown")
    assert not hasattr(ir, "duration") and not hasattr(ir, "ir_sub")
    with pytest.raises(AttributeError):
        ir.overhead = 1
    with pytest.raises(AttributeError):
        ir.wait_time = 1


def test_fields_are_stored_as_given_and_lines_follow_changes():
    f = _ir.IRFrame(100, 0, 1)
    assert type(f.freq) is int and str(f) == str(_ir.IRFrame(100.0, 0.0, 1))
    f.idx = 4
    assert str(f).startswith("fmsi 0b" + "0" * 27 + "10000 ")
    frames = [1]
    a = _ir.IRFrameAdd(frames, 100, np.float32(0.5))
    assert a.frames is frames and type(a.frequency) is float and a.frequency == 100.0
    assert type(a.phase) is float and a.phase == 0.5
    frames.append(2)
    assert str(a).startswith("Fmai 0b" + "0" * 29 + "110 ")
    fre = [0]
    p = _ir.IRProt(fre, 1.5 / 32768 + 0.5j / 32768)
    assert p.fre is fre and (p.rotation_real, p.rotation_imag) == (2, 0)
    assert type(p.rotation_real) is int and type(p.rotation_imag) is int
    fre.append(1)
    assert str(p) == "prot 0x3 2 0"
    t = _ir.IRPth([], 3.5 / 32768)
    assert t.threshold == 4 and type(t.threshold) is int
    assert _ir.IRPth([], np.float64(0.5)).threshold == 16384


def test_rounding_halves_to_even():
    # frequencies whose scaled value is exactly 2.5 and 3.5
    for scaled, word in ((2.5, 2), (3.5, 4), (-2.5, -2)):
        f = scaled * 2.5e8 / 2 ** 27
        assert f / 2.5e8 * 2 ** 32 / 32 == scaled
        assert str(_ir.IRFrame(f, 0, 0)).split()[2] == str(word)
        assert str(_ir.IRFrameAdd([], f, 0)).split()[2] == str(word)


@pytest.mark.parametrize("call, exc, text", [
    (lambda: _ir.IRFrameAdd((3,), 0, 0), TypeError,
     "Argument 'frames' has incorrect type (expected list, got tuple)"),
    (lambda: _ir.IRFrameAdd(None, 0, 0), TypeError,
     "Argument 'frames' has incorrect type (expected list, got NoneType)"),
    (lambda: _ir.IRFrameAdd(type("L", (list,), {})(), 0, 0), TypeError,
     "Argument 'frames' has incorrect type (expected list, got L)"),
    # the floats are converted before the list is checked
    (lambda: _ir.IRFrameAdd((3,), "1", 0), TypeError, "must be real number, not str"),
    (lambda: _ir.IRFrameAdd([], 0, None), TypeError, "must be real number, not NoneType"),
    (lambda: _ir.IRFrameAdd([], 1j, 0), TypeError, "must be real number, not complex"),
    (lambda: _ir.IRFrameAdd([], 0), TypeError, "__init__() takes exactly 4 positional arguments (3 given)"),
    (lambda: _ir.IRFrame(1, 2), TypeError, "__init__() takes exactly 4 positional arguments (3 given)"),
    (lambda: _ir.IRFrame(1, 2, 3, 4), TypeError, "__init__() takes exactly 4 positional arguments (5 given)"),
    (lambda: _ir.IRFrameRst(1), TypeError, "__init__() takes exactly 1 positional argument (2 given)"),
    (lambda: _ir.IRProt([], "x"), AttributeError, "'str' object has no attribute 'real'"),
    (lambda: _ir.IRProt([], complex(math.nan, 0)), ValueError, "cannot convert float NaN to integer"),
    (lambda: _ir.IRProt([], complex(0, math.inf)), OverflowError, "cannot convert float infinity to integer"),
    (lambda: _ir.IRPth([], None), TypeError, "unsupported operand type(s) for *: 'NoneType' and 'int'"),
    (lambda: _ir.IRPth([], math.nan), ValueError, "cannot convert float NaN to integer"),
    (lambda: _ir.IRPth([], -math.inf), OverflowError, "cannot convert float infinity to integer"),
])
def test_construction_errors(call, exc, text):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == text


@pytest.mark.parametrize("make, exc, text", [
    (lambda: _ir.IRFrame(0, 0, -1), ValueError, "negative shift count"),
    (lambda: _ir.IRFrame(0, 0, 1.0), TypeError, "unsupported operand type(s) for <<: 'int' and 'float'"),
    (lambda: _ir.IRFrame(0, 0, "3"), TypeError, "unsupported operand type(s) for <<: 'int' and 'str'"),
    (lambda: _ir.IRFrame(None, 0, 0), TypeError, "unsupported operand type(s) for /: 'NoneType' and 'float'"),
    (lambda: _ir.IRFrame(math.nan, 0, 0), ValueError, "cannot convert float NaN to integer"),
    (lambda: _ir.IRFrame(0, math.inf, 0), OverflowError, "cannot convert float infinity to integer"),
    (lambda: _ir.IRFrame(10 ** 400, 0, 0), OverflowError, "int too large to convert to float"),
    (lambda: _ir.IRFrameAdd([1, -2], 0, 0), ValueError, "negative shift count"),
    (lambda: _ir.IRFrameAdd([1], math.nan, 0), ValueError, "cannot convert float NaN to integer"),
    (lambda: _ir.IRFrameAdd([1], 0, -math.inf), OverflowError, "cannot convert float infinity to integer"),
    (lambda: _ir.IRProt(5, 1), TypeError, "'int' object is not iterable"),
    (lambda: _ir.IRPth([2.0], 1), TypeError, "unsupported operand type(s) for <<: 'int' and 'float'"),
    (lambda: _ir.IRPth([1, "a"], 1), TypeError, "'<=' not supported between instances of 'int' and 'str'"),
])
def test_line_errors(make, exc, text):
    ir = make()
    for op in (str, len):
        with pytest.raises(exc) as info:
            op(ir)
        assert str(info.value) == text


def test_error_order_idx_before_words():
    with pytest.raises(ValueError, match="negative shift"):
        str(_ir.IRFrame(None, math.nan, -1))
    with pytest.raises(TypeError, match="unsupported operand"):
        str(_ir.IRFrame(None, math.nan, 0))


@settings(max_examples=600, deadline=None)
@given(numbers(2e10, 2 ** 70, 7), numbers(2e10, 2 ** 70, 7))
def test_frame_words_match_python(f, p):
    want_f, want_p = outcome(freq_word, f), outcome(phase_word, p)
    got = words_of(outcome(str, _ir.IRFrame(f, p, 0)))
    if isinstance(want_f, tuple):
        assert got == want_f
    elif isinstance(want_p, tuple):
        assert got == want_p
    else:
        assert got == (want_f, want_p)


@settings(max_examples=300, deadline=None)
@given(st.floats(width=32), st.floats(width=32))
def test_frame_words_of_numpy_scalars_match_python(f, p):
    f, p = np.float32(f), np.float64(p)
    with np.errstate(all="ignore"):
        want = outcome(lambda: f"{freq_word(f)} {phase_word(p)}")
        got = outcome(lambda: " ".join(str(_ir.IRFrame(f, p, 0)).split()[2:]))
    assert got == want


@settings(max_examples=300, deadline=None)
@given(st.lists(st.integers(min_value=0, max_value=90), max_size=12),
       st.lists(st.one_of(st.integers(-20, 20), st.integers()), max_size=12))
def test_masks_match_python(frames, fre):
    mask = 0
    for f in frames:
        mask |= 1 << f
    assert str(_ir.IRFrameAdd(frames, 0, 0)).split()[1] == "0b" + format(mask, "032b")
    u8 = 0
    for n in fre:
        if 0 <= n < 8:
            u8 |= 1 << n
    assert str(_ir.IRPth(fre, 0)) == f"pth {hex(u8)} 0"
