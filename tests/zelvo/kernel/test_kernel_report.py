"""Error reporting: the kernel error text, failed evaluations, and checker
records raised through with_error at the statement that made the instruction."""
import ast
import inspect

import pytest

from tarvok.zelvo import _errors
from tarvok.zelvo.kernel import Kernel, KernelParseError, form_kernel, kernel


@kernel
def faulty():
    zv.IRNop()
    zv.nothing()


def spread():
    zv.IRNop()
    zv.frame(
        "not a number", 1, 2, 3)


def test_error_text_of_a_decorated_kernel():
    with pytest.raises(KernelParseError) as info:
        faulty()
    assert str(info.value) == ('in kernel faulty, line 4, "zv.nothing()":\n'
                               "Function Parse Error, name 'nothing' is not defined")
    # The failure stays attached as the parse error's context.
    assert type(info.value.__context__) is NameError and info.value.args == (str(info.value),)


def test_error_in_a_multi_line_call_quotes_both_lines_and_form_kernel_counts_from_def():
    with pytest.raises(KernelParseError) as from_function:
        Kernel(spread).parse()
    with pytest.raises(KernelParseError) as from_text:
        form_kernel(inspect.getsource(spread))
    segment = 'zv.frame(\n        "not a number", 1, 2, 3)'
    assert str(from_function.value).startswith(f'in kernel spread, line 3, "{segment}":\nFunction Parse Error, ')
    assert str(from_text.value).startswith(f'in kernel spread, line 3, "{segment}":\n')
    decorated = "@kernel\n" + inspect.getsource(spread)
    with pytest.raises(KernelParseError) as with_decorator:
        form_kernel(decorated)
    assert str(with_decorator.value).startswith('in kernel spread, line 4, "zv.frame(')


def test_only_exceptions_become_parse_errors(km, monkeypatch):
    def leave():
        raise SystemExit(3)
    monkeypatch.setattr(km, "leave", leave, raising=False)
    with pytest.raises(SystemExit):
        form_kernel("def p():\n    zv.leave()\n")


def test_raise_error_pieces_and_refusals():
    k = form_kernel("def p():\n    zv.IRNop()\n")
    stmt = k.top_node.body[0].body[0]
    with pytest.raises(ValueError) as info:
        k._raise_error(ValueError, stmt, 42)
    assert str(info.value) == 'in kernel p, line 2, "zv.IRNop()":\n42'
    bare = ast.Pass(lineno=9)            # no end position: no segment
    with pytest.raises(KernelParseError, match='line 9, "None":\nm$'):
        k._raise_error(KernelParseError, bare, "m")
    with pytest.raises(AttributeError):
        k._raise_error(KernelParseError, ast.Pass(), "m")
    with pytest.raises(TypeError, match="exceptions must derive from BaseException"):
        k._raise_error(lambda text: text, stmt, "m")
    assert k._get_line_source(stmt) == "zv.IRNop()" and k._get_line_source(bare) is None


@pytest.fixture
def made():
    k = form_kernel("def p():\n    zv.IRNop()\n    zv.IRNop(); zv.IRNop()\n    while True:\n        zv.IRNop()\n")
    return k, k.instruction_list


def record(ins, cls=_errors.TimingError, code="0x1000", message="too close"):
    return [message, None, ins, None, cls, code]


@pytest.mark.parametrize("error", [None, (), {}, "x"])
def test_with_error_takes_exactly_a_list(made, error):
    k, _ = made
    with pytest.raises(TypeError) as info:
        k.with_error(error)
    assert str(info.value) == ("Argument 'error' has incorrect type (expected list, got "
                               f"{type(error).__name__})")

    class Records(list):
        pass
    with pytest.raises(TypeError):
        k.with_error(Records())


def test_with_error_raises_the_first_record_with_its_own_class(made):
    k, ins = made
    assert k.with_error([]) is None
    with pytest.raises(_errors.PlayError) as info:
        k.with_error([record(ins[0], _errors.PlayError, "0x2000", "amp"), record(ins[1])])
    assert str(info.value) == 'in kernel p, line 2, "zv.IRNop()":\n[error 0x2000]-PlayError amp'
    with pytest.raises(_errors.TimingError, match=r'line 3, "zv.IRNop\(\)":\n\[error 0x1000\]-TimingError 7$'):
        k.with_error([record(ins[2], message=7), "never read"])


def test_node_line_falls_back_to_the_function_definition(made):
    k, ins = made
    whole = k.top_src.rstrip("\n")
    assert k.node_line(ins[0]) is k.top_node.body[0].body[0]
    ins[0].line = 0
    with pytest.raises(_errors.CaptureError) as info:
        k.with_error([record(ins[0], _errors.CaptureError)])
    assert str(info.value).startswith(f'in kernel p, line 1, "{whole}":\n[error 0x1000]-CaptureError')
    # Nested statements are not searched: the one inside `while` reports the def.
    assert ins[3].line == 5 and k.node_line(ins[3]) is k.top_node.body[0]
    with pytest.raises(AttributeError):
        k.node_line(object())


def test_node_line_of_a_source_without_a_function(km):
    # The first statement has no body: it is the one reported.
    k = form_kernel("zv.IRNop()\n")
    with pytest.raises(_errors.TimingError, match=r'^in kernel program, line 1, "zv.IRNop\(\)":\n'):
        k.with_error([record(k.instruction_list[0])])


def test_records_with_missing_parts_fail_with_the_interpreters_error(made):
    k, ins = made
    with pytest.raises(IndexError):
        k.with_error([["only a message"]])
    with pytest.raises(TypeError):
        k.with_error([record(ins[0], cls=object)])
