"""The overlap timing check, and the wait-time check with its two helpers."""
import pytest
from hypothesis import given, settings, strategies as st

from checkers_build import Build
from reference import checkers as twins
from tarvok.zelvo import _checkers as ck
from tarvok.zelvo import _ir as ir

MSG = "Instructions can not arrange"
B = Build()


def records(lst):
    return ck.check_overlap_time(lst, [])


def nops(n):
    return [ir.IRNop() for _ in range(n)]


@pytest.mark.parametrize("lst", [[], [B.cost("fix", 12, 2)], nops(3) + [B.cost("fix", 1, 9)],
                                 [B.cost("fix", 2, 2), B.cost("marker", 50)]])
def test_nothing_to_fit(lst):
    assert records(lst) == []


@pytest.mark.parametrize("count, bad", [(8, False), (9, True)])
def test_nops_then_a_fixed_instruction(b, count, bad):
    # window 10: the nops and the next instruction's overhead must fit
    owner, after = b.cost("fix", 12, 2), b.cost("fix", 3, 2)
    lst = [owner] + nops(count) + [after, b.cost("pre", 1)]
    expected = [b.rec(MSG, lst[-3], after, lst[-1], b.TimingError)] if bad else []
    assert records(lst) == expected


@pytest.mark.parametrize("wait, bad", [(8, False), (9, True)])
@pytest.mark.parametrize("last", [False, True])
def test_delay_adds_its_wait_and_overhead(b, wait, bad, last):
    # A delay at the last position is held to the window like any other.
    delay = b.cost("delay", wait, 2)
    lst = [b.cost("fix", 12, 2), delay] + ([] if last else [b.cost("fix", 99, 99)])
    assert records(lst) == ([b.rec(MSG, lst[0], delay, None if last else lst[2], b.TimingError)] if bad else [])


@pytest.mark.parametrize("wait, bad", [(10, False), (11, True)])
@pytest.mark.parametrize("last", [False, True])
def test_overlap_instruction_adds_its_wait(b, wait, bad, last):
    x = b.cost("overlap", wait, 99)
    lst = [b.cost("fix", 12, 2), x] + ([] if last else [b.cost("fix", 99, 99)])
    assert len(records(lst)) == bad


def test_each_window_checked_in_turn_and_delays_own_none(b):
    first, second, third = b.cost("fix", 5, 2), b.cost("fix", 4, 4), b.cost("fix", 1, 1)
    delay = b.cost("delay", 0, 5)  # wait below its overhead, still no window
    lst = [first, second, delay, third]
    # first's window 3 < second's overhead 4; second's window 0 < 0 + 5 of the delay
    assert records(lst) == [b.rec(MSG, first, second, delay, b.TimingError),
                            b.rec(MSG, second, delay, third, b.TimingError)]


def test_passing_instructions_add_their_wait_and_the_scan_goes_on(b):
    # set-up, unfixed and marker instructions add their wait time, the
    # unfixed one at the top level too; the first timed one ends the scan
    lst = [b.cost("fix", 10, 0), b.cost("pre", 3), b.cost("unfix", 3), b.cost("marker", 3), b.cost("fix", 0, 2)]
    assert records(lst) == [b.rec(MSG, lst[3], lst[4], None, b.TimingError)]
    lst[0].wait_time = 11
    assert records(lst) == []


def test_real_padded_block(b):
    play = b.play(320)  # window 10 with the default block of 32 samples
    delay = b.delay(2.4e-8)  # 6 cycles + 2
    block = [play, ir.IRNop(), ir.IRNop(), delay, b.capture()]
    assert (play.wait_time, play.overhead, delay.wait_time) == (12, 2, 6)
    assert records(block) == []
    block.insert(1, ir.IRNop())
    assert records(block) == [b.rec(MSG, block[3], delay, block[5], b.TimingError)]


def test_checker_walks_the_top_level_then_each_block(b):
    late = b.cost("fix", 0, 1)
    head1 = b.trig(b.cost("fix", 3, 2), b.cost("fix", 0, 2), ir.IRNop())
    head2 = b.jump(b.cost("overlap", 9))  # first item of a block: nothing before it in the block
    top = [b.cost("fix", 2, 2), late, head1, head2]
    src = list(top)
    out, errors = ck.OverlapChecker().check_ir(top)
    assert out == src and out is not top and top == src
    assert errors == [b.rec(MSG, top[0], late, head1, b.TimingError),
                      b.rec(MSG, head1.ir_sub[0], head1.ir_sub[1], head1.ir_sub[2], b.TimingError)]
    assert [x for x in head2.ir_sub] == head2.ir_sub  # blocks are left alone


def test_a_block_that_is_not_a_list_is_refused(b):
    head = b.trig()
    head.ir_sub = (b.cost("fix", 1, 1),)
    with pytest.raises(TypeError, match=r"Argument 'ir_list' has incorrect type \(expected list, got tuple\)"):
        ck.OverlapChecker().check_ir([head])


