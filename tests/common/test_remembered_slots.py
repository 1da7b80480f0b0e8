"""Fields read straight from where an instance dict keeps them stay exact
whatever happens to the dict after a first read: deleted and set again,
replaced, shared with another instance, grown past its shared keys, given
keys of other kinds, or shadowed by a data descriptor of another class."""
import gc

import pytest
from hypothesis import given, settings, strategies as st

from tarvok.compiler import ostrane as o
from tarvok.zelvo import _ir


def frame(freq=1e8, idx=2, cls=o.QInsFrame):
    r = cls("f", freq)
    r.frame_idx = idx
    return r


class FreqProperty(o.QInsFrame):
    @property
    def freq(self):
        return 2.5e8

    @freq.setter
    def freq(self, value):
        pass


class FreqDefault(o.QInsFrame):
    freq = 7e7


def outcome(fn, *args):
    try:
        r = fn(*args)
    except Exception as e:  # noqa: BLE001 - the error itself is what is compared
        return ("raises", type(e), str(e))
    return ("gives", r)


def expected_bytes(rec):
    """bytes(rec) from the fields as the interpreter's own lookup reads them."""
    try:
        freq, idx = rec.freq, rec.frame_idx
    except AttributeError as e:
        return ("raises", AttributeError, str(e))
    return outcome(bytes, frame(freq, idx))


def deleted(rec):
    del rec.freq


def set_again(rec):
    del rec.freq
    rec.frame_idx = 5
    rec.freq = 3e8


def replaced(rec):
    rec.__dict__ = dict(rec.__dict__, freq=3e8)


def shared(rec):
    rec.__dict__ = frame(4e8, 6).__dict__


def grown(rec):
    for i in range(64):
        setattr(rec, f"extra{i}", i)
    rec.freq = 3e8


def other_key_kind(rec):
    rec.__dict__[1] = 0
    rec.freq = 3e8


def equal_key_not_identical(rec):
    del rec.freq
    rec.__dict__["".join(["fr", "eq"])] = 3e8


def shadowed_by_property(rec):
    # An instance of a class whose property bears the name takes the dict
    # (same keys) the remembered reads came from.
    other = frame(cls=FreqProperty)
    other.__dict__ = rec.__dict__
    return other


def class_default_after_delete(rec):
    other = frame(cls=FreqDefault)
    bytes(other)
    del other.freq
    return other


def class_given_property_later(rec):
    class Later(o.QInsFrame):
        pass

    other = frame(cls=Later)
    bytes(other)
    Later.freq = property(lambda self: 2.5e8)
    return other


CHANGES = [deleted, set_again, replaced, shared, grown, other_key_kind, equal_key_not_identical,
           shadowed_by_property, class_default_after_delete, class_given_property_later]


@pytest.mark.parametrize("change", CHANGES, ids=lambda f: f.__name__)
def test_a_record_read_after_its_dict_changed(change):
    rec = frame()
    for _ in range(2):  # the first read remembers the slots, the second uses them
        assert bytes(rec) == bytes(frame())
    rec = change(rec) or rec
    for _ in range(2):
        assert outcome(bytes, rec) == expected_bytes(rec)


@pytest.mark.parametrize("change", [
    lambda m: delattr(m, "reg_value"),
    lambda m: setattr(m, "__dict__", dict(m.__dict__, reg_value=9)),
    lambda m: setattr(m, "__dict__", _ir.IRMov(4, 8).__dict__),
    lambda m: [setattr(m, f"extra{i}", i) for i in range(64)] and setattr(m, "reg_value", 9),
], ids=["deleted", "replaced", "shared", "grown"])
def test_an_instruction_text_after_its_dict_changed(change):
    mov = _ir.IRMov(3, 5)
    for _ in range(2):
        assert str(mov) == "movi %A3 5"
    change(mov)
    try:
        expected = f"movi %A{mov.idx} {mov.reg_value}"
    except AttributeError:
        with pytest.raises(AttributeError):
            str(mov)
    else:
        assert str(mov) == expected


OPS = st.lists(st.tuples(st.sampled_from(["set", "del", "extra", "copy", "share", "idx"]),
                         st.integers(0, 2), st.floats(-4e8, 4e8)), max_size=25)


@settings(max_examples=150, deadline=None)
@given(ops=OPS)
def test_records_under_random_dict_changes(ops):
    recs = [frame(1e8, 1), frame(2e8, 2, cls=FreqDefault), frame(3e8, 3)]
    for op, i, x in ops:
        rec = recs[i]
        if op == "set":
            rec.freq = x
        elif op == "del":
            rec.__dict__.pop("freq", None)
        elif op == "extra":
            setattr(rec, f"extra{len(rec.__dict__)}", x)
        elif op == "copy":
            rec.__dict__ = dict(rec.__dict__)
        elif op == "share":
            rec.__dict__ = recs[(i + 1) % 3].__dict__
        else:
            rec.frame_idx = int(abs(x)) % 8
        for r in recs:
            assert outcome(bytes, r) == expected_bytes(r)


def test_keys_of_a_class_gone_and_made_anew_in_another_order():
    # The keys of a class that is gone are freed, and the keys of the next
    # class may be made at the same address, with the fields in another order.
    rec = frame()
    for _ in range(30):
        First = type("First", (o.QInsFrame,), {})
        a = First.__new__(First)
        a.freq, a.frame_idx, a.tag = 1e8, 2, "a"
        rec.__dict__ = a.__dict__
        assert bytes(rec) == bytes(frame(1e8, 2))
        rec.__dict__ = {}
        del a, First
        gc.collect()
        Second = type("Second", (o.QInsFrame,), {})
        b = Second.__new__(Second)
        b.frame_idx, b.freq, b.tag = 3, 5e8, "b"
        rec.__dict__ = b.__dict__
        assert bytes(rec) == bytes(frame(5e8, 3))
