"""DDR play width and trigger mode, the closing jump, and the rules outside
the default order: re-tagging, the plain copy and the concatenation of
blocks."""
import numpy as np
import pytest

from tarvok.zelvo import _ir, _rules


def wave():
    return _ir.IRArbWaveform("w", np.zeros(64))


def ddr():
    return _ir.IRPlayDDRImm(wave())


def play():
    return _ir.IRPlayImm(0, _ir.IREnvelope(np.zeros(4)), 1, 0, 1e8, 0.0)


def block(head, *items):
    head.ir_sub = list(items)
    return head


# ---- PlayDDRRule ----------------------------------------------------------------

def test_the_first_ddr_play_of_each_trigger_block_is_marked():
    a, b, c, top, j = ddr(), ddr(), ddr(), ddr(), ddr()
    load = _ir.IRLoadDDRImm(wave())
    load.b_width = 9
    w1 = block(_ir.IRWaitTrig(), load, play(), a, b)
    w2 = block(_ir.IRWaitTrig(), c)
    jump = block(_ir.IRJumpConditional(1, 1, 1), j)
    rule = _rules.PlayDDRRule()
    out = rule.order_ins([top, w1, jump, w2], ddr_play_bwidth=4, base_clock=4e-9)
    assert out == [top, w1, jump, w2] and w1.ir_sub == [load, w1.ir_sub[1], a, b]
    assert [(p.b_width, p.mode) for p in (top, a, b, j, c)] == [(4, 0), (4, 1), (4, 0), (4, 0), (4, 1)]
    assert load.b_width == 9
    assert rule.enable is True


def test_without_ddr_plays_the_lists_given_come_back_themselves():
    sub = [play()]
    w = block(_ir.IRWaitTrig(), *sub)
    sub = w.ir_sub
    given = [play(), w]
    rule = _rules.PlayDDRRule()
    assert rule.order_ins(given) is given and w.ir_sub is sub and rule.enable is False


def test_the_default_width_and_a_mode_set_again():
    p = ddr()
    p.mode = 3
    w = block(_ir.IRWaitTrig(), p)
    _rules.PlayDDRRule().order_ins([w])
    assert (p.b_width, p.mode) == (2, 3)


def test_enable_stays_set_for_later_calls_on_the_same_object():
    rule = _rules.PlayDDRRule()
    rule.order_ins([ddr()])
    given = [play()]
    out = rule.order_ins(given)
    assert out == given and out is not given


def test_blocks_go_through_the_rule_object_with_every_keyword():
    calls = []

    class Recording(_rules.PlayDDRRule):
        def order_ins(self, ir_list, **kwargs):
            calls.append(dict(kwargs))
            return super().order_ins(ir_list, **kwargs)
    w, j = block(_ir.IRWaitTrig(), ddr()), block(_ir.IRJumpConditional(1, 1, 1), ddr())
    Recording().order_ins([w, j], ddr_play_bwidth=3, kernel="k")
    assert calls == [{"ddr_play_bwidth": 3, "kernel": "k"},
                     {"wait_trig": True, "ddr_play_bwidth": 3, "kernel": "k"},
                     {"wait_trig": False, "ddr_play_bwidth": 3, "kernel": "k"}]


@pytest.mark.parametrize("rule, flag", [(_rules.PlayDDRRule, "wait_trig"), (_rules.ReTagRule, "is_unfix")])
def test_a_block_within_a_block_gets_its_keyword_twice(rule, flag):
    inner = _ir.IRWaitTrig()
    outer = block(_ir.IRWaitTrig(), inner)
    with pytest.raises(TypeError) as info:
        rule().order_ins([outer])
    assert str(info.value) == f"order_ins() got multiple values for keyword argument '{flag}'"


def test_play_ddr_refusals():
    with pytest.raises(TypeError) as info:
        _rules.PlayDDRRule().order_ins((play(),))
    assert str(info.value) == "Expected list, got tuple"
    p = ddr()
    p.mode = "x"
    with pytest.raises(TypeError, match=r"unsupported operand type\(s\) for \|="):
        _rules.PlayDDRRule().order_ins([block(_ir.IRWaitTrig(), p)])
    assert p.b_width == 2


# ---- AddJumpRule ------------------------------------------------------------------

