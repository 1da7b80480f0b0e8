"""The DDR play optimizer: trigger-wait blocks opened, waits folded into the
DDR play after them, delays dropped."""
import numpy as np
import pytest

from tarvok.zelvo import _ir
from tarvok.zelvo._optimizations import PlayDDROptimizer


def ddr_play(mode=0):
    p = _ir.IRPlayDDRImm(_ir.IRArbWaveform("w", np.zeros(8)))
    p.mode = mode
    return p


def trig(*block):
    w = _ir.IRWaitTrig()
    w.ir_sub = list(block)
    return w


def test_trigger_block_opened_and_wait_folded():
    p, nop, wait = ddr_play(), _ir.IRNop(), _ir.IRWait(1e-6)
    out = PlayDDROptimizer().optimize_ir([trig(wait, p), nop])
    assert out == [p, nop] and p.wave_delay == 1e-6 and p.mode == 2


def test_waits_reach_across_blocks_and_the_last_one_wins():
    p1, p2 = ddr_play(mode=1), ddr_play()
    d = _ir.IRDelay(8e-9)
    cond = _ir.IRJumpConditional(1, 1, 1)
    cond.ir_sub = [_ir.IRWait(5e-6)]  # not opened: only trigger waits are
    nops = [_ir.IRNop() for _ in range(3)]
    items = [_ir.IRWait(1e-6), trig(nops[0], _ir.IRWait(2e-6), d), trig(p1, nops[1]), cond,
             trig(_ir.IRWait(3e-6)), nops[2], p2, _ir.IRWait(4e-6)]
    o = PlayDDROptimizer()
    out = o.optimize_ir(items, kernel=None, base_clock=4e-9)
    assert out == [nops[0], p1, nops[1], cond, nops[2], p2]
    assert (p1.wave_delay, p1.mode) == (2e-6, 3)
    assert (p2.wave_delay, p2.mode) == (3e-6, 2)
    assert o.enable is True and len(cond.ir_sub) == 1


def test_program_without_ddr_play_comes_back_untouched():
    items = [_ir.IRWait(1e-6), trig(_ir.IRDelay(1e-6), _ir.IRNop())]
    o = PlayDDROptimizer()
    assert o.optimize_ir(items) is items and o.enable is False
    # A tuple cannot be handed back as the list.
    with pytest.raises(TypeError, match="^Expected list, got tuple$"):
        o.optimize_ir(tuple(items))
    p = ddr_play()
    assert o.optimize_ir((trig(p),)) == [p]
    # Once a DDR play was met the object rewrites every later list.
    nop = _ir.IRNop()
    assert o.optimize_ir([_ir.IRWait(1e-6), nop]) == [nop]


def test_a_play_that_is_also_a_wait_takes_its_own_width():
    class Both(_ir.IRWait, _ir.IRPlayDDRImm):
        pass

    b, p = Both.__new__(Both), ddr_play()
    b.width, b.wave_delay, b.mode = 7e-6, 0, 0
    out = PlayDDROptimizer().optimize_ir([_ir.IRWait(1e-6), b, _ir.IRWait(2e-6), p])
    assert out == [p] and b.wave_delay == 7e-6 and b.mode == 2 and p.wave_delay == 2e-6


def test_failures():
    with pytest.raises(TypeError):
        PlayDDROptimizer().optimize_ir(5)
    head = trig()
    head.ir_sub = None
    with pytest.raises(TypeError):
        PlayDDROptimizer().optimize_ir([head])
    p = ddr_play()
    p.mode = "x"
    with pytest.raises(TypeError):
        PlayDDROptimizer().optimize_ir([_ir.IRWait(1e-6), p])


def test_long_program_folds_every_wait():
    # Each wait lands on the next play: the pending waits are carried, not
    # searched for again at every wait.
    items, plays = [], []
    for i in range(20000):
        p = ddr_play()
        items += [_ir.IRWait(i * 1e-9), _ir.IRNop(), p]
        plays.append(p)
    out = PlayDDROptimizer().optimize_ir(items)
    assert len(out) == 40000 and [p.wave_delay for p in plays[:3]] == [0.0, 1e-9, 2e-9]
