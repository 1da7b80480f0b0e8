"""The rules that run on the flat list: jump form, envelope places and the
float64 reading of their bytes, set-up instructions first, empty waits out,
trigger alignment."""
import types

import numpy as np
import pytest

from tarvok.zelvo import _ir, _rules

FIVE = [_rules.SelectJumpTypeRule, _rules.EnvelopeRule, _rules.PreConfigRule, _rules.WitiRule, _rules.WtgAlign]


def env(n, q=None):
    return _ir.IREnvelope(np.linspace(0, 1, n), None if q is None else np.linspace(0, 1, q))


def play(e=None):
    return _ir.IRPlayImm(0, e if e is not None else env(4), 1, 0, 1e8, 0.0)


@pytest.mark.parametrize("rule", FIVE)
def test_an_empty_list_gives_a_new_empty_list(rule):
    given = []
    out = rule().order_ins(given)
    assert out == [] and out is not given and type(out) is list


@pytest.mark.parametrize("kwargs, expected", [({}, False), ({"intra_enable": 1}, 1), ({"intra_enable": True}, True)])
def test_conditional_jumps_take_the_jump_form_unchanged(kwargs, expected):
    class Sub(_ir.IRJumpConditional):
        pass
    jumps = [_ir.IRJumpConditional(1, 2, 3), Sub(1, 2, 3)]
    inside = _ir.IRJumpInside()
    given = (jumps[0], inside, jumps[1])
    out = _rules.SelectJumpTypeRule().order_ins(given, kernel=None, **kwargs)
    assert out == list(given)
    assert all(j.intra_enable is expected for j in jumps) and not hasattr(inside, "intra_enable")


def test_envelopes_go_first_with_their_places_back_to_back_in_whole_blocks():
    a, b, iq = env(100), env(64), env(50, 50)
    others = [play(), _ir.IRFrame(1e8, 0, 0), play()]
    out = _rules.EnvelopeRule().order_ins([others[0], a, others[1], b, others[2], iq])
    assert out == [a, b, iq] + others
    assert [e.envelope_slice for e in (a, b, iq)] == [slice(0, 128, 1), slice(128, 192, 1), slice(192, 320, 1)]


def samples(n, q=None, dtype=float):
    i = np.linspace(0.1, 1, n).astype(dtype)
    return (i,) if q is None else (i, np.linspace(-1, -0.1, q).astype(dtype))


# (the I part or I and Q parts of each envelope, the rule's keywords, the
# unit each envelope is padded to)
PADDING = [
    ([samples(400), samples(400)], {}, 32),                       # 13 blocks each, not 12.5
    ([samples(100), samples(64), samples(63)], {}, 32),
    ([samples(100), samples(0)], {"da_srate": 4e9}, 16),          # a block of 16 samples
    ([samples(5)], {"base_clock": 2.5e-10}, 2),
    ([samples(100), samples(20, 20)], {"da_srate": 4e9}, 32),     # with an I/Q envelope: lcm(16, 32)
    ([samples(100), samples(20, 20)], {"da_srate": 1.2e10}, 96),  # lcm(48, 32)
    ([samples(100, dtype=np.float32), samples(3, dtype=np.int16)], {}, 32),
    ([samples(100)], {"da_srate": 0.0}, 1),                       # no block: nothing is padded
    ([samples(100)], {"da_srate": 1e8}, 1),                       # 0.4 samples rounds to none
]


