"""The capture record and the probe commands: lengths, probe words, errors."""
import struct

import numpy as np
import pytest

from tarvok.compiler import ostrane as o



def pword(*items):
    return struct.pack("=HHHHHHHH", *reversed(items))


def test_probe_base_and_list2bytes():
    p = o._ProbeCommand("t")
    assert not isinstance(p, o.TVKCommand) and not hasattr(p, "frequency_normalization32")
    assert bytes(p) == bytes(16) == bytes(o._QInsPWaitTrig("w")) and p.overhead == 1.6e-08
    cmd = [1, 3, 0, 0, 0, 0, 0, 100]
    assert o._ProbeCommand.list2bytes(cmd) == bytes([100, 0]) + bytes(10) + bytes([3, 0, 1, 0])
    assert cmd == [1, 3, 0, 0, 0, 0, 0, 100]
    assert o._ProbeCommand.list2bytes([3, 0, 0, 5, 0, 0, 0, 0]) == bytes(8) + b"\5\0" + bytes(2) + b"\0\0\3\0"
    cap = o._ProbeCommand.list2bytes([2, 3, 0, 0, 0, 128, 0, 128])
    assert cap == bytes([128, 0, 0, 0, 128, 0]) + bytes(6) + bytes([3, 0, 2, 0])
    assert np.frombuffer(cap, np.int32).tolist() == [128, 128, 0, 131075]
    assert o._ProbeCommand.list2bytes([0] * 7 + [65535])[:2] == b"\xff\xff"


@pytest.mark.parametrize("items", [[0] * 7 + [65536], [0] * 7 + [-1], [-1] + [0] * 7, [0] * 7,
                                   [0] * 9, [0.0] * 8, [2**70] + [0] * 7, [0, 1, 2, 3, 4, 5, 6, "7"]])
def test_probe_items_fail_as_struct_pack(items):
    try:
        struct.pack("=HHHHHHHH", *items[::-1])
        raise AssertionError("accepted")
    except struct.error as e:
        expected = str(e)
    for l2b in (o._ProbeCommand.list2bytes, o.QInsCapture.list2bytes):
        with pytest.raises(struct.error) as e:
            l2b(list(items))
        assert str(e.value) == expected


def test_probe_list2bytes_refuses_non_lists():
    class L(list):
        pass
    for l2b in (o._ProbeCommand.list2bytes, o.QInsCapture.list2bytes):
        with pytest.raises(TypeError, match=r"Argument 'cmd' has incorrect type \(expected list, got tuple\)"):
            l2b((0,) * 8)
        with pytest.raises(TypeError, match="got L"):
            l2b(L([0] * 8))


@pytest.mark.parametrize("width, length", [(1.6e-06, 100), (8e-09, 0), (2.4e-08, 2), (2.048e-06, 128),
                                           (0, 0), (np.float64(1.6e-6), 100)])
def test_capture_length(width, length):
    assert len(o.QInsCapture("c", width)) == length


def test_capture_length_negative_fails():
    with pytest.raises(ValueError):
        len(o.QInsCapture("c", -1.6e-06))


def test_capture_words():
    assert bytes(o.QInsCapture("c", 1.6e-06)) == bytes.fromhex("64000000640000000000000003000200")
    assert bytes(o.QInsCapture("c", 2.048e-06)) == pword(2, 3, 0, 0, 0, 128, 0, 128)
    three = bytes(o.QInsCapture("c", 1.6e-06, 8e-08))
    assert three == bytes.fromhex("05000000000000000000000001000200"
                                  "5f000000640000000000000003000200"
                                  "05000000640000000000000002000200")
    assert bytes(o.QInsCapture("c", 1.6e-06, 7e-09)) == pword(2, 3, 0, 0, 0, 100, 0, 100)
    assert bytes(o.QInsCapture("c", 1.6e-06, -1e-6)) == pword(2, 3, 0, 0, 0, 100, 0, 100)


def test_capture_errors():
    with pytest.raises(o.AssemblyError) as e:
        bytes(o.QInsCapture("c", 2.1e-06))
    assert str(e.value) == "Wide range 2.048e-06 when 2.1e-06 exceeds the maximum capture"
    with pytest.raises(struct.error):
        bytes(o.QInsCapture("c", 1e-06, 3e-06))
    o.zlv_config("max_capture_width", 1.0)
    with pytest.raises(struct.error):
        bytes(o.QInsCapture("c", 65536 * 1.6e-08))
    with pytest.raises(TypeError):
        bytes(o.QInsCapture("c", o.QNumber()))


def test_capture_follows_the_step_but_the_delay_word_does_not():
    o.zlv_config("capture_step", 8e-09)
    assert len(o.QInsCapture("c", 1.6e-06)) == 200
    assert bytes(o._QInsPTrigDelay("d", 8e-08)) == pword(1, 3, 0, 0, 0, 0, 0, 5)


def test_capture_uses_its_own_flags_and_list2bytes():
    c = o.QInsCapture("c", 1.6e-06, 8e-08)
    c.ch_flag = {"all": 7, "ad": 6, "da": 5}
    words = [bytes(c)[i:i + 16] for i in (0, 16, 32)]
    assert [w[12] for w in words] == [5, 7, 6]

    class Cap(o.QInsCapture):
        @staticmethod
        def list2bytes(cmd):
            return b"[" + bytes(cmd) + b"]"
    assert bytes(Cap("c", 1.6e-07)) == b"[" + bytes([2, 3, 0, 0, 0, 10, 0, 10]) + b"]"


@pytest.mark.parametrize("delay, steps", [(8e-08, 5), (0, 0), ("1.6e-7", 10), (1.6e-08 * 65535, 65535)])
def test_trigger_delay_word(delay, steps):
    d = o._QInsPTrigDelay("d", delay)
    assert d.ch_flag == {"all": 3, "ad": 2, "da": 1}
    assert d._pack_cmd() == [1, 3, 0, 0, 0, 0, 0, steps]
    assert bytes(d) == pword(1, 3, 0, 0, 0, 0, 0, steps)


def test_trigger_delay_reads_a_qnumber_and_refuses_what_does_not_fit():
    q = o.QNumber()
    d = o._QInsPTrigDelay("d", q)
    assert bytes(d) == pword(1, 3, 0, 0, 0, 0, 0, 0)
    q.value = 8e-08
    assert bytes(d) == pword(1, 3, 0, 0, 0, 0, 0, 5)
    for bad, error in ((2e-03, struct.error), (-1.6e-08, struct.error), (float("nan"), ValueError),
                       (float("inf"), OverflowError), ([], TypeError)):
        q.value = bad
        with pytest.raises(error):
            bytes(d)


def test_probe_jump():
    j = o._QInsPJump("j", "t0")
    assert j.ins_idx == 0 and repr(j) == "_QInsPJump(tag='j', target='t0')"
    j.ins_idx = 7
    assert bytes(j) == bytes.fromhex("00000000000000000700000000000300")
    assert j == o._QInsPJump("j", "t0") and j != o._QInsPWaitTrig("j")
