"""Simulating kernels: the one-entry simulator cache shared by the process, and
the reset and analysis around every parse."""
import functools

import pytest

from tarvok.zelvo import kernel as km
from tarvok.zelvo.kernel import KernelParseError, SimulateMixin, SimulationKernel


def good(n: 'zv.Var' = 1):
    zv.IRNop()


def bad():
    zv.IRNop()
    zv.nowhere()


class Recorder:
    """A simulator class that records what happens to its objects."""
    log = []

    def __init__(self, kernel):
        self.kernel = kernel
        self.seen = ("made", len(kernel.instruction_list))
        Recorder.log.append(("made", kernel))

    def reset(self):
        Recorder.log.append(("reset", self.kernel, len(self.kernel.instruction_list)))

    def analyze(self):
        Recorder.log.append(("analyze", self.kernel, len(self.kernel.instruction_list)))


@pytest.fixture
def recorder():
    Recorder.log = []
    return Recorder


def test_simulator_is_a_one_entry_process_cache():
    cached = SimulateMixin.__dict__["_simulator"]
    assert cached.cache_info().maxsize == 1
    assert type(cached) is type(functools.lru_cache(maxsize=1)(len))
    a = SimulationKernel(good)
    s = a.simulator
    assert a.simulator is s and isinstance(s, km.WaveTimingSimulator) and s.kernel is a
    b = SimulationKernel(good)      # construction drops the entry
    assert a.simulator is not s
    s2 = a.simulator
    assert b.simulator is not s2 and a.simulator is not s2   # b took the entry, then a again
    assert cached.cache_info().currsize == 1


def test_parse_resets_before_and_analyzes_after(recorder):
    k = SimulationKernel(good)
    k.Simulator = recorder
    assert k.parse() is k.instruction_list
    assert recorder.log == [("made", k), ("reset", k, 0), ("analyze", k, 1)]
    recorder.log.clear()
    k(2)
    assert recorder.log == [("reset", k, 0), ("analyze", k, 1)]


def test_parse_that_raises_is_not_analyzed(recorder):
    k = SimulationKernel(bad)
    k.Simulator = recorder
    with pytest.raises(KernelParseError):
        k.parse()
    assert recorder.log == [("made", k), ("reset", k, 0)]


def test_setting_the_class_drops_every_cached_simulator(recorder):
    a = SimulationKernel(good)
    b = SimulationKernel(good)
    old = a.simulator
    assert a.Simulator is km.WaveTimingSimulator and a._Simulator is km.WaveTimingSimulator
    b.Simulator = recorder
    assert b._Simulator is recorder and a.Simulator is km.WaveTimingSimulator
    assert a.simulator is not old            # a's entry went with b's assignment
    assert isinstance(b.simulator, recorder)


def test_another_kernels_parse_replaces_the_entry():
    a, b = SimulationKernel(good), SimulationKernel(good)
    a.parse()
    s = a.simulator
    b.parse()
    fresh = a.simulator
    assert fresh is not s and (fresh.resets, fresh.analyses) == (0, 0)


def test_mixin_init_ignores_its_arguments():
    class Bare(SimulateMixin):
        pass
    m = Bare.__new__(Bare)
    assert SimulateMixin.__init__(m, 1, 2, x=3) is None
    assert m._Simulator is km.WaveTimingSimulator


def test_decorator_builds_the_simulator_on_empty_tables(recorder):
    class Watched(SimulationKernel):
        def __init__(self, *args):
            super().__init__(*args)
            self.Simulator = recorder

    k = Watched.wrap(good)(4)
    assert recorder.log[0] == ("made", k) and recorder.log[1] == ("reset", k, 0)
    assert recorder.log[2] == ("analyze", k, 1) and k.var_symbol == {"n": 4}


def test_simulator_construction_error_propagates():
    def boom(kernel):
        raise RuntimeError("no simulator")
    k = SimulationKernel(good)
    k.Simulator = boom
    with pytest.raises(RuntimeError, match="no simulator"):
        k.parse()
