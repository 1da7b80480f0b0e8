"""Library calls and expressions: the call forms, the tables each sees, the
pre-call hook, and what an expression statement puts into the list."""
import ast

import numpy as np
import pytest

from tarvok.zelvo import _ir
from tarvok.zelvo.kernel import Kernel, KernelParseError


def test_library_call_sees_variables_envelopes_frames_and_registers(parse, library):
    seen = []
    library(lambda *args: seen.append(args), "look")
    k = parse("""
        def p():
            v: zv.Var = 3
            e: zv.Envelope = 4
            f: zv.Frame = zv.frame(1e8, 0.0, 2)
            r: zv.Reg = 0
            n: zv.Int = 9
            w: zv.Waveform = 5
            zv.look(v, e, f, r, n)
            zelvo.look(v + 1, r)
        """)
    assert seen[0][:2] == (3, 4) and seen[0][2] is k.frame_symbol["f"] and seen[0][3:] == (0, 9)
    assert seen[1] == (4, 0)
    with pytest.raises(KernelParseError, match="Function Parse Error, name 'w' is not defined"):
        parse("def p():\n    w: zv.Waveform = 5\n    zv.look(w)\n")


def test_later_tables_win_and_tables_win_over_the_three_entries(parse, library):
    seen = []
    library(lambda *args: seen.append(args), "look")
    parse("""
        def p():
            self: zv.Var = 1
            node: zv.Reg = 0
            zv.look(self, node, locals_list)
            look: zv.Var = 5
            zv.IRNop()
        """)
    assert seen[0][:2] == (1, 0) and isinstance(seen[0][2], list)
    # A variable named like a library function shadows it from then on.
    with pytest.raises(KernelParseError, match="'int' object is not callable"):
        parse("def p():\n    look: zv.Var = 5\n    zv.look()\n")


def test_numpy_and_plain_calls_see_less(parse):
    k = parse("""
        def p():
            n: zv.Var = 3
            a: zv.Var = np.zeros(n)
            b: zv.Var = numpy.ones(2)
            c: zv.Var = len([1, 2])
            np.zeros(2)
        """)
    assert list(k.var_symbol["a"]) == [0, 0, 0] and list(k.var_symbol["b"]) == [1, 1]
    assert k.var_symbol["c"] == 2 and isinstance(k.instruction_list[0], np.ndarray)
    with pytest.raises(KernelParseError, match="name 'n' is not defined"):
        parse("def p():\n    n: zv.Var = 3\n    c: zv.Var = len(n)\n")
    with pytest.raises(KernelParseError, match="name 'r' is not defined"):
        parse("def p():\n    r: zv.Reg = 3\n    c: zv.Var = np.zeros(r)\n")


def test_call_results_and_what_the_statement_appends(parse, library):
    pair = (_ir.IRNop(), _ir.IRNop())
    library(lambda: pair, "pair")
    library(lambda: None, "none")
    library(lambda: _ir.IRNop(), "one")
    k = parse('''
        def p():
            """doc"""
            zv.pair()
            zv.none()
            zv.one(
            )
            [zv.one()]
            3
            -1
        ''')
    nop = k.instruction_list[3]
    # The docstring is skipped; a value statement appends its value.
    assert k.instruction_list == [pair[0], pair[1], None, nop, None, 3, -1]
    assert all(i.kernel is None and i.line == 0 for i in pair)
    assert type(nop) is _ir.IRNop and nop.kernel is k and nop.line == 6   # the call's first line


@pytest.mark.parametrize("stmt, message", [
    ("zv.frame(1e8, phase=0)", "Function zv.frame could not have keywords"),
    ("zv.frame(1e8, **{})", "Function zv.frame could not have keywords"),
    ("x.append(1)", "Unallowed function call"),
    ("a.b.f()", "Unallowed function call"),
    ("f()()", "Unallowed function call"),
    ("fs[0](1)", "Unallowed function call"),
    ("zv.nowhere(1)", "Function Parse Error, name 'nowhere' is not defined"),
    ("zv.frame()", "Function Parse Error, frame() takes at least 1 positional argument (0 given)"),
    ("zv.wait(wf.gaussian(1))", "Function Parse Error, name 'wf' is not defined"),
    ("wf.gaussian(1)", "Unallowed function call"),
])
def test_call_refusals(refusal, stmt, message):
    assert refusal(f"def p():\n    x: zv.Var = [1]\n    {stmt}\n") == \
        f'in kernel p, line 3, "{stmt}":\n{message}'


