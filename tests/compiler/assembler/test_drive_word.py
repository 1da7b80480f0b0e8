"""The 32-byte drive word of TVKCommand and the frequency / phase words."""
import math
import struct

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from tarvok.compiler import ostrane as o

FMT = "<BBIIHHHII8B"



def word(items):
    return struct.pack(FMT, *items, *[0] * 8)


def test_base_record_encodes_to_zeros():
    r = o.TVKCommand("abc")
    assert bytes(r) == bytes(32) and r.overhead == 0.0 and r._pack_cmd() == [0] * 9
    assert r._pack_cmd() is not r._pack_cmd() and r._check_attr() is None


@pytest.mark.parametrize("items", [
    [17, 4, 53687091, 0, 0, 0, 0, 0, 0],
    [4, 1, 2, 3, 4, 0, 0, 5, 6],
    [255, 255, 4294967295, 4294967295, 65535, 65535, 65535, 4294967295, 4294967295],
    [True, np.uint8(3), np.int64(7), np.uint32(9), 0, 0, 0, 0, 0],
])
def test_list2bytes_layout(items):
    cmd = list(items)
    out = o.TVKCommand.list2bytes(cmd)
    assert out == word(items) and len(out) == 32
    assert cmd == list(items) + [0] * 8


def test_list2bytes_worked_examples():
    assert o.TVKCommand.list2bytes([17, 4, 53687091, 0, 0, 0, 0, 0, 0]) == \
        bytes([17, 4]) + (53687091).to_bytes(4, "little") + bytes(26)
    b = o.TVKCommand("t").list2bytes([4, 1, 2, 3, 4, 0, 0, 5, 6])
    assert b[0] == 4 and b[1] == 1 and b[2:6] == b"\2\0\0\0" and b[6:10] == b"\3\0\0\0"
    assert b[10:12] == b"\4\0" and b[16:20] == b"\5\0\0\0" and b[20:24] == b"\6\0\0\0"
    assert b[12:16] == bytes(4) and b[24:] == bytes(8)


def struct_error(items):
    try:
        struct.pack(FMT, *items)
    except struct.error as e:
        return str(e)
    raise AssertionError("struct accepted %r" % (items,))


BAD = [
    (0, 256), (1, 256), (0, -1), (1, -(2**63)), (0, 2**63), (0, 2**70), (4, 65536), (5, -1),
    (6, 2**64), (2, -1), (2, 2**32), (3, 2**63), (7, 2**64), (8, -(2**70)), (3, 1.5), (0, 1.5),
    (4, "1"), (2, None), (8, np.float64(1.0)),
]


@pytest.mark.parametrize("pos, value", BAD)
def test_out_of_range_items_fail_exactly_as_struct_pack(pos, value):
    items = [0] * 9
    items[pos] = value
    expected = struct_error(items + [0] * 8)
    with pytest.raises(struct.error) as e:
        o.TVKCommand.list2bytes(items)
    assert str(e.value) == expected


def test_list2bytes_argument_and_count_errors():
    cmd = [0] * 9
    o.TVKCommand.list2bytes(cmd)
    with pytest.raises(struct.error, match=r"^pack expected 17 items for packing \(got 25\)$"):
        o.TVKCommand.list2bytes(cmd)
    with pytest.raises(struct.error, match=r"\(got 16\)"):
        o.TVKCommand.list2bytes([0] * 8)

    class L(list):
        pass
    for bad, name in (((0,) * 9, "tuple"), (L([0] * 9), "L"), (None, "NoneType")):
        with pytest.raises(TypeError, match=r"^Argument 'cmd' has incorrect type \(expected list, "
                                            r"got %s\)$" % name):
            o.TVKCommand.list2bytes(bad)
    t = [0] * 9
    with pytest.raises(TypeError):
        o.TVKCommand.list2bytes(tuple(t))
    assert len(t) == 9


def test_item_whose_index_mutates_the_list_is_safe():
    cmd = [0] * 9

    class Evil:
        def __index__(self):
            cmd.clear()
            return 1
    cmd[3] = Evil()
    out = o.TVKCommand.list2bytes(cmd)
    assert out == word([0, 0, 0, 1, 0, 0, 0, 0, 0]) and cmd == []


