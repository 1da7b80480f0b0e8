"""Trigger wait, immediate / timing jumps, timing placeholder, conditional jump
and the inner jump of a run-time if."""
import numpy as np
import pytest
from hypothesis import given, strategies as st

from tarvok.zelvo import _ir


def target():
    return _ir.IRNop()


# class factory, fresh line (no kernel, empty index_map), overhead, wait_time, irhead, categories
@pytest.mark.parametrize("make, line, overhead, wait, irhead, cats", [
    (lambda: _ir.IRWaitTrig(), "wtg", 4, 20, 1, (_ir.UnfixIR, _ir.SimulationIR)),
    (lambda: _ir.IRJumpImmediate(7), "jali $7", 4, 10, 0, (_ir.UnfixIR,)),
    (lambda: _ir.IRJumpImmediate(-3), "jali $-3", 4, 10, 0, (_ir.UnfixIR,)),
    (lambda: _ir.IRJumpImmediate(idx=2**70), f"jali ${2**70}", 4, 10, 0, (_ir.UnfixIR,)),
    (lambda: _ir.IRJumpImmTiming(target()), "jali $0", 4, 10, 0, (_ir.JumpImmIR, _ir.UnfixIR)),
    (lambda: _ir.IRJumpImmTiming(None), "jali $0", 4, 10, 0, (_ir.JumpImmIR, _ir.UnfixIR)),
    (lambda: _ir.IRTimingPlaceholder(), " ", 1, 3, 1, (_ir.UnfixIR, _ir.FakeIR)),
    (lambda: _ir.IRJumpConditional(2, 26, 3, 17), "beqi %A2 0xae03001a $None", 5, 6, 1, (_ir.UnfixIR,)),
    (lambda: _ir.IRJumpInside(), "jali $None", 1, 4, 1, (_ir.OverlapIR,)),
])
def test_lines_costs_and_categories(make, line, overhead, wait, irhead, cats):
    ir = make()
    assert str(ir) == line and format(ir, "") == line and len(ir) == len(line)
    assert (ir.overhead, ir.wait_time, ir.irhead) == (overhead, wait, irhead)
    assert type(ir.overhead) is int and type(ir.wait_time) is int
    assert type(ir).__bases__ == cats
    assert ir.ir_sub == [] if isinstance(ir, _ir.UnfixIR) else not hasattr(ir, "ir_sub")
    assert not isinstance(ir, _ir.FixIR)
    for name in ("overhead", "duration")[:1 + hasattr(type(ir), "duration")]:
        with pytest.raises(AttributeError):
            setattr(ir, name, 1)
    if not isinstance(ir, _ir.IRWaitTrig):
        with pytest.raises(AttributeError):
            ir.wait_time = 1


def test_timing_jump_is_not_exported():
    assert "IRJumpImmTiming" not in _ir.__all__ and _ir.IRJumpImmTiming.__module__ == "tarvok.zelvo._ir"
    ns = {}
    exec("from tarvok.zelvo._ir import *", ns)
    assert "IRJumpImmTiming" not in ns and "IRJumpConditional" in ns


def test_wait_trig_fields_and_assignable_wait_time(kernel):
    w = _ir.IRWaitTrig(kernel=kernel, other=1)
    assert w.kernel is kernel and not hasattr(w, "other")
    assert (w._wait_time, w.duration, w.sim_ir_type) == (20, 0, _ir.SimulationIR.SimIRType.WAIT)
    assert w.sim_data().dtype == np.float64 and w.sim_data(1, x=2).shape == (0,)
    assert (w.real_wait_time, w.line, w.index_map) == (0, 0, {})
    for value in (0, 12.5, "x", None, 2**80):
        w.wait_time = value
        assert w.wait_time is value and w._wait_time is value and w.duration == 0
    assert str(w) == "wtg"
    with pytest.raises(AttributeError):
        del w.wait_time
    # Two trigger waits own separate blocks.
    other = _ir.IRWaitTrig()
    other.fetch_ir(w)
    assert w.ir_sub == [] and other.ir_sub == [w]


