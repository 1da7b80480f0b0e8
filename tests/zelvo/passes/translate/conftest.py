import numpy as np
import pytest

from tarvok.zelvo import _ir

DEFAULT_PARAMS = {"trig_align_time": 0, "ddr_play_bwidth": 2, "envelope_type": None, "da_srate": 8e9,
                  "ad_srate": 8e9, "base_clock": 4e-9, "target_chnl_type": "da", "intra_enable": False}


class FakeKernel:
    """What the translators read of a kernel: its compile parameters and its
    jump-target map."""

    def __init__(self, **params):
        self.compile_params = dict(DEFAULT_PARAMS, **params)
        self.instr_target_map = {}


@pytest.fixture
def kernel():
    return FakeKernel()


@pytest.fixture
def ir(kernel):
    """Instruction makers bound to one kernel."""

    class Make:
        k = kernel

        @staticmethod
        def nop():
            return _ir.IRNop()

        @staticmethod
        def nops(n):
            return [_ir.IRNop() for _ in range(n)]

        @staticmethod
        def delay(cycles):
            return _ir.IRDelay(cycles * 4e-9, kernel=kernel)

        @staticmethod
        def wait(cycles=10):
            return _ir.IRWait(cycles * 4e-9, kernel=kernel)

        @staticmethod
        def envelope(n=64):
            env = _ir.IREnvelope(np.linspace(0, 1, n), kernel=kernel)
            env.envelope_slice = slice(0, n, 1)
            return env

        @staticmethod
        def play(env=None):
            env = env or Make.envelope()
            return _ir.IRPlayImm(0, env, 0.5, 0, 0, 0, kernel=kernel)

        @staticmethod
        def trig(*block):
            w = _ir.IRWaitTrig(kernel=kernel)
            w.ir_sub = list(block)
            return w

        @staticmethod
        def cond(*block):
            j = _ir.IRJumpConditional(1, 1, 2, kernel=kernel)
            j.ir_sub = list(block)
            return j

        @staticmethod
        def place():
            return _ir.IRPlaceholder()

    return Make
