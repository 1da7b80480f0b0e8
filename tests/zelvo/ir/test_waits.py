"""Waits and the delay: seconds and sample points in whole base-clock cycles."""
import math
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given, strategies as st

from tarvok.zelvo import _ir

DEFAULTS = dict(trig_align_time=0, ddr_play_bwidth=2, envelope_type=None, da_srate=8e9, ad_srate=8e9,
                base_clock=4e-9, target_chnl_type="da", intra_enable=False)
MAX_WITI = 2**32 - 1   # the line's count is 32 bits wide


@pytest.mark.parametrize("width, cycles", [
    (1e-6, 250), (4e-8, 10), (1e-8, 2), (6e-9, 2), (2e-9, 0), (0, 0), (-1e-8, -2),
    ("4e-8", 10),  # the builtin float() parses text
    (np.float32(4e-8), round(float(np.float32(4e-8)) / 4e-9)),
    (Fraction(1, 10**8), 2), (1, 250000000), (10**20, round(1e20 / 4e-9)),
])
@pytest.mark.parametrize("params", [DEFAULTS, {}])
def test_wait_and_delay_cycles(width, cycles, params, make_kernel):
    k = make_kernel(**params)
    w, d = _ir.IRWait(width, kernel=k), _ir.IRDelay(width=width, kernel=k)
    assert w.wait_time == d.wait_time == cycles and type(w.wait_time) is int
    assert str(w) == "" and len(w) == 0 and not w
    assert (w.overhead, d.overhead) == (0, 2)
    if 0 <= cycles <= MAX_WITI:
        assert str(d) == f"witi {cycles}"
    else:                                   # the wait time stays what it is; only the line refuses
        with pytest.raises(ValueError, match=f"^the delay of {cycles} cycles does not fit"):
            str(d)


def test_wait_duration_and_channel(make_kernel):
    k = make_kernel(**DEFAULTS)
    w = _ir.IRWait(1e-6, kernel=k)
    assert w.duration == 8000 and w.sim_data().shape == (8000,)
    k.compile_params.update(target_chnl_type="ad", ad_srate=2e9)
    assert w.duration == 2000
    k.compile_params["target_chnl_type"] = "xy"  # rate falls back to 8e9
    assert w.duration == 8000
    assert _ir.IRWait(1e-6, kernel=make_kernel()).duration == 8000
    assert _ir.IRWait(np.float64(2.5e-10), kernel=make_kernel(da_srate=8e9)).duration == 2  # halves to even
    k.compile_params.update(target_chnl_type="da", da_srate=8)  # an int rate: width * rate first
    assert _ir.IRWait(3, kernel=k).duration == 24
    with pytest.raises(ValueError):
        _ir.IRWait("1e-6", kernel=k).duration  # text times an int repeats; float() of it fails
    k.compile_params["da_srate"] = 8e9
    with pytest.raises(TypeError):
        _ir.IRWait("1e-6", kernel=k).duration


@pytest.mark.parametrize("points, params, cycles", [
    (8000, DEFAULTS, 250), (33, DEFAULTS, 2), (32, DEFAULTS, 1), (0, DEFAULTS, 0), (-33, DEFAULTS, -1),
    (8000, dict(DEFAULTS, base_clock=8e-9), 250),  # 4 ns blocks whatever base_clock is
    (33, dict(target_chnl_type="ad", ad_srate=4e9), 3),
    (33, {}, 2), (12.5, {}, 1), (2**80, {}, 2**75), (Fraction(65, 2), {}, 2),
])
def test_wait_points(points, params, cycles, make_kernel):
    w = _ir.IRWaitPoints(points, kernel=make_kernel(**params))
    assert w.wait_time == cycles and (w.overhead, str(w)) == (0, "")
    assert w.duration == int(points)


def test_base_clock_matters_to_waits_only(make_kernel):
    k = make_kernel(**dict(DEFAULTS, base_clock=8e-9))
    assert _ir.IRWait(1e-6, kernel=k).wait_time == 125 and _ir.IRWaitPoints(8000, kernel=k).wait_time == 250


def test_fields_and_categories(make_kernel):
    k = make_kernel()
    w, p, d = _ir.IRWait(1e-6, kernel=k, x=1), _ir.IRWaitPoints(points=5), _ir.IRDelay(2e-8)
    assert list(vars(w))[-2:] == ["sim_ir_type", "width"] and list(vars(p))[-2:] == ["sim_ir_type", "points"]
    assert list(vars(d))[-1] == "width" and "sim_ir_type" not in vars(d)
    assert w.kernel is k and not hasattr(w, "x") and len(w.tag) == 10
    assert w.sim_ir_type is p.sim_ir_type is _ir.SimulationIR.SimIRType.NORMAL
    assert isinstance(d, _ir.FixIR) and not isinstance(d, _ir.SimulationIR)
    assert all(isinstance(x, (_ir.FixIR, _ir.SimulationIR)) for x in (w, p))