def test_cycles_beyond_64_bits_and_of_other_number_types(b):
    big = 2 ** 70
    assert len(records([b.cost("fix", big, 0), b.cost("fix", 0, big)])) == 0
    assert len(records([b.cost("fix", big, 0), b.cost("fix", 0, big + 1)])) == 1
    assert len(records([b.cost("fix", 2 ** 63 - 1, -1), b.cost("fix", 0, 0)])) == 0
    assert len(records([b.cost("fix", 10.5, 0), b.cost("fix", 0, 10)])) == 0
    assert len(records([b.cost("fix", 10.5, 0), b.cost("overlap", 10.75)])) == 1


def test_errors_from_the_instructions_propagate(b):
    lst = [ir.IRDelay(1e-8), b.cost("fix", 3, 1), ir.IRDelay(1e-8)]  # a delay without its kernel
    with pytest.raises(AttributeError):
        records(lst)


def test_check_limit_alone(b):
    a, c = b.cost("fix", 4, 2), b.cost("fix", 0, 3)
    assert ck.check_limit(0, [a, c], []) == [b.rec(MSG, a, c, None, b.TimingError)]
    assert ck.check_limit(1, [a, c], []) == []
    assert ck.check_limit(0, [a], []) == []
    with pytest.raises(IndexError):
        ck.check_limit(5, [a, c], [])


@pytest.mark.parametrize("start, lst, expected", [
    (0, [ir.IRNop(), ir.IRNop(), ir.IRNop(), B.cost("fix", 1)], 3),
    (0, [B.cost("fix", 1)], 1),
    (0, [B.cost("fix", 1)] + nops(150), 101),
    (1, [B.cost("fix", 1), B.cost("fix", 1), ir.IRNop()], 2),
    (5, [ir.IRNop()], 1),
])
def test_count_nops(start, lst, expected):
    assert ck.count_nops(start, lst) == expected


def test_count_nops_takes_any_sequence_and_position():
    assert ck.count_nops(0, (ir.IRNop(), ir.IRNop(), ir.IRNop())) == 3
    assert ck.count_nops(1.5, [ir.IRNop(), ir.IRNop()]) == 1  # 2.5 is past the end
    with pytest.raises(TypeError, match="list indices must be integers or slices, not float"):
        ck.count_nops(0.0, [ir.IRNop(), ir.IRNop()])
    with pytest.raises(TypeError):
        ck.count_nops("0", [])


@pytest.mark.parametrize("lst, expected", [
    ([B.play(64), B.cost("delay", 7, 2)], 12),
    ([B.play(64), ir.IRNop(), ir.IRNop(), B.cost("fix", 1)], 3),
    ([ir.IRNop(), B.cost("fix", 1)], 0),
    ([ir.IRMov(0, 1), ir.IRNop(), B.cost("fix", 1)], 2),
    ([B.cost("unfix", 1), B.cost("fix", 1)], 1),
    ([B.cost("overlap", 1), ir.IRNop(), ir.IRNop()], 3),
    ([B.cost("marker", 1), ir.IRNop()], 0),
])
def test_ir_calculate_time(lst, expected):
    assert ck.ir_calculate_time(0, lst) == expected


@pytest.mark.parametrize("index", [1, 2, 2 ** 80])
def test_ir_calculate_time_at_the_last_position(index):
    with pytest.raises(IndexError, match="^Index out of bounds$"):
        ck.ir_calculate_time(index, [B.cost("fix", 1), ir.IRNop()])


def test_check_wait_time(b):
    a, c = b.cost("fix", 0, 1), b.cost("fix", 0, 2)
    lst = [a, c, ir.IRNop()]
    assert ck.check_wait_time(lst, []) == []  # a has 1, c has 2
    a.overhead = 2
    assert ck.check_wait_time(lst, []) == [b.rec("instructions can not arrange", None, a, c, b.TimingError)]
    head = b.cost("unfix", 0, 9)
    head.irhead = 2
    assert ck.check_wait_time([head, ir.IRNop(), ir.IRNop()], []) == []
    head.irhead = 4
    assert len(ck.check_wait_time([head, ir.IRNop(), ir.IRNop()], [])) == 1
    with pytest.raises(IndexError, match="Index out of bounds"):
        ck.check_wait_time([a, c], [])


# ---- against the pure-Python twin --------------------------------------------

KINDS = ["fix", "delay", "overlap", "pre", "unfix", "marker", "nop"]
cycles = st.one_of(st.integers(-3, 14), st.sampled_from([2 ** 63 - 1, -2 ** 63, 2 ** 70, 2.5]))


@st.composite
def item(draw, top=True):
    kind = draw(st.sampled_from(KINDS if top else KINDS[:4] + ["marker", "nop"]))
    if kind == "nop":
        return ir.IRNop()
    x = B.cost(kind, draw(cycles), draw(cycles))
    if kind == "unfix" and top:
        x.ir_sub = draw(st.lists(item(top=False), max_size=8))
    return x


@settings(max_examples=300, deadline=None)
@given(st.lists(item(), max_size=12))
def test_matches_the_python_twin(lst):
    ours = ck.OverlapChecker().check_ir(lst)
    theirs = twins.TwinOverlapChecker().check_ir(lst)
    assert twins.same(ours, theirs)
