"""A short kernel program built from every kind of IR instruction, printed as a
table of assembly lines and costs.

Positions are given the way the translator gives them: the data carriers, the
waits in seconds and the register addition stay out of the program, each
landing mark hands its tag to the instruction after it, and what is left is
numbered from 0. That map becomes every instruction's index_map and is merged
into the kernel's instr_target_map before any line is rendered."""
import math
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from tarvok.zelvo import _ir  # noqa: E402


class Kernel:
    """The two attributes an instruction reads of its kernel, with the
    kernel's default compile parameters."""

    def __init__(self):
        self.compile_params = {"trig_align_time": 0, "ddr_play_bwidth": 2, "envelope_type": None,
                               "da_srate": 8e9, "ad_srate": 8e9, "base_clock": 4e-9,
                               "target_chnl_type": "da", "intra_enable": False}
        self.instr_target_map = {}


k = Kernel()
clock = k.compile_params["base_clock"]

# set-up: frames, readout settings, envelopes and data carriers, registers
envelopes = [_ir.IREnvelope(np.hanning(128), kernel=k),
             _ir.IREnvelope(np.hanning(64), np.zeros(64), kernel=k)]
start = 0
for env in envelopes:  # back to back from 0, as the envelope rule places them (whole blocks already)
    env.envelope_slice = slice(start, start + len(env), 1)
    start += len(env)
chirp = _ir.IRArbWaveform("chirp", np.zeros(40000))
setup = [
    _ir.IRFrame(2.5e8, 0.0, 0, kernel=k),
    _ir.IRFrame(1.25e8, math.pi / 2, 1, kernel=k),
    _ir.IRProt([0, 1], 0.5 + 0.5j, kernel=k),
    _ir.IRPth([0, 1], 0.25, kernel=k),
    *envelopes,
    chirp,
    _ir.IRWaveform(np.zeros((2, 4096))),
    _ir.IRDemodule(np.zeros(4096)),
    _ir.IRFreqlist([1e8, 2e8]),
    _ir.IRMov(0, 0, kernel=k),
    _ir.IRMov(1, 2.5, kernel=k),
]

# the body of an endless loop: trigger wait, plays, capture, a run-time if
loop_top = _ir.IRPlaceholder()
wtg = _ir.IRWaitTrig(kernel=k)
play = _ir.IRPlayImm(0, envelopes[0], 0.5, 0, 2.5e8, math.pi / 2, kernel=k)
capture = _ir.IRCapture([0, 1], 1e-6, 1e-7, 1e-6, kernel=k)
cond = _ir.IRJumpConditional(2, 1, 0, kernel=k)
inside = _ir.IRJumpInside(kernel=k)
if_part = _ir.IRPlaceholder()
if_part.tag = cond.tag  # the conditional jump lands at the if part
after_if = _ir.IRPlaceholder()
after_if.tag = inside.tag  # the else part skips the if part
nlw = _ir.IRNlw(1, kernel=k)
nlw.set_idx(4)
timing = _ir.IRTimingPlaceholder(kernel=k)
body = [
    loop_top,
    wtg,
    _ir.IRFrameRst(kernel=k),
    play,
    _ir.IRPlaycImm(1, envelopes[1], 1, 0, 1.25e8, math.pi, kernel=k),
    _ir.IRFrameAdd([0, 1], 1e6, math.pi / 4, kernel=k),
    _ir.IRDelay(20 * clock, kernel=k),
    _ir.IRNop(kernel=k),
    capture,
    _ir.IRJmov(2, kernel=k),
    _ir.IRWait(1e-6, kernel=k),
    _ir.IRWaitPoints(800, kernel=k),
    cond,
    _ir.IRNsw(2, kernel=k),         # else part
    inside,
    if_part,
    _ir.IRLoadEvent(3, kernel=k),   # if part
    _ir.IRClearEvent("ev0", kernel=k),
    after_if,
    _ir.IRLoadDDRImm(chirp, kernel=k),
    _ir.IRPlayDDRImm(chirp, kernel=k),
    _ir.IRWaitDDR(),
    nlw,
    _ir.IRAdd(kernel=k),
    _ir.IRJumpEvent(3, "ev0", capture, kernel=k),
    _ir.IRNativeLoop(4, play, kernel=k),
    _ir.IRLoop(4, play, kernel=k),
    timing,
    _ir.IRJumpImmTiming(wtg, kernel=k),
    _ir.IRJumpImmediate(0),
    _ir.IRJumpImmNormal(loop_top, kernel=k),
]
# the closing jump of the scheduling rules: no kernel, so it returns to 0
closing = [_ir.IRJumpImmNormal(_ir.IRNop()), _ir.IRNop(), _ir.IRNop(), _ir.IRNop()]
program = setup + body + closing

# number the program as the translator does
LEFT_OUT = (_ir.IREnvelope, _ir.IRArbWaveform, _ir.IRWaveform, _ir.IRDemodule, _ir.IRFreqlist,
            _ir.IRWait, _ir.IRAdd)
position = {}
index_map = {}
mark = None
for ir in program:
    if isinstance(ir, LEFT_OUT):
        continue
    if isinstance(ir, _ir.IRPlaceholder):
        mark = ir
        continue
    n = len(position)
    if mark is not None:
        ir.tag = mark.tag
        mark = None
    position[id(ir)] = n
    index_map[ir.tag] = n
k.instr_target_map.update(index_map)
for ir in program:
    ir.index_map = index_map


def text(ir):
    # an envelope's len() is its sample count, so its line is taken with str()
    return repr(str(ir))


rows = []
for ir in program:
    pos = position.get(id(ir), "-")
    dur = ir.duration if isinstance(ir, _ir.SimulationIR) else ""
    rows.append((str(pos), type(ir).__name__, text(ir), str(ir.overhead), str(ir.wait_time),
                 str(dur)))
head = ("pos", "class", "line", "overhead", "wait_time", "duration")
widths = [max(len(r[i]) for r in rows + [head]) for i in range(len(head))]
print("  ".join(h.ljust(w) if i in (1, 2) else h.rjust(w) for i, (h, w) in enumerate(zip(head, widths))))
for r in rows:
    print("  ".join(c.ljust(w) if i in (1, 2) else c.rjust(w) for i, (c, w) in enumerate(zip(r, widths))))
kinds = {type(ir) for ir in program}
print(f"{len(program)} instructions of {len(kinds)} kinds, {len(position)} in the program text")
