"""The module as a whole: its exports, the IR names it carries, the rule
classes and their constructors, and the default order end to end."""
import copy
import functools
import gc
import weakref

import numpy as np
import pytest

from tarvok.zelvo import _conveyor, _ir, _rules

ALL = ["BaseRule", "BranchRule", "TimingRule", "EnvelopeRule", "AddJumpRule", "WitiRule", "ReTagRule",
       "PreConfigRule", "WtgAlign", "PlayDDRRule", "SelectJumpTypeRule"]
CLASSES = ["BaseRule", "SelectJumpTypeRule", "EnvelopeRule", "PreConfigRule", "WitiRule", "WtgAlign", "BranchRule",
           "PlayDDRRule", "TimingRule", "AddJumpRule", "ReTagRule", "JumpRule", "LoopRule"]
FUNCTIONS = ["acq_olp_index", "order_process", "calculate_real_wait_time", "order_unfxir", "set_kernel"]
DEFAULT_ORDER = ["SelectJumpTypeRule", "EnvelopeRule", "PreConfigRule", "WitiRule", "WtgAlign", "BranchRule",
                 "PlayDDRRule", "TimingRule", "AddJumpRule"]


def test_exports_and_module_globals():
    assert _rules.__all__ == ALL
    ns = {}
    exec("from tarvok.zelvo._rules import *", ns)
    assert sorted(k for k in ns if k != "__builtins__") == sorted(ALL)
    for name in _ir.__all__:
        assert getattr(_rules, name) is getattr(_ir, name)
    assert _rules.np is np and _rules.functools is functools and _rules.copy is copy
    names = [n for n in vars(_rules) if not n.startswith("__")]
    assert names == ["copy", *_ir.__all__, "np", "functools", *FUNCTIONS, *CLASSES]
    for name in FUNCTIONS:
        f = getattr(_rules, name)
        assert f.__name__ == f.__qualname__ == name and f.__module__ == "tarvok.zelvo._rules"


def test_rule_classes_derive_from_base_rule_alone():
    assert _rules.BaseRule.__bases__ == (object,)
    for name in CLASSES[1:]:
        cls = getattr(_rules, name)
        assert cls.__bases__ == (_rules.BaseRule,)
        own = [n for n in vars(cls) if not n.startswith("__") or n == "__init__"]
        if name != "TimingRule":
            assert own == ["__init__", "order_ins"]
        assert cls.order_ins.__qualname__ == f"{name}.order_ins"


def test_constructors_take_nothing_and_give_a_fresh_empty_list():
    rules = [getattr(_rules, n)() for n in CLASSES]
    for r in rules:
        assert r.ir_list == [] and type(r.ir_list) is list
    assert len({id(r.ir_list) for r in rules}) == len(rules)
    assert vars(_rules.PlayDDRRule()) == {"ir_list": [], "enable": False}
    with pytest.raises(TypeError, match=r"__init__\(\) takes exactly 1 positional argument \(2 given\)"):
        _rules.WitiRule(1)


def test_python_subclasses_run_the_base_constructor_and_their_overrides():
    class Mine(_rules.PlayDDRRule):
        def __init__(self):
            super().__init__()
            self.extra = 1

        def order_ins(self, ir_list, **kwargs):
            return ["mine"] + super().order_ins(ir_list, **kwargs)
    m = Mine()
    assert vars(m) == {"ir_list": [], "enable": False, "extra": 1}
    assert m.order_ins([]) == ["mine"]
    assert copy.copy(m).__dict__ == m.__dict__


def test_base_rule_copies_an_exact_list_only():
    a, b = _ir.IRNop(), _ir.IRNop()
    given = [a, b]
    out = _rules.BaseRule().order_ins(given, anything=1)
    assert out == given and out is not given
    for bad, name in [((a, b), "tuple"), (type("L", (list,), {})([a]), "L"), (None, "NoneType")]:
        with pytest.raises(TypeError) as info:
            _rules.BaseRule().order_ins(bad)
        assert str(info.value) == f"Argument 'ir_list' has incorrect type (expected list, got {name})"


