"""bytes() of a record packs straight from its fields only while nothing is
replaced: every override of a step, of a field or of attribute access wins,
also after the record's type was first used, and the result, its type and
every error equal those of the three steps called one by one. A field read
again after the record's dict changed in any way is the interpreter's own
read of it."""
import gc
import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from helpers import fixed_field, redirected_read, typed_outcome as outcome
from tarvok.compiler import ostrane as o


def stepwise(rec):
    """bytes(rec) as its three steps give it, called one by one."""
    rec._check_attr()
    return rec.list2bytes(rec._pack_cmd())


def frame(freq=1e8, idx=2, cls=o.QInsFrame):
    r = cls("f", freq)
    r.frame_idx = idx
    return r


def play(amp=0.5, freq=2.5e8, phase=0.1, cls=o.QInsPlayWave):
    r = cls("p", "f", "e", amp, freq, phase)
    r.frame_idx = 1
    r.envelop_slice = slice(128, 256, 200)
    return r


MARK = b"M" * 32


class CheckRaises(o.QInsFrame):
    def _check_attr(self):
        raise o.AssemblyError("checked")


class PackOwn(o.QInsFrame):
    def _pack_cmd(self):
        return [9, 0, 0, 0, 0, 0, 0, 0, 0]


class ListOwn(o.QInsFrame):
    @staticmethod
    def list2bytes(cmd):
        return MARK


FreqProperty = fixed_field(o.QInsFrame, "freq", 2.5e8)
ReadsRedirected = redirected_read(o.QInsFrame, "frame_idx", 5)


class WaitOwnWord(o.QInsWait):
    def _pack_cmd(self):
        return [0xF8, 0, 0, 0, 0, 0, 0, 0, 0]


def instance_step(name, value):
    def make():
        r = frame()
        setattr(r, name, value)
        return r
    return make


OVERRIDES = [
    pytest.param(lambda: frame(cls=CheckRaises), ("raises", o.AssemblyError, "checked"), id="subclass _check_attr"),
    pytest.param(lambda: frame(cls=PackOwn), ("gives", bytes, bytes([9]) + bytes(31)), id="subclass _pack_cmd"),
    pytest.param(lambda: frame(cls=ListOwn), ("gives", bytes, MARK), id="subclass list2bytes"),
    pytest.param(instance_step("_check_attr", lambda: 1 / 0), ("raises", ZeroDivisionError, "division by zero"),
                 id="instance _check_attr"),
    pytest.param(instance_step("_pack_cmd", lambda: [7] + [0] * 8), ("gives", bytes, bytes([7]) + bytes(31)),
                 id="instance _pack_cmd"),
    pytest.param(instance_step("list2bytes", lambda cmd: MARK), ("gives", bytes, MARK), id="instance list2bytes"),
    pytest.param(lambda: frame(cls=FreqProperty), ("gives", bytes, bytes(frame(2.5e8))), id="field property"),
    pytest.param(lambda: frame(cls=ReadsRedirected), ("gives", bytes, bytes(frame(idx=5))),
                 id="__getattribute__"),
    pytest.param(lambda: WaitOwnWord("w"), ("gives", bytes, bytes([0xF8]) + bytes(31)),
                 id="constant word replaced"),
]


@pytest.mark.parametrize("make, expected", OVERRIDES)
def test_an_override_wins_over_the_direct_path(make, expected):
    for _ in range(3):  # the first call fills the per-type memo, the next ones use it
        assert outcome(bytes, make()) == expected


@pytest.mark.parametrize("name, value, expected", [
    ("_pack_cmd", lambda self: [3] + [0] * 8, bytes([3]) + bytes(31)),
    ("list2bytes", staticmethod(lambda cmd: MARK), MARK),
    ("_check_attr", lambda self: None, None),
])
def test_a_type_changed_after_first_use_is_seen(name, value, expected):
    class Later(o.QInsFrame):
        pass

    rec = frame(cls=Later)
    before = bytes(rec)
    assert before == bytes(frame())
    setattr(Later, name, value)
    assert bytes(rec) == (before if expected is None else expected)
    delattr(Later, name)
    assert bytes(rec) == before


def test_a_changed_class_of_the_record_is_seen():
    rec = frame()
    bytes(rec)
    rec.__class__ = PackOwn
    assert bytes(rec) == bytes([9]) + bytes(31)


def test_an_instance_override_set_and_removed_again():
    rec = frame()
    direct = bytes(rec)
    rec._pack_cmd = lambda: [1] + [0] * 8
    assert bytes(rec) == bytes([1]) + bytes(31)
    del rec._pack_cmd
    assert bytes(rec) == direct


