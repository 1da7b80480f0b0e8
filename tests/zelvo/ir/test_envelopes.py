"""Envelopes with their byte form, DDR waveforms and the other data carriers."""

import numpy as np
import pytest

from helpers import check_range_of_configured_type, envelope_refused, restored
from tarvok.zelvo import _ir


@pytest.fixture
def config():
    """global_config restored after the test."""
    with restored(_ir.global_config) as config:
        yield config


def test_envelope_without_q_keeps_the_array():
    i = np.linspace(0, 1, 7)
    for e in (_ir.IREnvelope(i), _ir.IREnvelope(i, None), _ir.IREnvelope(envelope_i=i, amp=0.3)):
        assert e.envelope is i and e.envelope_type == "ndarray"
        assert e.envelope_slice == slice(0, 2, 1) and len(e) == 7 and bool(e)
        assert str(e) == "" and (e.overhead, e.wait_time) == (0, 0)
        assert not hasattr(e, "amp") and e.kernel is None


def test_envelope_with_q_joins_i_then_q():
    i, q = np.full(100, 0.25), np.full(100, -0.5)
    e = _ir.IREnvelope(i, q, kernel="k", other=1)
    assert e.envelope_type == "complex" and e.kernel == "k" and not hasattr(e, "other")
    assert e.envelope.shape == (200,) and len(e) == 200
    assert (e.envelope[:100] == 0.25).all() and (e.envelope[100:] == -0.5).all()
    assert (i == 0.25).all() and (q == -0.5).all()
    # an empty array is a Q part
    assert _ir.IREnvelope(np.ones(3), np.array([])).envelope_type == "complex"


def test_envelope_truth_and_repr():
    assert not _ir.IREnvelope(np.zeros(0))
    e = _ir.IREnvelope(np.zeros(100))
    assert repr(e) == f"<IREnvelope: {e.tag}>: 800"
    assert repr(_ir.IREnvelope(np.zeros(3, np.int16), np.zeros(2, np.int16))).endswith(">: 10")


def test_get_envelope_replaces_form_but_not_slice():
    e = _ir.IREnvelope(np.zeros(4))
    e.envelope_slice = slice(8, 12)
    assert e._get_envelope(np.ones(2), envelope_q=np.ones(2)) is None
    assert (e.envelope_type, len(e), e.envelope_slice) == ("complex", 4, slice(8, 12))
    e._get_envelope([1, 2, 3])
    assert (e.envelope_type, e.envelope) == ("ndarray", [1, 2, 3])


def test_byte_form_scales_a_copy_and_truncates():
    samples = np.array([1.0, 0.5, -0.5, 0.0])
    e = _ir.IREnvelope(samples)
    b = bytes(e)
    assert b == np.array([16383, 8191, -8191, 0], np.int16).tobytes() and len(b) == 8
    assert bytes(e) == b and (e.envelope == [1.0, 0.5, -0.5, 0.0]).all()
    iq = _ir.IREnvelope(np.array([1.0, 0.0]), np.array([-1.0, 0.5]))
    assert np.frombuffer(bytes(iq), np.int16).tolist() == [16383, 0, -16383, 8191]
    # two lists with a Q part become an array
    assert np.frombuffer(bytes(_ir.IREnvelope([0.5], [1.0])), np.int16).tolist() == [8191, 16383]


def test_byte_form_reads_global_config_at_each_call(config):
    e = _ir.IREnvelope(np.array([1.0, -0.25]))
    _ir.zlv_config("envelope_quant", 32767)
    assert np.frombuffer(bytes(e), np.int16).tolist() == [32767, -8191]
    _ir.zlv_config("envelope_quant", 8191)
    _ir.zlv_config("envelope_dtype", np.int32)
    assert bytes(e) == np.array([8191, -2047], np.int32).tobytes()
    del config["envelope_quant"]
    with pytest.raises(KeyError):
        bytes(e)


RANGE = "outside int16 (-32768 to 32767)"


@pytest.mark.parametrize("i, q, refusal", [
    ([0.0, 2.5], None, f"sample 2.5 at position 1: scaled by envelope_quant it is 40957.5, {RANGE}"),
    ([0.5], [-2.5], f"sample -2.5 at position 1: scaled by envelope_quant it is -40957.5, {RANGE}"),  # Q after I
    ([0.1, np.nan], None, "sample nan at position 1: envelope memory takes finite samples only"),
    ([np.inf], [0.0], "sample inf at position 0: envelope memory takes finite samples only"),
    ([0.0], [-np.inf], "sample -inf at position 1: envelope memory takes finite samples only"),
    # the cast truncates toward zero: 32767.9 is still 32767, 32768 is not
    ([32767.9 / 16383, -32768.9 / 16383], None, None),
    ([32768 / 16383], None, f"scaled by envelope_quant it is 32768.0, {RANGE}"),
    (np.array([2, -2]), None, None),
    (np.array([[0, 3]]), None, f"sample 3.0 at position 1: scaled by envelope_quant it is 49149.0, {RANGE}"),
])
def test_byte_form_refuses_samples_envelope_memory_cannot_hold(i, q, refusal):
    e = _ir.IREnvelope(np.asarray(i), None if q is None else np.asarray(q))
    samples = e.envelope
    before = samples.copy()
    if envelope_refused(e, samples, refusal, _ir.AssemblyError, f"The IREnvelope instruction {e.tag!r} holds the "):
        assert e.envelope is samples and np.array_equal(samples, before, equal_nan=True)


