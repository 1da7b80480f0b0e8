"""Event jump, the two loops, the back jump and the landing mark."""
import numpy as np
import pytest

from tarvok.zelvo import _ir

SIM = _ir.SimulationIR.SimIRType


def nop():
    return _ir.IRNop()


# factory (target given), line once resolved to position 4, overhead, wait_time, bases, sim flag
JUMPS = [
    (lambda t, **kw: _ir.IRJumpEvent(3, "ev0", t, **kw), "beqi %A3 ev0 $", 1, 5,
     (_ir.JumpImmIR, _ir.FixIR), None),
    (lambda t, **kw: _ir.IRNativeLoop(10, t, **kw), "lopi 10 $", 1, 7,
     (_ir.JumpImmIR, _ir.OverlapIR, _ir.SimulationIR), SIM.LOOP),
    (lambda t, **kw: _ir.IRLoop(10, t, **kw), "lopi 10 $", 1, 6,
     (_ir.JumpImmIR, _ir.OverlapIR, _ir.SimulationIR), SIM.LOOP),
    (lambda t, **kw: _ir.IRJumpImmNormal(t, **kw), "jali $", 1, 5,
     (_ir.JumpImmIR, _ir.FixIR, _ir.SimulationIR), SIM.JUMP),
]


@pytest.mark.parametrize("make, prefix, overhead, wait, bases, flag", JUMPS)
def test_jump_resolution_and_costs(make, prefix, overhead, wait, bases, flag, make_kernel, lookup_fails):
    t = nop()
    j = make(t)
    assert type(j).__bases__ == bases and j.target is t and j.cmd_idx == 0 and j.kernel is None
    assert (j.overhead, j.wait_time) == (overhead, wait)
    # No kernel: position 0 and the target is never read.
    assert str(j) == prefix + "0"
    j.target = None
    assert str(j) == prefix + "0" and len(j) == len(prefix) + 1
    j.target = t
    k = make_kernel()
    j.kernel = k
    assert str(j) == prefix + "-1" and j.cmd_idx == -1
    k.instr_target_map[t.tag] = 4
    assert str(j) == prefix + "4" and format(j, ">20") == (prefix + "4").rjust(20)
    k.instr_target_map = {t.tag: 2**70}
    assert str(j) == prefix + str(2**70)
    # _pack_cmd alone prints the last resolution.
    j.cmd_idx = 8
    assert j._pack_cmd() == prefix + "8"
    # A kernel without a map, or a target without a tag: the lookup's error.
    lookup_fails(j, k, 8)
    for name in ("overhead", "wait_time") + (("duration",) if flag is not None else ()):
        with pytest.raises(AttributeError):
            setattr(j, name, 1)
    if flag is None:
        assert not any(hasattr(j, n) for n in ("duration", "sim_data", "sim_ir_type"))
    else:
        assert j.sim_ir_type is flag and j.duration == 0 and j.sim_data().shape == (0,)
        assert not hasattr(j, "irhead")


@pytest.mark.parametrize("make, prefix, overhead, wait, bases, flag", JUMPS)
def test_jump_keywords(make, prefix, overhead, wait, bases, flag, kernel):
    t = nop()
    kernel.instr_target_map[t.tag] = 1
    j = make(t, kernel=kernel, unknown=5)
    assert j.kernel is kernel and not hasattr(j, "unknown") and str(j) == prefix + "1"
    assert j.tag != make(t).tag and len(j.tag) == 10


def test_event_jump_fields(kernel):
    t = nop()
    kernel.instr_target_map[t.tag] = 4
    e = _ir.IRJumpEvent(register_idx=2, event_str="e1", target=t, jumpaddr=99, kernel=kernel)
    assert (e.idx, e.event_str, e.target, e.jumpaddr, e.irhead) == (2, "e1", t, 99, 1)
    assert str(e) == "beqi %A2 e1 $4"
    assert _ir.IRJumpEvent(2, "e1", t).jumpaddr == 0


def test_loops_differ_only_in_wait_time(kernel):
    t = nop()
    kernel.instr_target_map[t.tag] = 12
    a, b = _ir.IRNativeLoop(5, t, kernel=kernel), _ir.IRLoop(count=5, target=t, kernel=kernel)
    assert str(a) == str(b) == "lopi 5 $12" and (a.wait_time, b.wait_time) == (7, 6)
    assert (a.count, b.count) == (5, 5)


