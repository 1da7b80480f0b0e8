import numpy as np
import pytest

from helpers import default_kernel
from tarvok.zelvo import _ir


@pytest.fixture
def make_kernel():
    """What the translators read of a kernel: its default compile parameters,
    the given ones over them, and its jump-target map."""
    return default_kernel


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
