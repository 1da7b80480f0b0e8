"""Loops and the library hooks: the compile-time for, the register for through
the library's for_call hook (repeat), while True with its two scopes, and the
hook calls of hooked if and for statements."""
import ast

import pytest

from tarvok.zelvo import _ir
from tarvok.zelvo._functions import KernelFunction
from tarvok.zelvo.kernel import Kernel, KernelParseError, ScopeKernel

HEAD = """def p():
    r: zv.Reg = 0
    i: zv.Var = 7
    e: zv.Var = np.array([])
    xs: zv.Var = np.array([1, 2])
"""


def kernel_of(parse, *lines):
    return parse(HEAD + "".join(f"    {line}\n" for line in lines))


def body(k):
    return k.instruction_list[1:]


def test_compile_time_for_unrolls(parse):
    k = kernel_of(parse, "for i in range(3):", "    zv.wait(i)")
    assert [w.width for w in body(k)] == [0, 1, 2] and k.var_symbol["i"] == 2
    k = kernel_of(parse, "for i in xs:", "    zv.wait(i)")
    assert [w.width for w in body(k)] == [1, 2]
    k = kernel_of(parse, "for i in np.arange(2):", "    zv.wait(i + 1)")
    assert [w.width for w in body(k)] == [1, 2]


def test_empty_loop_keeps_the_variable_and_still_refuses_else(parse, refusal):
    k = kernel_of(parse, "for i in e:", "    zv.wait(1)")
    assert body(k) == [] and k.var_symbol["i"] == 7
    text = refusal(HEAD + "    for i in e:\n        pass\n    else:\n        pass\n")
    assert text.endswith(":\nUnallowed else condition in Compile-time loops")
    k = Kernel(src=HEAD + "    for i in range(2):\n        zv.wait(i)\n    else:\n        pass\n")
    with pytest.raises(KernelParseError):
        k.parse()
    assert len(body(k)) == 2        # unrolled before the refusal


@pytest.mark.parametrize("loop, message", [
    ("for i in 5:", "Unallowed if condition"),
    ("for i in [1, 2]:", "Unallowed if condition"),
    ("for i in r:", "Unallowed if condition"),
    ("for k in xs:", "the iter variable k is not defined"),
    ("for a, b in xs:", "the iter variable a, b is not defined"),
    ("for i in zv.wait(1):", "veriable zv.wait(1)= Unallowed for loop"),
    ("for i in range(n):", "Function Parse Error, name 'n' is not defined"),
    # A register loop needs a library iterable: anything else would lose its body.
    ("for r in range(3):", "Unallowed if condition"),
    ("for r in xs:", "Unallowed if condition"),
    # A library function without a for hook would lose it as well.
    ("for r in zv.frame(1e8):", "Unallowed if condition"),
    ("for r in zv.repeat(2, k=1):", "Function zv.repeat could not have keywords"),
])
def test_for_refusals(refusal, loop, message):
    text = refusal(HEAD + f"    {loop}\n        zv.IRNop()\n")
    assert text.rsplit('":\n', 1)[1].startswith(message) and ", line 6, " in text


def test_non_iterable_variable_names_it_and_its_value(refusal, parse):
    text = refusal(HEAD + "    n: zv.Var = 5\n    for i in n:\n        pass\n")
    assert text == 'in kernel p, line 7, "for i in n:\n        pass":\nveriable n=5 Unallowed for loop'


def test_declaration_in_an_unrolled_body_is_a_repeated_declaration(refusal):
    text = refusal(HEAD + "    for i in range(2):\n        x: zv.Var = i\n")
    assert text.endswith('"x: zv.Var = i":\nVariable "x" has been defined')


@pytest.mark.parametrize("stmt", ["break", "continue"])
def test_break_and_continue_are_refused(refusal, stmt):
    text = refusal(HEAD + f"    for i in range(2):\n        {stmt}\n")
    assert text == f'in kernel p, line 7, "{stmt}":\nUnallowed {stmt} statement'


def test_repeat_lowers_a_register_loop(parse):
    k = kernel_of(parse, "for r in zv.repeat(3):", "    zv.wait(1)", "    zv.wait(2)")
    landing, w1, w2, loop = body(k)
    assert type(landing) is _ir.IRPlaceholder and type(loop) is _ir.IRLoop
    assert (w1.width, w2.width) == (1, 2)
    assert loop.target is landing and loop.count == 3 and loop.kernel is k and landing.kernel is k
    assert loop.line == landing.line == 6
    with pytest.raises(KernelParseError, match="Unallowed else condition in register loops$"):
        kernel_of(parse, "for r in zv.repeat(3):", "    pass", "else:", "    pass")
    with pytest.raises(KernelParseError, match="Function Parse Error, repeat count must be a positive integer"):
        kernel_of(parse, "for r in zv.repeat(0):", "    pass")


def test_while_true_layout(parse):
    k = kernel_of(parse, "while True:", "    zv.wait(1)")
    first, landing, second, back = body(k)
    assert type(first) is type(second) is _ir.IRWait and first is not second and first.tag != second.tag
    assert type(first.kernel) is type(second.kernel) is ScopeKernel and first.kernel is not second.kernel
    assert first.kernel.parent is k and landing.kernel is None
    assert type(back) is _ir.IRJumpImmNormal and back.target is landing and back.kernel is k
    k = kernel_of(parse, "while True:", "    pass")
    landing, back = body(k)
    assert back.target is landing


