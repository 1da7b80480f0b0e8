"""Timing padding: the nops, delays and DDR waits after every instruction,
their lines and kernels, the dispatch order of each level, and set_kernel."""
import functools

import numpy as np
import pytest

from tarvok.zelvo import _ir, _rules


def kinds(irs):
    return [type(ir).__name__.replace("IR", "") for ir in irs]


def fixed(rwt, line=0, kernel=None):
    """A fixed-duration instruction of overhead 1."""
    ir = _ir.IRJumpImmNormal(None, kernel=kernel)
    ir.real_wait_time, ir.line = rwt, line
    return ir


def rule():
    return _rules.TimingRule()


@pytest.mark.parametrize("make, nops", [
    (lambda: _ir.IRFrame(1e8, 0, 0), 4),
    (lambda: _ir.IRProt([1e6], 1j), 5),
    (lambda: _ir.IRPth([1e6], 0.5), 5),
    (lambda: _ir.IRMov(1, 1), 0),
    (lambda: _ir.IREnvelope(np.zeros(4)), 0),
    (lambda: type("BigEnvelope", (_ir.IREnvelope,), {"wait_time": 10})(np.zeros(4)), 0),
])
def test_set_up_instructions_wait_what_they_want(make, nops, kernel):
    ir = make()
    ir.real_wait_time, ir.line, ir.kernel = 1000, 12, kernel
    out = rule().append_preir(ir)
    assert out[0] is ir and kinds(out[1:]) == ["Nop"] * nops
    assert all(n.line == 12 and n.kernel is kernel for n in out[1:])


@pytest.mark.parametrize("g, after", [
    (-3, []), (0, []), (5, ["Nop"] * 5), (6, ["Delay", "Nop", "Nop", "Nop"]), (30, ["Delay", "Nop", "Nop", "Nop"]),
])
def test_fixed_duration_instructions_take_the_delay_form_above_five(g, after, kernel):
    ir = fixed(g + 1, line=3, kernel=kernel)
    out = rule().append_fixir(ir)
    assert out[0] is ir and kinds(out[1:]) == after
    assert all(x.line == 3 and x.kernel is kernel for x in out[1:])
    if after[:1] == ["Delay"]:
        assert out[1].width == (g - 5) * 4e-9 and out[1].wait_time == g - 5 and str(out[1]) == f"witi {g - 5}"


@pytest.mark.parametrize("g, after", [(5, ["Delay", "Nop", "Nop", "Nop"]), (4, ["Nop"] * 4), (-1, [])])
def test_placeholders_take_the_delay_form_from_five_on(g, after, kernel):
    ir = _ir.IRPlaceholder(kernel=kernel)
    ir.real_wait_time = g + 1
    out = rule().append_fakeir(ir)
    assert kinds(out[1:]) == after
    if g == 5:
        assert out[1].width == 0 and out[1].wait_time == 0


@pytest.mark.parametrize("make", [lambda: _ir.IRPlayDDRImm(_ir.IRArbWaveform("w", np.zeros(8))),
                                  lambda: type("DDRPlace", (_ir.IRPlaceholder, _ir.LoadDDRIR), {})()])
@pytest.mark.parametrize("g", [100, -20])
def test_a_ddr_play_is_followed_by_the_ddr_wait_and_three_nops(make, g, kernel):
    ir = make()
    ir.real_wait_time, ir.line, ir.kernel = g + ir.overhead, 9, kernel
    out = rule().insert_ir([ir])
    assert out[0] is ir and kinds(out[1:]) == ["WaitDDR", "Nop", "Nop", "Nop"]
    assert [x.line for x in out[1:]] == [0, 0, 0, 0]
    assert [x.kernel for x in out[1:]] == [None, kernel, kernel, kernel]


@pytest.mark.parametrize("head, rwt, after", [
    (lambda: _ir.IRWaitTrig(), -1, ["Nop"] * 3),
    (lambda: _ir.IRJumpConditional(1, 1, 1), 0, ["Nop"] * 4),
    (lambda: _ir.IRJumpConditional(1, 1, 1), 12, ["Nop"] * 4 + ["Delay"] + ["Nop"] * 3),
    (lambda: _ir.IRTimingPlaceholder(), 5, ["Nop"] * 4),
])
def test_an_unfixed_instruction_pads_its_overhead_beyond_irhead_then_its_wait(head, rwt, after, kernel):
    ir = head()
    ir.real_wait_time, ir.kernel = rwt, kernel
    out = rule().insert_ir([ir])
    assert out[0] is ir and kinds(out[1:]) == after


def test_the_intra_jump_form_pads_one_nop_less(make_kernel):
    ir = _ir.IRJumpConditional(1, 1, 1, kernel=make_kernel(intra_enable=True))
    ir.intra_enable = True
    assert kinds(rule().insert_ir([ir])[1:]) == ["Nop"] * 3


