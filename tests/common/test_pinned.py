"""A member a fast path does the work of is trusted only while it still runs
what it ran when pinned: a Python function's identity survives a new
__code__, __defaults__ or __kwdefaults__ (an in-place reload, a patching
tool), and so does that of a static method or property over one."""
import abc

import pytest

import _common_probe as cp
from helpers import instancecheck_refusing_marked


def replacement(a, b=1, *, c=2):
    return a * b * c


def fresh():
    """A function of its own, so that changing it touches nothing else."""
    def f(a, b=1, *, c=2):
        return a + b + c
    return f


def set_code(f):
    f.__code__ = replacement.__code__


def set_defaults(f):
    f.__defaults__ = (10,)


def set_kwdefaults(f):
    f.__kwdefaults__ = {"c": 20}


def code_back_again(f):
    code = f.__code__
    f.__code__ = replacement.__code__
    f.__code__ = code


def rename(f):
    f.__name__ = "renamed"
    f.__doc__ = "documented"
    f.marker = 1


@pytest.mark.parametrize("change, trusted", [
    (set_code, False),
    (set_defaults, False),
    (set_kwdefaults, False),
    (code_back_again, True),
    (rename, True),
], ids=lambda v: getattr(v, "__name__", str(v)))
@pytest.mark.parametrize("wrap, inner", [
    (lambda f: f, lambda m: m),
    (staticmethod, lambda m: m.__func__),
    (classmethod, lambda m: m.__func__),
    (property, lambda m: m.fget),
    (lambda f: property(None, f), lambda m: m.fset),
], ids=["function", "staticmethod", "classmethod", "property getter", "property setter"])
def test_a_pin_holds_while_the_function_runs_what_it_ran(change, trusted, wrap, inner):
    member = wrap(fresh())
    assert cp.pin_holds(member, lambda: change(inner(member))) is trusted


def relink(member, f):
    member.__init__(f)


@pytest.mark.parametrize("wrap, again", [
    (staticmethod, relink),
    (classmethod, relink),
    (property, relink),
    (lambda f: property(None, f), lambda m, f: m.__init__(None, f)),
    (lambda f: staticmethod(len), relink),
], ids=["staticmethod", "classmethod", "property getter", "property setter", "staticmethod of a builtin"])
def test_a_wrapper_linked_to_another_function_is_no_longer_trusted(wrap, again):
    """Calling a wrapper's __init__ again links it to another function in
    place: what it runs is no longer what was pinned."""
    member = wrap(fresh())
    assert not cp.pin_holds(member, lambda: again(member, fresh()))


def test_a_builtin_is_trusted_by_identity():
    assert cp.pin_holds(len, lambda: None)
    assert cp.pin_holds(staticmethod(len), lambda: None)


def test_instance_test_answers_kept_across_scopes_follow_the_code_abcmeta_has_now(monkeypatch):
    """The answers a scope keeps for a class made by ABCMeta stand for that
    class's checks, which are functions of abc: a new __code__ for one of
    them is run in the next scope, and nothing kept before is used."""
    base = abc.ABCMeta("Base", (), {})
    sub = type("Sub", (base,), {})
    a, b = sub(), sub()
    pairs = [(a, base), (b, base)]
    assert cp.instance_tests(pairs) == [True, True]
    b._tvk_refused = True
    monkeypatch.setattr(abc.ABCMeta.__instancecheck__, "__code__", instancecheck_refusing_marked.__code__)
    assert cp.instance_tests(pairs) == [isinstance(a, base), isinstance(b, base)] == [True, False]
    monkeypatch.undo()
    assert cp.instance_tests(pairs) == [True, True]
