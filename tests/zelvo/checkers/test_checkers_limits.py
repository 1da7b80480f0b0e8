"""Frame frequency, play amplitude and length, rotation factor, probe
waveform shape and capture width."""
import math

import numpy as np
import pytest

from checkers_build import Build
from tarvok.zelvo import _checkers as ck
from tarvok.zelvo import _ir as ir

FREQ = "Additional frequencies exceed 10GHz"
AMP = "Play-Wave has a playback amplitude of more than 1"
SHORT = "The play-wave length is less than 2"
ROT = "Rotation factor exceed 1"
WAVE = "dimensions of Probe waveform is should be [freq, points]"
CAPI = "capi acq_time is not divisible"
B = Build()


def play_amp(amp):
    p = B.play(64)
    p.amp = amp
    return p


def frame(freq):
    f = B.frame()
    f.freq = freq
    return f


# (checker, instruction, the messages of its records in order)
CASES = [
    ("FmsiChecker", frame(1e10), []),
    ("FmsiChecker", frame(1.00001e10), [FREQ]),
    ("FmsiChecker", frame(10 ** 10 + 1), [FREQ]),
    ("FmsiChecker", frame(-5e10), []),
    ("FmsiChecker", frame(math.nan), [FREQ]),          # a NaN would pass any bound unseen
    ("FmsiChecker", frame(np.float32("nan")), [FREQ]),
    ("FmsiChecker", frame(np.float64(2e10)), [FREQ]),
    ("FmsiChecker", ir.IRFrameAdd([0], 2e10, 0.0), []),  # only frame settings are tested
    ("PlyChecker", play_amp(32767), []),
    ("PlyChecker", play_amp(32767.5), [AMP]),
    ("PlyChecker", play_amp(-32767), []),
    ("PlyChecker", play_amp(-32767.5), [AMP]),      # below -1 wraps as surely as above 1
    ("PlyChecker", play_amp(-40000), [AMP]),
    ("PlyChecker", play_amp(-(2 ** 70)), [AMP]),
    ("PlyChecker", play_amp(math.nan), [AMP]),
    ("PlyChecker", play_amp(2 ** 70), [AMP]),
    ("PlyChecker", B.play(64, amp=1), []),
    ("PlyChecker", B.play(63, amp=1), [SHORT]),
    ("PlyChecker", B.play(63, amp=1.5), [AMP, SHORT]),
    # the I/Q play is held to the same limits, in its blocks of 32 samples
    ("PlyChecker", B.play(64, amp=1, cls=ir.IRPlaycImm), []),
    ("PlyChecker", B.play(64, amp=1.00002, cls=ir.IRPlaycImm), [AMP]),
    ("PlyChecker", B.play(63, amp=-5, cls=ir.IRPlaycImm), [AMP, SHORT]),
    ("ProtChecker", B.prot(1 + 1j), []),
    ("ProtChecker", B.prot(1.5 + 1.5j), [ROT, ROT]),
    ("ProtChecker", B.prot(1.5 - 1j), [ROT]),
    ("ProtChecker", B.prot(-3 - 3j), []),
    ("WaveformChecker", B.waveform(np.zeros((2, 7))), []),
    ("WaveformChecker", B.waveform(np.zeros((2, 0))), []),
    ("WaveformChecker", B.waveform(np.zeros((3, 7))), [WAVE]),
    ("WaveformChecker", B.waveform(np.zeros(5)), [WAVE]),
    ("WaveformChecker", B.waveform(np.zeros(2)), []),
    ("CapiChecker", B.capture(1.6e-8), []),
    ("CapiChecker", B.capture(3.2e-8), []),
    ("CapiChecker", B.capture(2.0e-8), [CAPI]),
    ("CapiChecker", B.capture(1.60000004e-8), []),
    ("CapiChecker", B.capture(0.0), []),
    ("CapiChecker", B.capture(-1.6e-8), []),
    ("CapiChecker", B.capture(8e-9), [CAPI]),  # 8 ns exactly: no tie to round
]


@pytest.mark.parametrize("name, x, messages", CASES)
def test_limits_top_level_and_in_blocks(b, name, x, messages):
    cls = b.CaptureError if name == "CapiChecker" else b.PlayError
    nop1, nop2 = ir.IRNop(), ir.IRNop()
    top = [nop1, x, nop2]
    out, errors = getattr(ck, name)().check_ir(top)
    assert out is top
    assert errors == [b.rec(m, nop1, x, nop2, cls) for m in messages]
    # the same instruction first in a block: its neighbours come from the block
    head = b.jump(x, nop1)
    errors = getattr(ck, name)().check_ir([nop2, head])[1]
    expected = [] if name == "WaveformChecker" else [b.rec(m, None, x, nop1, cls) for m in messages]
    assert errors == expected


@pytest.mark.parametrize("width, passes", [
    (16.5e-9, True), (32.5e-9, True), (48.5e-9, True), (80.5e-9, True), (0.5e-9, True),  # halves to even
    (15.5e-9, True), (47.5e-9, True), (31.5e-9, False), (17.5e-9, False),
])
def test_capture_width_rounds_to_the_nanosecond_halves_to_even(b, width, passes):
    assert (round(width * 1e9) % 16 == 0) == passes
    assert (ck.CapiChecker().check_ir([b.capture(width)])[1] == []) == passes


@pytest.mark.parametrize("width", [math.nan, math.inf])
def test_capture_width_that_cannot_be_rounded(b, width):
    c = b.capture()
    c.acq_width = width
    with pytest.raises((ValueError, OverflowError)):
        ck.CapiChecker().check_ir([c])


def test_walk_order_top_item_then_its_block(b):
    p1, p2, p3 = b.play(amp=2), b.play(amp=2), b.play(amp=2)
    head = b.trig(p2)
    errors = ck.PlyChecker().check_ir([p1, head, p3])[1]
    assert [e[2] for e in errors] == [p1, p2, p3]


def test_one_level_deep_only(b):
    deep = b.trig(b.play(amp=2))
    assert ck.PlyChecker().check_ir([b.trig(deep)])[1] == []


def test_check_ply_alone(b):
    p = b.play(63, amp=2)
    error = []
    assert ck.check_ply([p], 0, error) is error
    assert [e[0] for e in error] == [AMP, SHORT]
    with pytest.raises(TypeError, match=r"Argument 'ir_list' has incorrect type \(expected list, got tuple\)"):
        ck.PlyChecker().check_ir((p,))


def test_missing_fields_propagate(b):
    w = b.waveform(np.zeros((2, 2)))
    w.wave = np.float64(1.0)
    with pytest.raises(TypeError):
        ck.WaveformChecker().check_ir([w])
    p = b.play()
    p.kernel = None
    with pytest.raises(AttributeError):
        ck.PlyChecker().check_ir([p])