def test_blocks_are_padded_by_their_items_and_take_the_heads_kernel(make_kernel):
    head_k, item_k = make_kernel(), make_kernel(base_clock=8e-9)
    w = _ir.IRWaitTrig(kernel=head_k)
    w.real_wait_time, w.line = 4, 50
    a, add, b = fixed(5, line=51, kernel=item_k), _ir.IRAdd(), fixed(40, line=52, kernel=item_k)
    other = _ir.IRWaitTrig()
    w.ir_sub = [a, add, other, b]
    old = w.ir_sub
    out = rule().insert_ir([w])
    assert kinds(out) == ["WaitTrig", "Nop", "Nop", "Nop"]
    assert w.ir_sub is not old and old == [a, add, other, b]
    assert kinds(w.ir_sub) == ["JumpImmNormal"] + ["Nop"] * 4 + ["JumpImmNormal", "Delay", "Nop", "Nop", "Nop"]
    assert [x.line for x in w.ir_sub[1:5]] == [51] * 4 and [x.line for x in w.ir_sub[6:]] == [52] * 4
    inserted = [x for x in w.ir_sub if x not in (a, b)]
    assert all(x.kernel is head_k for x in inserted)
    # the delay's width came from the padded item's kernel, its count now from the head's
    assert w.ir_sub[6].width == 34 * 8e-9 and w.ir_sub[6].wait_time == 68


def test_an_empty_block_becomes_a_new_empty_block():
    w = _ir.IRWaitTrig()
    w.real_wait_time = 4
    old = w.ir_sub
    assert kinds(rule().insert_ir([w])) == ["WaitTrig", "Nop", "Nop", "Nop"]
    assert w.ir_sub == [] and w.ir_sub is not old
    assert rule().insert_ir([]) == []


def test_items_of_no_category_are_dropped():
    class Stranger:
        real_wait_time = overhead = 1
    w = _ir.IRWaitTrig()
    w.real_wait_time, w.ir_sub = 0, [fixed(1), _ir.IRWaitTrig(), Stranger()]
    out = rule().insert_ir([Stranger(), fixed(1), _ir.IRAdd(), w])
    assert kinds(out) == ["JumpImmNormal", "WaitTrig", "Nop", "Nop", "Nop"]
    assert kinds(w.ir_sub) == ["JumpImmNormal"]


def test_each_level_dispatches_in_its_own_order_through_the_object():
    calls = []

    class Recording(_rules.TimingRule):
        def __getattribute__(self, name):
            if name.startswith("append_"):
                calls.append(name[len("append_"):])
            return super().__getattribute__(name)
    loop = _ir.IRLoop(2, None)
    ddr = _ir.IRPlayDDRImm(_ir.IRArbWaveform("w", np.zeros(8)))
    timing = _ir.IRTimingPlaceholder()
    w = _ir.IRWaitTrig()
    w.ir_sub = [_ir.IRNop(), fixed(1), _ir.IRJmov(1), _ir.IRAdd(), _ir.IRPlaceholder()]
    for ir in (loop, ddr, timing, w):
        ir.real_wait_time = ir.overhead
    Recording().insert_ir([_ir.IRNop(), timing, loop, ddr, _ir.IRAdd(), _ir.IRPlaceholder(), w])
    assert calls == ["preir", "unfixir", "overlapir", "fixir", "reconstitutionir", "fakeir",
                     "unfixir", "preir", "fixir", "overlapir", "reconstitutionir", "fakeir"]


def _own_fixir(self, ir):
    return [ir, "own"]


@pytest.mark.parametrize("where", ["subclass", "instance", "class patched"])
def test_a_padding_method_replaced_anywhere_is_the_one_called(where, monkeypatch):
    class Sub(_rules.TimingRule):
        pass
    r = Sub()
    block = _ir.IRWaitTrig()
    block.real_wait_time, block.ir_sub = 4, [fixed(2)]
    plain = fixed(3)
    if where == "subclass":
        Sub.append_fixir = _own_fixir
    elif where == "instance":
        r.append_fixir = functools.partial(_own_fixir, r)
    else:
        r.insert_ir([fixed(1)])
        monkeypatch.setattr(_rules.TimingRule, "append_fixir", _own_fixir)
    out = r.insert_ir([plain, block])
    assert out[:2] == [plain, "own"] and kinds(out[2:]) == ["WaitTrig", "Nop", "Nop", "Nop"]
    assert block.ir_sub[1:] == ["own"]


@pytest.mark.parametrize("member", ["__init__", "__new__"])
def test_nops_are_made_as_the_nop_class_stands(member, monkeypatch):
    made = []
    plain_init, plain_new = _ir.IRNop.__init__, _ir.IRNop.__new__

    def init(self, *a, **k):
        made.append(a)
        plain_init(self, *a, **k)

    def new(cls, *a, **k):
        made.append(a)
        return plain_new(cls)
    monkeypatch.setattr(_ir.IRNop, member, init if member == "__init__" else staticmethod(new))
    out = rule().append_fixir(fixed(3))
    assert kinds(out) == ["JumpImmNormal", "Nop", "Nop"] and made == [(), ()]


