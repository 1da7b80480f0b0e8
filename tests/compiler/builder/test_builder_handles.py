"""Module load, the label record and the waveform handles."""
import re

import pytest

from tarvok.compiler import ostrane as o
from tarvok.compiler import zel_wave as z

MOD = "tarvok.compiler.zel_wave"
CLASSES = ["QInsPlaceholder", "Wave", "Frame", "Envelope", "Signal", "InstructionQ", "InsChannel",
           "InsIF", "InsElse", "InsLoop"]


def test_module_names():
    import copy
    import numpy
    assert z.HAS_WAVEFORM is False and not hasattr(z, "wf")
    assert z.np is numpy and z.copy is copy
    assert not hasattr(z, "__all__")
    for name in o.__all__:
        assert getattr(z, name) is getattr(o, name)
    for name in CLASSES:
        cls = getattr(z, name)
        assert cls.__module__ == MOD and cls.__qualname__ == name
    ns = {}
    exec(f"from {MOD} import *", ns)
    assert set(CLASSES + o.__all__ + ["np", "copy", "HAS_WAVEFORM"]) <= set(ns)


def test_class_tree():
    assert z.QInsPlaceholder.__mro__[1] is o.TVKCommand
    assert z.Wave.__bases__ == (o.GenTagMixin,) and z.InstructionQ.__bases__ == (o.GenTagMixin,)
    for h in (z.Frame, z.Envelope, z.Signal):
        assert h.__bases__ == (z.Wave,)
    assert z.InsChannel.__bases__ == (z.InstructionQ,)
    for b in (z.InsIF, z.InsElse, z.InsLoop):
        assert b.__bases__ == (z.InsChannel,)
    assert [(t.name, int(t)) for t in z.Wave.Tag] == [("none", 0), ("frame", 1), ("envelope", 2),
                                                       ("signal", 3)]
    assert z.Wave.Tag.__qualname__ == "Wave.Tag" and issubclass(z.Wave.Tag, int)


def test_placeholder_record():
    p = z.QInsPlaceholder("abc")
    assert repr(p) == "QInsPlaceholder(tag='abc')" and p == z.QInsPlaceholder(tag="abc")
    assert p != o.TVKCommand("abc") and bytes(p) == bytes(32)


@pytest.fixture
def ch():
    return z.InsChannel()


def test_handles_own_their_records(ch):
    f = z.Frame(ch, 0, 100000000)
    assert f.instruction is ch and re.fullmatch(r"[0-9a-f]{10}", f.tag)
    assert f.freq == 1e8 and type(f._freq) is float
    first = f.format()
    assert first is f._ins and first is f.format()
    assert type(first) is o.QInsFrame and first == o.QInsFrame(f.tag, 1e8)
    f.freq = 5
    assert f._freq == 5 and type(f._freq) is int
    assert f.format() == o.QInsFrame(f.tag, 5) and f.format() is not first and first.freq == 1e8
    samples = z.np.ones(4)
    e = z.Envelope(ch, 2.7, samples)
    assert e.content is samples and e.format().envelop is samples and e.format().tag == e.tag
    rec = e.format()
    e.content = None
    assert e.format() is not rec and e.format().envelop is None and rec.envelop is samples
    assert e.tag != f.tag and e.format().envelop_slice == slice(0, None, 1)


@pytest.mark.parametrize("make, text", [
    (lambda q: z.Wave(q, None), "Argument 'ins_id' has incorrect type (expected dict, got NoneType)"),
    (lambda q: z.Signal(q, []), "Argument 'ins_id' has incorrect type (expected dict, got list)"),
    (lambda q: z.Frame(q, "1", 1e6), "Argument 'ins_id' has incorrect type (expected int, got str)"),
    (lambda q: z.Envelope(q, None, 0), "Argument 'ins_id' has incorrect type (expected int, got NoneType)"),
    (lambda q: z.Frame(q, 0, "1e6"), "must be real number, not str"),
])
def test_constructor_refusals(ch, make, text):
    with pytest.raises(TypeError) as e:
        make(ch)
    assert str(e.value) == text


def test_dict_subclass_refused_with_reason(ch):
    class D(dict):
        pass
    with pytest.raises(TypeError) as e:
        z.Signal(ch, D())
    text = str(e.value)
    assert text.startswith("Argument 'ins_id' has incorrect type (expected dict, got D)")
    assert "Subclasses of built-in types" in text
    s = z.Signal(ch, ins_id={})
    assert (s.instruction, s.frame, s.envelope) == (ch, None, None)


def test_products(ch):
    f, e = ch.ins_frame(1e8), ch.ins_envelope(z.np.ones(32))
    for s in (f * e, e * f):
        assert type(s) is z.Signal and s.frame is f and s.envelope is e and s.instruction is ch
    s = f * e
    f2, e2 = ch.ins_frame(2e8), ch.ins_envelope(z.np.zeros(32))
    s2 = f2 * s
    assert s2 is not s and (s2.frame, s2.envelope) == (f2, e)
    s3 = e2 * s
    assert (s3.frame, s3.envelope) == (f, e2) and (s.frame, s.envelope) == (f, e)


def test_product_of_two_queues(ch):
    f = ch.ins_frame(1e8)
    other = z.Envelope(z.InsChannel(), 0, None)   # another queue, however alike
    with pytest.raises(ValueError) as err:
        f * other
    assert str(err.value) == "隶属于的instruction不同，不能直接相乘"
    with pytest.raises(ValueError) as err:
        other * f
    assert str(err.value) == "They belong to different instructions and cannot be directly multiplied"


@pytest.mark.parametrize("left, right, rname", [
    ("f", 2, "<class 'int'>"), ("f", "f", f"<class '{MOD}.Frame'>"),
    ("e", "e", f"<class '{MOD}.Envelope'>"), ("e", None, "<class 'NoneType'>")])
def test_product_refused(ch, left, right, rname):
    h = {"f": ch.ins_frame(1e8), "e": ch.ins_envelope(None)}
    lcls = type(h[left])
    with pytest.raises(ValueError) as err:
        h[left] * h.get(right, right)
    assert str(err.value) == f"<class '{MOD}.{lcls.__name__}'>不能与{rname}做乘法运算"


def test_no_reflected_product(ch):
    f, e = ch.ins_frame(1e8), ch.ins_envelope(None)
    for left in (2, f * e):
        with pytest.raises(TypeError, match="unsupported operand"):
            left * f


def test_text_form(ch):
    f = ch.ins_frame(1e8)
    expected = f"<<class '{MOD}.Frame'>::{object.__repr__(ch)}>"
    assert repr(f) == str(f) == expected
    s = z.Signal(ch, {})
    assert str(s) == f"<<class '{MOD}.Signal'>::{object.__repr__(ch)}>"
