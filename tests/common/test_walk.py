"""Unpacking, checked calls and message texts of the shared layer against
the interpreter's own."""
import pytest

import _common_probe as cp


def check_same(ours, theirs, *args):
    """ours(*args) gives what theirs(*args) gives, or raises the same error with the same text."""
    try:
        expected = theirs(*args)
    except Exception as e:  # noqa: BLE001 - any error is the one to match
        with pytest.raises(type(e)) as got:
            ours(*args)
        assert str(got.value) == str(e)
    else:
        assert ours(*args) == expected


def unpacked(obj, n):
    """`[v0, ..., v(n-1)] = obj` as the interpreter runs it."""
    names = ", ".join(f"v{i}" for i in range(n))
    scope = {"obj": obj}
    exec(f"[{names}] = obj\nresult = ({names}{',' if n else ''})", scope)
    return scope["result"]


class IterRaises:
    def __iter__(self):
        raise TypeError("iteration refused")


class GetItemOnly:
    def __getitem__(self, i):
        if i < 3:
            return i * 10
        raise IndexError(i)


def failing_midway():
    yield 1
    raise ValueError("gave out")


@pytest.mark.parametrize("make, n", [
    (lambda: (1, 2, 3), 3), (lambda: [1, 2, 3], 3), (lambda: (1, 2), 3), (lambda: [1, 2, 3, 4], 3),
    (lambda: iter([1, 2]), 2), (lambda: (x for x in range(5)), 2), (lambda: "ab", 2), (lambda: "abc", 2),
    (lambda: {1: 2, 3: 4}, 2), (lambda: (), 0), (lambda: (1,), 0), (lambda: 5, 2), (lambda: None, 1),
    (IterRaises, 2), (GetItemOnly, 3), (GetItemOnly, 2), (failing_midway, 2), (lambda: iter([]), 1),
])
def test_unpack_is_the_interpreters(make, n):
    check_same(lambda: cp.unpack(make(), n), lambda: unpacked(make(), n))


def test_call_takes_up_to_eight_arguments():
    assert cp.call(lambda: "none") == "none"
    assert cp.call(lambda *a: a, 1) == (1,)
    assert cp.call(lambda *a: a, *range(8)) == tuple(range(8))
    with pytest.raises(ValueError, match="call: too many arguments"):
        cp.call(lambda *a: a, *range(9))


class Texts:
    def __str__(self):
        return "str \u00e9 form"

    def __repr__(self):
        return "<repr \u2192 form>"


class Broken:
    def __str__(self):
        raise KeyError("no str")

    __repr__ = __str__


@pytest.mark.parametrize("x", ["abc", "it's \"q\"", 7, -2**80, 0.1, 1e22, None, (1, "a"), Texts(), Broken()])
def test_message_texts_are_str_and_repr(x):
    check_same(cp.str_text, str, x)
    check_same(cp.repr_text, repr, x)
