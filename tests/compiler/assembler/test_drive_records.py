"""Drive command records: their words, output times, errors and record behaviour."""
import copy
import math
import struct

import pytest

from tarvok.compiler import ostrane as o



def word(*items):
    items = list(items) + [0] * (9 - len(items))
    return struct.pack("<BBIIHHHII8B", *items, *[0] * 8)


def fw(freq, rate=8e9):
    return round(freq / rate * 2**32)


def pw(phase):
    w = round(math.fmod(math.fmod(phase / math.pi / 2, 1) + 1, 1) * 2**32)
    return 0 if w == 2**32 else w


def linked(rec, **attrs):
    for k, v in attrs.items():
        setattr(rec, k, v)
    return rec


RECORDS = [
    (o.QInsWait("w"), word(0)),
    (o.QInsEnd("e"), word(248)),
    (o.QInsWaitTrig("t"), word(244)),
    (linked(o.QInsPlayWave("p", "F", "E", 0.5, 0, 0), frame_idx=1, envelop_slice=slice(128, 256, 128)),
     bytes.fromhex("040402000000020000000040") + bytes(20)),
    (linked(o.QInsPlayWave("p", "F", "E", 1.0, 2.5e8, math.pi / 2), frame_idx=63,
            envelop_slice=slice(64 * 5, 64 * 5 + 200, 200)),
     word(4, 252, 5, 3, 32768, 0, 0, fw(2.5e8), pw(math.pi / 2))),
    (linked(o.QInsPlayWave("p", "F", "E", 0.99999, -0.0, -1.0), envelop_slice=slice(100, 300, 1)),
     word(4, 0, 1, 3, 32767, 0, 0, 0, pw(-1.0))),
    (linked(o.QInsFrame("f", 1e8), frame_idx=2), bytes.fromhex("110833333303") + bytes(26)),
    (linked(o.QInsJump("j", "x"), ins_idx=4294967295), word(24, 0, 0, 4294967295)),
    (linked(o.QInsIncPhase("i", math.pi, "F"), frame_idx=63), word(33, 253, 2147483648)),
    (linked(o.QInsJumpWithReg("r", 7, 123456, "x"), ins_idx=9), word(40, 7, 123456, 9)),
    (linked(o.QInsJumpWithJudge("J", 3, 255, "x"), ins_idx=2), word(40, 16, 16711683, 2)),
    (o.QInsResetF("R", "all", "F"), word(81)),
    (linked(o.QInsResetF("R", "Single", "F"), frame_idx=5), word(65, 20)),
    (o.QInsResetF("R", "PHASE"), word(49)),
    (o.QInsMov("m", 3, 77), word(56, 3, 77)),
    (o.QInsMov("m", 255, 4294967295, "+"), word(72, 255, 4294967295)),
    (o.QInsPlayZero("z", 1e-08), word(68, 0, 0, 2)),
    (o.QInsPlayZero("z", 6e-09), word(68, 0, 0, 2)),
    (o.QInsPlayZero("z", 2e-09), word(68, 0, 0, 0)),
    (o.QInsPlayZero("z", "4e-7"), word(68, 0, 0, 100)),
]


@pytest.mark.parametrize("rec, expected", RECORDS, ids=[type(r).__name__ for r, _ in RECORDS])
def test_record_words(rec, expected):
    assert bytes(rec) == expected
    assert bytes(rec) == expected  # encoding leaves the record as it was
    assert rec.list2bytes(rec._pack_cmd()) == expected


@pytest.mark.parametrize("rec, overhead", [
    (o.QInsWait("w"), 0.0), (o.QInsFrame("f", 1.0), 0.0), (o.QInsJump("j", "x"), 0.0),
    (o.QInsMov("m", 1, 1), 0.0), (o.QInsEnd("e"), 0.0), (o.QInsWaitTrig("t"), 0.0),
    (linked(o.QInsPlayWave("p", "F", "E", 0.5, 0, 0), envelop_slice=slice(128, 256, 128)), 8e-09),
    (o.QInsPlayZero("z", 1e-08), 2 * (32 / 8e9)),
    (o.QInsPlayZero("z", 2e-09), 0.0),
])
def test_overhead(rec, overhead):
    assert rec.overhead == overhead and type(rec.overhead) is float


def test_zero_play_reads_a_qnumber_at_each_use():
    q = o.QNumber()
    z = o.QInsPlayZero("z", q)
    assert bytes(z) == word(68) and z.overhead == 0.0
    q.value = 4e-07
    assert bytes(z) == word(68, 0, 0, 100) and z.overhead == 100 * (32 / 8e9)
    q.value = "x"
    with pytest.raises(ValueError):
        bytes(z)


