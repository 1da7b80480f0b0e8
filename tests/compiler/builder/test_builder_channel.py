"""InsChannel: numbered frames and envelopes, and opening blocks."""
import numpy as np
import pytest

from tarvok.compiler import ostrane as o
from tarvok.compiler import zel_wave as z


def test_indices():
    ch = z.InsChannel()
    assert [ch.ins_frame(5e6), ch.ins_frame(6e6, 7), ch.ins_frame(7e6)] == [ch.f_set[i] for i in (0, 7, 8)]
    assert ch.ins_envelope(None, -2) is ch.e_set[-2] and ch.ins_envelope(None) is ch.e_set[-1]
    assert ch.ins_frame(1e6, True) is ch.f_set[True]
    f = z.InsChannel(freqs=[5e6, 6e6]).f_set
    assert sorted(f) == [0, 1] and [f[i].freq for i in (0, 1)] == [5e6, 6e6]
    a, b = np.zeros(2), np.ones(2)
    e = z.InsChannel(envelopes=[a, b]).e_set
    assert e[0].content is a and e[1].content is b and e[0].instruction is not None
    assert vars(z.InsChannel()).keys() >= {"if_stack", "looping"}
    assert z.InsChannel().if_stack == [] and z.InsChannel().looping is False


def test_refiling_an_index_replaces_the_handle():
    ch = z.InsChannel()
    ch.ins_frame(1e6, 3)
    second = ch.ins_frame(2e6, 3)
    assert ch.f_set == {3: second}
    assert [r.freq for r in ch.compile() if type(r) is o.QInsFrame] == [2e6]


@pytest.mark.parametrize("method, idx, text", [
    ("ins_frame", 2.0, "frame的idx应为整数，而不是<class 'float'>"),
    ("ins_envelope", "1", "envelop的idx应为整数，而不是<class 'str'>"),
    ("ins_frame", np.int64(1), "frame的idx应为整数，而不是<class 'numpy.int64'>"),
])
def test_index_must_be_an_integer(method, idx, text):
    ch = z.InsChannel()
    with pytest.raises(ValueError) as e:
        getattr(ch, method)(1e6, idx)
    assert str(e.value) == text and ch.f_set == {} and ch.e_set == {}


def test_failed_handle_leaves_tables():
    ch = z.InsChannel()
    with pytest.raises(TypeError):
        ch.ins_frame("fast")
    assert ch.f_set == {}


def test_else_refusals():
    ch = z.InsChannel()
    with pytest.raises(RuntimeError) as e:
        ch.ins_else()
    assert str(e.value) == "The last call of ins_else must be ins_if, not <class 'NoneType'>"
    ch.ins_if("FREQ_0 == 1")
    ch.wait()
    with pytest.raises(RuntimeError) as e:
        ch.ins_else()
    assert str(e.value) == "The last call of ins_else must be ins_if, not <class 'tarvok.compiler.ostrane.QInsWait'>"
    ch = z.InsChannel()
    blk = ch.ins_if("FREQ_0 == 1")
    els = ch.ins_else()
    assert (blk.ins_else, els._if, els.channel) == (els, blk, ch) and ch.if_stack == [] and ch.length == 1
    with pytest.raises(RuntimeError) as e:
        ch.ins_else()
    assert str(e.value) == "Please call if before calling else"


def test_second_else_goes_to_an_earlier_open_if():
    ch = z.InsChannel()
    first = ch.ins_if("FREQ_0 == 1")
    second = ch.ins_if("FREQ_1 == 1")
    assert ch.if_stack == [first, second]
    e2 = ch.ins_else()
    e1 = ch.ins_else()                      # last_ins is still the second if block
    assert (second.ins_else, first.ins_else) == (e2, e1) and ch.if_stack == []


def test_refused_formula_appends_nothing():
    ch = z.InsChannel()
    with pytest.raises(RuntimeError):
        ch.ins_if("x == 1")
    assert ch.length == 0 and ch.if_stack == [] and ch.last_ins is None