@pytest.mark.parametrize("freq, expected", [(0, 0), (1, 1), (100e6, 53687091), (250e6, 134217728),
                                            (1e9, 536870912), (4e9, 2147483648),
                                            (8e9 / 2**33, 0), (3 * 8e9 / 2**33, 2),
                                            (np.float32(1e8), 53687091), (10**8, 53687091)])
def test_frequency_words(freq, expected):
    w = o.TVKCommand.frequency_normalization32(freq)
    assert type(w) is np.uint32 and w == expected


@pytest.mark.parametrize("phase, expected", [(0, 0), (math.pi / 2, 1073741824), (math.pi, 2147483648),
                                             (-math.pi / 2, 3221225472), (2 * math.pi, 0),
                                             (-2 * math.pi, 0), (3 * math.pi, 2147483648),
                                             (0.1, 68356528), (-1e-12, 0), (np.float64(math.pi), 2147483648)])
def test_phase_words(phase, expected):
    w = o.QInsFrame.phase_normalization32(phase)
    assert type(w) is np.uint32 and w == expected


def test_frequency_follows_the_configured_rate():
    o.zlv_config("OUTSrate", 4e9)
    assert o.TVKCommand.frequency_normalization32(100e6) == 107374182
    f = o.QInsFrame("f", 100e6)
    assert bytes(f)[2:6] == (107374182).to_bytes(4, "little")
    o.zlv_config("OUTSrate", 0)
    with pytest.raises(ZeroDivisionError):
        o.TVKCommand.frequency_normalization32(1.0)
    del o.global_config["OUTSrate"]
    with pytest.raises(KeyError):
        o.TVKCommand.frequency_normalization32(1.0)


@pytest.mark.parametrize("freq, error", [(-1.0, OverflowError), (8e9, OverflowError),
                                         (8e9 - 0.9, OverflowError), (1e300, OverflowError),
                                         (math.inf, OverflowError), (math.nan, ValueError),
                                         (10**400, OverflowError), ("1", TypeError)])
def test_frequency_outside_the_word_is_refused(freq, error):
    with pytest.raises(error):
        o.TVKCommand.frequency_normalization32(freq)
    with pytest.raises(error):
        bytes(o.QInsFrame("f", freq))


@pytest.mark.parametrize("phase, error", [(math.inf, ValueError), (math.nan, ValueError),
                                          (10**400, OverflowError), (None, TypeError)])
def test_non_finite_phase_is_refused(phase, error):
    with pytest.raises(error):
        o.TVKCommand.phase_normalization32(phase)


def py_freq(f, rate):
    return round(f / rate * 2**32)


def py_phase(p):
    x = p / math.pi / 2
    w = round(math.fmod(math.fmod(x, 1) + 1, 1) * 4294967296)
    return 0 if w == 4294967296 else w


@settings(max_examples=3000, deadline=None)
@given(st.one_of(st.floats(0, 8e9), st.integers(0, 8 * 10**9), st.floats(0, 1e3)),
       st.sampled_from([8e9, 4e9, 1e9, 2.5e9, 8 * 10**9, 6.4e9]))
def test_frequency_word_matches_the_formula(freq, rate):
    o.global_config["OUTSrate"] = rate
    expected = py_freq(freq, rate)
    if 0 <= expected < 2**32:
        assert int(o.TVKCommand.frequency_normalization32(freq)) == expected
    else:
        with pytest.raises(OverflowError):
            o.TVKCommand.frequency_normalization32(freq)


@settings(max_examples=3000, deadline=None)
@given(st.one_of(st.floats(-1e6, 1e6, allow_nan=False), st.floats(-1e-9, 1e-9),
                 st.integers(-10**15, 10**15), st.floats(-1e300, 1e300)))
def test_phase_word_matches_the_formula(phase):
    assert int(o.TVKCommand.phase_normalization32(phase)) == py_phase(phase)
