"""Whole default pipeline, rules to translator, through conveyor with a fake
kernel: a trigger-wait program, a run-time if/else, a loop, a DDR program and
programs the checkers refuse."""
import numpy as np
import pytest

from tarvok.zelvo import _ir

conveyor_module = pytest.importorskip("tarvok.zelvo._conveyor", reason="the pipeline module is not built here")
pytest.importorskip("tarvok.zelvo._rules", reason="the rules module is not built here")
pytest.importorskip("tarvok.zelvo._checkers", reason="the checkers module is not built here")
from reference.pipeline import PipelineKernel, default_passes  # noqa: E402
from tarvok.zelvo import _errors  # noqa: E402


@pytest.fixture
def k():
    return PipelineKernel(default_passes(ours=True))


def run(k, program):
    k.instruction_list = program
    before = list(program)
    out = conveyor_module.conveyor(k)
    assert k.instruction_list == before
    return out


def heads(text):
    """The mnemonic of every line ("" for a blank text), checking the numbering."""
    lines = text.split("\n")
    width = lines[0].index("# seq idx tag ")
    for n, line in enumerate(lines):
        assert line[width:] == f"# seq idx tag {n}"
    return [line[:width].split(" ")[0] for line in lines]


def nops(n):
    return ["nop"] * n


def envelope(k, n):
    return _ir.IREnvelope(np.linspace(0, 0.5, n), kernel=k)


def play(k, env, amp=0.5):
    return _ir.IRPlayImm(0, env, amp, 0, 1e8, 0.0, kernel=k)


def test_trigger_wait_program(k):
    e = envelope(k, 64)
    f = _ir.IRFrame(1e8, 0.0, 0, kernel=k)
    p1, p2, p3 = play(k, e), play(k, e), play(k, e)
    program = [e, f, _ir.IRWaitTrig(kernel=k), p1, _ir.IRWait(1e-7, kernel=k), p2, _ir.IRWaitTrig(kernel=k), p3]
    env, wave, freqs, demod, text = run(k, program)
    assert np.array_equal(env, e.envelope) and wave == freqs == demod == []
    # Each play waits its two blocks; the wait of 25 cycles is a delay of 18
    # after the next play's overhead; each trigger wait takes three cycles.
    assert heads(text) == (["fmsi"] + nops(4) + ["wtg"] + nops(3) + ["plyi"] + nops(2) + ["witi"] + nops(3) +
                           ["plyi"] + nops(2) + ["wtg"] + nops(3) + ["plyi"] + nops(2) + ["jali"] + nops(3))
    lines = text.split("\n")
    assert lines[12].startswith("witi 18 ") and lines[26].startswith("jali $0 ")
    assert p1.amp == p2.amp == 16384  # rounded half to even
    assert lines[9].startswith(str(p1) + " ") and " 0 2 16384 " in lines[9]
    assert (p1.real_wait_time, p2.real_wait_time, program[4].real_wait_time, program[2].real_wait_time) == \
        (4, 4, 23, -2)


def branch_program(k):
    e, e2 = envelope(k, 64), envelope(k, 256)
    j = _ir.IRJumpConditional(2, 1, 2, kernel=k)
    inside = _ir.IRJumpInside()
    land_if, land_end = _ir.IRPlaceholder(), _ir.IRPlaceholder()
    land_if.tag, land_end.tag = j.tag, inside.tag
    else_play, if_play = play(k, e2), play(k, e2)
    program = [e, e2, _ir.IRFrame(1e8, 0.0, 0, kernel=k), _ir.IRWaitTrig(kernel=k), play(k, e), j, else_play,
               inside, land_if, if_play, land_end]
    return program, j, inside, if_play


def test_run_time_if_else(k):
    program, j, inside, if_play = branch_program(k)
    env, *_, text = run(k, program)
    assert env.size == 320
    assert heads(text) == (["fmsi"] + nops(4) + ["wtg"] + nops(3) + ["plyi"] + nops(2) + ["beqi"] + nops(4) +
                           ["plyi"] + nops(4) + ["jali"] + nops(3) + ["plyi", "witi"] + nops(3) + nops(2) +
                           ["jali"] + nops(3))
    lines = text.split("\n")
    # The jump lands on the if part, the else part's jump after it.
    assert lines[12].startswith("beqi %A2 0xae020001 $26 ") and lines[22].startswith("jali $31 ")
    assert if_play.tag == j.tag and k.instr_target_map[j.tag] == 26 and k.instr_target_map[inside.tag] == 31
    assert lines[26].startswith("plyi 0 2 8 ")


def test_intra_jump_form(k):
    k.compile_params["intra_enable"] = True
    program, j, _, _ = branch_program(k)
    text = run(k, program)[4]
    line = text.split("\n")[12]
    assert j.intra_enable is True and line.startswith("jeqi 0x00000001 $") and j.overhead == 4