def test_looping_flag():
    ch = z.InsChannel()
    with ch.ins_loop(3) as loop:
        assert ch.looping is True and loop.looping is False
        with pytest.raises(RuntimeError) as e:
            ch.ins_loop(3)
        assert str(e.value) == "The current object is already in the loop"
        inner = loop.ins_loop(2)            # a block's own flag is never set
        assert inner.channel is ch and loop.i_set == [inner]
    assert ch.looping is False
    with pytest.raises(ZeroDivisionError):
        with ch.ins_loop(2):
            1 / 0
    assert ch.looping is False and ch.length == 2
    ch.looping = True
    ch.clear()
    assert ch.looping is False


@pytest.mark.parametrize("times", [0, -3, False, np.int64(0), -2**70])
def test_loop_count_below_one_is_refused(times):
    ch = z.InsChannel()
    with pytest.raises(ValueError) as e:
        ch.ins_loop(times)
    assert str(e.value) == f"times must be at least 1, not {int(times)}"
    assert ch.length == 0 and ch.last_ins is None


@pytest.mark.parametrize("times, error, text", [
    (2**32, ValueError, "times must be at most 4294967295, not 4294967296"),
    (np.uint64(2**40), ValueError, "times must be at most 4294967295, not 1099511627776"),
    (2.5, TypeError, "times must be an integer from 1 to 4294967295, not float"),
    (3.0, TypeError, "times must be an integer from 1 to 4294967295, not float"),
    (np.float64(3.0), TypeError, "times must be an integer from 1 to 4294967295, not numpy.float64"),
    (None, TypeError, "times must be an integer from 1 to 4294967295, not NoneType"),
    ("3", TypeError, "times must be an integer from 1 to 4294967295, not str"),
])
def test_loop_count_the_exit_test_cannot_hold_is_refused(times, error, text):
    ch = z.InsChannel()
    with pytest.raises(error) as e:
        ch.ins_loop(times)
    assert str(e.value) == text
    assert ch.length == 0 and ch.last_ins is None


def test_loop_count_kept_as_given():
    ch = z.InsChannel()
    for times in (1, True, 4294967295, np.int64(7)):
        assert ch.ins_loop(times).times is times


def test_clear_keeps_tables_and_open_if_blocks():
    ch = z.InsChannel([1e6], [None])
    blk = ch.ins_if("FREQ_0 == 1")
    ch.ins_variable("a", 1)
    ch.clear()
    assert ch.length == 0 and ch.symbol_set == {} and ch.if_stack == [blk]
    assert list(ch.f_set) == [0] and list(ch.e_set) == [0]
    ch.last_ins = blk
    assert ch.ins_else()._if is blk


def test_blocks_file_no_frames_or_envelopes():
    # A block's own tables are never compiled: what it filed could never be
    # linked, so it refuses as a plain queue does.
    ch = z.InsChannel()
    for blk in (ch.ins_if("FREQ_0 == 1"), ch.ins_loop(2)):
        with pytest.raises(RuntimeError, match="^Cannot create a new frame in the branch$"):
            blk.ins_frame(1e6)
        with pytest.raises(RuntimeError, match="^Cannot create a new envelope in the branch$"):
            blk.evlp_gaussian(1e-8)
        assert blk.f_set == {} and blk.e_set == {}
    with pytest.raises(RuntimeError, match="Cannot create a new frame in the branch"):
        z.InsElse(freqs=[1e6])


def test_subclassed_channel_opens_blocks():
    class MyChannel(z.InsChannel):
        pass
    ch = MyChannel()
    ch.ins_variable("a", 3)
    with ch.ins_if("a == 3") as blk:
        blk.wait()
    assert ch.ins_else()._if is blk
    with ch.ins_loop(2) as loop:
        loop.wait()
    assert blk.channel is ch and loop.channel is ch
    assert len(ch.compile()) > 20


def test_blocks_find_the_top_channel():
    ch = z.InsChannel()
    with ch.ins_loop(2) as loop:
        with loop.ins_if("FREQ_0 == 1") as b1:
            b2 = b1.ins_if("FREQ_1 == 1")
        e1 = loop.ins_else()
    assert {b.channel for b in (loop, b1, b2, e1)} == {ch}
    assert b1.if_stack == [b2] and e1._if is b1
