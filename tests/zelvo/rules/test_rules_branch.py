"""BranchRule: the two-level scheduled list."""
import numpy as np
import pytest

from tarvok.zelvo import _ir, _rules


def env():
    return _ir.IREnvelope(np.zeros(4))


def play():
    return _ir.IRPlayImm(0, env(), 1, 0, 1e8, 0.0)


def nest(irs):
    return _rules.BranchRule().order_ins(irs)


def test_instructions_after_each_unfixed_one_move_into_its_block():
    e, f, p1, w, p2, c, j, p3 = (env(), _ir.IRFrame(1e8, 0, 0), play(), _ir.IRWaitTrig(), play(),
                                 _ir.IRCapture([0], 1e-6, 0, 5e-7), _ir.IRJumpConditional(1, 1, 1), play())
    assert nest([e, f, p1, w, p2, c, j, p3]) == [e, f, p1, w, j]
    assert w.ir_sub == [p2, c] and j.ir_sub == [p3]


@pytest.mark.parametrize("given", [[], (), iter([])])
def test_an_empty_list_gives_an_empty_list(given):
    assert nest(given) == []


def test_without_unfixed_instructions_the_list_comes_back_flat_and_new():
    irs = [env(), play(), _ir.IRJmov(1), _ir.IRPlaceholder()]
    out = nest(irs)
    assert out == irs and out is not irs


def test_blocks_of_consecutive_and_final_unfixed_instructions():
    w1, w2, p, w3 = _ir.IRWaitTrig(), _ir.IRTimingPlaceholder(), play(), _ir.IRJumpImmediate(0)
    assert nest([w1, w2, p, w3]) == [w1, w2, w3]
    assert (w1.ir_sub, w2.ir_sub, w3.ir_sub) == ([], [p], [])


def test_a_set_up_instruction_stays_on_top_and_the_block_stays_open():
    w, p1, mov, p2 = _ir.IRWaitTrig(), play(), _ir.IRMov(1, 1), play()
    assert nest([w, p1, mov, p2]) == [w, mov]
    assert w.ir_sub == [p1, p2]


def test_a_lowered_if_and_a_while_loop_go_to_the_open_block():
    land = _ir.IRPlaceholder()
    back = _ir.IRJumpImmNormal(land)
    j, inside, ph1, p, ph2 = (_ir.IRJumpConditional(1, 1, 1), _ir.IRJumpInside(), _ir.IRPlaceholder(), play(),
                              _ir.IRPlaceholder())
    assert nest([land, back, j, inside, ph1, p, ph2, back]) == [land, back, j]
    assert j.ir_sub == [inside, ph1, p, ph2, back]


def test_a_block_is_appended_to_not_replaced():
    w, old, new = _ir.IRWaitTrig(), play(), play()
    w.ir_sub.append(old)
    nest([w, new])
    assert w.ir_sub == [old, new]


def test_subclasses_count_by_their_category():
    class MyWait(_ir.IRWaitTrig):
        pass

    class MyNop(_ir.IRNop):
        pass
    w, n, p = MyWait(), MyNop(), play()
    assert nest([w, p, n]) == [w, n] and w.ir_sub == [p]


def test_a_block_that_is_no_list_is_appended_to_by_its_own_append():
    seen = []

    class Block:
        def append(self, ir):
            seen.append(ir)
            if len(seen) == 2:
                raise ValueError("full")
    w, p1, p2 = _ir.IRWaitTrig(), play(), play()
    w.ir_sub = Block()
    with pytest.raises(ValueError, match="full"):
        nest([w, p1, p2])
    assert seen == [p1, p2]