def test_methods_bind_like_functions_and_are_collected():
    r = _rules.WitiRule()
    bound = r.order_ins
    assert bound.__self__ is r and bound.__func__ is _rules.WitiRule.__dict__["order_ins"]
    assert _rules.WitiRule.order_ins(r, []) == []
    assert repr(_rules.WitiRule.order_ins).startswith("<function WitiRule.order_ins at ")
    assert _rules.EnvelopeRule.order_ins.__annotations__ == {"ir_list": list, "return": list}

    class Holder:
        pass
    h = Holder()
    h.f = _rules.set_kernel(lambda x: [])
    h.f.cycle = h
    ref = weakref.ref(h)
    del h
    gc.collect()
    assert ref() is None


class Translator:
    def translate_ir(self, ir_list, **kwargs):
        return ir_list


def pipeline_kernel(make_kernel, program, **params):
    k = make_kernel(**params)
    k.pass_params = {"rules": [getattr(_rules, n) for n in DEFAULT_ORDER], "checkers": [], "optimizers": [],
                     "translate": Translator}
    k.instruction_list = program
    k.with_error = lambda errors: None
    for ir in program:
        ir.kernel = k
    return k


def test_the_default_order_schedules_a_program_end_to_end(make_kernel):
    env_a, env_b = _ir.IREnvelope(np.zeros(64)), _ir.IREnvelope(np.zeros(32), np.zeros(32))
    frame = _ir.IRFrame(1e8, 0.0, 0)
    play = _ir.IRPlayImm(0, env_a, 1, 0, 1e8, 0.0)
    short = _ir.IRWait(1e-9)
    trig = _ir.IRWaitTrig()
    jmov = _ir.IRJmov(1)
    mov = _ir.IRMov(1, 5)
    cap = _ir.IRCapture([0], 1e-6, 0, 5e-7)
    program = [play, frame, env_a, short, trig, jmov, mov, cap, env_b]
    k = pipeline_kernel(make_kernel, program, trig_align_time=40)
    out = _conveyor.conveyor(k)
    assert k.instruction_list == program
    names = [type(ir).__name__ for ir in out]
    # envelopes, the other set-up instructions (frame padded by 4 nops, the
    # move by none), the play, the trigger wait with its block, the closing
    assert names == ["IREnvelope", "IREnvelope", "IRFrame"] + ["IRNop"] * 4 + ["IRMov", "IRPlayImm",
                     "IRWaitTrig"] + ["IRNop"] * 3 + ["IRDelay"] + ["IRNop"] * 3 + [
                     "IRJumpImmNormal", "IRNop", "IRNop", "IRNop"]
    assert (env_a.envelope_slice, env_b.envelope_slice) == (slice(0, 64, 1), slice(64, 128, 1))
    # the trigger wait (overhead 4, irhead 1) waits 40 less the feedback
    # move's 3: 3 nops, then 37 - 4 - 5 = 28 cycles of delay and 3 nops
    assert trig.wait_time == 40 and trig.real_wait_time == 37 and out[13].wait_time == 28
    # its block: the move (3 less the capture's overhead 1, one nop beyond its
    # own), the capture (251 cycles: 245 of delay), the register move having
    # gone to the top level
    assert [type(ir).__name__ for ir in trig.ir_sub] == ["IRJmov", "IRNop", "IRCapture", "IRDelay", "IRNop",
                                                         "IRNop", "IRNop"]
    assert trig.ir_sub[0] is jmov and trig.ir_sub[2] is cap and trig.ir_sub[3].wait_time == 245
    assert all(ir.kernel is k for ir in trig.ir_sub)
    assert out[-4].target not in out and out[-4].kernel is None and str(out[-4]) == "jali $0"