def test_configuration_is_read_at_each_encoding():
    p = linked(o.QInsPlayWave("p", "F", "E", 0.5, 1e8, 0), envelop_slice=slice(128, 256, 128))
    z = o.QInsPlayZero("z", 1e-08)
    o.zlv_config("envelope_step", 32)
    o.zlv_config("OUTSrate", 4e9)
    assert bytes(p) == word(4, 0, 4, 4, 16384, 0, 0, fw(1e8, 4e9))
    assert p.overhead == 64 / 4e9
    assert bytes(z) == word(68, 0, 0, round(1e-08 / (32 / 4e9)))
    o.zlv_config("play_zero_step", 64)
    assert z.overhead == 1 * (64 / 4e9)


def test_unlinked_play_fails_with_type_error():
    p = o.QInsPlayWave("p", "F", "E", 0.5, 0, 0)
    assert p.envelop_slice == slice(0, None, 1) and p.frame_idx == 0
    with pytest.raises(TypeError):
        bytes(p)
    with pytest.raises(TypeError):
        p.overhead


@pytest.mark.parametrize("rec, message", [
    (o.QInsMov("m", 1, 1, "add"), "QInsMov.type can only be one of dict_keys(['=', '+'])"),
    (o.QInsMov("m", 1, 1, "+="), "QInsMov.type can only be one of dict_keys(['=', '+'])"),
    (o.QInsResetF("R", "none"), "QInsResetF.type can only be one of dict_keys(['all', 'single', 'phase'])"),
])
def test_unknown_type_raises_assembly_error(rec, message):
    with pytest.raises(o.AssemblyError) as e:
        bytes(rec)
    assert str(e.value) == message


def test_type_table_is_the_records_own():
    m = o.QInsMov("m", 1, 1, "-")
    m.type2head["-"] = 99
    assert bytes(m) == word(99, 1, 1)
    assert list(o.QInsMov("n", 1, 1).type2head) == ["=", "+"]

    class MyMov(o.QInsMov):
        pass
    with pytest.raises(o.AssemblyError, match=r"^MyMov\.type can only"):
        bytes(MyMov("m", 1, 1, "x"))
    with pytest.raises(AttributeError):
        bytes(o.QInsResetF("R", 3))


@pytest.mark.parametrize("rec", [
    linked(o.QInsPlayWave("p", "F", "E", 2.0, 0, 0), envelop_slice=slice(0, 64, 64)),
    linked(o.QInsPlayWave("p", "F", "E", -0.5, 0, 0), envelop_slice=slice(0, 64, 64)),
    linked(o.QInsPlayWave("p", "F", "E", 1e30, 0, 0), envelop_slice=slice(0, 64, 64)),
    linked(o.QInsPlayWave("p", "F", "E", 0.5, 0, 0), envelop_slice=slice(-64, 64, 64)),
    linked(o.QInsPlayWave("p", "F", "E", 0.5, 0, 0), envelop_slice=slice(0, 64 * 2**33, 64)),
    linked(o.QInsIncPhase("i", 0.0, "F"), frame_idx=64),
    linked(o.QInsFrame("f", 1.0), frame_idx=-1),
    o.QInsMov("m", 256, 0), o.QInsMov("m", 0, -1), o.QInsMov("m", 0, 2**32),
    o.QInsJumpWithReg("r", -1, 0, "x"), o.QInsJumpWithReg("r", 0, 1.5, "x"),
    o.QInsJumpWithJudge("J", 0, 65536, "x"), o.QInsJumpWithJudge("J", -1, 0, "x"),
    linked(o.QInsJump("j", "x"), ins_idx=2**32),
    o.QInsPlayZero("z", -1e-08), o.QInsPlayZero("z", 20.0),
])
def test_values_that_do_not_fit_fail_with_struct_error(rec):
    with pytest.raises(struct.error):
        bytes(rec)


@pytest.mark.parametrize("rec, error", [
    (linked(o.QInsPlayWave("p", "F", "E", math.nan, 0, 0), envelop_slice=slice(0, 64, 64)), ValueError),
    (linked(o.QInsPlayWave("p", "F", "E", math.inf, 0, 0), envelop_slice=slice(0, 64, 64)), OverflowError),
    (o.QInsPlayZero("z", math.nan), ValueError),
    (o.QInsPlayZero("z", math.inf), OverflowError),
    (o.QInsPlayZero("z", None), TypeError),
    (o.QInsJumpWithJudge("J", 0, 1.0, "x"), TypeError),
])
def test_non_finite_and_non_numbers_raise_python_errors(rec, error):
    with pytest.raises(error):
        bytes(rec)


