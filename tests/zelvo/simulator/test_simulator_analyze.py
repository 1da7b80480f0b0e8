"""The timing simulator: the timeline of a kernel's instructions, and an
analysis that never raises, whatever the instruction list holds."""
import types

import numpy as np

from crashcheck import run_isolated
from tarvok.zelvo import _ir
from tarvok.zelvo._simulator import SimulatorMeta, WaveTimingSimulator


class Params:
    compile_params = {"base_clock": 4e-9, "da_srate": 8e9, "target_chnl_type": "da"}


def test_simulator_class_and_lifecycle():
    assert type(WaveTimingSimulator) is SimulatorMeta and issubclass(SimulatorMeta, type)
    k = types.SimpleNamespace(instruction_list=[])
    s = WaveTimingSimulator(k)
    assert s.kernel is k and (s.resets, s.analyses, s.timeline, s.duration) == (0, 0, [], 0)
    assert s.reset() is None and s.analyze() is None
    assert (s.resets, s.analyses) == (1, 1)


def test_timeline_lays_durations_end_to_end():
    kernel = Params()
    w1, w2 = _ir.IRWait(1e-8, kernel=kernel), _ir.IRWait(2e-8, kernel=kernel)
    kernel.instruction_list = [w1, _ir.IRMov(0, 1), w2]
    s = WaveTimingSimulator(kernel)
    s.analyze()
    assert s.timeline == [(0, w1), (80, w2)] and s.duration == 240
    s.reset()
    assert s.timeline == [] and s.duration == 0


class Raising:
    @property
    def duration(self):
        raise RuntimeError("no timing")


def test_odd_lists_never_raise():
    odd = [None, "text", np.zeros(3), Raising(), _ir.IRWait(1e-6), types.SimpleNamespace(duration=-4),
           types.SimpleNamespace(duration=2**80), types.SimpleNamespace(duration=2.5)]
    s = WaveTimingSimulator(types.SimpleNamespace(instruction_list=odd))
    s.analyze()
    assert [t[1] for t in s.timeline] == [odd[6]] and s.duration == 2**80
    for kernel in [None, object(), types.SimpleNamespace(instruction_list=5),
                   types.SimpleNamespace(instruction_list=iter([1]))]:
        s = WaveTimingSimulator(kernel)
        s.reset()
        s.analyze()
        assert s.timeline == []


def test_analysis_never_crashes():
    out = run_isolated(r'''
import random, types, math
import numpy as np
from tarvok.zelvo import _ir
from tarvok.zelvo._simulator import WaveTimingSimulator

class Bad:
    def __getattr__(self, name):
        raise ValueError(name)
class Index:
    def __init__(self, v): self.v = v
    def __index__(self): return self.v
rng = random.Random(5)
POOL = [None, 0, -1, 2**70, 1.5, math.nan, "x", b"y", [], {}, Bad(), Index(3), Index(-1), np.int64(4),
        np.float64(2.0), True, object()]
kernels = []
for _ in range(3000):
    items = []
    for _ in range(rng.randint(0, 6)):
        r = rng.random()
        if r < 0.3:
            items.append(types.SimpleNamespace(duration=rng.choice(POOL)))
        elif r < 0.5:
            items.append(_ir.IRWait(rng.choice(POOL), kernel=rng.choice([None, types.SimpleNamespace(
                compile_params={"base_clock": rng.choice(POOL)})])))
        else:
            items.append(rng.choice(POOL))
    k = types.SimpleNamespace(instruction_list=rng.choice([items, tuple(items), rng.choice(POOL)]))
    s = WaveTimingSimulator(rng.choice([k, Bad(), None]))
    if rng.random() < 0.2:
        s.resets = rng.choice(POOL)
    s.reset(); s.analyze()
print("ok")
''')
    assert out.startswith("ok")
