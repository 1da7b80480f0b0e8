"""Real wait times: overlap runs, their selection sort, and the cycles each
instruction waits once its successor has taken its share."""
import pytest

from tarvok.zelvo import _ir, _rules


def fixed():
    """A fixed-duration instruction of constant costs: overhead 1, wait 5."""
    return _ir.IRJumpImmNormal(None)


def trig(*block, wait=0):
    t = _ir.IRWaitTrig()
    t.wait_time = wait
    t.ir_sub = list(block)
    return t


class Waits(_ir.IRNsw):
    """An overlap instruction of any wait time, counting how often it is read."""

    reads = 0

    def __init__(self, wait, name):
        super().__init__(0)
        self.wait, self.name = wait, name

    @property
    def wait_time(self):
        Waits.reads += 1
        return self.wait


def names(irs):
    return "".join(ir.name for ir in irs)


def test_overlap_runs_are_positions_of_two_or_more_followed_in_the_list():
    x, a, b, y, c, z, d, e = (fixed(), _ir.IRNsw(1), _ir.IRJmov(1), fixed(), _ir.IRJmov(1), fixed(),
                              _ir.IRJmov(1), _ir.IRNsw(1))
    assert _rules.acq_olp_index([x, a, b, y, c, z, d, e]) == [[1, 2]]
    assert _rules.acq_olp_index([a, b, _ir.IRLoop(2, x), x]) == [[0, 1, 2]]
    assert _rules.acq_olp_index([]) == []


def test_the_longest_waiting_overlap_instructions_go_first():
    x, a, b, c, y = fixed(), _ir.IRNsw(1), _ir.IRFrameRst(), _ir.IRJmov(1), _ir.IRPlaceholder()
    t = trig(x, a, b, c, y)
    block = t.ir_sub
    top = [fixed(), t]
    assert _rules.TimingRule().order_overlap(top) is top
    assert t.ir_sub is block and block == [x, b, c, a, y]


@pytest.mark.parametrize("waits, order", [
    ("333", "cab"),     # among equals the later wins every pass
    ("33", "ba"),
    ("2323", "dbac"),
    ("1234", "dcba"),
    ("4321", "abcd"),
])
def test_the_selection_sort_is_the_unstable_one(waits, order):
    items = [Waits(int(w), chr(97 + i)) for i, w in enumerate(waits)]
    t = trig(*items, fixed())
    _rules.TimingRule().order_overlap([t])
    assert names(t.ir_sub[:-1]) == order


def test_each_wait_time_of_a_run_is_read_once():
    items = [Waits(w, str(w)) for w in (1, 5, 2, 4, 3)]
    Waits.reads = 0
    _rules.TimingRule().order_overlap([trig(*items, fixed())])
    assert Waits.reads == 5


def test_runs_that_end_a_block_or_stand_on_the_top_level_stay():
    x, a, b = fixed(), Waits(2, "a"), Waits(8, "b")
    t = trig(x, a, b)
    single = trig(fixed(), Waits(1, "s"), fixed())
    top_a, top_b = Waits(1, "p"), Waits(9, "q")
    top = [top_a, top_b, fixed(), t, single]
    _rules.TimingRule().order_overlap(top)
    assert t.ir_sub == [x, a, b] and top[:2] == [top_a, top_b]


def test_real_wait_times_of_a_block_and_its_head():
    p, j, n, q = _ir.IRPlaceholder(), _ir.IRJmov(1), _ir.IRNsw(1), _ir.IRJumpImmNormal(None)
    block = [p, j, n, q]
    assert _rules.order_process(block) is block
    assert [ir.real_wait_time for ir in block] == [0, 1, 1, 5]
    t = trig(_ir.IRPlaceholder(), _ir.IRJmov(1), _ir.IRNsw(1), _ir.IRJumpImmNormal(None), wait=0)
    _rules.TimingRule().order_ins([t])
    # the placeholder first in the block costs its overhead here, not its irhead
    assert t.real_wait_time == -1


def test_a_jump_inside_before_a_landing_place_keeps_its_whole_wait():
    inside = _ir.IRJumpInside()
    _rules.order_process([fixed(), inside, _ir.IRPlaceholder()])
    assert inside.real_wait_time == 4


def test_single_items_and_what_precedes_an_unfixed_instruction(kernel):
    only = fixed()
    _rules.order_process([only])
    assert only.real_wait_time == only.wait_time
    lone = trig(wait=9)
    _rules.order_process([lone])
    assert lone.real_wait_time == 9
    before, w1, w2 = fixed(), trig(wait=9), trig(wait=9)
    before.real_wait_time = w1.real_wait_time = 77
    for ir in (before, w1, w2):
        ir.kernel = kernel
    _rules.TimingRule().order_ins([before, w1, w2])
    assert (before.real_wait_time, w1.real_wait_time, w2.real_wait_time) == (77, 77, 0)