@pytest.mark.parametrize("count, text", [
    (2.5, "2.5"), (1e20, "1e+20"), ("%A1", "%A1"), (np.int32(3), "3"), (None, "None"), (True, "True"),
])
def test_fields_print_as_str(count, text):
    assert str(_ir.IRLoop(count, nop())) == f"lopi {text} $0"
    assert str(_ir.IRJumpEvent(count, count, nop())) == f"beqi %A{text} {text} $0"


def test_fields_use_str_not_format():
    class Shown:
        def __str__(self):
            return "S"

        def __format__(self, spec):
            return "F"

    assert str(_ir.IRJumpEvent(Shown(), Shown(), None)) == "beqi %AS S $0"


def test_placeholder(kernel):
    p = _ir.IRPlaceholder()
    assert type(p).__bases__ == (_ir.FakeIR, _ir.SimulationIR)
    assert str(p) == " " and len(p) == 1 and bool(p)
    assert (p.overhead, p.wait_time, p.duration, p.irhead) == (1, 3, 0, 0)
    assert p.sim_ir_type is SIM.IGNORE and p.kernel is None and not hasattr(p, "target")
    p2 = _ir.IRPlaceholder(kernel=kernel, x=1)
    assert p2.kernel is kernel and str(p2) == " " and p2.tag != p.tag
    p2.kernel = None  # reads nothing
    assert str(p2) == " "


def test_closing_jump_returns_to_start():
    j = _ir.IRJumpImmNormal(_ir.IRNop())
    assert str(j) == "jali $0" and repr(j) == f"<IRJumpImmNormal: {j.tag}>: jali $0"


@pytest.mark.parametrize("call, message", [
    (lambda: _ir.IRJumpEvent(1, 2), "__init__() takes at least 4 positional arguments (3 given)"),
    (lambda: _ir.IRJumpEvent(1, 2, 3, 4, 5), "__init__() takes at most 5 positional arguments (6 given)"),
    (lambda: _ir.IRNativeLoop(1), "__init__() takes exactly 3 positional arguments (2 given)"),
    (lambda: _ir.IRLoop(1, 2, 3), "__init__() takes exactly 3 positional arguments (4 given)"),
    (lambda: _ir.IRJumpImmNormal(), "__init__() takes exactly 2 positional arguments (1 given)"),
    (lambda: _ir.IRPlaceholder(1), "__init__() takes exactly 1 positional argument (2 given)"),
])
def test_wrong_argument_counts(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def translate(flat, kernel):
    """What the translator does before it takes the text: drop landing marks,
    hand their tag to the next instruction, number from 0 (later wins), give
    the map to every instruction and merge it into the kernel's map."""
    program, pending = [], []
    for ir in flat:
        if isinstance(ir, _ir.IRPlaceholder):
            pending.append(ir.tag)
            continue
        for tag in pending:
            ir.tag = tag
        pending = []
        program.append(ir)
    index = {ir.tag: i for i, ir in enumerate(program)}
    kernel.instr_target_map.update(index)
    for ir in program:
        ir.index_map = index
    return [str(ir) for ir in program]


def test_endless_loop_and_runtime_if_layout(kernel):
    # while True: <a> <b>
    mark = _ir.IRPlaceholder()
    a, b = _ir.IRMov(1, 1), _ir.IRMov(2, 2)
    back = _ir.IRJumpImmNormal(mark, kernel=kernel)
    # if r == 1: <c> else: <d>
    cond = _ir.IRJumpConditional(0, 1, 2, kernel=kernel)
    d, inside = _ir.IRMov(3, 3), _ir.IRJumpInside()
    land_if, c, land_end = _ir.IRPlaceholder(), _ir.IRMov(4, 4), _ir.IRPlaceholder()
    land_if.tag, land_end.tag = cond.tag, inside.tag
    tail = _ir.IRNop()
    closing = _ir.IRJumpImmNormal(_ir.IRNop())
    lines = translate([_ir.IRNop(), mark, a, b, cond, d, inside, land_if, c, land_end, tail, back, closing],
                      kernel)
    assert lines == ["nop", "movi %A1 1", "movi %A2 2", "beqi %A0 0xae020001 $6", "movi %A3 3",
                     "jali $7", "movi %A4 4", "nop", "jali $1", "jali $0"]