@pytest.mark.parametrize("given, stored", [
    (7, 7), (7.9, 7), (-7.9, -7), (True, 1), (np.int16(5), 5), (np.float64(3.5), 3), (2**70, 2**70),
])
def test_jump_immediate_converts_idx(given, stored):
    j = _ir.IRJumpImmediate(given)
    assert j.idx == stored and type(j.idx) is int
    assert str(j) == f"jali ${stored}" and j.kernel is None and j.ir_sub == []


@pytest.mark.parametrize("call, error, message", [
    (lambda: _ir.IRJumpImmediate("7"), TypeError,
     "Argument 'idx' has incorrect type (expected int, got str)"),
    (lambda: _ir.IRJumpImmediate(None), TypeError,
     "Argument 'idx' has incorrect type (expected int, got NoneType)"),
    (lambda: _ir.IRJumpImmediate([1]), TypeError,
     "Argument 'idx' has incorrect type (expected int, got list)"),
    (lambda: _ir.IRJumpImmediate(1 + 2j), TypeError,
     "int() argument must be a string, a bytes-like object or a real number, not 'complex'"),
    (lambda: _ir.IRJumpImmediate(float("inf")), OverflowError, "cannot convert float infinity to integer"),
    (lambda: _ir.IRJumpImmediate(float("nan")), ValueError, "cannot convert float NaN to integer"),
    (lambda: _ir.IRJumpImmediate(7, kernel=object()), TypeError,
     "__init__() got an unexpected keyword argument 'kernel'"),
    (lambda: _ir.IRJumpImmediate(), TypeError, "__init__() takes exactly 2 positional arguments (1 given)"),
    (lambda: _ir.IRJumpImmediate(1, 2), TypeError, "__init__() takes exactly 2 positional arguments (3 given)"),
    (lambda: _ir.IRJumpImmTiming(), TypeError, "__init__() takes exactly 2 positional arguments (1 given)"),
    (lambda: _ir.IRWaitTrig(1), TypeError, "__init__() takes exactly 1 positional argument (2 given)"),
    (lambda: _ir.IRTimingPlaceholder(1), TypeError, "__init__() takes exactly 1 positional argument (2 given)"),
    (lambda: _ir.IRJumpInside(1), TypeError, "__init__() takes exactly 1 positional argument (2 given)"),
    (lambda: _ir.IRJumpConditional(1, 2), TypeError, "__init__() takes at least 4 positional arguments (3 given)"),
    (lambda: _ir.IRJumpConditional(1, 2, 3, 4, 5), TypeError,
     "__init__() takes at most 5 positional arguments (6 given)"),
])
def test_constructor_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert type(info.value) is error and str(info.value) == message


def test_conditional_fields_and_forms(kernel):
    c = _ir.IRJumpConditional(2, 26, 3, 17, kernel=kernel, unknown=0)
    assert (c.idx, c.result, c.feedback_chnl, c.jumpaddr, c.irhead) == (2, 26, 3, 17, 1)
    assert c.intra_enable is False and c.kernel is kernel and not hasattr(c, "unknown")
    assert _ir.IRJumpConditional(1, 2, 3).jumpaddr == 0
    # _pack_cmd alone prints what jumpaddr holds; rendering resolves it first.
    assert c._pack_cmd() == "beqi %A2 0xae03001a $17"
    c.index_map = {c.tag: 17}
    assert str(c) == "beqi %A2 0xae03001a $17" and c.overhead == 5 and c.wait_time == 6
    c.intra_enable = True
    assert str(c) == "jeqi 0x0000001A $17" and c.overhead == 4 and c.wait_time == 6
    for truth, form, overhead in ((1, "jeqi", 4), ("", "beqi", 5), ([0], "jeqi", 4), (np.bool_(False), "beqi", 5)):
        c.intra_enable = truth
        assert str(c).startswith(form) and c.overhead == overhead
    c.intra_enable = np.array([1, 2])
    with pytest.raises(ValueError):
        c.overhead
    with pytest.raises(ValueError):
        str(c)


def beqi(idx, result, fb, addr):
    return f"beqi %A{idx} 0xae{hex(fb)[2:].zfill(2)}{hex(result)[2:].zfill(4)} ${addr}"


def jeqi(result, addr):
    return f"jeqi 0x{format(result, '08X')} ${addr}"