def test_zero_step_fails_with_zero_division():
    o.zlv_config("play_zero_step", 0)
    with pytest.raises(ZeroDivisionError):
        bytes(o.QInsPlayZero("z", 1e-8))


def test_records_are_dataclasses():
    import dataclasses
    p = o.QInsPlayWave("p", frame="F", envelop="E", amp=0.5, attach_freq=1.0, attach_phase=2.0)
    assert dataclasses.is_dataclass(p)
    assert [f.name for f in dataclasses.fields(p)] == ["tag", "frame", "envelop", "amp",
                                                      "attach_freq", "attach_phase"]
    assert repr(p) == ("QInsPlayWave(tag='p', frame='F', envelop='E', amp=0.5, attach_freq=1.0, "
                       "attach_phase=2.0)")
    assert repr(o.TVKCommand("abc")) == "TVKCommand(tag='abc')"
    assert repr(o.QInsResetF("R", "all")) == "QInsResetF(tag='R', type='all', frame='')"
    assert repr(o.QInsMov("m", 1, 2)) == "QInsMov(tag='m', reg=1, value=2, type='=')"
    assert repr(o.QInsCapture("c", 1e-6)) == "QInsCapture(tag='c', width=1e-06, probe_delay=0)"
    with pytest.raises(TypeError):
        o.QInsFrame("f")
    with pytest.raises(TypeError):
        o.QInsFrame(freq=1.0)


def test_equality_and_copies():
    a = o.QInsJump("j", "x")
    b = o.QInsJump("j", "x")
    b.ins_idx = 5  # attributes set after construction stay out of equality and repr
    assert a == b and repr(b) == "QInsJump(tag='j', target='x')"
    assert o.QInsWait("t") != o.QInsEnd("t") and o.QInsWait("t") != o.TVKCommand("t")
    assert o.QInsWait("t") == o.QInsWait("t") and o.QInsWait("t") != o.QInsWait("u")
    with pytest.raises(TypeError):
        hash(a)
    c = copy.copy(b)
    assert c == b and c is not b and c.ins_idx == 5
    c.target = "y"
    assert b.target == "x"
    p = linked(o.QInsPlayWave("p", "F", "E", 0.5, 0, 0), envelop_slice=slice(0, 64, 64))
    q = copy.copy(p)
    assert q.envelop_slice is p.envelop_slice and bytes(q) == bytes(p)
    r = copy.deepcopy(o.QInsResetF("R", "all"))
    assert r.type2head == {"all": 81, "single": 65, "phase": 49}


def test_fields_are_stored_unchanged_and_records_are_mutable():
    f = o.QInsFrame("f", "not a number")
    assert f.freq == "not a number"
    f.freq = 1e8
    f.frame_idx = 2
    assert bytes(f) == bytes.fromhex("110833333303") + bytes(26)


def test_subclass_overrides_are_honoured():
    class Checked(o.QInsFrame):
        def _check_attr(self):
            raise ValueError("checked")

    class Packed(o.QInsFrame):
        def _pack_cmd(self):
            return [1, 2, 3, 4, 5, 6, 7, 8, 9]

    class Listed(o.QInsFrame):
        @staticmethod
        def list2bytes(cmd):
            return b"L" + bytes(cmd)

    class Tupled(o.QInsWait):
        def _pack_cmd(self):
            return (0,) * 9

    with pytest.raises(ValueError, match="checked"):
        bytes(Checked("f", 1.0))
    assert bytes(Packed("f", 1.0)) == word(1, 2, 3, 4, 5, 6, 7, 8, 9)
    assert bytes(Listed("f", 0.0)) == b"L" + bytes([17]) + bytes(8)
    with pytest.raises(TypeError, match="Argument 'cmd' has incorrect type"):
        bytes(Tupled("w"))
    inst = o.QInsEnd("e")
    inst._pack_cmd = lambda: [7] + [0] * 8
    assert bytes(inst) == word(7)


def test_records_subclassed_as_dataclasses():
    import dataclasses

    @dataclasses.dataclass
    class Placeholder(o.TVKCommand):
        pass

    @dataclasses.dataclass
    class Tagged(o.QInsFrame):
        extra: int = 3

    assert bytes(Placeholder("x")) == bytes(32) and repr(Placeholder("x")).endswith(".Placeholder(tag='x')")
    t = Tagged("t", 1e8)
    assert t.frame_idx == 0 and t.extra == 3 and bytes(t)[:6] == bytes.fromhex("110033333303")