def test_constant_words_are_fresh_values_of_the_right_type():
    a, b = bytes(o.QInsWait("a")), bytes(o.QInsWaitTrig("b"))
    assert type(a) is bytes and a == bytes(32)
    assert b == bytes([0xF4]) + bytes(31)


# ---- differential: the direct path against the three steps ------------------------

numbers = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(min_value=-2**70, max_value=2**70),
    st.sampled_from([np.float64(1e8), np.int64(3), True, None, "5", 1e300]),
)


@settings(max_examples=300, deadline=None)
@given(freq=numbers, idx=st.one_of(st.integers(-3, 300), st.sampled_from([2.0, None, np.uint8(7)])))
def test_frame_direct_equals_stepwise(freq, idx):
    rec = frame(freq, idx)
    assert outcome(bytes, rec) == outcome(stepwise, rec)


@settings(max_examples=300, deadline=None)
@given(amp=numbers, freq=numbers, phase=numbers,
       start=st.one_of(st.integers(-128, 10**6), st.sampled_from([64.0, None])),
       length=st.integers(-64, 10**5))
def test_play_direct_equals_stepwise(amp, freq, phase, start, length):
    rec = play(amp, freq, phase)
    stop = start + length if isinstance(start, (int, float)) else 10
    rec.envelop_slice = slice(start, stop, length)
    assert outcome(bytes, rec) == outcome(stepwise, rec)


@settings(max_examples=200, deadline=None)
@given(reg=st.integers(-2, 300), value=st.integers(-2, 2**33), mask=st.integers(-2, 2**17),
       idx=st.integers(-1, 2**33), kind=st.sampled_from(["=", "+", "x"]))
def test_integer_records_direct_equal_stepwise(reg, value, mask, idx, kind):
    recs = [o.QInsMov("m", reg, value, kind), o.QInsJumpWithReg("r", reg, value, "t"),
            o.QInsJumpWithJudge("j", value, mask, "t"), o.QInsJump("j", "t")]
    for rec in recs:
        if hasattr(rec, "ins_idx"):
            rec.ins_idx = idx
        assert outcome(bytes, rec) == outcome(stepwise, rec)


@settings(max_examples=200, deadline=None)
@given(width=numbers)
def test_play_zero_and_probe_delay_direct_equal_stepwise(width):
    for rec in (o.QInsPlayZero("z", width), o._QInsPTrigDelay("d", width)):
        assert outcome(bytes, rec) == outcome(stepwise, rec)


def test_probe_words_direct_equal_stepwise():
    jump = o._QInsPJump("j", "t")
    for idx in (0, 7, 65535, 65536, -1, 2.0):
        jump.ins_idx = idx
        assert outcome(bytes, jump) == outcome(stepwise, jump)
    assert bytes(o._QInsPWaitTrig("w")) == bytes(16)


# ---- the capture record's own list2bytes ------------------------------------------

class CaptureWords(o.QInsCapture):
    @staticmethod
    def list2bytes(cmd):
        return bytes([len(cmd)]) * 16


@pytest.mark.parametrize("delay", [0, 8e-08])
def test_capture_words_go_through_a_replaced_list2bytes(delay):
    sub = CaptureWords("c", 1.6e-06, delay)
    assert bytes(sub) == bytes([8]) * 16 * (3 if delay else 1)
    inst = o.QInsCapture("c", 1.6e-06, delay)
    seen = []
    inst.list2bytes = lambda cmd: seen.append(list(cmd)) or bytes(16)
    assert bytes(inst) == bytes(16) * len(seen)
    assert seen[0][0] == 2


# ---- the assembler ---------------------------------------------------------------

def queue(ns=o):
    env = ns.QInsEnvelop("e", np.full(64, 0.5))
    recs = [env, ns.QInsFrame("f", 1e8)]
    for i in range(30):
        k = i % 5
        if k == 0:
            recs.append(ns.QInsPlayWave(f"p{i}", "f", "e", 0.5, 1e6, 0.1))
        elif k == 1:
            recs.append(ns.QInsCapture(f"c{i}", 1e-07, 4e-08 if i % 2 else 0))
        elif k == 2:
            recs.append(ns.QInsWaitTrig(f"t{i}"))
        elif k == 3:
            recs.append(ns.QInsJump(f"j{i}", f"t{i - 1}"))
        else:
            recs.append(ns.QInsPlayZero(f"z{i}", 2e-08))
    recs.append(ns.QInsEnd("end"))
    return recs


def assembled(asm, q):
    asm.set_drive_delay(3, 8e-09)
    asm.set_probe_delay(1, 3.2e-08)
    asm.set_chnl_cmdq(3, q)
    return asm, asm.assemble()


def probe_delays(asm):
    return [(type(w).__name__, float(w.delay) if hasattr(w, "delay") else getattr(w, "ins_idx", None))
            for w in asm.probe_cmdq[1]]