def wide(field, value, digits, form):
    """The refusal of a field value that its form cannot hold."""
    top = "0x" + ("F" if form == "jeqi" else "f") * digits
    return ValueError, (f"the conditional jump's {field} {value} does not fit the {digits} hexadecimal digits of "
                        f'its "{form}" form (0 to {top})')


@pytest.mark.parametrize("idx, result, fb, beqi_line, jeqi_line", [
    (2, 26, 3, "beqi %A2 0xae03001a $9", "jeqi 0x0000001A $9"),
    (0, 0, 0, "beqi %A0 0xae000000 $9", "jeqi 0x00000000 $9"),
    (1, 255, 1, "beqi %A1 0xae0100ff $9", "jeqi 0x000000FF $9"),
    (1, 0xFFFF, 0xFF, "beqi %A1 0xaeffffff $9", "jeqi 0x0000FFFF $9"),
    (1, 0xFFFFFFFF, 0, wide("result", 0xFFFFFFFF, 4, "beqi"), "jeqi 0xFFFFFFFF $9"),
    # a value wider than its field would run into the next one; a negative one has no digits of meaning
    (1, 74565, 16, wide("result", 74565, 4, "beqi"), "jeqi 0x00012345 $9"),
    (1, 2**32, 256, wide("result", 2**32, 4, "beqi"), wide("result", 2**32, 8, "jeqi")),
    (1, 7, 256, wide("feedback_chnl", 256, 2, "beqi"), "jeqi 0x00000007 $9"),   # jeqi prints no channel
    (1, 2**70, 0, wide("result", 2**70, 4, "beqi"), wide("result", 2**70, 8, "jeqi")),
    (1, -5, -1, wide("result", -5, 4, "beqi"), wide("result", -5, 8, "jeqi")),
    (1, 5, -1, wide("feedback_chnl", -1, 2, "beqi"), "jeqi 0x00000005 $9"),
    (1, np.int64(-2**40), 0, wide("result", -2**40, 4, "beqi"), wide("result", -2**40, 8, "jeqi")),
    ("r", True, np.int64(10), "beqi %Ar 0xae0a0001 $9", "jeqi 0x00000001 $9"),
])
def test_conditional_hex_fields(idx, result, fb, beqi_line, jeqi_line):
    c = _ir.IRJumpConditional(idx, result, fb)
    c.index_map = {c.tag: 9}
    for intra, expected in ((False, beqi_line), (True, jeqi_line)):
        c.intra_enable = intra
        if isinstance(expected, str):
            assert str(c) == expected
            continue
        error, message = expected
        with pytest.raises(error) as info:
            str(c)
        assert str(info.value) == message
    assert c.jumpaddr == 9


@given(st.integers(min_value=-2**80, max_value=2**80), st.integers(min_value=-2**70, max_value=2**70),
       st.integers(min_value=-10, max_value=10**6))
def test_conditional_matches_python_formatting(result, fb, addr):
    c = _ir.IRJumpConditional(addr, result, fb)
    c.index_map = {c.tag: addr}
    if 0 <= result <= 0xFFFF and 0 <= fb <= 0xFF:
        assert str(c) == beqi(addr, result, fb, addr)
    else:
        with pytest.raises(ValueError, match="does not fit"):
            str(c)
    c.intra_enable = True
    if 0 <= result <= 0xFFFFFFFF:
        assert str(c) == jeqi(result, addr)
    else:
        with pytest.raises(ValueError, match="does not fit"):
            str(c)


@pytest.mark.parametrize("name, line, where", [
    (None, 12, ""),                        # a kernel without a name names nothing
    ("rabi", 0, "in kernel rabi: "),
    ("rabi", 12, "in kernel rabi, line 12: "),
])
def test_conditional_refusal_names_its_kernel_and_line(kernel, name, line, where):
    if name:
        kernel.name = name
    c = _ir.IRJumpConditional(0, 2**16, 0, kernel=kernel)
    c.index_map, c.line = {c.tag: 3}, line
    with pytest.raises(ValueError) as info:
        str(c)
    assert str(info.value).startswith(where + "the conditional jump's result 65536 does not fit")


class Bad:
    """A field whose every conversion fails with its own name."""

    def __init__(self, name):
        self.name = name

    def __index__(self):
        raise LookupError(self.name)

    def __format__(self, spec):
        raise LookupError(self.name)

    def __str__(self):
        raise LookupError(self.name)