def test_byte_form_range_is_that_of_the_configured_type(config):
    e = _ir.IREnvelope(np.array([2.5, -1.0]))
    check_range_of_configured_type(e, _ir.zlv_config, _ir.AssemblyError)


@pytest.mark.parametrize("stored", [[0.5, 1.0], (0.5,), 3, None])
def test_byte_form_refuses_non_arrays(stored):
    e = _ir.IREnvelope(stored)
    with pytest.raises(_ir.AssemblyError) as info:
        bytes(e)
    assert str(info.value) == "The type of IREnvelope.envelop must be one of np.ndarray or wf.Waveform"
    assert e.envelope is stored or e.envelope == stored
    sub = type("MyEnvelope", (_ir.IREnvelope,), {})(stored)
    with pytest.raises(_ir.AssemblyError, match="^The type of MyEnvelope.envelop must"):
        bytes(sub)


def test_envelope_errors():
    with pytest.raises(ValueError):
        _ir.IREnvelope(np.zeros(3), np.zeros((2, 2)))
    with pytest.raises(TypeError, match=r"takes at most 4 positional arguments \(5 given\)"):
        _ir.IREnvelope(1, 2, 3, 4)
    with pytest.raises(TypeError, match=r"takes at least 2 positional arguments \(1 given\)"):
        _ir.IREnvelope()
    e = _ir.IREnvelope([1, 2])
    with pytest.raises(AttributeError):
        len(e)
    with pytest.raises(AttributeError):
        repr(e)


def test_arb_waveform():
    w = np.arange(10, dtype=np.int16)
    a = _ir.IRArbWaveform("w1", w, kernel="k", foo=2)
    assert (a.name, a.waveform, a.wave_type, a.offset, a.step) == ("w1", w, np.dtype(np.int16), 0, 32768)
    assert a.kernel == "k" and not hasattr(a, "foo") and isinstance(a, _ir.PreIR)
    assert (a.overhead, a.wait_time, str(a)) == (0, 0, "")
    assert _ir.IRArbWaveform(waveform=w, name="x").name == "x"
    for name, got in ((None, "NoneType"), (b"w", "bytes"), (type("S", (str,), {})("w"), "S")):
        with pytest.raises(TypeError) as info:
            _ir.IRArbWaveform(name, w)
        assert str(info.value) == f"Argument 'name' has incorrect type (expected str, got {got})"
    with pytest.raises(AttributeError):
        _ir.IRArbWaveform("w", [1, 2])


@pytest.mark.parametrize("cls, key, value, text", [
    (_ir.IRWaveform, "wave", np.zeros((2, 4096)), "(2, 4096)"),
    (_ir.IRWaveform, "wave", np.zeros(5), "(5,)"),
    (_ir.IRDemodule, "wave", np.zeros((2, 3)), ""),
    (_ir.IRFreqlist, "freq_list", [1e8, 2e8], ""),
])
def test_single_argument_carriers(cls, key, value, text):
    for ir in (cls(value), cls(**{key: value})):
        assert getattr(ir, key) is value and ir.kernel is None
        assert (str(ir), ir.overhead, ir.wait_time) == (text, 1, 1)
    with pytest.raises(TypeError, match="unexpected keyword argument 'kernel'"):
        cls(value, kernel="k")
    with pytest.raises(TypeError, match=r"takes exactly 2 positional arguments \(1 given\)"):
        cls()


def test_freqlist_requires_an_exact_list_and_waveform_needs_a_shape():
    for bad, got in (((1e8, 2e8), "tuple"), (None, "NoneType"), (type("L", (list,), {})(), "L")):
        with pytest.raises(TypeError) as info:
            _ir.IRFreqlist(bad)
        assert str(info.value) == f"Argument 'freq_list' has incorrect type (expected list, got {got})"
    w = _ir.IRWaveform([1, 2])
    with pytest.raises(AttributeError):
        str(w)


def test_class_order_and_categories():
    names = [n for n in vars(_ir) if n in ("IRArbWaveform", "IREnvelope", "IRDemodule", "IRWaveform",
                                             "IRFreqlist")]
    assert names == ["IRArbWaveform", "IREnvelope", "IRDemodule", "IRWaveform", "IRFreqlist"]
    for n in names:
        assert getattr(_ir, n).__bases__ == (_ir.PreIR,)
