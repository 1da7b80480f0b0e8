"""External-memory load, play and wait: block arithmetic, lines and timing."""
import math
import types

import numpy as np
import pytest
from hypothesis import given, strategies as st

from tarvok.zelvo import _ir

DEFAULTS = dict(trig_align_time=0, ddr_play_bwidth=2, envelope_type=None, da_srate=8e9, ad_srate=8e9,
                base_clock=4e-9, target_chnl_type="da", intra_enable=False)
# Neither da_srate nor base_clock: the line's delay step is 32 / 4 = 8.
STEP8 = dict(target_chnl_type="da")


def arb(n, offset=0):
    w = _ir.IRArbWaveform("w", np.zeros(n))
    w.offset = offset
    return w


@pytest.mark.parametrize("n, b_width, offset, load, play, play_pre", [
    (40000, 2, 0, "lodiddr 0, 14464, 1, 0", "plyiddr 0, 14464, 3, 125, 0, 0, 0", "plyiddr 32768, 14464, 2, 125, 0, 0, 1"),
    # exactly full blocks: the last block is a whole one
    (32768, 2, 0, "lodiddr 0, 32768, 1, 0", "plyiddr 0, 32768, 2, 125, 0, 0, 0", "plyiddr 32768, 32768, 1, 125, 0, 0, 1"),
    (100, 2, 64, "lodiddr 64, 200, 1, 0", "plyiddr 64, 200, 1, 125, 0, 0, 0", "plyiddr 32832, 200, 0, 125, 0, 0, 1"),
    (0, 2, 0, "lodiddr 0, 32768, 1, 0", "plyiddr 0, 32768, 0, 125, 0, 0, 0", "plyiddr 32768, 32768, -1, 125, 0, 0, 1"),
    (40000, 4, 2**70, f"lodiddr {2**70}, 28928, 1, 0", f"plyiddr {2**70}, 28928, 5, 125, 0, 0, 0",
     f"plyiddr {2**70 + 32768}, 28928, 4, 125, 0, 0, 1"),
])
def test_block_lines(n, b_width, offset, load, play, play_pre, make_kernel):
    wave = arb(n, offset)
    ld = _ir.IRLoadDDRImm(wave)
    ld.b_width = b_width
    assert str(ld) == load and (ld.overhead, ld.wait_time) == (2, 6)
    p = _ir.IRPlayDDRImm(wave, kernel=make_kernel(**STEP8))
    p.b_width, p.wave_delay = b_width, 1e-6
    assert str(p) == play
    p.pre_load = True
    assert str(p) == play_pre