def test_loop(k):
    e = envelope(k, 64)
    top = _ir.IRPlaceholder()
    w = _ir.IRWaitTrig(kernel=k)
    back = _ir.IRJumpImmNormal(top, kernel=k)
    program = [e, _ir.IRFrame(1e8, 0.0, 0, kernel=k), top, w, play(k, e), back]
    text = run(k, program)[4]
    assert heads(text) == (["fmsi"] + nops(4) + ["wtg"] + nops(3) + ["plyi"] + nops(1) + ["jali"] + nops(4) +
                           ["jali"] + nops(3))
    # The loop's landing place hands its tag to the trigger wait.
    assert text.split("\n")[11].startswith("jali $5 ") and w.tag == top.tag


def test_ddr_program(k):
    # At 8 samples a nanosecond a DDR play's delay has no step; at 2 it has.
    k.compile_params["da_srate"] = 2e9
    a = _ir.IRArbWaveform("a", np.zeros(320))
    p1, p2, p3 = (_ir.IRPlayDDRImm(a, kernel=k) for _ in range(3))
    program = [a, _ir.IRFrame(1e8, 0.0, 0, kernel=k), _ir.IRWaitTrig(kernel=k), _ir.IRLoadDDRImm(a, kernel=k), p1,
               _ir.IRWait(1e-6, kernel=k), p2, _ir.IRWaitTrig(kernel=k), p3]
    text = run(k, program)[4]
    # The trigger waits are opened and the wait folded into the play after it.
    assert heads(text) == ([""] + ["fmsi"] + nops(4) + ["lodiddr"] + nops(2) + ["plyiddr", "wnt"] + nops(6) +
                           ["plyiddr", "wnt"] + nops(6) + ["plyiddr", "wnt"] + nops(6) + ["jali"] + nops(3))
    assert (p1.mode, p2.mode, p3.mode) == (1, 2, 1) and p2.wave_delay == 1e-6 and p1.b_width == 2
    # 640 bytes in one block of 32768; 1 us in delay steps of 2 ns.
    assert text.split("\n")[17].startswith("plyiddr 0, 640, 1, 500, 2, 0, 0 ")


def test_ddr_program_with_a_branch_before_a_trigger_block(k):
    # The opened trigger-wait block follows the jump's padding at the top
    # level: it comes after the jump's block, each play once.
    k.compile_params["da_srate"] = 2e9
    a = _ir.IRArbWaveform("a", np.zeros(320))
    plays = [_ir.IRPlayDDRImm(a, kernel=k) for _ in range(4)]
    j = _ir.IRJumpConditional(2, 1, 2, kernel=k)
    inside = _ir.IRJumpInside()
    land_if, land_end = _ir.IRPlaceholder(), _ir.IRPlaceholder()
    land_if.tag, land_end.tag = j.tag, inside.tag
    program = [a, _ir.IRFrame(1e8, 0.0, 0, kernel=k), _ir.IRWaitTrig(kernel=k), plays[0], j, plays[1], inside,
               land_if, plays[2], land_end, _ir.IRWaitTrig(kernel=k), plays[3]]
    text = run(k, program)[4]
    mnemonics = heads(text)
    at = [n for n, m in enumerate(mnemonics) if m == "plyiddr"]
    jump = mnemonics.index("beqi")
    assert len(at) == 4 and at[0] < jump < at[1] < at[2] < at[3]
    assert text.split("\n")[jump].startswith(f"beqi %A2 0xae020001 ${at[2]} ")
    assert [p.mode for p in plays] == [1, 0, 0, 1]


@pytest.mark.parametrize("fault, cls, message", [
    ("amp", _errors.PlayError, "[error 0x1000]-PlayError Play-Wave has a playback amplitude of more than 1"),
    ("short", _errors.TimingError, "[error 0x1000]-TimingError Instructions can not arrange"),
    ("captures", _errors.TimingError, "[error 0x1001]-TimingError Two consecutive capture is forbidden"),
])
def test_checker_error_stops_the_run(k, fault, cls, message):
    e = envelope(k, 64)
    p = play(k, e, amp=1.5 if fault == "amp" else 0.5)
    program = [e, _ir.IRFrame(1e8, 0.0, 0, kernel=k), _ir.IRWaitTrig(kernel=k), p]
    if fault == "short":  # an else part's play cut short by its jump
        program, *_ = branch_program(k)
        program[6] = p
    if fault == "captures":
        program += [_ir.IRCapture([1e8], 6.4e-8, 0.0, 1.6e-8, kernel=k),
                    _ir.IRCapture([1e8], 6.4e-8, 0.0, 1.6e-8, kernel=k)]
    k.instruction_list = program
    before = list(program)
    with pytest.raises(cls) as err:
        conveyor_module.conveyor(k)
    assert str(err.value) == message and k.instruction_list == before
    # Neither the optimizers nor the translator ran.
    assert p.amp in (49150.5, 16383.5) and k.instr_target_map == {}
