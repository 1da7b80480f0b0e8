"""Conditions: comparisons into conditional jumps, the layout of a run-time if,
the compile-time if, and the refusals of every other test."""
import ast

import pytest

from tarvok.zelvo import _ir
from tarvok.zelvo.kernel import Kernel, KernelParseError

HEAD = """def p():
    r: zv.Reg = 0
    s: zv.Reg = 0
    n: zv.Int = 4
    v: zv.Var = np.array([0, 5])
    w: zv.Var = 2
"""


def kernel_of(parse, *lines):
    return parse(HEAD + "".join(f"    {line}\n" for line in lines))


def body(k):
    return k.instruction_list[2:]   # after the two register moves


def waits(k):
    return [ins.width for ins in k.instruction_list if type(ins) is _ir.IRWait]


def test_run_time_if_layout(parse):
    k = kernel_of(parse, "if r == 3:", "    zv.wait(1)", "else:", "    zv.wait(2)")
    jump, b, inside, land, a, end = body(k)
    assert type(jump) is _ir.IRJumpConditional and (jump.idx, jump.result, jump.feedback_chnl) == (0, 3, 0)
    assert jump.kernel is k and jump.line == 7      # the if's line, for a field refused at translation
    assert (b.width, a.width) == (2, 1)
    assert type(inside) is _ir.IRJumpInside and inside.kernel is None and inside.line == 0
    assert type(land) is type(end) is _ir.IRPlaceholder
    assert land.tag == jump.tag and end.tag == inside.tag and land.kernel is None


def test_if_without_else_and_with_empty_branches(parse):
    k = kernel_of(parse, "if s == 1:", "    zv.wait(1)")
    assert [type(i) for i in body(k)] == [_ir.IRJumpConditional, _ir.IRJumpInside, _ir.IRPlaceholder, _ir.IRWait,
                                          _ir.IRPlaceholder]
    assert body(k)[0].idx == 1
    with pytest.raises(KernelParseError, match="line 7, .*\n.*integer constant, not float 0.5$"):
        kernel_of(parse, "if r == 0.5:", "    pass")


def test_elif_chain(parse):
    k = kernel_of(parse, "if r == 1:", "    zv.wait(1)", "elif r == 2:", "    zv.wait(2)", "else:", "    zv.wait(3)")
    got = body(k)
    j1, j2, c, in2, p2, b, e2, in1, p1, a, e1 = got
    assert [x.width for x in (a, b, c)] == [1, 2, 3]
    assert (j1.result, j2.result) == (1, 2)
    assert (p2.tag, e2.tag, p1.tag, e1.tag) == (j2.tag, in2.tag, j1.tag, in1.tag)


def test_feedback_channel_after_receive(parse):
    k = kernel_of(parse, "r = zv.receive(3)", "if r == 1:", "    pass")
    jump = body(k)[1]
    assert (jump.idx, jump.result, jump.feedback_chnl) == (0, 1, 3)


def test_chained_comparison_counts_its_first_pair(parse):
    k = kernel_of(parse, "if r == 1 == 2:", "    pass")
    assert body(k)[0].result == 1


def test_comparison_statement_appends_the_jump_alone(parse):
    k = kernel_of(parse, "r == 2", "w == 2")
    jump, value, other = body(k)      # the statements' own values are None
    assert type(jump) is _ir.IRJumpConditional and value is None and other is None


@pytest.mark.parametrize("test, taken", [
    ("v[1] == 5", "yes"), ("v[1] == 4", "no"), ("v[0] == 0", "yes"), ("v[0] == 0.0", "yes"),
])
def test_compile_time_if_lowers_only_the_selected_branch(parse, test, taken):
    # The branch not taken is never looked at, errors and all.
    yes, no = "zv.wait(1)", "zv.wait(2)"
    if taken == "yes":
        no = "zv.nowhere()"
    else:
        yes = "zv.nowhere()"
    k = kernel_of(parse, f"if {test}:", f"    {yes}", "else:", f"    {no}")
    assert waits(k) == ([1] if taken == "yes" else [2])
    assert not any(type(i) in (_ir.IRPlaceholder, _ir.IRJumpConditional) for i in k.instruction_list)


