"""The kernel functions refuse what cannot make a sound instruction, naming the
function and the argument; what they accept is passed on as it came."""
import math
from decimal import Decimal

import numpy as np
import pytest

from tarvok.zelvo import _functions as fn
from tarvok.zelvo import _ir

ENV = fn.envelope(np.ones(64))
FRAME = fn.frame(1e8, 0.0, 3)
NAN, INF = math.nan, math.inf

REFUSED = [
    # numbers: no text, array, complex or None where no default applies
    (lambda: fn.wait("4e-8"), TypeError, "wait() argument 'width' must be a real number, not str"),
    (lambda: fn.wait(None), TypeError, "wait() argument 'width' must be a real number, not NoneType"),
    (lambda: fn.wait(np.array([1e-8])), TypeError,
     "wait() argument 'width' must be a real number, not numpy.ndarray"),
    (lambda: fn.delay(1j), TypeError, "delay() argument 'width' must be a real number, not complex"),
    (lambda: fn.delay(np.complex64(1)), TypeError,
     "delay() argument 'width' must be a real number, not numpy.complex64"),
    (lambda: fn.frame("1e8"), TypeError, "frame() argument 'freq' must be a real number, not str"),
    (lambda: fn.play(FRAME, ENV, "a"), TypeError, "play() argument 'amp' must be a real number, not str"),
    (lambda: fn.play(FRAME, ENV, 0.5, [0]), TypeError, "play() argument 'bias' must be a real number, not list"),
    # NaN and infinity
    (lambda: fn.wait(NAN), ValueError, "wait() argument 'width' must be a finite number, got nan"),
    (lambda: fn.frame(INF), ValueError, "frame() argument 'freq' must be a finite number, got inf"),
    (lambda: fn.frame(1e8, np.float32(NAN)), ValueError, "frame() argument 'phase' must be a finite number, got"),
    (lambda: fn.play(FRAME, ENV, 0.5, 0, 1e6, -INF), ValueError,
     "play() argument 'phase' must be a finite number, got -inf"),
    (lambda: fn.frame_add([1], Decimal("NaN"), 0.0), ValueError,
     "frame_add() argument 'frequency' must be a finite number"),
    (lambda: fn.wait(10 ** 400), ValueError,
     "wait() argument 'width' must be a finite number, got 1" + "0" * 36 + "..."),   # a short text of it
    # negative stretches and capture widths
    (lambda: fn.wait(-4e-8), ValueError, "wait() argument 'width' must not be negative, got -4e-08"),
    (lambda: fn.delay(-1), ValueError, "delay() argument 'width' must not be negative, got -1"),
    (lambda: fn.capture([1], -1e-6), ValueError, "capture() argument 'acq_width' must not be negative, got -1e-06"),
    (lambda: fn.capture([1], 1e-6, -4e-9), ValueError, "capture() argument 'delay_width' must not be negative"),
    (lambda: fn.capture([1], 1e-6, 0.0, -4e-9), ValueError, "capture() argument 'play_width' must not be negative"),
    (lambda: fn.capture([1], None), TypeError, "capture() argument 'acq_width' must be a real number, not NoneType"),
    # capture frequencies: the numbers 0 to 7 of the mask, integers but no truth values
    (lambda: fn.capture(["a"], 1e-6), TypeError,
     "capture() argument 'freq_list' must hold frequency numbers, integers from 0 to 7, got str 'a' at position 0"),
    (lambda: fn.capture([0, 7, -1], 1e-6), ValueError,
     "capture() argument 'freq_list' must hold frequency numbers from 0 to 7, got -1 at position 2"),
    (lambda: fn.capture([2**70], 1e-6), ValueError, "must hold frequency numbers from 0 to 7, got 1180591620717411303424"),
    (lambda: fn.capture([np.float64(1)], 1e-6), TypeError, "integers from 0 to 7, got numpy.float64 1.0 at position 0"),
    (lambda: fn.capture([np.bool_(True)], 1e-6), TypeError, "integers from 0 to 7, got numpy.bool_ True at position 0"),
    (lambda: fn.freq_list([1e8, NAN]), ValueError, "freq_list() argument 'freqs' must hold finite numbers, got nan"),
    # frame indices: integers from 0 to 31
    (lambda: fn.frame(1e8, 0.0, 40), ValueError, "frame() argument 'idx' must be a frame index from 0 to 31, got 40"),
    (lambda: fn.frame(1e8, 0.0, -1), ValueError, "frame() argument 'idx' must be a frame index from 0 to 31, got -1"),
    (lambda: fn.frame(1e8, 0.0, 2 ** 70), ValueError, "frame() argument 'idx' must be a frame index from 0 to 31"),
    (lambda: fn.frame(1e8, 0.0, 1.0), TypeError,
     "frame() argument 'idx' must be a frame index, an integer from 0 to 31, not float"),
    (lambda: fn.play(32, ENV), ValueError, "play() argument 'frame' must be a frame index from 0 to 31, got 32"),
    (lambda: fn.frame_add([1, 32], 1e6, 0.0), ValueError,
     "frame_add() argument 'frames' must hold frame indices from 0 to 31, got 32"),
    (lambda: fn.frame_add([FRAME], 1e6, 0.0), TypeError,
     "frame_add() argument 'frames' must hold frame indices, integers from 0 to 31, not IRFrame"),
    (lambda: fn.play(FRAME, 3), TypeError, "play() argument 'envelope' must be an envelope (IREnvelope), not int"),
    # envelope samples: one-dimensional real numeric arrays, finite
    (lambda: fn.envelope([0.1, 0.2]), TypeError,
     "envelope() argument 'envelope_i' must be a one-dimensional real numeric array, not list"),
    (lambda: fn.envelope(np.ones((2, 4))), ValueError,
     "envelope() argument 'envelope_i' must be a one-dimensional real numeric array, not an array of shape (2, 4)"),
    (lambda: fn.envelope(np.ones(4) * 1j), TypeError,
     "envelope() argument 'envelope_i' must be a one-dimensional real numeric array, not an array of complex128 "
     "(the Q part is an argument of its own)"),
    (lambda: fn.envelope(np.array(["a"])), TypeError, "not an array of <U1"),
    (lambda: fn.envelope(np.ones(4, bool)), TypeError, "not an array of bool"),
    (lambda: fn.ins_envelope(np.ones(4), np.array([0.0, 0.0, INF, NAN])), ValueError,
     "ins_envelope() argument 'envelope_q' must hold finite samples, got inf at position 2"),
    (lambda: fn.envelope(np.ones(4), None, NAN), ValueError, "envelope() argument 'amp' must be a finite number"),
    # the rules split an I/Q envelope into two equal halves
    (lambda: fn.envelope(np.ones(100), np.ones(60)), ValueError,
     "envelope() arguments 'envelope_i' and 'envelope_q' must have the same length, got 100 and 60"),
    (lambda: fn.ins_envelope(np.ones(0), np.ones(1)), ValueError,
     "ins_envelope() arguments 'envelope_i' and 'envelope_q' must have the same length, got 0 and 1"),
]