@pytest.mark.parametrize("parts, kwargs, unit", PADDING)
def test_envelopes_are_padded_with_zeros_to_whole_blocks(parts, kwargs, unit):
    envs = [_ir.IREnvelope(*p) for p in parts]
    given = [e.envelope for e in envs]
    out = _rules.EnvelopeRule().order_ins([play()] + envs, **kwargs)
    assert out[:-1] == envs
    start = 0
    for e, p, before in zip(envs, parts, given):
        halves = [np.concatenate([x, np.zeros(-x.size % unit, x.dtype)]) for x in p]
        expected = np.concatenate(halves)
        assert e.envelope.dtype == before.dtype and e.envelope.tobytes() == expected.tobytes()
        assert (e.envelope is before) == (expected.size == before.size)   # whole blocks keep their very array
        assert e.envelope_slice == slice(start, start + expected.size, 1) and len(e) == expected.size
        start += expected.size
    # once padded, a second run changes nothing
    arrays, places = [e.envelope for e in envs], [e.envelope_slice for e in envs]
    assert _rules.EnvelopeRule().order_ins(envs, **kwargs) == envs
    assert all(e.envelope is a for e, a in zip(envs, arrays)) and [e.envelope_slice for e in envs] == places


def test_samples_of_several_dimensions_are_padded_in_their_byte_order():
    e = _ir.IREnvelope(np.arange(6.0).reshape(2, 3).T)    # not C-contiguous
    whole = _ir.IREnvelope(np.zeros((2, 16)))
    kept = whole.envelope
    _rules.EnvelopeRule().order_ins([e, whole])
    assert e.envelope.tolist() == [0.0, 3.0, 1.0, 4.0, 2.0, 5.0] + [0.0] * 26
    assert whole.envelope is kept and whole.envelope_slice == slice(32, 64, 1)


@pytest.mark.parametrize("parts, kwargs, text", [
    ((np.ones(3), np.ones(4)), {},
     "is an I/Q envelope of 7 samples, an odd number: it has no two equal halves, I and Q, to pad to whole blocks"),
    ((np.ones(3),), {"base_clock": 5.0},
     "of 3 samples cannot be padded to whole blocks of 40000000000 samples (da_srate * base_clock): envelope "
     "memory holds 131072 samples"),
    ((np.ones(3),), {"base_clock": 2.0 ** 70},
     "of 3 samples cannot be padded to whole blocks of 9444732965739290427392000000000 samples (da_srate * "
     "base_clock): envelope memory holds 131072 samples"),
])
def test_envelopes_that_cannot_be_padded_are_refused(parts, kwargs, text):
    empty, bad = _ir.IREnvelope(np.zeros(0)), _ir.IREnvelope(*parts)
    with pytest.raises(ValueError) as info:
        _rules.EnvelopeRule().order_ins([empty, bad], **kwargs)
    assert str(info.value) == f"The IREnvelope instruction '{bad.tag}' {text}"


def test_a_block_past_envelope_memory_leaves_envelopes_of_whole_blocks_and_empty_ones_alone():
    big, empty = _ir.IREnvelope(np.zeros(2 * 163840)), _ir.IREnvelope(np.zeros(0))
    kept = big.envelope
    _rules.EnvelopeRule().order_ins([big, empty], da_srate=4.096e13)    # 163840 samples a block
    assert big.envelope is kept and empty.envelope_slice == slice(327680, 327680, 1)


def test_without_envelopes_the_order_stays():
    irs = [play(), _ir.IRNop(), _ir.IRWaitTrig()]
    assert _rules.EnvelopeRule().order_ins(irs) == irs


def test_envelopes_stand_ahead_of_every_other_set_up_instruction():
    frame, mov, a, nop, b = _ir.IRFrame(1e8, 0, 0), _ir.IRMov(1, 2), env(8), _ir.IRNop(), env(8)
    p, trig = play(), _ir.IRWaitTrig()
    flat = _rules.EnvelopeRule().order_ins([frame, p, mov, a, trig, nop, b])
    assert _rules.PreConfigRule().order_ins(flat) == [a, b, frame, mov, nop, p, trig]


# A block of one sample pads nothing; a value that is no array is never padded.
@pytest.mark.parametrize("samples, exc, text", [
    (np.zeros(3, dtype=np.int16), ValueError, "buffer size must be a multiple of element size"),
    (types.SimpleNamespace(size=2), TypeError, "sequence item 1: expected a bytes-like object, types.SimpleNamespace found"),
])
def test_envelope_samples_that_do_not_read_as_float64_are_refused(samples, exc, text):
    good, bad = env(4), env(4)
    bad.envelope = samples
    with pytest.raises(exc, match=text):
        _rules.EnvelopeRule().order_ins([good, bad], da_srate=2.5e8)
    assert good.envelope_slice == slice(0, 4, 1)


