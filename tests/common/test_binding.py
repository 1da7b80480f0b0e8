"""Argument binding, type checks and class creation of the shared layer."""
import abc
import copy
import enum

import pytest

import _common_probe as cp


@pytest.mark.parametrize("args, kwargs, expected", [
    ((1, 2), {}, (1, 2, 3, {})),
    ((1,), {"b": 2, "c": 4}, (1, 2, 4, {})),
    ((), {"b": 2, "a": 1, "z": 9}, (1, 2, 3, {"z": 9})),
])
def test_bind_matches_python(args, kwargs, expected):
    assert cp.bind_kw(*args, **kwargs) == expected


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "f() takes at least 2 positional arguments (0 given)"),
    ((1,), {}, "f() takes at least 2 positional arguments (1 given)"),
    ((1, 2, 3, 4), {}, "f() takes at most 3 positional arguments (4 given)"),
    ((1,), {"c": 5}, "f() takes at least 2 positional arguments (1 given)"),
    ((1, 2), {"a": 1}, "f() got multiple values for keyword argument 'a'"),
])
def test_bind_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        cp.bind_kw(*args, **kwargs)
    assert str(info.value) == message


def test_varargs_and_unexpected_keyword():
    assert cp.bind_var(1, 2, 3) == (1, (2, 3))
    assert cp.bind_var(a=1) == (1, ())
    with pytest.raises(TypeError, match=r"^g\(\) got an unexpected keyword argument 'q'$"):
        cp.bind_var(1, q=2)
    with pytest.raises(TypeError, match=r"^g\(\) takes at least 1 positional argument \(0 given\)$"):
        cp.bind_var()


def test_exact_checks():
    assert cp.checks([], 1, 2.9) == (1.0, 2)
    with pytest.raises(TypeError) as info:
        cp.checks((), 1.0, 1)
    assert str(info.value) == "Argument 'x' has incorrect type (expected list, got tuple)"

    class MyList(list):
        pass

    with pytest.raises(TypeError, match="expected list, got MyList"):
        cp.checks(MyList(), 1.0, 1)
    with pytest.raises(TypeError, match="must be real number, not str"):
        cp.checks([], "1.0", 1)
    with pytest.raises(TypeError) as info:
        cp.checks([], 1.0, "3")
    assert str(info.value) == "Argument 'z' has incorrect type (expected int, got str)"
    assert cp.list_result([1]) == [1]
    with pytest.raises(TypeError, match=r"^Expected list, got tuple$"):
        cp.list_result((1,))


def test_cpp_failure_becomes_python_exception():
    with pytest.raises(IndexError, match="index past the end"):
        cp.raise_cpp()


def test_class_members():
    assert type(cp.Demo) is abc.ABCMeta
    assert cp.Demo.__module__ == "_common_probe" and cp.Demo.__qualname__ == "Demo"
    assert cp.Demo.__abstractmethods__ == frozenset({"must"})
    with pytest.raises(TypeError):
        cp.Demo()

    class Impl(cp.Demo):
        def must(self):
            return "impl"

    class Lazy(cp.Demo):
        pass

    with pytest.raises(TypeError):  # inherited abstract member stays abstract
        Lazy()
    d = Impl()
    assert d.value_ro == 1 and d.value_rw == 1
    d.value_rw = 5
    assert d.value_ro == 5
    with pytest.raises(AttributeError):
        d.value_ro = 3
    assert cp.Demo.count(1, 2) == 2 and d.count() == 0
    assert Impl.klass() is Impl and d.klass() is Impl
    assert d.defining() is cp.Demo
    assert cp.Demo.must(d) == "body"
    assert Impl.CONST == 7
    d.anything = 1  # open __dict__
    c = copy.copy(d)
    assert c.value_ro == 5 and c is not d


def test_flags_and_mixin():
    assert issubclass(cp.Flags, enum.IntFlag)
    assert cp.Flags.A | cp.Flags.B == 3 and list(cp.Flags) == [cp.Flags.A, cp.Flags.B]
    m = cp.GenTagMixin()
    assert m.generate_tag != m.generate_tag
    with pytest.raises(AttributeError):
        m.generate_tag = "x"
