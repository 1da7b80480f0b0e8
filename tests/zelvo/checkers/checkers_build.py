"""Small hand-made instructions and records for the checker tests."""
import types

import numpy as np

from helpers import FakeKernel
from tarvok.zelvo import _errors
from tarvok.zelvo import _ir as ir


def _costed(base):
    # Class attributes shadow the category's properties, so each object can
    # carry its own cycles.
    return type(base.__name__ + "Stub", (base,), {"wait_time": 0, "overhead": 0})


STUBS = {
    "fix": _costed(ir.FixIR),
    "delay": _costed(ir.IRDelay),
    "overlap": _costed(ir.OverlapIR),
    "pre": _costed(ir.PreIR),
    "unfix": _costed(ir.UnfixIR),
    "marker": _costed(ir.FakeIR),
}


class Build:
    """Small hand-made instructions and records for the checker tables."""

    TimingError = _errors.TimingError
    PlayError = _errors.PlayError
    CaptureError = _errors.CaptureError

    def __init__(self):
        self.kernel = FakeKernel()

    # -- instructions with cycles of their own choosing
    def cost(self, kind, wait, overhead=0):
        x = STUBS[kind](0) if kind == "delay" else STUBS[kind]()
        x.wait_time, x.overhead = wait, overhead
        return x

    # -- real instructions
    def env(self, samples):
        return ir.IREnvelope(np.asarray(samples))

    def play(self, samples=64, amp=1, cls=ir.IRPlayImm):
        e = self.env(np.zeros(samples))
        e.envelope_slice = slice(0, samples, 1)
        return cls(0, e, amp, 0, 0, 0, kernel=self.kernel)

    def frame(self, freq=1e9):
        return ir.IRFrame(freq, 0, 0)

    def prot(self, rotation):
        return ir.IRProt([1e8], rotation)

    def capture(self, width=1.6e-8):
        return ir.IRCapture([1e8], width, 0.0, 1.6e-8, kernel=self.kernel)

    def waveform(self, wave):
        return ir.IRWaveform(wave)

    def ddr(self):
        return ir.IRPlayDDRImm(types.SimpleNamespace(waveform=np.zeros(4), offset=0), kernel=self.kernel)

    def delay(self, width=4e-8):
        return ir.IRDelay(width, kernel=self.kernel)

    def wait(self, width=4e-8):
        return ir.IRWait(width, kernel=self.kernel)

    def trig(self, *block):
        return self._head(ir.IRWaitTrig(), block)

    def jump(self, *block):
        return self._head(ir.IRJumpConditional(0, 1, 2), block)

    @staticmethod
    def _head(head, block):
        head.ir_sub = list(block)
        return head

    @staticmethod
    def rec(msg, prev, cur, nxt, cls, code="0x1000"):
        return [msg, prev, cur, nxt, cls, code]