def test_float32_samples_read_as_float64_when_their_bytes_allow():
    e = env(4)
    e.envelope = np.zeros(4, dtype=np.float32)
    assert _rules.EnvelopeRule().order_ins([e]) == [e]


@pytest.mark.parametrize("bad, name", [((), "tuple"), (type("Sub", (list,), {})(), "Sub"), (None, "NoneType")])
def test_envelope_rule_takes_an_exact_list_only(bad, name):
    with pytest.raises(TypeError) as info:
        _rules.EnvelopeRule().order_ins(bad)
    assert str(info.value) == f"Argument 'ir_list' has incorrect type (expected list, got {name})"


@pytest.mark.parametrize("width, dropped", [
    (0, True), (1e-9, True), (2e-9, True),   # 0.5 cycle rounds to even: none
    (4e-9, False), (6e-9, False), (1e-6, False),
])
def test_waits_of_no_cycle_are_dropped(kernel, width, dropped):
    w = _ir.IRWait(width, kernel=kernel)
    keep = [_ir.IRWaitPoints(0, kernel=kernel), _ir.IRDelay(0, kernel=kernel), _ir.IRWaitTrig()]
    out = _rules.WitiRule().order_ins([keep[0], w, keep[1], keep[2]])
    assert out == keep if dropped else [keep[0], w] + keep[1:]


def test_wait_time_is_read_through_the_instruction(kernel):
    class Zero(_ir.IRWait):
        @property
        def wait_time(self):
            return 0
    assert _rules.WitiRule().order_ins([Zero(1.0)]) == []


def test_a_wait_without_kernel_fails_with_the_instructions_error():
    with pytest.raises(AttributeError):
        _rules.WitiRule().order_ins([_ir.IRWait(4e-9)])


@pytest.mark.parametrize("kwargs, expected", [({}, 12), ({"trig_align_time": 0}, 0), ({"trig_align_time": 7.5}, 7.5)])
def test_trigger_waits_get_the_alignment_time(kwargs, expected):
    waits = [_ir.IRWaitTrig(), _ir.IRWaitTrig()]
    delay = _ir.IRDelay(1)
    out = _rules.WtgAlign().order_ins([waits[0], delay, waits[1]], **kwargs)
    assert out == [waits[0], delay, waits[1]]
    assert [w.wait_time for w in waits] == [expected, expected]


def test_the_five_rules_give_the_same_list_when_run_again(kernel):
    def program():
        return [play(), env(16), _ir.IRWait(1e-9, kernel=kernel), _ir.IRFrame(1e8, 0, 0), _ir.IRWaitTrig(),
                _ir.IRJumpConditional(1, 1, 1), env(8), _ir.IRWait(1e-6, kernel=kernel)]
    irs = program()
    once = irs
    for rule in FIVE:
        once = rule().order_ins(once, intra_enable=True, trig_align_time=3)
    twice = once
    for rule in FIVE:
        twice = rule().order_ins(twice, intra_enable=True, trig_align_time=3)
    assert twice == once
    assert [type(ir).__name__ for ir in once] == ["IREnvelope", "IREnvelope", "IRFrame", "IRPlayImm", "IRWaitTrig",
                                                  "IRJumpConditional", "IRWait"]
    assert [ir.envelope_slice for ir in once[:2]] == [slice(0, 32, 1), slice(32, 64, 1)]


def test_an_error_leaves_earlier_changes_in_place():
    jump = _ir.IRJumpConditional(1, 1, 1)

    class Bad:
        def __iter__(self):
            yield jump
            raise RuntimeError("broken list")
    with pytest.raises(RuntimeError, match="broken list"):
        _rules.SelectJumpTypeRule().order_ins(Bad(), intra_enable=True)
    assert jump.intra_enable is True