def test_failures(make_kernel):
    for make in (lambda: _ir.IRWait(), lambda: _ir.IRDelay(1, 2), lambda: _ir.IRWaitPoints(1, 2)):
        with pytest.raises(TypeError):
            make()
    w, p, d = _ir.IRWait(1e-6), _ir.IRWaitPoints(5), _ir.IRDelay(1e-6)
    assert (len(w), len(p), w.overhead, d.overhead) == (0, 0, 0, 2)
    for read in (lambda: w.wait_time, lambda: w.duration, lambda: p.wait_time, lambda: p.duration,
                 lambda: d.wait_time, lambda: str(d), lambda: len(d)):
        with pytest.raises(AttributeError):
            read()
    k = make_kernel(base_clock=0.0, da_srate=1e8)  # and 0.4 samples a 4 ns block
    for ir in (_ir.IRWait(1e-6, kernel=k), _ir.IRDelay(1e-6, kernel=k), _ir.IRWaitPoints(5, kernel=k)):
        with pytest.raises(ZeroDivisionError):
            ir.wait_time
    k = make_kernel()
    for width, exc in [("abc", ValueError), (None, TypeError), ([1], TypeError), (math.nan, ValueError),
                       (math.inf, OverflowError), (10**400, OverflowError)]:
        for ir in (_ir.IRWait(width, kernel=k), _ir.IRDelay(width, kernel=k)):
            with pytest.raises(exc):
                str(ir) if isinstance(ir, _ir.IRDelay) else ir.wait_time
    p = _ir.IRWaitPoints(None, kernel=k)
    assert p.duration is None
    with pytest.raises(TypeError):
        p.wait_time
    p.points = "12"
    with pytest.raises(TypeError, match=r"^Expected int, got str$"):
        p.duration
    p.points = 12.7
    assert p.duration == 12
    p.points = np.float64(-3.9)
    assert p.duration == -3 and type(p.duration) is int
    p.points = math.nan
    with pytest.raises(ValueError):
        p.duration


@given(st.one_of(st.floats(allow_nan=False, allow_infinity=False), st.integers(-10**30, 10**30)),
       st.one_of(st.floats(1e-300, 1e10), st.integers(1, 10**6), st.floats(-1, -1e-300)))
def test_cycles_match_the_formula(width, clock):
    class K:
        compile_params = dict(base_clock=clock)
    try:
        expected = round(float(width) / clock)
    except OverflowError:
        with pytest.raises(OverflowError):
            _ir.IRWait(width, kernel=K()).wait_time
        return
    assert _ir.IRWait(width, kernel=K()).wait_time == expected
    if 0 <= expected <= MAX_WITI:
        assert str(_ir.IRDelay(width, kernel=K())) == f"witi {expected}"
    else:
        with pytest.raises(ValueError, match="does not fit"):
            str(_ir.IRDelay(width, kernel=K()))


@pytest.mark.parametrize("cycles, fits", [(0, True), (MAX_WITI, True), (-1, False), (MAX_WITI + 1, False),
                                          (2**70, False)])
@pytest.mark.parametrize("name, line, where", [
    (None, 12, ""),                        # a kernel without a name names nothing
    ("rabi", 0, "in kernel rabi: "),
    ("rabi", 12, "in kernel rabi, line 12: "),
])
def test_delay_line_holds_32_bits_and_a_refusal_names_its_kernel_and_line(cycles, fits, name, line, where,
                                                                          make_kernel):
    k = make_kernel(base_clock=1)            # an int clock: seconds are cycles, exactly
    if name:
        k.name = name
    d = _ir.IRDelay(cycles, kernel=k)
    d.line = line
    assert d.wait_time == cycles
    if fits:
        assert str(d) == f"witi {cycles}"
        return
    with pytest.raises(ValueError) as info:
        str(d)
    assert str(info.value) == (f'{where}the delay of {cycles} cycles does not fit the count of its "witi" line '
                               f"(0 to {MAX_WITI} cycles, about 17 s at the default 4 ns base clock); widths of "
                               f"waits and delays are seconds")


@given(st.one_of(st.integers(-2**80, 2**80), st.floats(-1e15, 1e15)),
       st.one_of(st.floats(2e8, 1e12), st.integers(200000000, 10**12)))
def test_points_match_the_formula(points, srate):
    class K:
        compile_params = dict(da_srate=srate)
    assert _ir.IRWaitPoints(points, kernel=K()).wait_time == math.ceil(points / round(srate * 4e-9))
