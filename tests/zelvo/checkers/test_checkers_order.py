"""Frame-reset place, consecutive captures and trigger-wait blocks without a
DDR play."""
import pytest

from checkers_build import Build
from tarvok.zelvo import _checkers as ck
from tarvok.zelvo import _ir as ir

DRST = "drst position is wrong"
CAPI = "Two consecutive capture is forbidden"
WTG = "There must be a 'play' between two 'wait_for_trig' statements."
B = Build()


def flagged(name, lst):
    """The offending instructions of a checker's records."""
    out, errors = getattr(ck, name)().check_ir(lst)
    assert out is lst
    return [e[2] for e in errors]


def rst():
    return ir.IRFrameRst()


@pytest.mark.parametrize("before, reported", [
    ([], True),
    ([ir.IRNop(), B.delay()], True),
    ([B.frame(), ir.IRNop()], True),
    ([B.wait(), ir.IRNop(), B.delay(), ir.IRNop()], False),
    ([ir.IRWaitPoints(32)], True),      # not an IRWait
    ([B.play()], True),
    ([B.capture()], True),
    ([B.wait(), ir.IRFrameRst()], True),  # the first reset is the second's predecessor
])
def test_frame_reset_at_the_top_level(before, reported):
    r = rst()
    assert flagged("DrstChecker", before + [r]) == ([r] if reported else [])


def test_frame_reset_first_in_a_trigger_wait_block(b):
    r, r2 = rst(), rst()
    head = b.trig(ir.IRNop(), b.delay(), r, r2)
    lst = [b.play(), head]
    out, errors = ck.DrstChecker().check_ir(lst)
    # inside the block: position and neighbours from the block's own list
    assert errors == [b.rec(DRST, r, r2, None, b.TimingError)]
    # a block head that is not a trigger wait does not count as a wait
    r3 = rst()
    assert flagged("DrstChecker", [b.jump(r3)]) == [r3]


def test_chain_runs_from_a_block_into_the_next_top_level_item(b):
    r = rst()
    head = b.trig(b.play(), b.wait())
    assert flagged("DrstChecker", [head, ir.IRNop(), r]) == []
    head.ir_sub.append(b.capture())
    assert flagged("DrstChecker", [head, ir.IRNop(), r]) == [r]


@pytest.mark.parametrize("between, reported", [
    ([], True),
    ([ir.IRNop(), B.delay(), ir.IRNop()], True),
    ([B.play()], False),
    ([B.wait()], False),
])
def test_two_captures(b, between, reported):
    c1, c2 = b.capture(), b.capture()
    lst = [c1] + between + [c2]
    out, errors = ck.TwoCapiChecker().check_ir(lst)
    prev = lst[-2]
    assert errors == ([b.rec(CAPI, prev, c2, None, b.TimingError, "0x1001")] if reported else [])


def test_captures_across_blocks_and_within_a_block(b):
    c1, c2, c3 = b.capture(), b.capture(), b.capture()
    assert flagged("TwoCapiChecker", [b.trig(c1), b.trig(c2)]) == []  # the head stands between
    head = b.jump(c2, ir.IRNop(), c3)
    errors = ck.TwoCapiChecker().check_ir([c1, head])[1]
    assert errors == [b.rec(CAPI, head.ir_sub[1], c3, None, b.TimingError, "0x1001")]


def test_step_functions_alone(b):
    w, r, c = b.wait(), rst(), b.capture()
    error = []
    assert ck.drst_before_check([r], 0, error, w, "m") == (error, r)
    assert error == []
    assert ck.drst_before_check([r], 0, error, [], "m") == (error, r)
    assert error == [b.rec("m", None, r, None, b.TimingError)]
    nop = ir.IRNop()
    assert ck.drst_before_check([nop], 0, [], w, "m") == ([], w)
    assert ck.two_capi_check([c], 0, [], c, "m") == ([b.rec("m", None, c, None, b.TimingError, None)], c)
    assert ck.two_capi_check([c], 0, [], c, "m", "0x1001")[0][0][5] == "0x1001"
    assert ck.two_capi_check(ir_list=[c, nop], index=-1, error=[], ir_before=c, msg="m") == ([], c)
    with pytest.raises(IndexError):
        ck.drst_before_check([r], 1, [], w, "m")
    with pytest.raises(TypeError, match=r"Argument 'ir_list' has incorrect type \(expected list, got tuple\)"):
        ck.DrstChecker().check_ir((r,))


# ---- trigger-wait blocks -------------------------------------------------------

def test_no_ddr_play_anywhere_no_records(b):
    lst = [b.trig(), b.trig(b.play()), b.jump(b.ddr())]  # a DDR play under a jump does not count
    assert ck.EmptyWtgChecker().check_ir(lst) == (lst, [])


def test_every_trigger_wait_block_without_a_ddr_play_is_reported(b):
    t1, t2, t3 = b.trig(b.ddr()), b.trig(), b.trig(b.play())
    lst = [t1, b.jump(), t2, t3]
    out, errors = ck.EmptyWtgChecker().check_ir(lst)
    assert out is lst
    assert errors == [b.rec(WTG, lst[1], t2, t3, b.TimingError, "0x2000"),
                      b.rec(WTG, t2, t3, None, b.TimingError, "0x2000")]


def test_a_top_level_ddr_play_makes_it_a_ddr_program(b):
    t = b.trig()
    assert flagged("EmptyWtgChecker", [b.ddr(), t]) == [t]


def test_enable_stays_once_a_ddr_play_was_seen(b):
    checker = ck.EmptyWtgChecker()
    assert checker.enable is False
    checker.check_ir([b.trig()])
    assert checker.enable is False
    checker.check_ir([b.trig(b.ddr())])
    assert checker.enable is True
    t = b.trig()
    assert [e[2] for e in checker.check_ir([t])[1]] == [t]
    fresh = ck.EmptyWtgChecker()
    fresh.enable = 1  # any true value
    assert len(fresh.check_ir([t])[1]) == 1