def test_play_timing_and_fallbacks(make_kernel):
    p = _ir.IRPlayDDRImm(arb(40000), kernel=make_kernel())
    assert (p.overhead, p.wait_time, p.duration) == (2, 156, 40000)  # 8e9 * 3.2e-8 = 256
    p.kernel = make_kernel(**DEFAULTS)
    assert p.wait_time == 1250
    p.kernel = make_kernel(da_srate=8e9, base_clock=-4e-9)  # floor division toward minus infinity
    assert p.wait_time == 40000 // -32
    p.kernel = make_kernel(**STEP8)
    for delay, field in [(1e-7, 12), (0, 0), (-1e-8, -2), (1e-6, 125)]:
        p.wave_delay = delay
        assert str(p).split(", ")[3] == str(field)
    p.mode, p.fifo_id, p.pre_load = 3, 7, 2
    assert str(p) == "plyiddr 32768, 14464, 2, 125, 3, 7, 2"
    # compile parameters are read again at every line: 16 ns a cycle at 4 samples a ns
    p.kernel.compile_params.update(da_srate=4e9, base_clock=16e-9)
    assert str(p).split(", ")[3] == str(int(1e-6 * 1e9 // 4))


def test_zero_delay_step(make_kernel):
    # The kernel's own defaults give a delay step of round(4 / 8) == 0: no
    # delay prints 0, any other delay cannot be written.
    p = _ir.IRPlayDDRImm(arb(40000), kernel=make_kernel(**DEFAULTS))
    assert str(p) == "plyiddr 0, 14464, 3, 0, 0, 0, 0"
    p.wave_delay = 0.0
    assert str(p) == "plyiddr 0, 14464, 3, 0, 0, 0, 0"
    p.wave_delay = 1e-6
    with pytest.raises(_ir.AssemblyError) as e:
        str(p)
    assert e.value.args[0] == "IRPlayDDRImm" and "cannot be expressed" in e.value.args[1]


def test_fields_and_categories(make_kernel):
    k = make_kernel()
    wave = arb(10)
    p = _ir.IRPlayDDRImm(wave, kernel=k, other=1)
    assert list(vars(p)) == ["tag", "real_wait_time", "line", "kernel", "index_map", "sim_ir_type", "wait_trig",
                             "b_width", "mode", "wave", "wave_delay", "fifo_id", "pre_load"]
    assert (p.wave, p.kernel, p.wave_delay, p.b_width, p.mode, p.fifo_id, p.pre_load, p.wait_trig) == \
        (wave, k, 0, 2, 0, 0, False, False)
    assert p.sim_ir_type is _ir.SimulationIR.SimIRType.NORMAL
    assert all(isinstance(p, c) for c in (_ir.FixIR, _ir.LoadDDRIR, _ir.SimulationIR))
    assert p.sim_data(1, 2, x=3) is wave.waveform
    ld = _ir.IRLoadDDRImm(wave=wave, kernel=k)
    assert list(vars(ld))[5:] == ["wave", "b_width", "fifo_id"] and ld.kernel is k
    assert isinstance(ld, _ir.OverlapIR) and not isinstance(ld, _ir.FixIR)
    w = _ir.IRWaitDDR()
    assert (w.overhead, w.wait_time, str(w), w.kernel, len(w)) == (1, 3, "wnt", None, 3)
    assert isinstance(w, _ir.OverlapIR)
    # any object with the three attributes serves as the waveform
    stand_in = types.SimpleNamespace(waveform=types.SimpleNamespace(size=2**70), step=3, offset=-1)
    assert str(_ir.IRLoadDDRImm(stand_in)) == f"lodiddr -1, {2**71 % 3 or 3}, 1, 0"


def test_failures(make_kernel):
    for make in (lambda: _ir.IRPlayDDRImm(), lambda: _ir.IRLoadDDRImm(arb(1), 2), lambda: _ir.IRWaitDDR(1)):
        with pytest.raises(TypeError):
            make()
    p = _ir.IRPlayDDRImm(arb(100))
    assert p.overhead == 2 and str(_ir.IRLoadDDRImm(arb(100))) == "lodiddr 0, 200, 1, 0"
    for read in (lambda: p.wait_time, lambda: str(p)):
        with pytest.raises(AttributeError):
            read()
    p.kernel = make_kernel(da_srate=1e8)  # 0.1 samples a ns
    with pytest.raises(ZeroDivisionError):
        str(p)
    p.kernel = make_kernel(da_srate=1e9, base_clock=1e-10)  # no sample a cycle
    with pytest.raises(ZeroDivisionError):
        p.wait_time
    p.kernel = make_kernel(**STEP8)
    for delay, exc in [(math.nan, ValueError), (math.inf, ValueError), ("1", TypeError)]:
        p.wave_delay = delay
        with pytest.raises(exc):
            str(p)
    p.wave_delay = 0
    p.wave.step = 0
    for ir in (p, _ir.IRLoadDDRImm(p.wave)):
        with pytest.raises(ZeroDivisionError):
            str(ir)
    p.wave = object()
    with pytest.raises(AttributeError):
        str(p)


def ref_line(size, b_width, step, offset, wave_delay, pre_load, srate, clock):
    srate_ns = round(srate * 1e-9)
    clock_ns = round(clock * 1e9)
    dstep = round(clock_ns / srate_ns)
    delay = int((wave_delay * 1e9) // dstep)
    nbytes = size * b_width
    last = nbytes % step or step
    times = math.ceil(nbytes / step)
    if pre_load:
        return f"plyiddr {offset + step}, {last}, {times - 1}, {delay}, 0, 0, 1"
    return f"plyiddr {offset}, {last}, {times}, {delay}, 0, 0, 0"


@given(st.integers(0, 2**62), st.integers(1, 8), st.integers(1, 2**40), st.integers(-2**70, 2**70),
       st.one_of(st.floats(-1e-3, 1e-3), st.integers(-10**6, 10**6)), st.booleans(),
       st.sampled_from([1e9, 2e9, 4e9, 2.5e9]), st.sampled_from([3.2e-8, 4e-8, 1e-7, 16e-9, 8]))
def test_play_matches_the_formula(size, b_width, step, offset, wave_delay, pre_load, srate, clock):
    wave = types.SimpleNamespace(waveform=types.SimpleNamespace(size=size), step=step, offset=offset)
    p = _ir.IRPlayDDRImm(wave, kernel=types.SimpleNamespace(compile_params=dict(da_srate=srate, base_clock=clock)))
    p.b_width, p.wave_delay, p.pre_load = b_width, wave_delay, pre_load
    assert str(p) == ref_line(size, b_width, step, offset, wave_delay, pre_load, srate, clock)
    assert p.wait_time == size // round(srate * clock)


def test_ddr_fields_print_their_str():
    class Odd(int):
        def __format__(self, spec):
            return "formatted"

        def __str__(self):
            return "text"

    ir = _ir.IRLoadDDRImm(_ir.IRArbWaveform("w", np.zeros(8)))
    ir.fifo_id = Odd(1)
    assert str(ir).endswith("text") and "formatted" not in str(ir)
