"""Re-assignments: capture, receive and ins_envelope into declared symbols."""
import pytest

from tarvok.zelvo import _ir
from tarvok.zelvo.kernel import Kernel, KernelParseError

HEAD = """def p():
    v: zv.Var = 1
    a: zv.Reg = 0
    r: zv.Reg = 0
    e: zv.Envelope = zv.envelope(np.ones(64))
    f: zv.Frame = zv.frame(1e8)
"""


def body(parse, *lines):
    return parse(HEAD + "".join(f"    {line}\n" for line in lines))


def test_capture_appends_the_capture_and_a_judgement_move(parse):
    k = body(parse, "r = zv.capture([1], 1e-6)")
    cap, jmov = k.instruction_list[-2:]
    assert type(cap) is _ir.IRCapture and cap.line == 7 and cap.kernel is k
    assert type(jmov) is _ir.IRJmov and jmov.idx == 1 and jmov.kernel is k and jmov.line == 0


def test_receive_binds_the_register_and_its_feedback_channel(parse):
    k = body(parse, "r = zv.receive(3)")
    nlw = k.instruction_list[-1]
    assert type(nlw) is _ir.IRNlw and nlw.idx == 1 and str(nlw) == "nlw %A1"
    assert k.register_symbol["feedbackchnl_r"] == 3 and k.register_symbol["feedbackchnl_a"] == 0


def test_ins_envelope_replaces_the_envelope(parse):
    k = body(parse, "e = zv.ins_envelope(np.zeros(32))", "v = zv.ins_envelope(np.zeros(32))")
    new, also = k.instruction_list[-2:]
    assert k.envelope_symbol["e"] is new and k.envelope_symbol["v"] is also
    assert k.var_symbol["v"] == 1 and new.line == 7


@pytest.mark.parametrize("stmt, message", [
    ("a = r = zv.capture([1], 1e-6)", "assign must have only one target"),
    ("u = zv.capture([1], 1e-6)", "Defining a variable requires a variable type"),
    ("f = zv.capture([1], 1e-6)", "Defining a variable requires a variable type"),
    ("a, r = zv.capture([1], 1e-6)", "Defining a variable requires a variable type"),
    ("v.x = zv.capture([1], 1e-6)", "Defining a variable requires a variable type"),
    ("v = 5", "Unallowed variable declaration"),
    ("v = f(1)", "Unallowed variable declaration"),
    ("v = zv.frame(1e8)", "Unallowed exp declaration"),
    ("v += 1", "Unallowed variable declaration"),
    ("u += 1", "Defining a variable requires a variable type"),
    # A capture or receive needs a register to write.
    ("v = zv.capture([1], 1e-6)", "Defining a variable requires a variable type"),
    ("e = zv.receive(2)", "Defining a variable requires a variable type"),
    ("r = zv.receive(ch)", "Unallowed exp declaration"),
    ("r = zv.receive()", "Unallowed exp declaration"),
    ("r = zv.receive(*[2])", "Unallowed exp declaration"),
    # Failures of the call itself are reported at the call.
    ("r = zv.capture([1], acq=1)", "Function zv.capture could not have keywords"),
    ("r = zv.capture(1e8, 1e-6)", "Function Parse Error, Argument 'freq_list' has incorrect type "
                                  "(expected list, got float)"),
])
def test_refusals_leave_the_list_as_it_was(stmt, message):
    k = Kernel(src=HEAD + f"    zv.IRNop()\n    {stmt}\n")
    with pytest.raises(KernelParseError) as info:
        k.parse()
    segment = stmt[4:] if message.startswith("Function") else stmt
    assert str(info.value) == f'in kernel p, line 8, "{segment}":\n{message}'
    assert type(k.instruction_list[-1]) is _ir.IRNop


def test_unknown_kind_runs_the_call_before_refusing(parse, km, monkeypatch):
    ran = []
    monkeypatch.setattr(km, "probe", lambda: ran.append(1), raising=False)
    with pytest.raises(KernelParseError, match="Unallowed exp declaration$"):
        body(parse, "v = zv.probe()")
    assert ran == [1]