def test_keyword_refusal_comes_before_the_hook(parse, library):
    calls = []

    def hooked(x):
        return x
    library(hooked, pre_call=lambda kernel, node: calls.append((kernel, node)))
    with pytest.raises(KernelParseError):
        parse("def p():\n    zv.hooked(x=1)\n")
    assert calls == []
    parse("def p():\n    zv.hooked(1)\n")
    assert len(calls) == 1


def test_pre_call_hook_sees_the_rewritten_call_and_may_change_it(parse, library):
    calls = []

    def pre(kernel, node):
        calls.append((kernel, ast.unparse(node)))
        node.args = [ast.Constant(value=42)]

    def hooked(x):
        return ("ran", x)
    library(hooked, pre_call=pre)
    k = parse("def p():\n    zv.hooked(1)\n")
    assert calls == [(k, "hooked(1)")] and k.instruction_list == ["ran", 42]


def test_walrus_binding_stays_in_the_evaluation(parse):
    k = parse("def p():\n    v: zv.Var = 2\n    x: zv.Var = np.add((v := 5), v)\n    y: zv.Var = np.add(v, 0)\n")
    assert k.var_symbol == {"v": 2, "x": 10, "y": 2}


def test_kernel_eval_called_directly():
    k = Kernel()
    node = ast.parse("f(a, b)", mode="eval").body
    got = k._kernel_eval(node, [{"f": lambda *x: x, "a": 1}, {"a": 2, "b": 3}])
    assert got == (2, 3)
    view = k._kernel_eval(ast.parse("locals()", mode="eval").body, [{"q": 1}])
    assert view["q"] == 1 and view["self"] is k and "node" in view and dict(view.items())["q"] == 1
    assert sorted(view.keys()) == ["locals_list", "node", "q", "self"] and len(view) == 4
    # Keys equal to the three names but not the same objects find them too.
    spelled, kind = "".join(["se", "lf"]), type("Key", (str,), {})
    assert view[spelled] is k and view[kind("self")] is k and "node" in view and view.get(kind("nod") + "e") is not None
    assert kind("other") not in view and spelled in view
    # Tables given as other mappings are merged with the dictionary update.
    assert k._kernel_eval(ast.parse("a", mode="eval").body, [[("a", 7)]]) == 7
    with pytest.raises(TypeError):
        k._kernel_eval(ast.parse("a", mode="eval").body, [5])
    with pytest.raises(KernelParseError, match=r'^in kernel , line 1, "None":\nFunction Parse Error, '):
        k._kernel_eval(ast.Name(id="q", lineno=1), [])


def test_library_instructions_reach_the_list_with_line_and_kernel(parse):
    k = parse("""
        def p():
            w: zv.ArbWave = zv.arb_waveform('w', np.ones(8))
            zv.load_ddr(w)
            zv.play_ddr(w)
            zv.load_event(1)
            zv.clear_event('e0')
            zv.delay(4e-9)
            zv.frame_reset()
        """)
    kinds = [type(i) for i in k.instruction_list]
    assert kinds == [_ir.IRArbWaveform, _ir.IRLoadDDRImm, _ir.IRPlayDDRImm, _ir.IRLoadEvent, _ir.IRClearEvent,
                     _ir.IRDelay, _ir.IRFrameRst]
    assert [i.line for i in k.instruction_list] == list(range(3, 10))
    assert all(i.kernel is k for i in k.instruction_list)
    assert k.instruction_list[1].wave is k.var_symbol["w"]