@pytest.mark.parametrize("n", [0, 2])
def test_the_closing_is_a_jump_back_to_position_zero_and_three_nops(n):
    given = [play() for _ in range(n)]
    before = list(given)
    out = _rules.AddJumpRule().order_ins(given)
    assert given == before and out[:n] == given and len(out) == n + 4
    jump, nops = out[n], out[n + 1:]
    assert type(jump) is _ir.IRJumpImmNormal and [type(x) for x in nops] == [_ir.IRNop] * 3
    assert type(jump.target) is _ir.IRNop and jump.target not in out
    assert all(ir.kernel is None and ir.line == 0 for ir in out[n:])
    assert [str(ir) for ir in out[n:]] == ["jali $0", "nop", "nop", "nop"]


def test_each_call_appends_a_new_closing():
    rule = _rules.AddJumpRule()
    out = rule.order_ins(rule.order_ins([]))
    assert [type(ir).__name__ for ir in out] == ["IRJumpImmNormal", "IRNop", "IRNop", "IRNop"] * 2
    assert len({id(ir) for ir in out}) == 8


def test_the_closing_needs_a_list_to_join():
    with pytest.raises(TypeError, match="can only concatenate tuple"):
        _rules.AddJumpRule().order_ins((play(),))


# ---- ReTagRule ------------------------------------------------------------------

def tagged(ir, tag):
    ir.tag = tag
    return ir


@pytest.mark.parametrize("layout, kept, landing_tag", [
    ("APB", "AB", "t1"),
    ("AP P B", "AB", "t2"),
    ("AP", "A", None),
    ("PA", "A", "t0"),
])
def test_placeholders_hand_their_tag_to_the_next_instruction(layout, kept, landing_tag):
    irs, names = [], {}
    for i, ch in enumerate(layout.replace(" ", "")):
        ir = tagged(_ir.IRPlaceholder() if ch == "P" else play(), f"t{i}" if ch == "P" else ch)
        irs.append(ir)
        names[id(ir)] = ch
    out = _rules.ReTagRule().order_ins(irs)
    assert "".join(names[id(ir)] for ir in out) == kept
    last = out[-1]
    assert last.tag == (landing_tag or last.tag)
    if landing_tag is None:
        assert [ir.tag for ir in out] == list(kept)


def test_tags_stay_within_their_level_and_timing_placeholders_go_with_their_block():
    p_in, b = tagged(_ir.IRPlaceholder(), "inner"), tagged(play(), "b")
    j = block(_ir.IRJumpConditional(1, 1, 1), tagged(play(), "a"), p_in)
    timing = block(tagged(_ir.IRTimingPlaceholder(), "tp"), tagged(_ir.IRPlaceholder(), "x"), tagged(play(), "c"))
    top_after = tagged(play(), "after")
    out = _rules.ReTagRule().order_ins([j, timing, top_after, b])
    assert out == [j, top_after, b] and top_after.tag == "tp" and b.tag == "b"
    assert [ir.tag for ir in j.ir_sub] == ["a"]
    assert [ir.tag for ir in timing.ir_sub] == ["x"]


def test_a_long_run_of_placeholders_hands_the_last_tag_on():
    n = 20000
    irs = [tagged(_ir.IRPlaceholder(), f"p{i}") for i in range(n)] + [play()]
    out = _rules.ReTagRule().order_ins(tuple(irs))
    assert out == [irs[-1]] and irs[-1].tag == f"p{n - 1}"


def test_re_tag_needs_a_sliceable_list_only_for_placeholders():
    a, b = play(), play()
    assert _rules.ReTagRule().order_ins(iter([a, b])) == [a, b]
    with pytest.raises(TypeError) as info:
        _rules.ReTagRule().order_ins(iter([_ir.IRPlaceholder(), a]))
    assert str(info.value) == "'list_iterator' object is unsliceable"


# ---- JumpRule and LoopRule -----------------------------------------------------------

def test_jump_rule_returns_a_copy_of_a_list():
    given = [play()]
    out = _rules.JumpRule().order_ins(given)
    assert out == given and out is not given
    with pytest.raises(TypeError) as info:
        _rules.JumpRule().order_ins((play(),))
    assert str(info.value) == "Expected list, got tuple"


@pytest.mark.parametrize("kwargs, align", [({}, 12), ({"trig_align_time": 3}, 3)])
def test_loop_rule_joins_the_blocks_and_aligns_their_trigger_waits(kwargs, align):
    p1, p2, inner = play(), play(), _ir.IRWaitTrig()
    w1, w2 = block(_ir.IRWaitTrig(), p1, inner), block(_ir.IRJumpImmediate(0), p2)
    out = _rules.LoopRule().order_ins([play(), w1, _ir.IRNop(), w2], **kwargs)
    assert out == [p1, inner, p2] and inner.wait_time == align and w1.wait_time == 20
    assert _rules.LoopRule().order_ins([play(), _ir.IRNop()]) == []
