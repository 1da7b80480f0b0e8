"""Module configuration, the abstract root and the nine categories."""
import abc
import copy
import re

import numpy as np
import pytest

from tarvok.zelvo import _ir

CATEGORIES = ["PreIR", "UnfixIR", "FixIR", "LoadDDRIR", "OverlapIR", "FakeIR", "SimulationIR",
              "ReconstitutionIR", "JumpImmIR"]
TAG = re.compile(r"^[0-9a-f]{10}$")


def test_module_order_and_exports():
    names = list(vars(_ir))
    order = ["__all__", "global_config", "zlv_config", "AssemblyError", "GenTagMixin", "IRBase"]
    order += CATEGORIES
    assert [n for n in names if n in order] == order
    assert set(_ir.__all__) <= set(names)
    assert "IRJumpImmTiming" not in _ir.__all__ and "global_config" not in _ir.__all__
    assert _ir.__all__[:6] == ["AssemblyError", "GenTagMixin", "IRBase", "PreIR", "zlv_config", "UnfixIR"]


def test_global_config_defaults():
    cfg = _ir.global_config
    assert list(cfg)[:10] == ["play_zero_step", "OUTSrate", "capture_step", "max_capture_width",
                              "envelope_dtype", "envelope_step", "envelope_quant", "envelope_cache",
                              "envelope_head", "IRWait_overhead"]
    assert (cfg["play_zero_step"], cfg["OUTSrate"], cfg["capture_step"]) == (32, 8e9, 1.6e-8)
    assert cfg["max_capture_width"] == 2.048e-6 and cfg["envelope_dtype"] is np.int16
    assert (cfg["envelope_step"], cfg["envelope_quant"], cfg["envelope_cache"]) == (64, 16383, 204800)
    head = cfg["envelope_head"]
    assert head.dtype == np.int16 and head.tolist() == [2, 0, 0, 4096] + [0] * 12
    assert cfg["IRWait_overhead"] == 5


def test_zlv_config_sets_and_refuses():
    cfg = _ir.global_config
    before = dict(cfg)
    try:
        assert _ir.zlv_config("brand_new", 3) is None
        assert cfg["brand_new"] == 3
        _ir.zlv_config(name="envelope_quant", value=8191)
        assert cfg["envelope_quant"] == 8191
        with pytest.raises(TypeError, match="unhashable"):
            _ir.zlv_config([], 1)
        for args, kwargs in [((1,), {}), ((1, 2, 3), {}), ((1,), {"other": 2})]:
            with pytest.raises(TypeError):
                _ir.zlv_config(*args, **kwargs)
        assert "other" not in cfg
    finally:
        cfg.clear()
        cfg.update(before)


def test_zlv_config_writes_the_current_dictionary():
    original = _ir.global_config
    try:
        _ir.global_config = {}
        _ir.zlv_config("k", 1)
        assert _ir.global_config == {"k": 1} and "k" not in original
    finally:
        _ir.global_config = original


def test_assembly_error_and_tags():
    assert _ir.AssemblyError.__bases__ == (RuntimeError,)
    assert _ir.AssemblyError("a", 1).args == ("a", 1)
    assert _ir.GenTagMixin.__bases__ == (object,)
    mixin = _ir.GenTagMixin()
    tags = {mixin.generate_tag for _ in range(100)}
    assert len(tags) == 100 and all(TAG.match(t) for t in tags)


def test_irbase_is_abstract():
    assert type(_ir.IRBase) is abc.ABCMeta
    assert _ir.IRBase.__bases__ == (_ir.GenTagMixin, abc.ABC)
    assert _ir.IRBase.__abstractmethods__ == {"_pack_cmd", "_check_attr", "overhead", "wait_time"}
    with pytest.raises(TypeError, match="abstract"):
        _ir.IRBase()

    class Partial(_ir.IRBase):
        def _pack_cmd(self):
            return "x"

    with pytest.raises(TypeError, match="abstract"):
        Partial()

    class Whole(Partial):
        _check_attr = overhead = wait_time = None

    w = Whole()
    assert TAG.match(w.tag) and w.kernel is None


