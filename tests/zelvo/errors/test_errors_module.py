"""The error classes of the checkers' records."""
import pickle

import pytest

from tarvok.zelvo import _errors

NAMES = ["TimingError", "PlayError", "CaptureError"]


@pytest.mark.parametrize("name", NAMES)
def test_raised_with_one_text_under_its_own_name(name):
    cls = getattr(_errors, name)
    assert cls.__name__ == name and cls.__module__ == "tarvok.zelvo._errors"
    assert issubclass(cls, Exception)
    with pytest.raises(cls) as info:
        raise cls("in kernel k, line 3, \"x\":\nmessage")
    assert str(info.value) == "in kernel k, line 3, \"x\":\nmessage"
    assert pickle.loads(pickle.dumps(info.value)).args == info.value.args


def test_classes_are_distinct_and_exported():
    assert _errors.__all__ == NAMES
    assert len({getattr(_errors, n) for n in NAMES}) == 3
