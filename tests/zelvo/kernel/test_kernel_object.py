"""The kernel object: its classes, construction, parameters, clear and parse."""
import ast
import inspect

import pytest
from hypothesis import given, strategies as st

from tarvok.zelvo import kernel as km
from tarvok.zelvo.kernel import Kernel, KernelParseError, ScopeKernel, SimulationKernel

ATTRIBUTES = ["name", "parent", "func_args", "func_kwargs", "top_src", "top_node", "var_symbol", "frame_symbol",
              "frame_idx", "envelope_symbol", "waveform_symbol", "freq_list_symbol", "demodulation_symbol",
              "register_symbol", "register_idx", "instruction_list", "instr_target_map", "jail_tag",
              "compile_params", "pass_params"]
TABLES = ["var_symbol", "frame_symbol", "envelope_symbol", "waveform_symbol", "freq_list_symbol",
          "demodulation_symbol", "register_symbol"]
COMPILE_PARAMS = {"trig_align_time": 0, "ddr_play_bwidth": 2, "envelope_type": None, "da_srate": 8e9,
                  "ad_srate": 8e9, "base_clock": 4e-9, "target_chnl_type": "da", "intra_enable": False}
RULES = ["SelectJumpTypeRule", "EnvelopeRule", "PreConfigRule", "WitiRule", "WtgAlign", "BranchRule",
         "PlayDDRRule", "TimingRule", "AddJumpRule"]
CHECKERS = ["OverlapChecker", "EnvelopeChecker", "FmsiChecker", "PlyChecker", "DrstChecker", "IRNumberChecker",
            "TwoCapiChecker", "EmptyWtgChecker", "WaveformChecker", "ProtChecker"]
OPTIMIZERS = ["JumpImmOptimizer", "PlyiAmpOptimizer", "PlayDDROptimizer"]


def sample(x: 'zv.Var' = 1):
    zv.IRNop()


def test_classes_and_module_names():
    assert type(Kernel) is km.ZelvoKernel and issubclass(km.ZelvoKernel, type)
    assert Kernel.__bases__ == (ast.NodeVisitor,)
    assert SimulationKernel.__bases__ == (km.SimulateMixin, Kernel)
    assert ScopeKernel.__bases__ == (Kernel,)
    assert type(SimulationKernel) is type(ScopeKernel) is km.ZelvoKernel
    assert km.SimulateMixin.__bases__ == (object,)
    assert KernelParseError.__bases__ == (Exception,) and Kernel.DefaultError is KernelParseError
    assert Kernel.max_frame == 16 and type(Kernel.max_frame) is int
    assert km.__all__ == ["kernel", "Kernel", "SimulationKernel", "ScopeKernel", "form_kernel"]
    assert km.kernel.__self__ is SimulationKernel and km.form_kernel.__self__ is Kernel
    assert km.function == km.KernelFunction.wrap
    names = {}
    exec("from tarvok.zelvo.kernel import *", names)
    assert "function" not in names and "KernelParseError" not in names
    # Members in their published order.
    members = [n for n in Kernel.__dict__ if not n.startswith("__") or n in ("__init__", "__call__", "__repr__")]
    assert members[:14] == ["max_frame", "DefaultError", "__init__", "Simulator", "simulator",
                            "default_compile_params", "clear", "parse", "show", "__call__", "__repr__",
                            "_remove_tabs", "_kernel_eval", "_get_line_source"]
    assert members[-5:] == ["with_error", "node_line", "wrap", "form_kernel", "create_scope"]
    assert list(SimulationKernel.__dict__).count("parse") == 1


def test_metaclass_init_adds_nothing():
    made = km.ZelvoKernel("Made", (Kernel,), {"x": 1})
    assert made.x == 1 and made.__mro__[1] is Kernel
    assert km.ZelvoKernel.__init__(made, "Made", (Kernel,), {}) is None

    class Sub(Kernel):
        pass
    assert type(Sub) is km.ZelvoKernel and repr(Sub()) == "<Sub:>"


