"""The envelope record's byte form, with and without the waveforms library."""
import os

import numpy as np
import pytest

from crashcheck import run_isolated
from helpers import check_range_of_configured_type, envelope_refused
from tarvok.compiler import ostrane as o

FAKE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fake_waveforms")



def test_samples_scaled_truncated_and_left_unchanged():
    amps = np.array([0.0, 0.5, 1.0, -1.0, 0.25])
    e = o.QInsEnvelop("e", amps)
    assert e.envelop_slice == slice(0, None, 1)
    b = bytes(e)
    assert b == bytes.fromhex("0000ff1fff3f01c0ff0f")
    assert np.frombuffer(b, np.int16).tolist() == [0, 8191, 16383, -16383, 4095]
    assert bytes(e) == b and amps.tolist() == [0.0, 0.5, 1.0, -1.0, 0.25]
    assert bytes(o.QInsEnvelop("e", np.array([]))) == b""


def test_element_type_is_kept_while_scaling_and_subclasses_accepted():
    class Arr(np.ndarray):
        pass
    a = np.array([0.5, 1.0], dtype=np.float32).view(Arr)
    assert np.frombuffer(bytes(o.QInsEnvelop("e", a)), np.int16).tolist() == [8191, 16383]


def test_quant_and_dtype_are_read_at_each_use():
    e = o.QInsEnvelop("e", np.array([1.0, -0.5]))
    o.zlv_config("envelope_quant", 8191)
    assert np.frombuffer(bytes(e), np.int16).tolist() == [8191, -4095]
    o.zlv_config("envelope_dtype", np.int32)
    assert np.frombuffer(bytes(e), np.int32).tolist() == [8191, -4095]


RANGE = "outside int16 (-32768 to 32767)"


@pytest.mark.parametrize("samples, refusal", [
    ([0.0, 0.5, 2.5], f"sample 2.5 at position 2: scaled by envelope_quant it is 40957.5, {RANGE}"),
    ([0.25, -2.5], f"sample -2.5 at position 1: scaled by envelope_quant it is -40957.5, {RANGE}"),
    ([0.1, np.nan], "sample nan at position 1: envelope memory takes finite samples only"),
    ([np.inf], "sample inf at position 0: envelope memory takes finite samples only"),
    ([-np.inf, 0.0], "sample -inf at position 0: envelope memory takes finite samples only"),
    # the cast truncates toward zero: 32767.9 is still 32767, 32768 is not
    ([32767.9 / 16383], None),
    ([-32768.9 / 16383], None),
    ([0.0, 32768 / 16383], f"at position 1: scaled by envelope_quant it is 32768.0, {RANGE}"),
    ([-32769 / 16383], f"scaled by envelope_quant it is -32769.0, {RANGE}"),
    (np.array([2, -2]), None),
    (np.array([[0, 3]]), f"sample 3.0 at position 1: scaled by envelope_quant it is 49149.0, {RANGE}"),
])
def test_samples_that_envelope_memory_cannot_hold_are_refused(samples, refusal):
    amps = np.asarray(samples)
    before = amps.copy()
    e = o.QInsEnvelop("e0", amps)
    if envelope_refused(e, amps, refusal, o.AssemblyError, "The QInsEnvelop record 'e0' holds the "):
        assert e.envelop is amps and np.array_equal(amps, before, equal_nan=True)
        assert e.envelop_slice == slice(0, None, 1)


def test_the_range_is_that_of_the_configured_type():
    e = o.QInsEnvelop("e", np.array([2.5, -1.0]))
    check_range_of_configured_type(e, o.zlv_config, o.AssemblyError)
    o.zlv_config("envelope_dtype", np.float32)
    assert np.frombuffer(bytes(e), np.float32).tolist() == [40957.5, -16383.0]
    with pytest.raises(o.AssemblyError, match="takes finite samples only"):
        bytes(o.QInsEnvelop("e", np.array([1e300])))


@pytest.mark.parametrize("env", [[0.5, 1.0], (0.5,), None, 3.0, "abc"])
def test_anything_but_an_array_is_refused(env):
    with pytest.raises(o.AssemblyError) as e:
        bytes(o.QInsEnvelop("e", env))
    assert str(e.value) == "The type of QInsEnvelop.envelop must be one of np.ndarray or wf.Waveform"


@pytest.fixture
def with_waveforms(monkeypatch):
    """The stand-in waveforms library on the path of child interpreters."""
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(filter(None, [FAKE, os.environ.get("PYTHONPATH")])))


def test_waveforms_library_path(with_waveforms):
    out = run_isolated(r'''
        import numpy as np
        import waveforms
        from tarvok.compiler import ostrane as o
        assert o.HAS_WAVEFORM is True and o.wf is waveforms
        w = waveforms.Waveform(0.0, 1e-9, [0.5, 1.0])
        assert np.frombuffer(bytes(o.QInsEnvelop("e", w)), np.int16).tolist() == [8191, 16383]
        assert w.rates == [8e9]
        o.zlv_config("OUTSrate", 4e9)
        bytes(o.QInsEnvelop("e", w))
        assert w.rates == [8e9, 4e9]
        assert bytes(o.QInsEnvelop("e", np.array([1.0]))) == b"\xff\x3f"
        for bad in (waveforms.Waveform(0.0, None), waveforms.Waveform(None, 1.0)):
            try:
                bytes(o.QInsEnvelop("e", bad))
            except o.AssemblyError as e:
                print(e)
        # The flag is read at each use: with it cleared a Waveform is refused.
        o.HAS_WAVEFORM = False
        try:
            bytes(o.QInsEnvelop("e", w))
        except o.AssemblyError as e:
            print(e)
    ''')
    msg = "When the type of QInsEnvelop.envelop is wf.Waveform, it must have start and stop attributes"
    assert out.splitlines() == [msg, msg,
                                "The type of QInsEnvelop.envelop must be one of np.ndarray or wf.Waveform"]