@pytest.mark.parametrize("name", CATEGORIES)
def test_category_defaults(name):
    cls = getattr(_ir, name)
    assert cls.__bases__ == (_ir.IRBase,)
    ir = cls()
    assert (str(ir), len(ir), bool(ir)) == ("", 0, False)
    assert format(ir, "<8") == " " * 8
    assert repr(ir) == f"<{name}: {ir.tag}>: "
    assert (ir.overhead, ir.wait_time, ir.real_wait_time, ir.line) == (0, 0, 0, 0)
    assert ir.kernel is None and ir.index_map == {} and TAG.match(ir.tag)
    assert ir._check_attr() is None
    with pytest.raises(AttributeError):
        ir.overhead = 1
    with pytest.raises(TypeError, match=r"__init__\(\) takes exactly 1 positional argument \(2 given\)"):
        cls(1)


def test_category_fields():
    u = _ir.UnfixIR(kernel="k", foo=1)
    assert u.ir_sub == [] and u.irhead == 0 and u.kernel == "k" and not hasattr(u, "foo")
    assert not hasattr(u, "sub")
    assert _ir.UnfixIR().ir_sub is not u.ir_sub
    assert u.fetch_ir(object) is None and u.fetch_ir(ir=3) is None and u.ir_sub == [object, 3]
    with pytest.raises(TypeError):
        u.fetch_ir(1, 2)
    d = _ir.LoadDDRIR()
    assert (d.wait_trig, d.b_width, d.mode) == (False, 2, 0)
    s = _ir.SimulationIR()
    assert s.sim_ir_type is _ir.SimulationIR.SimIRType.NORMAL and s.duration == 0
    data = s.sim_data(1, 2, x=3)
    assert isinstance(data, np.ndarray) and data.dtype == np.float64 and data.shape == (0,)
    j = _ir.JumpImmIR()
    assert j.target is None and j.cmd_idx == 0


def test_sim_ir_type_flags():
    T = _ir.SimulationIR.SimIRType
    assert [(m.name, m.value) for m in T] == [("WAIT", 1), ("BRANCH", 2), ("LOOP", 4), ("JUMP", 8),
                                             ("IGNORE", 128)]
    assert T.NORMAL == 0 and T.WAIT | T.LOOP == 5
    assert T.__qualname__ == "SimulationIR.SimIRType" and _ir.SimulationIR().SimIRType is T
    assert not hasattr(_ir, "SimIRType")


def test_duration_and_sim_data_read_through_the_instance():
    class Timed(_ir.SimulationIR):
        wait_time = 7.9

    assert Timed().duration == 7 and Timed().sim_data().shape == (7,)

    class Negative(_ir.SimulationIR):
        wait_time = -2

    with pytest.raises(ValueError):
        Negative().sim_data()

    class Bad(_ir.SimulationIR):
        wait_time = "x"

    with pytest.raises(ValueError):
        Bad().duration


def test_jump_resolution(make_kernel):
    target = _ir.PreIR()
    jump = _ir.JumpImmIR()
    jump.target = target
    str(jump)
    assert jump.cmd_idx == 0  # no kernel: position 0 whatever the target
    k = make_kernel()
    jump.kernel = k
    str(jump)
    assert jump.cmd_idx == -1
    k.instr_target_map[target.tag] = 17
    len(jump)
    assert jump.cmd_idx == 17
    k.instr_target_map[target.tag] = 3
    format(jump, "")
    assert jump.cmd_idx == 3
    jump.target = None
    with pytest.raises(AttributeError):
        str(jump)
    assert jump.cmd_idx == 3
    del k.instr_target_map
    jump.target = target
    with pytest.raises(AttributeError):
        str(jump)


def test_construction_runs_each_class_of_the_mro_once():
    calls = []

    class Probe:
        def __init__(self, **kwargs):
            calls.append(("Probe", dict(kwargs)))
            super().__init__(**kwargs)

    class Mixed(_ir.FixIR, Probe, _ir.SimulationIR):
        def __init__(self, **kwargs):
            calls.append(("Mixed", dict(kwargs)))
            super().__init__(**kwargs)

    m = Mixed(kernel="k", extra=1)
    assert calls == [("Mixed", {"kernel": "k", "extra": 1}), ("Probe", {"kernel": "k", "extra": 1})]
    assert m.kernel == "k" and m.sim_ir_type == 0 and TAG.match(m.tag)