def test_namespace_order_decides_clashes():
    # Later imports replace library names; the kernel function library comes
    # before the instruction model, the passes and the simulator.
    from tarvok.zelvo import _functions, _ir, _simulator
    for name in ["copy", "inspect", "ast", "astor", "np", "Dict", "List", "Union", "Iterable", "Any", "Generic",
                 "TypeVar", "wraps", "lru_cache", "chain", "zip_longest"]:
        assert name in vars(km)
    assert "numpy" not in _functions.__all__ or km.numpy is _functions.numpy
    for name in _functions.__all__:
        assert hasattr(km, name)
    assert km.IRMov is _ir.IRMov and km.IRTimingPlaceholder is _ir.IRTimingPlaceholder
    assert km.WaveTimingSimulator is _simulator.WaveTimingSimulator
    assert km.SimulatorMeta is _simulator.SimulatorMeta
    assert km.HAS_WAVEFORM is False and not hasattr(km, "wf")


@pytest.mark.parametrize("how", ["function", "text", "both", "neither"])
def test_construction(how):
    text = "def other():\n    pass\n"
    k = {"function": lambda: Kernel(sample, (1,), {"x": 2}),
         "text": lambda: Kernel(src=text),
         "both": lambda: Kernel(sample, src=text),
         "neither": lambda: Kernel()}[how]()
    assert list(vars(k)) == ATTRIBUTES
    assert k.parent is k and k.instruction_list == [] and k.frame_idx == 0 and k.register_idx == 0
    assert all(getattr(k, t) == {} for t in TABLES)
    assert k.instr_target_map == {} and k.jail_tag == {}
    assert k.compile_params == COMPILE_PARAMS and list(k.compile_params) == list(COMPILE_PARAMS)
    if how == "function":
        assert (k.name, k.func_args, k.func_kwargs) == ("sample", (1,), {"x": 2})
        assert k.top_src == inspect.getsource(sample)
        assert isinstance(k.top_node, ast.Module)
    elif how == "text":
        assert (k.name, k.top_src, k.func_args, k.func_kwargs) == ("program", text, None, None)
    elif how == "both":
        assert k.name == "sample" and k.top_src == text
    else:
        assert k.name == "" and k.top_src is None
        assert type(k.top_node) is ast.Constant and k.top_node.value is None
        assert repr(k) == "<Kernel:>"


def test_every_dictionary_and_list_is_new():
    a, b = Kernel(), Kernel()
    for name in TABLES + ["instruction_list", "instr_target_map", "jail_tag", "compile_params", "pass_params"]:
        assert getattr(a, name) is not getattr(b, name)
    assert a.pass_params["rules"] is not b.pass_params["rules"]


def test_default_parameters():
    k = Kernel()
    first, second = k.default_compile_params, k.default_compile_params
    assert first == second == COMPILE_PARAMS and first is not second
    first["base_clock"] = 1.0
    assert k.compile_params["base_clock"] == 4e-9 and second["base_clock"] == 4e-9
    # A changed dict leaves the ones made after it alone.
    assert k.default_compile_params == COMPILE_PARAMS and list(k.default_compile_params) == list(COMPILE_PARAMS)
    p = k.pass_params
    assert list(p) == ["rules", "checkers", "optimizers", "translate"]
    assert [c.__name__ for c in p["rules"]] == RULES
    assert [c.__name__ for c in p["checkers"]] == CHECKERS
    assert [c.__name__ for c in p["optimizers"]] == OPTIMIZERS
    assert p["translate"] is km.NormalTranslator
    assert all(getattr(km, c.__name__) is c for c in p["rules"] + p["checkers"] + p["optimizers"])


def test_subclass_default_compile_params_is_read_through_the_object():
    class Fast(Kernel):
        @property
        def default_compile_params(self):
            return {"base_clock": 1e-9}
    k = Fast(src="def f():\n    pass\n")
    assert k.compile_params == {"base_clock": 1e-9}
    k.parse()
    assert k.compile_params == {"base_clock": 1e-9}