class Calls(o.Assembler):
    """Runs every step of linking through the generic protocol and notes it."""

    def __init__(self, *args):
        super().__init__(*args)
        self.calls = []

    def _link_wave(self, *args):
        self.calls.append("_link_wave")
        return super()._link_wave(*args)

    def _optimize_probe_q(self, *args):
        self.calls.append("_optimize_probe_q")
        return super()._optimize_probe_q(*args)

    def _link_jump(self, *args):
        self.calls.append("_link_jump")
        return super()._link_jump(*args)


def test_one_pass_linking_equals_the_four_steps():
    fast, (env_f, drive_f, probe_f) = assembled(o.Assembler({1: [3]}), queue())
    slow, (env_s, drive_s, probe_s) = assembled(Calls({1: [3]}), queue())
    assert slow.calls == ["_link_wave", "_optimize_probe_q", "_link_jump"]
    assert np.array_equal(drive_f[1], drive_s[1]) and np.array_equal(probe_f[1], probe_s[1])
    assert np.array_equal(env_f[1], env_s[1])
    assert probe_delays(fast) == probe_delays(slow)
    assert [type(r) for r in fast.drive_cmdq[3]] == [type(r) for r in slow.drive_cmdq[3]]
    assert list(fast.drive_symbol[3].values()) == list(slow.drive_symbol[3].values())
    assert list(fast.probe_symbol[1].values()) == list(slow.probe_symbol[1].values())
    assert fast.capture_count == slow.capture_count and fast.capture_points == slow.capture_points


@pytest.mark.parametrize("name", ["_link_wave", "_optimize_drive_q", "_optimize_probe_q", "_link_jump"])
def test_a_linking_step_set_on_the_instance_is_called(name):
    asm = o.Assembler({1: [3]})
    own = getattr(asm, name)
    seen = []

    def step(*args):
        seen.append(name)
        return own(*args)

    setattr(asm, name, step)
    _, (_, drive, _) = assembled(asm, queue())
    _, (_, expected, _) = assembled(o.Assembler({1: [3]}), queue())
    assert seen == [name] and np.array_equal(drive[1], expected[1])


class WordOwn(o.QInsPlayZero):
    def _pack_cmd(self):
        return [0x44, 0, 0, 77, 0, 0, 0, 0, 0]


class BytesOwn(o.QInsWait):
    def __bytes__(self):
        return bytes([1, 2, 3, 4]) * 8


def test_the_drive_image_honours_record_overrides():
    q = [o.QInsFrame("f", 1e8), WordOwn("z", 2e-08), BytesOwn("w"), o.QInsEnd("e")]
    inst = o.QInsWait("i")
    inst.list2bytes = lambda cmd: bytes([9]) * 32
    q.insert(1, inst)
    asm = o.Assembler({1: [3]})
    asm.set_chnl_cmdq(3, q)
    words = asm.assemble()[1][1][0].view(np.uint8)
    assert words[32:64].tolist() == [9] * 32
    assert words[64 + 6] == 77 and words[96:128].tolist() == [1, 2, 3, 4] * 8


def test_the_probe_image_honours_a_capture_list2bytes():
    asm = o.Assembler({1: [3]})
    asm.set_chnl_cmdq(3, [o.QInsWaitTrig("t"), CaptureWords("c", 1.6e-06), o.QInsEnd("e")])
    probe = asm.assemble()[2][1].view(np.uint8)
    assert bytes(probe[32:48]) == bytes([8]) * 16


def test_frequency_and_phase_words_follow_the_configuration_between_calls():
    rec = frame(1e8)
    first = bytes(rec)
    o.zlv_config("OUTSrate", 4e9)
    assert bytes(rec)[2:6] == round(1e8 / 4e9 * 2**32).to_bytes(4, "little") != first[2:6]
    bound = o.global_config
    try:
        o.global_config = {**bound, "OUTSrate": 2e9}  # a rebound dictionary is the one read
        assert bytes(rec)[2:6] == round(1e8 / 2e9 * 2**32).to_bytes(4, "little")
    finally:
        o.global_config = bound


def test_phase_word_of_a_play_is_the_fraction_of_a_turn():
    rec = play(phase=-math.pi / 2)
    assert bytes(rec)[20:24] == (3221225472).to_bytes(4, "little")


