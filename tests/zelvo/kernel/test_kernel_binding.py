"""The kernel function's header: which statement is compiled, and how each
parameter gets its value and its symbol."""
import pytest

from tarvok.zelvo.kernel import Kernel

WORKED = """
def k(a: 'zv.Var', b: 'zv.Var' = 2, c: 'zv.Var' = 3, *, d: 'zv.Var', e: 'zv.Var' = 5):
    pass
"""


@pytest.mark.parametrize("args, kwargs, expected", [
    ((10, 20), {"c": 30, "d": 7}, {"e": 5, "d": 7, "c": 30, "b": 20, "a": 10}),
    ((10, 20, 40, 50), {}, {"e": 5, "d": 50, "c": 40, "b": 20, "a": 10}),
    ((None, None), {"a": 1, "b": None}, {"e": 5, "d": None, "c": 3, "b": 2, "a": 1}),
    ((), {"zz": 1}, {"e": 5, "d": None, "c": 3, "b": 2, "a": None}),
    ((1, 2, 3, 4, 5), {"a": 99, "e": 98}, {"e": 5, "d": 4, "c": 3, "b": 2, "a": 1}),
])
def test_values_and_filing_order(parse, args, kwargs, expected):
    k = parse(WORKED, *args, **kwargs)
    assert k.var_symbol == expected
    assert list(k.var_symbol) == list(expected)   # filed from the last parameter to the first


def test_register_parameters_are_numbered_last_first(parse):
    k = parse("""
        def k(x: zv.Reg, y: zv.Reg, z: zv.Reg):
            zv.IRNop()
        """, 10, 20, 30)
    assert [k.register_symbol[n] for n in "xyz"] == [2, 1, 0]
    assert [str(i) for i in k.instruction_list] == ["movi %A0 30", "movi %A1 20", "movi %A2 10", "nop"]
    assert [i.line for i in k.instruction_list[:3]] == [2, 2, 2]


def test_defaults_are_visited_only_without_a_value_and_anew(parse):
    k = parse("""
        def k(a: 'zv.Var' = -1, b: 'zv.Var' = [1], c: 'zv.Var' = np.zeros(2), d: 'zv.Var' = zv.nope()):
            pass
        """, None, None, None, 4)
    assert k.var_symbol["a"] == -1 and k.var_symbol["b"] == [1] and k.var_symbol["d"] == 4
    first, listed = k.var_symbol["c"], k.var_symbol["b"]
    k.parse()
    assert list(first) == [0.0, 0.0] and k.var_symbol["c"] is not first and k.var_symbol["b"] is not listed


def test_too_many_positional_values_are_refused_before_anything_is_filed():
    k = Kernel(src=WORKED, args=(1, 2, 3, 4, 5, 6))
    with pytest.raises(TypeError) as info:
        k.parse()
    assert str(info.value) == "k() takes from 2 to 5 positional arguments but 6 were given"
    assert k.var_symbol == {} and k.instruction_list == []
    for src, args, text in [("def p():\n    pass\n", (1,), "p() takes 0 positional arguments but 1 was given"),
                            ("def p(r: zv.Reg):\n    pass\n", (1, 2), "p() takes 1 positional argument but 2 were given")]:
        with pytest.raises(TypeError, match=r"^" + text.replace("(", r"\(").replace(")", r"\)") + "$"):
            Kernel(src=src, args=args).parse()


def test_without_parameters_keywords_are_ignored(parse):
    assert parse("def p():\n    pass\n", zz=3).var_symbol == {}


@pytest.mark.parametrize("header, message, segment", [
    ("a, b: 'zv.Var'", "Unallowed variable declaration", "a"),
    ("a: 'zv.Var', b", "Unallowed variable declaration", "b"),
    ("a: int", "Unallowed variable declaration", "a: int"),
    ("a: 'zv.Foo' = 1", "Unknown variable type Foo", "a: 'zv.Foo'"),
    ("a: zv.Reg[0] = 1", "Unallowed variable declaration", "a: zv.Reg[0]"),
    ("a: 3 = 1", "Unallowed variable declaration", "a: 3"),
])
def test_parameter_refusals_point_at_the_parameter(refusal, header, message, segment):
    text = refusal(f"def p({header}):\n    pass\n")
    assert text == f'in kernel p, line 1, "{segment}":\n{message}'


def test_collecting_parameters_and_positional_only(parse):
    k = parse("def p(a: 'zv.Var', /, b: 'zv.Var', *rest, **more):\n    pass\n", 1, 2)
    assert k.var_symbol == {"b": 2, "a": 1}


def test_return_ends_nothing_and_only_the_first_statement_counts(parse):
    k = parse("""
        def p():
            zv.IRNop()
            return 3
            zv.IRNop()
        zv.IRNop()
        """)
    assert len(k.instruction_list) == 2


def test_a_definition_in_the_body_renames_and_binds_again(parse):
    k = parse("""
        def outer(a: 'zv.Var'):
            def inner(b: 'zv.Var'):
                zv.IRNop()
            zv.IRNop()
        """, 7)
    assert k.name == "inner" and k.var_symbol == {"a": 7, "b": 7} and len(k.instruction_list) == 2


def test_source_without_statements():
    with pytest.raises(IndexError):
        Kernel(src="# nothing\n").parse()