def test_parse_resets_state_but_keeps_pass_params_and_earlier_lists(parse):
    k = parse("""
        def p():
            zv.IRNop()
        """)
    first = k.instruction_list
    tables = {t: getattr(k, t) for t in TABLES}
    k.compile_params["base_clock"] = 8e-9
    k.pass_params["rules"] = []
    k.var_symbol["x"] = 1
    k.instr_target_map["t"] = 3
    assert k.parse() is k.instruction_list
    assert k.instruction_list is not first and len(first) == 1 and len(k.instruction_list) == 1
    assert k.compile_params["base_clock"] == 4e-9 and k.pass_params["rules"] == []
    assert k.var_symbol == {} and tables["var_symbol"] == {"x": 1}
    assert all(getattr(k, t) is not tables[t] for t in TABLES)
    assert k.instr_target_map == {"t": 3}


def test_clear_rebinds_in_order():
    k = Kernel()
    k.frame_idx, k.register_idx = 3, 4
    seen = []

    class Spy(Kernel):
        def __setattr__(self, name, value):
            seen.append(name)
            super().__setattr__(name, value)
    spy = Spy()
    seen.clear()
    assert spy.clear() is None
    assert seen == ["var_symbol", "frame_symbol", "frame_idx", "envelope_symbol", "register_symbol",
                    "register_idx", "instruction_list", "compile_params", "freq_list_symbol", "waveform_symbol",
                    "demodulation_symbol"]
    assert Kernel.clear(k) is None and k.frame_idx == 0 and k.register_idx == 0


def test_parse_failures_propagate_unchanged():
    with pytest.raises(TypeError):
        Kernel().parse()
    with pytest.raises(SyntaxError):
        Kernel(src="def f(:\n    pass\n")
    k = Kernel(src="def f():\n    pass\n")
    k.top_src = "def f(:\n"
    with pytest.raises(SyntaxError):
        k.parse()


def test_parse_error_keeps_what_was_visited(parse):
    k = Kernel(src="def p():\n    zv.IRNop()\n    zv.nothing_here()\n    zv.IRNop()\n")
    with pytest.raises(KernelParseError):
        k.parse()
    assert len(k.instruction_list) == 1


@pytest.mark.parametrize("kind", [Kernel, ScopeKernel])
def test_plain_and_scope_kernels_have_no_simulator(kind):
    k = Kernel() if kind is Kernel else Kernel().create_scope()
    for prop in ("Simulator", "simulator"):
        with pytest.raises(NotImplementedError) as info:
            getattr(k, prop)
        assert info.value.args == ()


def test_show_and_repr():
    k = Kernel(sample)
    assert k.show() is None
    assert repr(k) == "<Kernel:sample>"
    k.name = 7
    assert repr(k) == "<Kernel:7>"


REMOVE_TABS = [
    ("    def f():\n        x\n", "def f():\n    x\n"),
    ("    a\n\n    b\n  c\n", "a\n\nb\n  c\n"),
    ("\tdef f():\n\t\tx\n", "\tdef f():\n\t\tx\n"),
    ("      ", ""),
    ("", ""),
    ("def f():\n    x\n", "def f():\n    x\n"),
    ("  s = '''\n  inside\n  '''\n", "s = '''\ninside\n'''\n"),
    ("  é\n  ü\ud800\n", "é\nü\ud800\n"),
]


@pytest.mark.parametrize("source, expected", REMOVE_TABS)
def test_remove_tabs(source, expected):
    assert Kernel._remove_tabs(source) == expected
    assert Kernel()._remove_tabs(source) == expected


def python_remove_tabs(source):
    n = len(source) - len(source.lstrip(" "))
    return source[n:].replace("\n" + " " * n, "\n")


@given(st.text(alphabet=" \n\tab\u00e9\ud800", max_size=40))
def test_remove_tabs_matches_the_text_rule(source):
    assert Kernel._remove_tabs(source) == python_remove_tabs(source)


def test_remove_tabs_refuses_non_text():
    with pytest.raises(TypeError):
        Kernel._remove_tabs(b"  x")


def test_indented_first_line_with_a_tab_is_refused_by_the_parser():
    with pytest.raises(IndentationError):
        Kernel(src="\t  def f():\n\t      pass\n")