def test_while_scopes_are_made_loop_first(parse, km, monkeypatch):
    made = []
    real = Kernel.create_scope

    def spy(self):
        scope = real(self)
        made.append(scope)
        return scope
    monkeypatch.setattr(Kernel, "create_scope", spy)
    k = kernel_of(parse, "while True:", "    zv.wait(1)")
    loop_scope, pre_loop_scope = made
    assert body(k)[0].kernel is pre_loop_scope and body(k)[2].kernel is loop_scope


def test_nested_while_lowers_the_inner_body_four_times(parse):
    k = kernel_of(parse, "while True:", "    while True:", "        zv.wait(1)")
    waits = [i for i in body(k) if type(i) is _ir.IRWait]
    backs = [i for i in body(k) if type(i) is _ir.IRJumpImmNormal]
    assert len(waits) == 4 and len(set(map(id, waits))) == 4 and len(backs) == 3
    positions = {id(i): n for n, i in enumerate(k.instruction_list)}
    assert all(positions[id(b.target)] < positions[id(b)] for b in backs)


@pytest.mark.parametrize("decl", ["x: zv.Var = 1", "x: zv.Reg = 1", "x: zv.Envelope = 1"])
def test_declaration_in_while_is_refused_on_the_second_visit(decl):
    k = Kernel(src=HEAD + f"    while True:\n        {decl}\n")
    with pytest.raises(KernelParseError, match='Variable "x" has been defined$'):
        k.parse()
    assert "x" in k.var_symbol or "x" in k.register_symbol or "x" in k.envelope_symbol
    assert len(body(k)) == 0       # the loop's scopes were never merged


def test_waveform_declared_in_while_stays_in_the_scopes(parse):
    k = kernel_of(parse, "while True:", "    w: zv.Waveform = zv.waveform(np.ones(2))")
    assert k.waveform_symbol == {} and sum(type(i) is _ir.IRWaveform for i in body(k)) == 2


@pytest.mark.parametrize("test", ["1", "x", "True == True", "not False"])
def test_while_needs_the_literal_true(refusal, test):
    assert refusal(HEAD + f"    while {test}:\n        pass\n").endswith(":\nnot allowed while")


def test_register_loop_inside_while_runs_its_hook_twice(parse):
    k = kernel_of(parse, "while True:", "    for r in zv.repeat(2):", "        zv.wait(1)")
    loops = [i for i in body(k) if type(i) is _ir.IRLoop]
    assert len(loops) == 2 and all(type(l.kernel) is ScopeKernel for l in loops)
    assert loops[0].kernel is not loops[1].kernel


def test_hooked_if_hands_the_statement_to_the_library(parse, library):
    seen = []

    def if_hook(kernel, node, value):
        seen.append((kernel, node, value))
        kernel.visit(node.body[0])

    def flag(x):
        return ("flag", x)
    library(flag, if_call=if_hook)
    k = kernel_of(parse, "if zv.flag(r):", "    zv.wait(1)", "else:", "    zv.wait(2)")
    (kernel, node, value), = seen
    assert kernel is k and value == ("flag", 0) and isinstance(node, ast.If)
    assert node is not k.top_node.body[0].body[-1] and node.body is k.top_node.body[0].body[-1].body
    assert [w.width for w in body(k)] == [1]


def test_hook_members_return_the_copies(parse, library):
    calls = []

    def for_hook(kernel, node, *value):
        calls.append((kernel, node, *value))

    def counts(n):
        return n
    library(counts, for_call=for_hook)
    k = kernel_of(parse)
    stmt = ast.parse("for r in zv.counts(2):\n    pass\n").body[0]
    call_copy, stmt_copy = k._zv_func_on_for(stmt.iter, stmt, 7)
    assert calls == [(k, stmt_copy, 7)] and stmt_copy is not stmt and stmt_copy.body is stmt.body
    assert isinstance(call_copy.func, ast.Name) and call_copy.func.id == "counts"
    assert isinstance(stmt.iter.func, ast.Attribute)        # the statement itself is untouched
    k._zv_func_on_for(stmt.iter, stmt)                      # further arguments are optional
    assert calls[-1] == (k, calls[-1][1])


@pytest.mark.parametrize("if_call", [None, "missing"])
def test_hooked_if_without_a_hook_is_refused(parse, library, if_call, refusal):
    def plain(x):
        return x
    library(plain, pre_call=None)          # registered, without an if_call
    if if_call == "missing":
        KernelFunction._registry.pop("plain")
    text = refusal(HEAD + "    if zv.plain(1):\n        zv.IRNop()\n")
    assert text == 'in kernel p, line 6, "if zv.plain(1):\n        zv.IRNop()":\nUnknown judgement type'


def test_hook_errors_propagate_unwrapped(parse, library):
    def boom(kernel, node, value):
        raise LookupError("hook")

    def flag(x):
        return x
    library(flag, if_call=boom)
    with pytest.raises(LookupError, match="hook"):
        kernel_of(parse, "if zv.flag(1):", "    pass")


def test_keywords_in_a_hooked_test_are_refused_before_the_hook(parse, library, refusal):
    seen = []

    def flag(x):
        return x
    library(flag, if_call=lambda *a: seen.append(a))
    text = refusal(HEAD + "    if zv.flag(x=1):\n        pass\n")
    assert text == 'in kernel p, line 6, "zv.flag(x=1)":\nFunction zv.flag could not have keywords' and not seen