def test_configuration_read_afresh_after_every_change(monkeypatch):
    """The encoders remember configuration values; every change of the
    configuration, in place or by binding a new dict, is seen at once."""
    rec = play()
    first = bytes(rec)
    assert bytes(rec) == first
    o.zlv_config("envelope_step", 32)
    halved = bytes(rec)
    assert halved != first and halved == stepwise(rec)
    o.global_config["OUTSrate"] = 4e9
    assert bytes(rec) == stepwise(rec) != halved
    fresh = dict(o.global_config, envelope_step=64, OUTSrate=2e9)
    monkeypatch.setattr(o, "global_config", fresh)
    assert bytes(rec) == stepwise(rec) == bytes(play())
    assert bytes(rec) != halved
    fresh["OUTSrate"] = 1e9
    assert bytes(rec) == stepwise(rec)
    monkeypatch.setattr(o, "global_config", {})
    with pytest.raises(KeyError):
        bytes(rec)


# ---- fields read again after the dict changed ---------------------------------------

class FreqDefault(o.QInsFrame):
    freq = 7e7


def expected_bytes(rec):
    """bytes(rec) from the fields as the interpreter's own lookup reads them."""
    try:
        freq, idx = rec.freq, rec.frame_idx
    except AttributeError as e:
        return ("raises", AttributeError, str(e))
    return outcome(bytes, frame(freq, idx))


def deleted(rec):
    del rec.freq


def set_again(rec):
    del rec.freq
    rec.frame_idx = 5
    rec.freq = 3e8


def replaced(rec):
    rec.__dict__ = dict(rec.__dict__, freq=3e8)


def shared(rec):
    rec.__dict__ = frame(4e8, 6).__dict__


def grown(rec):
    for i in range(64):
        setattr(rec, f"extra{i}", i)
    rec.freq = 3e8


def other_key_kind(rec):
    rec.__dict__[1] = 0
    rec.freq = 3e8


def equal_key_not_identical(rec):
    del rec.freq
    rec.__dict__["".join(["fr", "eq"])] = 3e8


def shadowed_by_property(rec):
    # An instance of a class whose property bears the name takes the dict
    # (same keys) the remembered reads came from.
    other = frame(cls=FreqProperty)
    other.__dict__ = rec.__dict__
    return other


def class_default_after_delete(rec):
    other = frame(cls=FreqDefault)
    bytes(other)
    del other.freq
    return other


def class_given_property_later(rec):
    class Later(o.QInsFrame):
        pass

    other = frame(cls=Later)
    bytes(other)
    Later.freq = property(lambda self: 2.5e8)
    return other


CHANGES = [deleted, set_again, replaced, shared, grown, other_key_kind, equal_key_not_identical,
           shadowed_by_property, class_default_after_delete, class_given_property_later]


@pytest.mark.parametrize("change", CHANGES, ids=lambda f: f.__name__)
def test_a_record_read_after_its_dict_changed(change):
    rec = frame()
    for _ in range(2):  # the first read remembers the slots, the second uses them
        assert bytes(rec) == bytes(frame())
    rec = change(rec) or rec
    for _ in range(2):
        assert outcome(bytes, rec) == expected_bytes(rec)


OPS = st.lists(st.tuples(st.sampled_from(["set", "del", "extra", "copy", "share", "idx"]),
                         st.integers(0, 2), st.floats(-4e8, 4e8)), max_size=25)


@settings(max_examples=150, deadline=None)
@given(ops=OPS)
def test_records_under_random_dict_changes(ops):
    recs = [frame(1e8, 1), frame(2e8, 2, cls=FreqDefault), frame(3e8, 3)]
    for op, i, x in ops:
        rec = recs[i]
        if op == "set":
            rec.freq = x
        elif op == "del":
            rec.__dict__.pop("freq", None)
        elif op == "extra":
            setattr(rec, f"extra{len(rec.__dict__)}", x)
        elif op == "copy":
            rec.__dict__ = dict(rec.__dict__)
        elif op == "share":
            rec.__dict__ = recs[(i + 1) % 3].__dict__
        else:
            rec.frame_idx = int(abs(x)) % 8
        for r in recs:
            assert outcome(bytes, r) == expected_bytes(r)


def test_keys_of_a_class_gone_and_made_anew_in_another_order():
    # The keys of a class that is gone are freed, and the keys of the next
    # class may be made at the same address, with the fields in another order.
    rec = frame()
    for _ in range(30):
        First = type("First", (o.QInsFrame,), {})
        a = First.__new__(First)
        a.freq, a.frame_idx, a.tag = 1e8, 2, "a"
        rec.__dict__ = a.__dict__
        assert bytes(rec) == bytes(frame(1e8, 2))
        rec.__dict__ = {}
        del a, First
        gc.collect()
        Second = type("Second", (o.QInsFrame,), {})
        b = Second.__new__(Second)
        b.frame_idx, b.freq, b.tag = 3, 5e8, "b"
        rec.__dict__ = b.__dict__
        assert bytes(rec) == bytes(frame(5e8, 3))
