"""A small kernel program, laid out by hand as the front-end would lay it out,
taken through the whole default pass pipeline with `conveyor`: scheduling
rules, checkers, optimizers and the normal translator. Prints the data items
and the numbered program text.

    frames, an envelope and a register
    loop forever:
        wait for the trigger
        play; wait 100 ns; capture into register 2
        if register 2 == 1: play  else: play at half amplitude
"""
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from tarvok.zelvo import _checkers, _ir, _optimizations, _rules, _translate  # noqa: E402
from tarvok.zelvo._conveyor import conveyor  # noqa: E402


class Kernel:
    """What the pipeline reads of a kernel object."""

    def __init__(self):
        self.compile_params = {"trig_align_time": 0, "ddr_play_bwidth": 2, "envelope_type": None,
                               "da_srate": 8e9, "ad_srate": 8e9, "base_clock": 4e-9,
                               "target_chnl_type": "da", "intra_enable": False}
        self.pass_params = {
            "rules": [_rules.SelectJumpTypeRule, _rules.EnvelopeRule, _rules.PreConfigRule, _rules.WitiRule,
                      _rules.WtgAlign, _rules.BranchRule, _rules.PlayDDRRule, _rules.TimingRule,
                      _rules.AddJumpRule],
            "checkers": [_checkers.OverlapChecker, _checkers.EnvelopeChecker, _checkers.FmsiChecker,
                         _checkers.PlyChecker, _checkers.DrstChecker, _checkers.IRNumberChecker,
                         _checkers.TwoCapiChecker, _checkers.EmptyWtgChecker, _checkers.WaveformChecker,
                         _checkers.ProtChecker],
            "optimizers": [_optimizations.JumpImmOptimizer, _optimizations.PlyiAmpOptimizer,
                           _optimizations.PlayDDROptimizer],
            "translate": _translate.NormalTranslator,
        }
        self.instr_target_map = {}
        self.instruction_list = []

    def with_error(self, error):
        if error:
            e = error[0]
            raise e[4](f"[error {e[5]}]-{e[4].__name__} {e[0]}")


k = Kernel()
gauss = _ir.IREnvelope(np.exp(-np.linspace(-3, 3, 256) ** 2), kernel=k)
setup = [
    _ir.IRFrame(2.5e8, 0.0, 0, kernel=k),
    gauss,
    _ir.IRMov(2, 0),
]
loop_top = _ir.IRPlaceholder()
branch = _ir.IRJumpConditional(2, 1, 2, kernel=k)
skip_if = _ir.IRJumpInside()
if_part, after = _ir.IRPlaceholder(), _ir.IRPlaceholder()
if_part.tag, after.tag = branch.tag, skip_if.tag  # each jump lands where its tag stands
body = [
    loop_top,
    _ir.IRWaitTrig(kernel=k),
    _ir.IRPlayImm(0, gauss, 1.0, 0, 2.5e8, 0.0, kernel=k),
    _ir.IRWait(1e-7, kernel=k),
    _ir.IRCapture([2.5e8], 6.4e-8, 0.0, 1.6e-8, kernel=k),
    _ir.IRJmov(2, kernel=k),
    branch,
    _ir.IRPlayImm(0, gauss, 0.5, 0, 2.5e8, 0.0, kernel=k),  # else part
    skip_if,
    if_part,
    _ir.IRPlayImm(0, gauss, 1.0, 0, 2.5e8, 0.0, kernel=k),  # if part
    after,
    _ir.IRJumpImmNormal(loop_top, kernel=k),
]
for line, ins in enumerate(setup + body, start=2):
    ins.line = line
k.instruction_list = setup + body

envelope, waveform, freqs, demod, text = conveyor(k)
print(f"envelope array: {envelope.size} samples ({envelope.dtype}); waveform {waveform}, "
      f"frequency list {freqs}, demodulation wave {demod}")
print(text)