def test_fields_set_deepest_first():
    order = []

    class Watch(_ir.UnfixIR, _ir.SimulationIR):
        def __setattr__(self, name, value):
            order.append(name)
            super().__setattr__(name, value)

    Watch()
    assert order == ["tag", "real_wait_time", "line", "kernel", "index_map", "sim_ir_type", "ir_sub",
                     "irhead"]


def test_text_form_is_made_afresh():
    class Counting(_ir.PreIR):
        checks = 0

        def _check_attr(self):
            type(self).checks += 1

        def _pack_cmd(self):
            return "line"

    c = Counting()
    assert (str(c), len(c), format(c, ">6"), repr(c)) == ("line", 4, "  line", f"<Counting: {c.tag}>: line")
    assert Counting.checks == 4
    with pytest.raises(ValueError):
        format(c, "q")


def test_errors_of_the_text_pass_through():
    class Broken(_ir.PreIR):
        def _pack_cmd(self):
            raise KeyError("boom")

    for op in (str, len, repr, lambda x: format(x, "")):
        with pytest.raises(KeyError):
            op(Broken())


def markers():
    """A plain class attribute's class, and a data descriptor's class of the
    same layout that keeps what is stored into it."""
    class Marker:
        pass

    class DataMarker:
        def __get__(self, obj, owner=None):
            return "descr-tag" if obj is not None else self

        def __set__(self, obj, value):
            self.stored.append(value)
    return Marker, DataMarker


def gains_methods(marker, data_marker):
    type(marker).__get__ = data_marker.__get__
    type(marker).__set__ = data_marker.__set__


def changes_class(marker, data_marker):
    marker.__class__ = data_marker


@pytest.mark.parametrize("change", [gains_methods, changes_class])
@pytest.mark.parametrize("dict_made", [False, True], ids=["inline attributes", "instance dict"])
def test_a_class_attribute_that_becomes_a_data_descriptor_takes_the_tag(change, dict_made):
    """The class keeps its version tag while its attribute's own type gains
    __get__/__set__ (or the attribute its class): the store of the tag goes to
    the descriptor, and every read of it, from instances made before too."""
    marker_class, data_marker = markers()
    marker = marker_class()
    marker.stored = []
    cls = type("Tagged", (_ir.IRMov,), {"tag": marker})
    before = [cls(3, 5) for _ in range(3)]
    for r in before:
        if dict_made:
            vars(r)
        assert TAG.match(r.tag) and repr(r) == f"<Tagged: {r.tag}>: movi %A3 5"
    change(marker, data_marker)
    after = cls(3, 5)
    assert "tag" not in vars(after) and len(marker.stored) == 1 and TAG.match(marker.stored[0])
    for r in [after] + before:
        assert r.tag == "descr-tag" and repr(r) == "<Tagged: descr-tag>: movi %A3 5"


@pytest.mark.parametrize("change", [gains_methods, changes_class])
def test_compile_parameters_read_through_a_class_attribute_that_becomes_a_data_descriptor(change):
    """The kernel's compile_params stays in its instance dict, and the
    kernel's class keeps its version tag, while the class attribute of that
    name becomes a data descriptor: the descriptor's parameters are read."""
    marker_class, data_marker = markers()
    marker = marker_class()
    data_marker.__get__ = lambda self, obj, owner=None: {"base_clock": 2e-9} if obj is not None else self
    kernel_class = type("K", (), {"compile_params": marker})
    k = kernel_class()
    k.compile_params = {"base_clock": 1e-9}
    c = _ir.IRCapture([0], 1e-7, 0, 1e-7, kernel=k)
    assert [c.wait_time for _ in range(3)] == [101] * 3
    change(marker, data_marker)
    assert c.wait_time == 51


def test_instances_are_plain_objects():
    a, b = _ir.PreIR(), _ir.PreIR()
    assert a != b and a == a and a.tag != b.tag
    a.anything = 1
    c = copy.copy(a)
    assert c.tag == a.tag and c.anything == 1
    assert hash(a) != hash(b)


def test_members_are_named_after_their_class_and_module():
    assert _ir.IRMov._pack_cmd.__qualname__ == "IRMov._pack_cmd"
    assert _ir.IRBase.__str__.__qualname__ == "IRBase.__str__"
    assert _ir.zlv_config.__qualname__ == "zlv_config"
    assert repr(_ir.zlv_config) == "<built-in function zlv_config>"
    assert _ir.zlv_config.__module__ == "tarvok.zelvo._ir"
