"""shallow_copy gives what copy.copy gives, and honours every way a class
customises copying."""
import copy
import copyreg
import dataclasses

import pytest

import _common_probe as cp


class Plain:
    def __init__(self):
        self.a = [1]
        self.b = "x"


@dataclasses.dataclass
class Record:
    tag: str
    value: object = None


class Empty:
    pass


class WithCopy(Plain):
    def __copy__(self):
        return "custom"


class WithReduce(Plain):
    def __reduce__(self):
        return (str, ("reduced",))


class WithSlots(Plain):
    __slots__ = ("s",)


class WithState(Plain):
    def __getstate__(self):
        return {"b": "state"}


class ListLike(list):
    pass


class Registered(Plain):
    pass


copyreg.pickle(Registered, lambda obj: (str, ("registered",)))


def shadowed():
    p = Plain()
    p.__reduce_ex__ = lambda proto: (str, ("instance",))
    return p


def own_member(name, value):
    """A plain instance with a member of the copy protocol of its own."""
    def make():
        p = Plain()
        setattr(p, name, value)
        return p
    make.__name__ = f"instance {name}"
    return make


INSTANCE_MEMBERS = [
    own_member("__getstate__", lambda: {"b": "instance state"}),
    own_member("__reduce__", lambda: (str, ("instance reduce",))),
    own_member("__copy__", lambda: "instance copy"),
    own_member("__setstate__", lambda state: None),
]


class Answering(Plain):
    """Its own attribute access hands out its own state."""

    def __getattribute__(self, name):
        if name == "__getstate__":
            return lambda: {"b": "answered"}
        return super().__getattribute__(name)


def slotted():
    s = WithSlots()
    s.s = 5
    return s


@pytest.mark.parametrize("make", [Plain, lambda: Record("t", [2]), Empty, WithCopy, WithReduce, slotted,
                                  WithState, lambda: ListLike([1, 2]), Registered, shadowed, Answering,
                                  *INSTANCE_MEMBERS])
def test_same_as_copy_copy(make):
    x = make()
    ours, theirs = cp.shallow_copy(x), copy.copy(x)
    assert type(ours) is type(theirs)
    if hasattr(theirs, "__dict__"):
        assert vars(ours) == vars(theirs)
        if vars(x):
            assert vars(ours) is not vars(x)
    else:
        assert ours == theirs
    if isinstance(x, Plain) and not isinstance(theirs, str) and "a" in vars(theirs):
        assert ours.a is x.a  # shallow
    if isinstance(x, WithSlots):
        assert ours.s == 5


class RefusingKey:
    """An instance-dict key that takes part in every lookup of __reduce_ex__
    and refuses the first comparison."""

    def __init__(self):
        self.refused = False

    def __hash__(self):
        return hash("__reduce_ex__")

    def __eq__(self, other):
        if not self.refused:
            self.refused = True
            raise LookupError("no comparison")
        return False


@pytest.mark.parametrize("copier", [copy.copy, cp.shallow_copy])
def test_a_failing_lookup_in_the_instance_dict_raises_as_copy_copy_does(copier):
    x = Plain()
    x.__dict__[RefusingKey()] = 1
    with pytest.raises(LookupError, match="no comparison"):
        copier(x)
    assert vars(copier(x)) == vars(x)  # the next copy, the key comparing