def test_delays_need_a_kernel_with_a_base_clock_and_nothing_else_reads_it(make_kernel):
    fine = fixed(6)
    assert kinds(rule().append_fixir(fine)[1:]) == ["Nop"] * 5
    with pytest.raises(AttributeError, match="compile_params"):
        rule().append_fixir(fixed(7))
    k = make_kernel()
    del k.compile_params["base_clock"]
    with pytest.raises(KeyError, match="base_clock"):
        rule().append_fixir(fixed(7, kernel=k))


@pytest.mark.parametrize("rwt, outcome", [
    (7.0, ["Nop"] * 6),                      # a whole float counts as its value
    (12.5, ["Nop"] * 3 + ["Delay", "Nop", "Nop", "Nop"]),   # above 5: the delay's width is defined
    (-0.5, ["Nop"] * 3),
    (6.5, TypeError),
    (float("nan"), TypeError),
])
def test_a_nop_count_must_be_a_whole_number(rwt, outcome, kernel):
    w = _ir.IRWaitTrig(kernel=kernel)
    w.real_wait_time = rwt
    if outcome is TypeError:
        with pytest.raises(TypeError, match="a count of nops must be a whole number of cycles, not"):
            rule().insert_ir([w])
    else:
        out = rule().insert_ir([w])
        assert kinds(out[1:]) == outcome
        if "Delay" in outcome:
            assert out[4].width == (rwt - 4 - 5) * 4e-9


def test_absurd_nop_counts_are_refused():
    class Greedy(_ir.IRNop):
        wait_time = 2**62
    with pytest.raises(OverflowError, match="beyond any program"):
        rule().append_preir(Greedy())


def test_reconstitution_instructions_leave_nothing():
    assert rule().append_reconstitutionir(_ir.IRAdd()) == ""


def test_set_kernel_wraps_like_functools_wraps():
    def padding(self, ir):
        """Doc of the padding."""
        return [ir, _ir.IRNop(), w]
    padding.extra = "kept"
    wrapped = _rules.set_kernel(padding)
    for attr in ("__name__", "__qualname__", "__doc__", "__module__", "extra"):
        assert getattr(wrapped, attr) == getattr(padding, attr)
    assert wrapped.__wrapped__ is padding
    m = _rules.TimingRule.append_fixir
    assert (m.__name__, m.__qualname__) == ("append_fixir", "TimingRule.append_fixir")
    assert m.__wrapped__.__qualname__ == "TimingRule.append_fixir"

    class Holder:
        pad = wrapped
    k = object()
    src = type("Src", (), {"kernel": k})()
    inner = _ir.IRNop()
    w = _ir.IRWaitTrig()
    w.ir_sub = [inner, fixed(1)]
    result = Holder().pad(src)
    assert result[0] is src and result[1].kernel is k and inner.kernel is k and w.ir_sub[1].kernel is None


def test_set_kernel_takes_the_kernel_from_the_second_or_only_positional_argument():
    k1, k2 = object(), object()
    a, b = type("A", (), {"kernel": k1})(), type("B", (), {"kernel": k2})()
    made = []

    def pad(*args, **kwargs):
        made.append(_ir.IRNop())
        return made[-1:]
    wrapper = _rules.set_kernel(pad)
    wrapper(a)
    wrapper(a, b, a)
    wrapper(a, b=b)
    assert [n.kernel for n in made] == [k1, k2, k1]
    out = _rules.set_kernel(lambda: "")()
    assert out == ""
    with pytest.raises(TypeError, match="positional"):
        _rules.set_kernel(lambda **kw: [_ir.IRNop()])(ir=a)
    lazy = _rules.set_kernel(lambda ir: [ir])
    assert lazy(object()) is not None   # no nop or delay: the source's kernel is never read


def test_the_padded_schedule_carries_lines_and_kernels(make_kernel):
    k = make_kernel(trig_align_time=30)
    frame, trig, jmov = _ir.IRFrame(1e8, 0, 0), _ir.IRWaitTrig(), _ir.IRJmov(1)
    trig.wait_time = 30
    play = fixed(0)
    for line, ir in enumerate((frame, trig, jmov, play), start=1):
        ir.line, ir.kernel = line, k
    trig.ir_sub = [jmov, play]
    out = _rules.TimingRule().order_ins([frame, trig])
    # frame: 4 nops; trigger wait: 30 - 3 (the move's wait) - 4 = 23: 3 nops,
    # a delay of 18, 3 nops; the move: 3 - 1 - 1 = 1 nop; the jump: 5 - 1 = 4 nops
    assert kinds(out) == ["Frame"] + ["Nop"] * 4 + ["WaitTrig"] + ["Nop"] * 3 + ["Delay"] + ["Nop"] * 3
    assert kinds(trig.ir_sub) == ["Jmov", "Nop", "JumpImmNormal"] + ["Nop"] * 4
    assert out[9].wait_time == 18
    assert [x.line for x in out[1:5]] == [1] * 4 and [x.line for x in out[6:]] == [2] * 7
    assert [x.line for x in trig.ir_sub] == [3, 3, 4, 4, 4, 4, 4]
    assert all(x.kernel is k for x in out + trig.ir_sub)
