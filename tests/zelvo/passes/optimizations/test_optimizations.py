"""The optimizer module, its base, the jump optimizer and the amplitude
optimizer."""
import copy

import numpy as np
import pytest

from tarvok.zelvo import _ir
from tarvok.zelvo import _optimizations as opt

TYPE_TEXT = "Argument 'ir_list' has incorrect type (expected list, got {})"


class Kernel:
    compile_params = {}
    instr_target_map = {}


def play(amp=0.5, cls=_ir.IRPlayImm):
    env = _ir.IREnvelope(np.zeros(64))
    p = cls(0, env, 1, 0, 0, 0)
    p.amp = amp
    return p


def test_module_surface():
    assert opt.__all__ == ["BaseOptimizer", "JumpImmOptimizer", "PlyiAmpOptimizer", "PlayDDROptimizer"]
    assert opt.copy is copy
    for name in _ir.__all__:
        assert getattr(opt, name) is getattr(_ir, name)
    assert opt.BaseOptimizer.__bases__ == (object,)
    for name in opt.__all__[1:]:
        cls = getattr(opt, name)
        assert cls.__bases__ == (opt.BaseOptimizer,) and cls.__module__ == "tarvok.zelvo._optimizations"
        assert [k for k in vars(cls) if k in ("__init__", "optimize_ir")] == ["__init__", "optimize_ir"]
    assert opt.PlayDDROptimizer().enable is False


class ListChild(list):
    pass


@pytest.mark.parametrize("cls", [opt.BaseOptimizer, opt.JumpImmOptimizer, opt.PlyiAmpOptimizer])
@pytest.mark.parametrize("bad", [(), None, ListChild(), {}])
def test_exact_list_argument(cls, bad):
    with pytest.raises(TypeError) as e:
        cls().optimize_ir(bad)
    assert str(e.value) == TYPE_TEXT.format(type(bad).__name__)
    with pytest.raises(TypeError, match=r"optimize_ir\(\) takes exactly 2 positional arguments \(1 given\)"):
        cls().optimize_ir()


def test_base_and_jump_optimizers():
    items = [_ir.IRNop(), play()]
    assert opt.BaseOptimizer().optimize_ir(items) is None
    out = opt.JumpImmOptimizer().optimize_ir(ir_list=items)
    assert out == items and out is not items and out[1] is items[1]
    with pytest.raises(TypeError):
        opt.JumpImmOptimizer(1)


def test_subclass_constructor_runs_the_base():
    seen = []

    class Base(opt.BaseOptimizer):
        def __init__(self):
            seen.append("base")

    class Mine(opt.PlayDDROptimizer, Base):
        pass

    m = Mine()
    assert seen == ["base"] and m.enable is False


@pytest.mark.parametrize("amp, rounded", [(16382.5, 16382), (16383.5, 16384), (16383.49, 16383),
                                          (-0.5, 0), (2**70, 2**70), (np.float64(2.5), 2)])
def test_amplitudes_round_to_even(amp, rounded):
    top, inner = play(amp), play(amp)
    jump = _ir.IRJumpConditional(1, 1, 1)
    jump.ir_sub = [_ir.IRNop(), inner]
    items = [top, jump]
    assert opt.PlyiAmpOptimizer().optimize_ir(items) is items
    for p in (top, inner):
        assert p.amp == rounded and type(p.amp) is int


@pytest.mark.parametrize("cls", [_ir.IRPlayImm, _ir.IRPlaycImm])
def test_amplitude_reach_is_two_levels_of_both_immediate_plays(cls):
    deep = play(1.5, cls)
    inner_head = _ir.IRWaitTrig()
    inner_head.ir_sub = [deep]
    outer = _ir.IRWaitTrig()
    outer.ir_sub = (inner_head, play(2.5, cls))  # any sequence
    top = play(3.5, cls)
    same = 7
    plain = play(same, cls)
    opt.PlyiAmpOptimizer().optimize_ir([outer, top, plain])
    assert deep.amp == 1.5 and top.amp == 4 and outer.ir_sub[1].amp == 2
    assert type(top.amp) is int and plain.amp is same


def test_amplitude_errors_keep_earlier_changes():
    first, broken = play(0.5), play()
    del broken.amp
    with pytest.raises(AttributeError):
        opt.PlyiAmpOptimizer().optimize_ir([first, broken])
    assert first.amp == 0
    head = _ir.IRWaitTrig()
    head.ir_sub = 5
    with pytest.raises(TypeError):
        opt.PlyiAmpOptimizer().optimize_ir([head])