@pytest.mark.parametrize("intra, idx, result, fb, addr, first", [
    (False, Bad("i"), Bad("r"), Bad("f"), Bad("a"), "r"),
    (False, Bad("i"), 1, Bad("f"), Bad("a"), "f"),
    (False, Bad("i"), 1, 1, Bad("a"), "i"),
    (False, 1, 1, 1, Bad("a"), "a"),
    (True, Bad("i"), Bad("r"), Bad("f"), Bad("a"), "r"),
    (True, Bad("i"), 1, Bad("f"), Bad("a"), "a"),
])
def test_conditional_field_order(intra, idx, result, fb, addr, first):
    c = _ir.IRJumpConditional(idx, result, fb)
    c.intra_enable = intra
    c.index_map = {c.tag: addr}
    with pytest.raises(LookupError) as info:
        str(c)
    assert str(info.value) == first


@pytest.mark.parametrize("intra, result, fb, error, message", [
    (True, 1.5, 0, ValueError, "Unknown format code 'X' for object of type 'float'"),
    (True, "1", 0, ValueError, "Unknown format code 'X' for object of type 'str'"),
    (False, 1.5, 0, TypeError, "'float' object cannot be interpreted as an integer"),
    (False, "1", 0, TypeError, "'str' object cannot be interpreted as an integer"),
    (False, 1, 2.0, TypeError, "'float' object cannot be interpreted as an integer"),
])
def test_conditional_non_integer_fields(intra, result, fb, error, message):
    c = _ir.IRJumpConditional(1, result, fb)
    c.intra_enable = intra
    with pytest.raises(error) as info:
        str(c)
    assert str(info.value) == message
    if intra:  # the feedback channel is not printed in this form
        c.result = 3
        c.feedback_chnl = "x"
        assert str(c) == "jeqi 0x00000003 $None"


@pytest.mark.parametrize("make", [lambda: _ir.IRJumpConditional(1, 2, 3, 99), _ir.IRJumpInside])
def test_own_tag_resolution(make):
    ir = make()
    prefix = str(ir)[:-4]
    assert str(ir) == prefix + "None" and ir.jumpaddr is None
    ir.index_map = {ir.tag: 9, "other": 1}
    assert str(ir) == prefix + "9" and ir.jumpaddr == 9
    ir.index_map[ir.tag] = 2**64
    assert str(ir) == prefix + str(2**64)
    ir.tag = "retagged"
    assert str(ir) == prefix + "None"

    class Lookup:  # any object with get() serves; only get() is used
        def get(self, *key):
            return f"<{','.join(key)}>"

    ir.index_map = Lookup()
    assert str(ir) == prefix + "<retagged>"
    ir.index_map = [1, 2]
    with pytest.raises(AttributeError):
        str(ir)
    ir.index_map = {}
    ir.tag = []
    with pytest.raises(TypeError):
        str(ir)
    # No kernel is consulted.
    ir.tag, ir.kernel, ir.index_map = "t", None, {"t": 4}
    assert str(ir) == prefix + "4"


def test_timing_jump_resolves_through_kernel(make_kernel, lookup_fails):
    t = target()
    j = _ir.IRJumpImmTiming(t, kernel=None)
    assert (j.target, j.cmd_idx) == (t, 0) and str(j) == "jali $0"
    k = make_kernel()
    j.kernel = k
    assert str(j) == "jali $-1" and j.cmd_idx == -1
    k.instr_target_map[t.tag] = 17
    assert str(j) == "jali $17"
    k.instr_target_map = {t.tag: 3}
    assert str(j) == "jali $3"
    j.cmd_idx = 50
    assert j._pack_cmd() == "jali $50"
    lookup_fails(j, k, 50)


def test_python_subclass_of_conditional():
    class Mine(_ir.IRJumpConditional):
        def __init__(self, reg, **kwargs):
            super().__init__(reg, 1, 2, **kwargs)
            self.extra = True

    m = Mine(4, kernel="k")
    assert (m.idx, m.result, m.feedback_chnl, m.kernel, m.extra) == (4, 1, 2, "k", True)
    assert str(m) == "beqi %A4 0xae020001 $None"