# -1 is a unary minus, not a literal.
@pytest.mark.parametrize("test, segment, message", [
    ("r != 1", "r != 1", "Unknown comparison operator <ast.NotEq object at"),
    ("r >= 1", "r >= 1", "Unknown comparison operator <ast.GtE object at"),
    ("r in (1,)", "r in (1,)", "Unknown comparison operator <ast.In object at"),
    ("r is None", "r is None", "Unknown comparison operator <ast.Is object at"),
    ("r > 1", "r > 1", "<ast.Compare object at"),
    ("r < 1", "r < 1", "<ast.Compare object at"),
    ("r == -1", "r == -1", "Symbol comparisons are not allowed"),
    ("r == s", "r == s", "Symbol comparisons are not allowed"),
    ("n == 1", "n == 1", "Symbol comparisons are not allowed"),
    ("r + 1", None, "Unknown judgement type"),
    # The compile-time if honours only ==.
    ("v[1] != 5", "v[1] != 5", "Unknown comparison operator <ast.NotEq object at"),
    ("v[1] > 5", "v[1] > 5", "Unknown comparison operator <ast.Gt object at"),
    # Tests that would otherwise drop both branches, or fail inside the interpreter.
    ("r", None, "Unknown judgement type"),
    ("r and s", None, "Unknown judgement type"),
    ("not r", None, "Unknown judgement type"),
    ("w == 2", None, "Unknown judgement type"),
    ("1 == r", None, "Unknown judgement type"),
    ("f(1)", None, "Unknown judgement type"),
    ("np.any(1)", None, "Unknown judgement type"),
    ("a.b.f()", None, "Unknown judgement type"),
    ("q[0] == 1", None, "Unknown judgement type"),
    ("v[w] == 1", None, "Unknown judgement type"),
    ("v[0] == w", None, "Unknown judgement type"),
    ("v[0] + 1", None, "Unknown judgement type"),
])
def test_if_refusals(refusal, test, segment, message):
    text = refusal(HEAD + f"    zv.IRNop()\n    if {test}:\n        zv.IRNop()\n")
    segment = segment or f"if {test}:\n        zv.IRNop()"
    assert text.startswith(f'in kernel p, line 8, "{segment}":\n{message}')
    if message.startswith("<ast.Compare"):
        assert text.endswith("> are not allowed")


def test_int_symbol_without_a_feedback_channel_is_refused_at_the_comparison(refusal):
    # An Int symbol has no feedback channel: not a register to branch on.
    text = refusal(HEAD + "    n == 1\n")
    assert text == 'in kernel p, line 7, "n == 1":\nSymbol comparisons are not allowed'


def test_negative_literal_is_refused_at_the_if():
    # Source text writes -5 as a unary minus (refused above); a tree made otherwise holds the literal.
    k = Kernel(src=HEAD + "    if r == -5:\n        zv.IRNop()\n")
    with pytest.raises(KernelParseError, match="Symbol comparisons"):
        k.parse()                       # leaves the declarations and the tree behind
    statement = k.top_node.body[0].body[-1]
    test = statement.test
    test.comparators[0] = ast.copy_location(ast.Constant(-5), test.comparators[0])
    before = list(k.instruction_list)
    with pytest.raises(KernelParseError) as info:
        k.visit(statement)
    assert str(info.value) == ('in kernel p, line 7, "r == -5":\n'
                               'A register compares only with a non-negative integer constant, not -5')
    assert k.instruction_list == before


def test_refused_if_appends_nothing_more():
    k = Kernel(src=HEAD + "    zv.IRNop()\n    if r > 1:\n        zv.IRNop()\n")
    with pytest.raises(KernelParseError):
        k.parse()
    assert type(k.instruction_list[-1]) is _ir.IRNop and len(k.instruction_list) == 3


def test_handlers_called_directly(parse):
    k = kernel_of(parse)
    cmp = ast.parse("r == 1").body[0].value
    for name in ["_handle_gt", "_handle_lt", "_handle_in", "_handle_noteq", "_handle_gte", "_handle_lte"]:
        with pytest.raises(KernelParseError, match="are not allowed$"):
            getattr(k, name)(cmp.left, cmp.comparators[0], cmp)
    assert k._handle_eq(ast.Name(id="w"), ast.Constant(value=1), cmp) is None
    assert k._set_judge_symbol(cmp.left, cmp.comparators[0], cmp) is None
    assert type(k.instruction_list[-1]) is _ir.IRJumpConditional
    with pytest.raises(KernelParseError, match="Symbol comparisons are not allowed$"):
        k._handle_eq(ast.Constant(value=1), ast.Name(id="r"), cmp)


def test_if_in_a_scope_lowers_into_the_scope(parse):
    k = kernel_of(parse)
    scope = k.create_scope()
    scope.visit(ast.parse("if r == 1:\n    zv.IRNop()\n").body[0])
    assert len(scope.instruction_list) == 5 and scope.instruction_list[0].kernel is scope
    assert len(k.instruction_list) == 2
