"""Capture instruction: width checks, flag field, cycle counts and samples."""
import math

import numpy as np
import pytest
from hypothesis import given, strategies as st

from tarvok.zelvo import _ir

DEFAULTS = dict(trig_align_time=0, ddr_play_bwidth=2, envelope_type=None, da_srate=8e9, ad_srate=8e9,
                base_clock=4e-9, target_chnl_type="da", intra_enable=False)
BOUND = 8.192e-6


@pytest.mark.parametrize("args, kw, params, line, wait, duration", [
    # 2e-6 / 4e-9 lies just below 500; 9 is out of range
    (([0, 2, 9], 2e-6, 1e-7, 1e-6), {}, DEFAULTS, "capi 0b00000101 500 25 250 0b0111", 526, 16800),
    (([], 1e-7, 0, 5e-8), {}, DEFAULTS, "capi 0b00000000 25 0 12 0b0111", 26, 800),
    # ad_srate falls back to 4e9, base_clock to 4e-9
    (([], 1e-7, 0, 5e-8), {}, {}, "capi 0b00000000 25 0 12 0b0111", 26, 400),
    ((list(range(8)), 0, 0, 0), {}, DEFAULTS, "capi 0b11111111 0 0 0 0b0111", 1, 0),
    (([8, -1, 2**70, -2**70], 4e-8, 0, 0), {}, DEFAULTS, "capi 0b00000000 10 0 0 0b0111", 11, 320),
    (([3, 3, True], 1e-8, 6e-9, 2e-9), {}, DEFAULTS, "capi 0b00001010 2 2 0 0b0111", 5, 128),
    # negative widths print negative counts; the play width wins _max
    (([1], -4e-8, 0, 8e-9), {}, DEFAULTS, "capi 0b00000010 -10 0 2 0b0111", 3, 64),
    # delay width is never bounded
    (([0], 0, 1.0, 0), {}, DEFAULTS, "capi 0b00000001 0 250000000 0 0b0111", 250000001, 8000000000),
    (([0], 1e-7, 0, 0), dict(raw_data_store=False, iq_data_store=False, judge_data_store=False),
     DEFAULTS, "capi 0b00000001 25 0 0 0b0000", 26, 800),
    (([0], 1e-7, 0, 0), dict(double_fre_mode=True), DEFAULTS, "capi 0b00000001 25 0 0 0b1111", 26, 800),
    (([0], 1e-7, 0, 0, False, False, False, True), {}, DEFAULTS, "capi 0b00000001 25 0 0 0b1000", 26, 800),
    # flags combine with the interpreter's shift and or: wider values keep every digit
    (([0], 1e-7, 0, 0, 3, 0, 0, 2), {}, DEFAULTS, "capi 0b00000001 25 0 0 0b10011", 26, 800),
    (([0], 1e-7, 0, 0, -1, 0, 0, 0), {}, DEFAULTS, "capi 0b00000001 25 0 0 0b-001", 26, 800),
    # a tiny clock gives big exact counts
    (([0], 1e-6, 0, 0), {}, dict(base_clock=1e-30, ad_srate=1e30),
     f"capi 0b00000001 {round(1e-6 / 1e-30)} 0 0 0b0111", round(1e-6 / 1e-30) + 1, round(1e30 * 1e-6)),
])
def test_line_wait_time_duration(args, kw, params, line, wait, duration, make_kernel):
    c = _ir.IRCapture(*args, kernel=make_kernel(**params), **kw)
    assert str(c) == line
    assert c.wait_time == wait and type(c.wait_time) is int
    assert c.duration == duration and type(c.duration) is int
    assert c.overhead == 1
    if duration < 10**6:
        assert c.sim_data().shape == (duration,)


def test_fields_categories_and_keywords(make_kernel):
    fre = [1, 2]
    k = make_kernel()
    c = _ir.IRCapture(fre, 1e-7, 0, np.float64(5e-7), kernel=k, unknown=3)
    assert list(vars(c))[-5:] == ["fre", "acq_width", "delay_width", "play_width", "para"]
    assert c.fre is fre and c.kernel is k and not hasattr(c, "unknown")
    assert [type(c.acq_width), type(c.delay_width), type(c.play_width)] == [float] * 3
    assert (c.acq_width, c.delay_width, c.play_width, c.para) == (1e-7, 0.0, 5e-7, 7)
    assert c.sim_ir_type is _ir.SimulationIR.SimIRType.NORMAL
    assert isinstance(c, _ir.FixIR) and isinstance(c, _ir.SimulationIR) and not isinstance(c, _ir.OverlapIR)
    assert c._max == 5e-7
    # the caller's list is read at each line; compile parameters at each read
    fre.append(7)
    k.compile_params["base_clock"] = 1e-9
    assert str(c) == f"capi 0b10000110 {round(1e-7 / 1e-9)} 0 {round(5e-7 / 1e-9)} 0b0111"
    k.compile_params["ad_srate"] = 1e7
    assert c.duration == 5


