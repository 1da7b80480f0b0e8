"""The shared number and text helpers against the interpreter's own operators."""
import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import _common_probe as cp

I64 = st.integers(min_value=-2**63, max_value=2**63 - 1)
ANY_FLOAT = st.floats(allow_nan=True, allow_infinity=True)
FINITE = st.floats(allow_nan=False, allow_infinity=False)


@settings(max_examples=3000)
@given(ANY_FLOAT)
def test_float_repr_matches_repr(x):
    assert cp.float_repr(x) == repr(x)


# Decimals of up to 15 significant digits and their neighbours, the values
# instruction texts mostly hold.
SHORT_DECIMALS = st.builds(lambda m, k, sign, nudge: sign * (m / 10**k) * (1 + nudge * 2**-52),
                           st.integers(1, 10**15), st.integers(0, 20), st.sampled_from([1, -1]),
                           st.sampled_from([0, 0, 1, -1]))


@settings(max_examples=3000)
@given(st.one_of(SHORT_DECIMALS, st.floats(1e-4, 1e15)))
def test_float_repr_of_short_decimals_matches_repr(x):
    assert cp.float_repr(x) == repr(x)


@pytest.mark.parametrize("x", [0.0, -0.0, 1e16, 1e15, 9999999999999998.0, 1e-4, 1e-5, 0.1, 5e-324,
                               1.7976931348623157e308, 123456789.125, -2.5, 1e22, 3e-05,
                               9.999999999999999e-05, 0.0001, 999999999999999.9, 999999999999999.0,
                               0.30000000000000004, 16383.5, 1e-3])
def test_float_repr_boundaries(x):
    assert cp.float_repr(x) == repr(x)


@settings(max_examples=2000)
@given(st.one_of(FINITE, st.integers(-10**6, 10**6).map(lambda n: n + 0.5)))
def test_round_half_even(x):
    assert cp.round_half_even(x) == float(round(x))


def refuses_zero(a, b, *ops):
    """Whether b is zero, after checking that each op(a, b) then raises ZeroDivisionError."""
    if b != 0:
        return False
    for op in ops:
        with pytest.raises(ZeroDivisionError):
            op(a, b)
    return True


@settings(max_examples=2000)
@given(I64, I64)
def test_int_floordiv_and_mod(a, b):
    if refuses_zero(a, b, cp.floordiv, cp.floormod):
        return
    if a == -2**63 and b == -1:
        with pytest.raises(OverflowError):
            cp.floordiv(a, b)
    else:
        assert cp.floordiv(a, b) == a // b
    assert cp.floormod(a, b) == a % b


@settings(max_examples=2000)
@given(FINITE, FINITE)
def test_float_floordiv_and_mod(a, b):
    if refuses_zero(a, b, cp.float_floordiv, cp.float_mod):
        return
    for ours, theirs in ((cp.float_floordiv(a, b), a // b), (cp.float_mod(a, b), a % b)):
        if math.isnan(theirs):
            assert math.isnan(ours)
        else:
            assert ours == theirs and math.copysign(1, ours) == math.copysign(1, theirs)


@settings(max_examples=1000)
@given(I64, st.integers(0, 70))
def test_binary_and_hex(v, width):
    assert cp.binary(v, width) == format(v, f"0{width}b")
    assert cp.hex(v) == hex(v)


@pytest.mark.parametrize("x, fits", [(0.0, True), (-2.0**63, True), (2.0**63, False),
                                     (math.nan, False), (math.inf, False), (-math.inf, False),
                                     (9.2e18, True)])
def test_fits_int64(x, fits):
    assert cp.fits_int64(x) is fits


NUMBERS = st.one_of(
    st.integers(), st.integers(-2**70, 2**70), FINITE,
    st.integers(-10**6, 10**6).map(lambda n: n + 0.5),
    st.integers(-30000, 30000).map(np.int16), st.integers(-2**40, 2**40).map(np.int64),
    FINITE.map(np.float64), st.floats(width=32, allow_nan=False, allow_infinity=False).map(np.float32),
    st.booleans())


def outcome(fn, *args):
    try:
        r = fn(*args)
    except Exception as e:  # the exception type is part of the result
        return ("raise", type(e))
    return ("value", type(r), "nan" if r != r else r)


@settings(max_examples=2000)
@given(NUMBERS)
def test_py_round_matches_round(x):
    assert outcome(cp.py_round, x) == outcome(round, x)


@pytest.mark.parametrize("x, exc", [(math.inf, OverflowError), (-math.inf, OverflowError),
                                    (math.nan, ValueError), ("1", TypeError),
                                    (np.float64("inf"), OverflowError)])
def test_py_round_errors(x, exc):
    with pytest.raises(exc):
        cp.py_round(x)


@settings(max_examples=2000)
@given(NUMBERS, NUMBERS)
def test_py_floordiv_and_mod(a, b):
    with np.errstate(all="ignore"):
        assert outcome(cp.py_floordiv, a, b) == outcome(lambda x, y: x // y, a, b)
        assert outcome(cp.py_mod, a, b) == outcome(lambda x, y: x % y, a, b)


@settings(max_examples=2000)
@given(st.one_of(NUMBERS, ANY_FLOAT, st.text(), st.integers(-2**200, 2**200)))
def test_field_text_is_format(x):
    assert cp.field_text(x) == format(x, "")


@pytest.mark.parametrize("x", [0, -1, 255, 2**100, -2**100, True, np.int64(42)])
def test_py_hex(x):
    assert cp.py_hex(x) == hex(x)


def test_py_hex_refuses_float():
    with pytest.raises(TypeError):
        cp.py_hex(1.0)


def test_tags_are_ten_random_hex_digits():
    tags = [cp.tag() for _ in range(2000)]
    assert all(len(t) == 10 and set(t) <= set("0123456789abcdef") for t in tags)
    assert len(set(tags)) == len(tags)
    # every position takes every digit: nothing fixed such as a version nibble
    for pos in range(10):
        assert len({t[pos] for t in tags}) == 16


def test_forked_child_draws_its_own_tags():
    import os
    cp.tag()  # the pool is filled in the parent
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        os.write(w, " ".join(cp.tag() for _ in range(50)).encode())
        os._exit(0)
    os.close(w)
    with os.fdopen(r) as f:
        child = set(f.read().split())
    os.waitpid(pid, 0)
    parent = {cp.tag() for _ in range(50)}
    assert len(child) == 50 and not (child & parent)
