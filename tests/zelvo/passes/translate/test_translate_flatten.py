"""Program flattening: blocks after their heads and padding, waits left out,
landing placeholders removed with their tags handed on; the two padding
measures."""
import copy
import typing

import numpy as np
import pytest

from tarvok.zelvo import _ir
from tarvok.zelvo import _translate as tr
from tarvok.zelvo._translate import count_nops, ir_calculate_time, unfold_ir


def test_module_surface():
    assert tr.__all__ == ["NormalTranslator", "PlayDDRTranslator"]
    assert tr.np is np and tr.copy is copy and tr.TYPE_CHECKING is typing.TYPE_CHECKING is False
    for name in ["UnfixIR", "JumpImmIR", "IRNop", "IRDelay", "IRWait", "IRPlaceholder", "IREnvelope",
                 "IRWaveform", "IRFreqlist", "IRDemodule", "IRArbWaveform"]:
        assert getattr(tr, name) is getattr(_ir, name)
    for f in (unfold_ir, ir_calculate_time, count_nops):
        assert f.__module__ == "tarvok.zelvo._translate"


def test_scheduled_list_flattens_in_program_order(ir):
    setup = [ir.envelope(), _ir.IRFrame(1e8, 0, 0, kernel=ir.k)] + ir.nops(4)
    wait, pad, play = ir.wait(), ir.nops(2), ir.play()
    a = ir.trig(wait, *pad, play)
    a_pad = ir.nops(2)
    b_block = [ir.play(), ir.nop()]
    b = ir.cond(*b_block)
    b_pad = [ir.delay(3)] + ir.nops(3)
    closing = [_ir.IRJumpImmNormal(_ir.IRNop())] + ir.nops(3)
    items = setup + [a] + a_pad + [b] + b_pad + closing
    before = list(items), list(a.ir_sub)
    out = unfold_ir(items)
    assert out == setup + [a] + a_pad + pad + [play] + [b] + b_pad + b_block + closing
    assert (items, a.ir_sub) == before and out is not items


def test_waits_and_nested_heads(ir):
    top_wait, inner = ir.wait(), ir.trig(ir.play())
    head = ir.trig(inner)
    empty = ir.trig()
    nops = ir.nops(3)
    out = unfold_ir(ir_list=[top_wait, nops[0], empty, nops[1], head, nops[2]])
    # A head inside a block is one instruction; a wait goes at any level.
    assert out == [nops[0], empty, nops[1], head, nops[2], inner]


def test_head_at_the_end_fails_before_any_tag_moves(ir):
    p, n = ir.place(), ir.nop()
    tags = p.tag, n.tag
    with pytest.raises(IndexError, match="^Index out of bounds$"):
        unfold_ir([p, n, ir.trig()])
    assert (p.tag, n.tag) == tags


@pytest.mark.parametrize("bad", [(), None, {}, type("L", (list,), {})()])
def test_only_a_list(bad):
    with pytest.raises(TypeError, match=r"^Argument 'ir_list' has incorrect type \(expected list, got "):
        unfold_ir(bad)
    assert unfold_ir([]) == []


def test_placeholder_hands_its_tag_on(ir):
    p1, p2 = ir.place(), ir.place()
    pad = ir.nops(2)
    w = ir.trig(ir.play(), p1, *pad)
    after = ir.trig()
    out = unfold_ir([w, p2, after, ir.nop()])
    assert p1 not in out and p2 not in out
    assert pad[0].tag == p1.tag and pad[1].tag != p1.tag
    # A head after a landing place takes its tag, like any instruction that
    # does not resolve its operand by its own tag.
    assert after.tag == p2.tag


# ---- the faults of the literal walk, mended ----

def test_padding_stretch_stops_at_the_first_other_instruction(ir):
    # What the DDR optimizer leaves: a conditional jump's padding followed by
    # the opened trigger-wait block at the top level.
    jump_block = [ir.play(), ir.nop()]
    j = ir.cond(*jump_block)
    pad = ir.nops(3)
    opened = [ir.play(), _ir.IRCapture([1e8], 1.6e-8, 0, 1.6e-8, kernel=ir.k), ir.wait(), ir.play()]
    tail = ir.nops(2) + [ir.delay(4)]
    out = unfold_ir([j] + pad + opened + tail)
    assert out == [j] + pad + jump_block + [opened[0], opened[1], opened[3]] + tail
    assert len(out) == len(set(map(id, out)))


def test_adjacent_and_trailing_placeholders(ir):
    p1, p2, p3 = ir.place(), ir.place(), ir.place()
    x = ir.nop()
    out = unfold_ir([p1, p2, x, p3])
    assert out == [x] and x.tag == p2.tag


@pytest.mark.parametrize("jump", [lambda k: _ir.IRJumpConditional(1, 1, 2, kernel=k),
                                  lambda k: _ir.IRJumpInside(kernel=k)])
def test_own_tag_jump_after_a_placeholder_keeps_its_tag(ir, jump):
    p = ir.place()
    j = jump(ir.k)
    own = j.tag
    items = [p, j, ir.nop()]
    assert unfold_ir(items) == [j, items[2]] and j.tag == own


# ---- padding measures ----

def test_count_nops(ir):
    other = ir.play()
    seven = ir.delay(7)
    assert count_nops(0, [other, ir.nop(), ir.nop(), other, ir.nop(), seven]) == 16
    assert count_nops(0, [other, ir.nop(), ir.nop(), other]) == 3
    assert count_nops(0, [other]) == 1
    assert count_nops(0, [other] + ir.nops(150)) == 101
    assert count_nops(start_index=1, ir_list=(other, other, ir.nop())) == 2
    # Any sequence; the position is start_index + i + 1 as the interpreter adds it.
    assert count_nops(-3, [ir.nop()] * 3) == 6  # positions -2 to 2
    assert count_nops(2**80, [other]) == 1
    with pytest.raises(TypeError, match="list indices must be integers"):
        count_nops(0.0, [other, other])
    with pytest.raises(TypeError):
        count_nops(0, 5)


def test_ir_calculate_time(ir):
    play, seven, other = ir.play(), ir.delay(7), _ir.IRJmov(1)
    assert ir_calculate_time(0, [play, seven]) == 7
    assert ir_calculate_time(0, [play, ir.nop(), ir.nop(), other]) == 3
    assert ir_calculate_time(0, [ir.nop(), play]) == 0
    assert ir_calculate_time(0, [ir.trig(), seven]) == 7
    assert ir_calculate_time(0, [_ir.IRFrame(1e8, 0, 0), ir.nop(), seven]) == 14
    assert ir_calculate_time(0, [other, ir.nop(), play]) == 2
    assert ir_calculate_time(1.9, [play, play, ir.nop()]) == 2
    assert ir_calculate_time(True, [play, play, ir.nop()]) == 2
    for index in (1, 5, 2**70):
        with pytest.raises(IndexError, match="^Index out of bounds$"):
            ir_calculate_time(index, [play, play])
    with pytest.raises(TypeError, match=r"^Argument 'index' has incorrect type \(expected int, got str\)"):
        ir_calculate_time("0", [play, play])
    with pytest.raises(TypeError, match=r"^Argument 'ir_list' has incorrect type"):
        ir_calculate_time(0, (play, play))