def test_width_bound():
    _ir.IRCapture([], BOUND, 5.0, BOUND)
    above = math.nextafter(BOUND, 1)
    for args, msg in [((above, 0, 0), "Acquisition width up to 4.096e-6s"),
                      ((above, 0, above), "Acquisition width up to 4.096e-6s"),
                      ((0, 0, above), "Play width up to 4.096e-6s"),
                      ((math.inf, 0, 0), "Acquisition width up to 4.096e-6s")]:
        with pytest.raises(_ir.AssemblyError) as e:
            _ir.IRCapture([], *args)
        assert e.value.args == ("IRCapture", msg)

    class Sub(_ir.IRCapture):
        pass

    with pytest.raises(_ir.AssemblyError) as e:
        Sub([], 0, 0, 1e-5)
    assert e.value.args[0] == "Sub"


@pytest.mark.parametrize("args, kw, text", [
    (((0,), 0, 0, 0), {}, "Argument 'freq_list' has incorrect type (expected list, got tuple)"),
    ((None, 0, 0, 0), {}, "Argument 'freq_list' has incorrect type (expected list, got NoneType)"),
    # widths convert before the list is checked, and strings are refused
    (((0,), "1e-7", 0, 0), {}, "must be real number, not str"),
    (([], 0, None, 0), {}, "must be real number, not NoneType"),
    (([], 0, 0, 0, 1, 1, 1, 1, 1), {}, "__init__() takes at most 9 positional arguments (10 given)"),
    (([], 0, 0), {}, "takes at least 5 positional arguments (4 given)"),
    (([], 0, 0, 0), dict(raw_data_store=None), "unsupported operand"),
    (([], 0, 0, 0), dict(double_fre_mode=1.5), "unsupported operand"),
])
def test_argument_errors(args, kw, text):
    with pytest.raises(TypeError) as e:
        _ir.IRCapture(*args, **kw)
    assert text in str(e.value)


def test_failures_of_reads(make_kernel):
    c = _ir.IRCapture([0], 1e-7, 0, 0)
    assert c.overhead == 1
    for read in (lambda: c.wait_time, lambda: c.duration, lambda: str(c)):
        with pytest.raises(AttributeError):
            read()
    c.kernel = make_kernel(base_clock=0.0)
    for read in (lambda: c.wait_time, lambda: str(c)):
        with pytest.raises(ZeroDivisionError):
            read()
    c.kernel = make_kernel(base_clock=0)
    with pytest.raises(ZeroDivisionError):
        c.wait_time
    c.kernel = make_kernel()
    c.delay_width = math.nan
    with pytest.raises(ValueError):
        str(c)
    with pytest.raises(ValueError):
        c.wait_time
    c.delay_width = math.inf
    with pytest.raises(OverflowError):
        c.duration
    c.delay_width = 0.0
    for bad, exc in [(["a"], TypeError), ([2.5], TypeError), (None, TypeError)]:
        c.fre = bad
        with pytest.raises(exc):
            str(c)
    c.fre = (n for n in [1, np.int64(2)])  # any iterable; numpy entries combine by the protocol
    assert str(c).startswith("capi 0b00000110 ")


def ref_max(acq, delay, play):
    return np.maximum(acq + delay, play)


@given(st.floats(-1e-5, 8e-6), st.floats(-1, 1), st.floats(-1e-5, 8e-6),
       st.one_of(st.floats(1e-12, 1e-3), st.integers(1, 10), st.floats(-1e-3, -1e-12)),
       st.one_of(st.floats(1, 1e12), st.integers(-10**6, 10**12)))
def test_matches_the_formula(acq, delay, play, clock, srate):
    class K:
        compile_params = dict(base_clock=clock, ad_srate=srate)
    c = _ir.IRCapture([0], acq, delay, play, kernel=K())
    m = float(ref_max(acq, delay, play))
    assert c.wait_time == round(m / clock) + 1
    assert c.duration == int(round(srate * m))
    assert str(c) == (f"capi 0b00000001 {round(acq / clock)} {round(delay / clock)} "
                      f"{round(play / clock)} 0b0111")