def test_set_up_instructions_take_no_share_and_any_category_can_pay():
    frame, mov, j = _ir.IRFrame(1e8, 0, 0), _ir.IRMov(1, 1), _ir.IRJmov(1)
    frame.real_wait_time = 99
    head = trig(wait=10)
    _rules.order_process([frame, mov, head, j])
    # the move after the frame and the trigger wait after the move are skipped;
    # the trigger wait pays for the feedback move
    assert (frame.real_wait_time, mov.real_wait_time, head.real_wait_time, j.real_wait_time) == (99, 0, 7, 3)


def test_order_ins_works_on_a_copy_and_the_blocks_in_place(kernel):
    t = trig(fixed(), Waits(1, "a"), Waits(4, "b"), fixed(), wait=12)
    t.kernel = kernel
    block = t.ir_sub
    given = [fixed(), t]
    out = _rules.TimingRule().order_ins(given)
    assert given[1] is t and len(given) == 2 and out is not given
    assert names(block[1:3]) == "ba" and t.ir_sub is not block


def test_calculate_real_wait_time_from_one_successor():
    a, b = fixed(), _ir.IRJmov(1)
    lst = [a, b]
    assert _rules.calculate_real_wait_time(1.9, lst) is lst
    assert a.real_wait_time == a.wait_time - 3


@pytest.mark.parametrize("index", [0, 2, -1, 2**70])
def test_calculate_real_wait_time_needs_a_predecessor_in_the_list(index):
    a, b = fixed(), fixed()
    with pytest.raises(IndexError, match="must be at least 1 and less than 2"):
        _rules.calculate_real_wait_time(index, [a, b])
    assert a.real_wait_time == b.real_wait_time == 0


def test_order_unfxir_computes_a_copy_of_a_block():
    p, j = _ir.IRPlaceholder(), _ir.IRJmov(1)
    t = trig(p, j)
    block = t.ir_sub
    out = _rules.order_unfxir(-1, [fixed(), t])
    assert out == [p, j] and out is not block and t.ir_sub is block
    assert (p.real_wait_time, j.real_wait_time) == (0, 3)
    with pytest.raises(IndexError):
        _rules.order_unfxir(5, [t])


def trig_of_tuple():
    t = trig()
    t.ir_sub = (fixed(),)
    return t


@pytest.mark.parametrize("call, text", [
    (lambda: _rules.TimingRule().order_ins(()), "Argument 'ir_list' has incorrect type (expected list, got tuple)"),
    (lambda: _rules.acq_olp_index(None), "Argument 'ir_list' has incorrect type (expected list, got NoneType)"),
    (lambda: _rules.order_process(type("L", (list,), {})()),
     "Argument 'ir_list' has incorrect type (expected list, got L)"),
    (lambda: _rules.calculate_real_wait_time("1", []), "Argument 'index' has incorrect type (expected int, got str)"),
    (lambda: _rules.order_unfxir(None, []), "Argument 'index' has incorrect type (expected int, got NoneType)"),
    (lambda: _rules.order_unfxir(0, ()), "Argument 'ir_list' has incorrect type (expected list, got tuple)"),
    (lambda: _rules.order_unfxir(0, [trig_of_tuple()]), "Argument 'ir_list' has incorrect type (expected list, got tuple)"),
    (lambda: _rules.TimingRule().order_ins([trig(fixed(), fixed(), wait="x")]),
     "unsupported operand type(s) for -: 'str' and 'int'"),
])
def test_refusals(call, text):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == text


def test_a_block_that_is_no_list_is_refused_by_name():
    t = trig_of_tuple()
    for call in (lambda: _rules.TimingRule().order_ins([t]), lambda: _rules.TimingRule().order_overlap([t])):
        with pytest.raises(TypeError, match=r"^Argument 'ir_list' has incorrect type \(expected list, got tuple\)$"):
            call()


def test_wait_times_that_do_not_compare_or_subtract():
    with pytest.raises(TypeError, match="'>=' not supported"):
        _rules.TimingRule().order_overlap([trig(Waits("a", "a"), Waits(1, "b"), fixed())])
    first, second = Waits(None, "a"), fixed()
    with pytest.raises(TypeError, match="unsupported operand"):
        _rules.order_process([first, second])
    assert second.real_wait_time == second.wait_time


def test_missing_attributes_fail_and_earlier_values_stay():
    a, b = fixed(), fixed()
    with pytest.raises(AttributeError):
        _rules.order_process([a, b, object()])
    assert (a.real_wait_time, b.real_wait_time) == (4, 0)


def test_a_fractional_trigger_alignment_gives_a_fractional_real_wait_time():
    t = trig(_ir.IRJmov(1), fixed(), wait=12.5)
    rule = _rules.TimingRule()
    rule.insert_ir = lambda irs: irs   # honoured: the steps go through the object
    assert rule.order_ins([t]) == [t]
    assert t.real_wait_time == 9.5
