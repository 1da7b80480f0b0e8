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


def test_envelopes_go_first_with_their_places_back_to_back():
    a, b, iq = env(100), env(64), env(50, 50)
    others = [play(), _ir.IRFrame(1e8, 0, 0), play()]
    out = _rules.EnvelopeRule().order_ins([others[0], a, others[1], b, others[2], iq])
    assert out == [a, b, iq] + others
    assert [e.envelope_slice for e in (a, b, iq)] == [slice(0, 100, 1), slice(100, 164, 1), slice(164, 264, 1)]


def test_without_envelopes_the_order_stays():
    irs = [play(), _ir.IRNop(), _ir.IRWaitTrig()]
    assert _rules.EnvelopeRule().order_ins(irs) == irs


def test_envelopes_stand_ahead_of_every_other_set_up_instruction():
    frame, mov, a, nop, b = _ir.IRFrame(1e8, 0, 0), _ir.IRMov(1, 2), env(8), _ir.IRNop(), env(8)
    p, trig = play(), _ir.IRWaitTrig()
    flat = _rules.EnvelopeRule().order_ins([frame, p, mov, a, trig, nop, b])
    assert _rules.PreConfigRule().order_ins(flat) == [a, b, frame, mov, nop, p, trig]


@pytest.mark.parametrize("samples, exc, text", [
    (np.zeros(3, dtype=np.int16), ValueError, "buffer size must be a multiple of element size"),
    (types.SimpleNamespace(size=2), TypeError, "sequence item 1: expected a bytes-like object, types.SimpleNamespace found"),
])
def test_envelope_samples_that_do_not_read_as_float64_are_refused(samples, exc, text):
    good, bad = env(4), env(4)
    bad.envelope = samples
    with pytest.raises(exc, match=text):
        _rules.EnvelopeRule().order_ins([good, bad])
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
    assert [ir.envelope_slice for ir in once[:2]] == [slice(0, 16, 1), slice(16, 24, 1)]


def test_an_error_leaves_earlier_changes_in_place():
    jump = _ir.IRJumpConditional(1, 1, 1)

    class Bad:
        def __iter__(self):
            yield jump
            raise RuntimeError("broken list")
    with pytest.raises(RuntimeError, match="broken list"):
        _rules.SelectJumpTypeRule().order_ins(Bad(), intra_enable=True)
    assert jump.intra_enable is True
