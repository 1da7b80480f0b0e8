"""The kernel functions: each builds the instruction it names from its
positional arguments."""
import numpy as np
import pytest

from tarvok.zelvo import _functions as fn
from tarvok.zelvo import _ir

ENV = np.ones(64)
WAVE = _ir.IRArbWaveform("w", np.zeros(4))

CASES = [
    ("frame", (1e8, 0.5, 3), _ir.IRFrame, {"freq": 1e8, "phase": 0.5, "idx": 3}),
    ("frame", (2e8,), _ir.IRFrame, {"freq": 2e8, "phase": 0.0, "idx": 0}),
    ("frame_add", ([1, 2], 1e6, 0.25), _ir.IRFrameAdd, {"frames": [1, 2], "frequency": 1e6, "phase": 0.25}),
    ("frame_reset", (), _ir.IRFrameRst, {}),
    ("envelope", (ENV,), _ir.IREnvelope, {"envelope_type": "ndarray"}),
    ("ins_envelope", (ENV, ENV), _ir.IREnvelope, {"envelope_type": "complex"}),
    ("arb_waveform", ("w", np.zeros(4)), _ir.IRArbWaveform, {"name": "w"}),
    ("waveform", (ENV,), _ir.IRWaveform, {"wave": ENV}),
    ("demodulation", (ENV,), _ir.IRDemodule, {"wave": ENV}),
    ("freq_list", ((1e8, 2e8),), _ir.IRFreqlist, {"freq_list": [1e8, 2e8]}),
    ("wait_trig", (), _ir.IRWaitTrig, {}),
    ("wait", (1e-6,), _ir.IRWait, {"width": 1e-6}),
    ("delay", (2e-6,), _ir.IRDelay, {"width": 2e-6}),
    ("capture", ([1], 1e-6), _ir.IRCapture, {"fre": [1], "acq_width": 1e-6, "delay_width": 0.0}),
    ("receive", (3,), _ir.IRNlw, {"feedback_rd_chnl": 3, "idx": 0}),
    ("load_ddr", (WAVE,), _ir.IRLoadDDRImm, {"wave": WAVE}),
    ("play_ddr", (WAVE,), _ir.IRPlayDDRImm, {"wave": WAVE}),
    ("load_event", (2,), _ir.IRLoadEvent, {"reg_idx": 2}),
    ("clear_event", ("e0",), _ir.IRClearEvent, {"event_str": "e0"}),
    ("jump_event", (1, "e1", WAVE), _ir.IRJumpEvent, {"idx": 1, "event_str": "e1", "target": WAVE}),
    ("jump_conditional", (2, 1, 5), _ir.IRJumpConditional, {"idx": 2, "result": 1, "feedback_chnl": 5}),
]


@pytest.mark.parametrize("name, args, cls, fields", CASES, ids=[c[0] + str(i) for i, c in enumerate(CASES)])
def test_function_builds_its_instruction(name, args, cls, fields):
    ins = getattr(fn, name)(*args)
    assert type(ins) is cls and ins.kernel is None
    for field, value in fields.items():
        got = getattr(ins, field)
        assert got is value or got == value


@pytest.mark.parametrize("parts, cls", [((ENV,), _ir.IRPlayImm), ((ENV, ENV), _ir.IRPlaycImm)])
def test_play_plays_a_declared_frame_by_its_number_an_iq_envelope_as_an_iq_play(parts, cls):
    env = fn.envelope(*parts)
    ins = fn.play(fn.frame(1e8, 0.0, 4), env, 0.5)
    assert type(ins) is cls and ins.frame == 4 and ins.envelope is env
    assert ins.amp == 0.5 * 32767 and (ins.bias, ins.freq, ins.phase) == (0, 0.0, 0.0)
    assert fn.play(2, env).frame == 2


@pytest.mark.parametrize("call", [lambda: fn.frame(), lambda: fn.wait(1, 2), lambda: fn.play(1, 2, 3, 4, 5, 6, 7),
                                  lambda: fn.freq_list(3), lambda: fn.capture((1,), 1e-6)])
def test_wrong_arguments_are_python_errors(call):
    with pytest.raises(TypeError):
        call()


@pytest.mark.parametrize("n, ok", [(3, True), (1, True), (2**32 - 1, True), (0, False), (-2, False), (2**32, False),
                                   (2.5, False), ("3", False)])
def test_repeat_counts(n, ok):
    if ok:
        assert fn.repeat(n) == n
    else:
        with pytest.raises((TypeError, ValueError)):
            fn.repeat(n)