@pytest.mark.parametrize("call, exc, text", REFUSED)
def test_refusals_name_the_function_and_the_argument(call, exc, text):
    with pytest.raises(exc) as info:
        call()
    assert text in str(info.value)


def test_sound_values_pass_as_they_came_and_none_takes_the_default():
    assert fn.wait(0).width == 0 and fn.wait(-0.0).width == 0.0
    assert fn.delay(np.float32(4e-9)).width == np.float32(4e-9)
    assert type(fn.wait(Decimal("4e-9")).width) is Decimal
    assert fn.frame(1e8, 0.0, 31).idx == 31 and fn.frame(1e8, 0.0, np.int64(0)).idx == 0
    f = fn.frame(-1e8, None, None)                  # a negative frequency is the checker's to judge
    assert (f.freq, f.phase, f.idx) == (-1e8, 0.0, 0)
    p = fn.play(FRAME, ENV, None, None, None, None)
    assert (p.frame, p.amp, p.bias, p.freq, p.phase) == (3, 32767, 0, 0.0, 0.0)
    assert fn.play(FRAME, ENV, -1.5).amp == -1.5 * 32767   # amplitude limits stay the checker's
    c = fn.capture([1, np.int64(2)], 0.0, None, None)
    assert (c.acq_width, c.delay_width, c.play_width) == (0.0, 0.0, 0.0)
    assert fn.capture([], 1e-6).fre == []
    e = fn.envelope(np.arange(4, dtype=np.int16), np.zeros(4, np.float32))
    assert type(e) is _ir.IREnvelope and e.envelope_type == "complex"
    assert fn.frame_add([0, 31, True], 1e6, 0.0).frames == [0, 31, True]
    assert fn.freq_list(iter([1e8])).freq_list == [1e8]
