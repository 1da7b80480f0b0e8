"""Every checker against its pure-Python twin over random two-level programs
of real instructions."""
import math

import numpy as np
from hypothesis import given, settings, strategies as st

from checkers_build import Build
from reference import checkers as twins
from tarvok.zelvo import _checkers as ck
from tarvok.zelvo import _ir as ir

B = Build()
values = st.sampled_from([0, 0.5, 1, 1.0001, -2, -32767.5, 32767, 32767.5, 32768, 40000, 1e10, 1.2e10, math.nan, 2 ** 70])


@st.composite
def instruction(draw, top):
    kind = draw(st.sampled_from(["play", "frame", "prot", "wave", "capture", "rst", "wait", "delay", "nop",
                                 "ddr", "env", "points", "overlap"] + (["trig", "jump"] if top else [])))
    if kind == "play":
        p = B.play(draw(st.sampled_from([0, 31, 32, 63, 64, 96, 320])))
        p.amp = draw(values)
        return p
    if kind == "frame":
        return B.frame(draw(values))
    if kind == "prot":
        x = B.prot(0j)
        x.rotation_real, x.rotation_imag = draw(values), draw(values)
        return x
    if kind == "wave":
        return B.waveform(np.zeros(draw(st.sampled_from([(2, 3), (3, 3), (2,), (5,)]))))
    if kind == "capture":
        return B.capture(draw(st.sampled_from([1.6e-8, 2e-8, 3.2e-8, 1.60000004e-8, 16.5e-9, 0.0])))
    if kind == "env":
        return ir.IREnvelope(np.full(draw(st.sampled_from([0, 3, 70000])), draw(st.sampled_from([0.5, 1, 1.5]))))
    if kind in ("trig", "jump"):
        block = draw(st.lists(instruction(top=False), max_size=6))
        return B.trig(*block) if kind == "trig" else B.jump(*block)
    return {"rst": ir.IRFrameRst, "wait": B.wait, "delay": B.delay, "nop": ir.IRNop, "ddr": B.ddr,
            "points": lambda: ir.IRWaitPoints(32, kernel=B.kernel), "overlap": lambda: ir.IRNsw(0)}[kind]()


@settings(max_examples=300, deadline=None)
@given(st.lists(instruction(top=True), max_size=10))
def test_every_checker_matches_its_twin(lst):
    for name, twin in twins.TWINS.items():
        ours, theirs = outcome(getattr(ck, name)().check_ir, lst), outcome(twin().check_ir, lst)
        if isinstance(theirs, type):
            assert ours is theirs, name
        else:
            assert twins.same(ours, theirs), name


def outcome(fn, arg):
    try:
        return fn(arg)
    except Exception as e:  # noqa: BLE001 - compared by class
        return type(e)
