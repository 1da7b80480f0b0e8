"""The appending text helpers against str(), round(), format() and hex()."""
import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import _common_probe as cp
from helpers import outcome


class Text:
    def __str__(self):
        return "str-form"

    def __format__(self, spec):
        return "format-form"


@pytest.mark.parametrize("x", ["abc", "", 7, -2**80, 0.5, 1e22, True, None, np.float64(0.25), Text(), (1, 2)])
def test_append_str_is_str(x):
    assert cp.append_str(x) == "<" + str(x)


@settings(max_examples=2000)
@given(st.one_of(st.floats(allow_nan=True, allow_infinity=True),
                 st.integers(-10**6, 10**6).map(lambda n: n + 0.5)))
def test_append_round_is_round(x):
    want = outcome(lambda: "<" + str(round(x)))
    assert outcome(cp.append_round, x) == want


@settings(max_examples=1000)
@given(st.one_of(st.integers(), st.integers(-2**63, 2**63 - 1)), st.integers(0, 70))
def test_append_binary_and_hex(v, width):
    assert cp.append_binary(v, width) == "<" + format(v, f"0{width}b")
    assert cp.append_hex(v) == "<" + hex(v)


def test_append_binary_and_hex_of_other_objects():
    assert cp.append_binary(np.int64(5), 8) == "<00000101"
    assert cp.append_hex(np.uint8(255)) == "<0xff" and cp.append_hex(True) == "<0x1"
    with pytest.raises(ValueError, match="Unknown format code 'b'"):
        cp.append_binary(1.0, 8)
    with pytest.raises(TypeError):
        cp.append_hex(1.0)
