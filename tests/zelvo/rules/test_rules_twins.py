"""The nine default rules against their pure-Python twins (reference/rules.py)
over random flat programs of real instructions: the same schedule, the same
real wait times, lines, kernels, fields and blocks."""
import numpy as np
from hypothesis import given, settings, strategies as st

from reference import rules as twins
from tarvok.zelvo import _ir

KINDS = ["trig", "jump", "timing", "place", "inside", "play", "ddr", "load", "wait", "delay", "capture", "nsw",
         "jmov", "rst", "fadd", "loop", "add", "nop", "mov", "frame", "env", "envq", "back"]


def make(kind, value, envs, arb, landing):
    if kind == "trig":
        return _ir.IRWaitTrig()
    if kind == "jump":
        return _ir.IRJumpConditional(1, 1, 1)
    if kind == "timing":
        return _ir.IRTimingPlaceholder()
    if kind == "place":
        return _ir.IRPlaceholder()
    if kind == "inside":
        return _ir.IRJumpInside()
    if kind == "play":
        return _ir.IRPlayImm(0, envs[value % len(envs)], 1, 0, 1e8, 0.0)
    if kind == "ddr":
        return _ir.IRPlayDDRImm(arb)
    if kind == "load":
        return _ir.IRLoadDDRImm(arb)
    if kind == "wait":
        return _ir.IRWait(value * 2e-9)
    if kind == "delay":
        return _ir.IRDelay(value * 4e-9)
    if kind == "capture":
        return _ir.IRCapture([0], 1e-6, 0, 5e-7)
    if kind in ("nsw", "jmov"):
        return (_ir.IRNsw if kind == "nsw" else _ir.IRJmov)(value)
    if kind == "rst":
        return _ir.IRFrameRst()
    if kind == "fadd":
        return _ir.IRFrameAdd([0], 1e6, 0.1)
    if kind == "loop":
        return _ir.IRLoop(value, landing)
    if kind == "add":
        return _ir.IRAdd()
    if kind == "nop":
        return _ir.IRNop()
    if kind == "mov":
        return _ir.IRMov(1, value)
    if kind == "frame":
        return _ir.IRFrame(1e8, 0, 0)
    if kind == "env":
        return _ir.IREnvelope(np.linspace(0, 1, 8 * (value % 5)))
    if kind == "envq":
        return _ir.IREnvelope(np.linspace(0, 1, value % 40), np.linspace(-1, 0, value % 40))
    return _ir.IRJumpImmNormal(landing)


def build(spec, rules, align, width, srate):
    k = twins.Kernel("k", rules)
    other = twins.Kernel("other", rules)
    for kern in (k, other):
        kern.compile_params.update(trig_align_time=align, ddr_play_bwidth=width, da_srate=srate)
    envs = [_ir.IREnvelope(np.zeros(n)) for n in (32, 64)]
    arb = _ir.IRArbWaveform("w", np.zeros(64))
    landing = _ir.IRPlaceholder()
    program = list(envs)
    for line, (kind, value, foreign) in enumerate(spec, start=1):
        ir = make(kind, value, envs, arb, landing)
        ir.line, ir.kernel = line, other if foreign else k
        program.append(ir)
    for ir in envs:
        ir.kernel = k
    k.instruction_list = program
    return k


@settings(max_examples=150, deadline=None)
@given(st.lists(st.tuples(st.sampled_from(KINDS), st.integers(0, 60), st.booleans()), max_size=40),
       st.integers(0, 40), st.integers(1, 4), st.sampled_from([8e9, 4e9, 1.2e10]))
def test_the_default_rules_schedule_as_their_twins(spec, align, width, srate):
    ours = twins.signature(twins.run_rules(twins.OURS, build(spec, twins.OURS, align, width, srate)))
    pure = twins.signature(twins.run_rules(twins.PURE, build(spec, twins.PURE, align, width, srate)))
    assert ours == pure
