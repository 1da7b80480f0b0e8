"""Envelopes from @kernel source through the default passes: each play reads
exactly its own envelope in whole blocks, the envelope array holds every
envelope padded with zeros to those blocks, and an I/Q envelope plays as an
I/Q play."""
import numpy as np
import pytest

from tarvok.zelvo import _errors, _ir
from tarvok.zelvo._conveyor import conveyor
from tarvok.zelvo.kernel import kernel

HANN = np.hanning(100)
T = np.linspace(-2, 2, 64)
GAUSS = np.exp(-T ** 2)
DRAG = -T * GAUSS * 0.5        # the Gaussian's derivative, scaled


@kernel
def two_long():
    f0: zv.Frame = zv.frame(1e8, 0.0, 0)
    a: zv.Envelope = zv.envelope(np.full(400, 0.5))
    b: zv.Envelope = zv.envelope(np.full(400, 0.25))
    zv.wait_trig()
    zv.play(f0, a, 0.5)
    zv.wait(2e-7)
    zv.play(f0, b, 0.5)
    zv.wait(2e-7)


@kernel
def one(samples: 'zv.Var', amp: 'zv.Var' = 0.5):
    f0: zv.Frame = zv.frame(1e8, 0.0, 0)
    e: zv.Envelope = zv.envelope(samples)
    zv.wait_trig()
    zv.play(f0, e, amp)
    zv.wait(2e-7)


@kernel
def iq(i: 'zv.Var', q: 'zv.Var', amp: 'zv.Var' = 0.5):
    f0: zv.Frame = zv.frame(1e8, 0.0, 0)
    e: zv.Envelope = zv.envelope(i, q)
    zv.wait_trig()
    zv.play(f0, e, amp)
    zv.wait(2e-7)


@kernel
def mixed():
    f0: zv.Frame = zv.frame(1e8, 0.0, 0)
    a: zv.Envelope = zv.envelope(np.hanning(100))
    b: zv.Envelope = zv.envelope(np.hanning(40))
    zv.wait_trig()
    zv.play(f0, a, 0.5)
    zv.wait(2e-7)
    zv.play(f0, b, 0.5)
    zv.wait(2e-7)


def padded(*parts, unit=32):
    return np.concatenate([np.concatenate([p, np.zeros(-p.size % unit)]) for p in parts])


# (kernel, its arguments, compile parameters set after the parse, the play
# lines, the envelope array)
CASES = [
    pytest.param(two_long, (), {}, ["plyi 0 0 13 16384 0 0 0", "plyi 0 13 13 16384 0 0 0"],
                 padded(np.full(400, 0.5), np.full(400, 0.25)), id="each play its own 13 blocks"),
    pytest.param(one, (HANN,), {}, ["plyi 0 0 4 16384 0 0 0"], padded(HANN), id="hanning(100) in 4 blocks"),
    pytest.param(one, (np.hanning(63),), {}, ["plyi 0 0 2 16384 0 0 0"], padded(np.hanning(63)),
                 id="63 samples in 2 blocks"),
    pytest.param(one, (np.hanning(64),), {}, ["plyi 0 0 2 16384 0 0 0"], np.hanning(64), id="whole blocks"),
    pytest.param(iq, (HANN, -HANN), {}, ["plyic 0 0 8 16384 0 0 0"], padded(HANN, -HANN),
                 id="I/Q over padded halves"),
    pytest.param(iq, (GAUSS, DRAG, 0.3), {}, ["plyic 0 0 4 9830 0 0 0"], np.concatenate([GAUSS, DRAG]),
                 id="DRAG pulse, amplitude rounded"),
    pytest.param(mixed, (), {"da_srate": 4e9}, ["plyi 0 0 7 16384 0 0 0", "plyi 0 7 3 16384 0 0 0"],
                 padded(np.hanning(100), np.hanning(40), unit=16), id="block of 16"),
    pytest.param(iq, (HANN, -HANN), {"da_srate": 4e9}, ["plyic 0 0 8 16384 0 0 0"], padded(HANN, -HANN),
                 id="block of 16 with I/Q: 32"),
]


def plays(text):
    return [line.split("#")[0].strip() for line in text.splitlines() if line.startswith("ply")]


@pytest.mark.parametrize("make, args, params, lines, expected", CASES)
def test_plays_read_their_own_envelope_in_whole_blocks(make, args, params, lines, expected):
    k = make(*args)
    k.compile_params.update(params)
    given = [ins.envelope for ins in k.instruction_list if isinstance(ins, _ir.IREnvelope)]
    envelopes, _, _, _, text = conveyor(k)
    assert plays(text) == lines
    assert envelopes.dtype == np.float64 and envelopes.tobytes() == expected.tobytes()
    kept = [ins for ins in k.instruction_list if isinstance(ins, _ir.IREnvelope)]
    # the translator's places in its array are the places the plays read
    assert [e.envelop_slice for e in kept] == [e.envelope_slice for e in kept]
    for e, before in zip(kept, given):
        assert (e.envelope is before) == (e.envelope.size == before.size)


def test_an_envelope_of_whole_blocks_keeps_its_very_array():
    samples = np.hanning(64)
    k = one(samples)
    conveyor(k)
    assert k.instruction_list[1].envelope is samples


@pytest.mark.parametrize("call", ["zv.envelope", "zv.ins_envelope"])
def test_i_and_q_of_different_lengths_are_refused_at_their_line(refusal, call):
    statement = f"e = {call}(np.ones(100), np.ones(60))"
    text = refusal(f"def k():\n    e: zv.Envelope = zv.envelope(np.ones(64))\n    {statement}\n")
    assert text == (f'in kernel k, line 3, "{statement[4:]}":\n'
                    f"Function Parse Error, {call[3:]}() arguments 'envelope_i' and 'envelope_q' must have the same "
                    "length, got 100 and 60")


def test_an_iq_play_above_full_scale_is_reported_by_the_play_checker():
    with pytest.raises(_errors.PlayError) as info:
        conveyor(iq(HANN, -HANN, 1.5))
    assert str(info.value).startswith('in kernel iq, line 6, "zv.play(f0, e, amp)"')
    assert str(info.value).endswith("Play-Wave has a playback amplitude of more than 1")


@kernel
def stored(a: 'zv.Var', b: 'zv.Var'):
    e0: zv.Envelope = zv.envelope(np.zeros(a))
    e1: zv.Envelope = zv.envelope(np.zeros(b))
    zv.wait_trig()
    zv.wait(1e-7)


@pytest.mark.parametrize("sizes, refused", [
    ((65505, 65537), True),     # 131042 samples as written, 131104 padded
    ((65504, 65536), False),    # 131040 samples, whole blocks
])
def test_the_total_length_counts_the_padded_samples(sizes, refused):
    k = stored(*sizes)
    if not refused:
        assert conveyor(k)[0].size == sum(sizes)
        return
    with pytest.raises(_errors.PlayError) as info:
        conveyor(k)
    assert str(info.value).endswith("The total length of the envelope is more than 131072 points")
