"""nop, register load, register transfers, events and the register addition."""
import numpy as np
import pytest

from tarvok.zelvo import _ir


@pytest.mark.parametrize("make, line, overhead, wait", [
    (lambda: _ir.IRNop(), "nop", 1, 1),
    (lambda: _ir.IRMov(3, 5), "movi %A3 5", 1, 1),
    (lambda: _ir.IRMov(0, 2.0), "movi %A0 2.0", 1, 1),
    (lambda: _ir.IRMov(1, -7), "movi %A1 -7", 1, 1),
    (lambda: _ir.IRMov(4, True), "movi %A4 True", 1, 1),
    (lambda: _ir.IRMov("7", "0x10"), "movi %A7 0x10", 1, 1),
    (lambda: _ir.IRMov(value=1e-7, register_idx=2**70), f"movi %A{2**70} 1e-07", 1, 1),
    (lambda: _ir.IRMov(np.int16(3), np.float64(0.5)), "movi %A3 0.5", 1, 1),
    (lambda: _ir.IRNsw(5), "nsw %A5", 1, 2),
    (lambda: _ir.IRNsw(4.0), "nsw %A4.0", 1, 2),
    (lambda: _ir.IRNlw("fb"), "nlw %A0", 1, 3),
    (lambda: _ir.IRJmov(register_idx=7), "jmov %A7", 1, 3),
    (lambda: _ir.IRLoadEvent(reg=2), "elw %A2", 1, 1),
    (lambda: _ir.IRClearEvent("ev 1"), "eclr ev 1", 1, 1),
    (lambda: _ir.IRAdd(), "", 2, 2),
])
def test_lines_and_costs(make, line, overhead, wait, make_kernel):
    ir = make()
    assert str(ir) == ir._pack_cmd() == line
    assert (ir.overhead, ir.wait_time) == (overhead, wait)
    ir.kernel = make_kernel(base_clock=1.0)
    assert str(ir) == line and (ir.overhead, ir.wait_time) == (overhead, wait)
    assert len(ir) == len(line) and bool(ir) is bool(line)


def test_fields_and_kernel_keyword():
    m = _ir.IRMov(3, 5, kernel="k", anything=1)
    assert (m.idx, m.reg_value, m.kernel) == (3, 5, "k") and not hasattr(m, "anything")
    assert _ir.IRLoadEvent(2).reg_idx == 2 and _ir.IRClearEvent("e").event_str == "e"
    n = _ir.IRNlw(feedback_rd_chnl=[1], kernel="k")
    assert (n.idx, n.feedback_rd_chnl, n.kernel) == (0, [1], "k")
    assert n.set_idx(3) is None and str(n) == "nlw %A3"
    n.set_idx(register_idx=9)
    assert str(n) == "nlw %A9"
    assert isinstance(_ir.IRAdd(), _ir.ReconstitutionIR) and not hasattr(_ir.IRAdd(), "duration")


@pytest.mark.parametrize("call, message", [
    (lambda: _ir.IRMov(3), "__init__() takes exactly 3 positional arguments (2 given)"),
    (lambda: _ir.IRMov(3, 4, 5), "__init__() takes exactly 3 positional arguments (4 given)"),
    (lambda: _ir.IRMov(value=3), "__init__() takes exactly 3 positional arguments (1 given)"),
    (lambda: _ir.IRNop(1), "__init__() takes exactly 1 positional argument (2 given)"),
    (lambda: _ir.IRAdd(1), "__init__() takes exactly 1 positional argument (2 given)"),
    (lambda: _ir.IRNsw(), "__init__() takes exactly 2 positional arguments (1 given)"),
    (lambda: _ir.IRNlw(1).set_idx(), "set_idx() takes exactly 2 positional arguments (1 given)"),
])
def test_wrong_calls(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_field_whose_format_fails():
    class NoFormat:
        def __format__(self, spec):
            raise ValueError("no text")

    with pytest.raises(ValueError, match="no text"):
        str(_ir.IRMov(1, NoFormat()))


def test_python_subclass_overrides_are_honoured():
    class Loud(_ir.IRNop):
        def _pack_cmd(self):
            return super()._pack_cmd().upper()

        @property
        def wait_time(self):
            return 4

    ir = Loud()
    assert str(ir) == "NOP" and ir.wait_time == 4 and ir.overhead == 1
