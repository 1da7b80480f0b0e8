"""Envelope shapes: the numpy Gaussian, and the waveforms library's shapes
(a stand-in library, in this process and in a child interpreter)."""
import ast
import math
import os
import types

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from crashcheck import run_isolated
from tarvok.compiler import zel_wave as z

NO_LIBRARY = ('This interface depends on the waveforms library, which can be installed using the '
              '"pip install wavesforms" command')


def reference(width, srate):
    """The Gaussian as numpy computes it from the same formula."""
    t = np.linspace(-width / 2, width / 2, round(width * srate + 1))
    return np.exp(-(t / (width / (np.sqrt(np.log(2)) * 4))) ** 2)


def test_gaussian_samples():
    ch = z.InsChannel()
    ch.ins_envelope(None), ch.ins_envelope(None)
    env = ch.evlp_gaussian(100e-9)
    assert ch.e_set[2] is env and env.format().envelop is env.content
    g = env.content
    assert type(g) is np.ndarray and g.dtype == np.float64 and g.shape == (801,)
    assert g[400] == 1.0
    assert g[0] == pytest.approx(1 / 16, rel=1e-12) and g[-1] == pytest.approx(1 / 16, rel=1e-12)
    assert g[200] == pytest.approx(0.5, rel=1e-12) and g[600] == pytest.approx(0.5, rel=1e-12)
    assert ch.evlp_gaussian(100e-9, 4e9).content.shape == (401,)


@pytest.mark.parametrize("width, times", [(1.5, [-0.75, 0.75]), (3, [-1.5, -0.5, 0.5, 1.5])])
def test_gaussian_sample_times(width, times):
    g = z.InsChannel().evlp_gaussian(width, 1).content
    s = width / (math.sqrt(math.log(2)) * 4)
    assert g.tolist() == pytest.approx([math.exp(-(t / s) ** 2) for t in times], rel=1e-14)


@settings(max_examples=300, deadline=None)
@given(st.floats(1e-10, 2e-6), st.sampled_from([1.0, 1e9, 2e9, 4e9, 8e9, 1.2e10]) | st.floats(1e6, 1e10))
def test_gaussian_against_numpy(width, srate):
    got = z.InsChannel().evlp_gaussian(width, srate).content
    want = reference(width, srate)
    assert got.shape == want.shape
    np.testing.assert_allclose(got, want, rtol=1e-14, atol=0)


def test_gaussian_of_no_width_is_refused():
    ch = z.InsChannel()
    for width in (0, 0.0, -0.0, 5e-324):
        with pytest.raises(ValueError, match="too small for a Gaussian"):
            ch.evlp_gaussian(width)
    with pytest.raises(ValueError, match="Number of samples, -7, must be non-negative."):
        ch.evlp_gaussian(-1e-9)
    with pytest.raises(ValueError):
        ch.evlp_gaussian(float("nan"))
    assert ch.e_set == {}


def test_library_shapes_need_the_library():
    for q in (z.InsChannel(), z.InstructionQ()):
        for name in ("evlp_cospulse", "evlp_square"):
            with pytest.raises(RuntimeError) as e:
                getattr(q, name)(1e-8)
            assert str(e.value) == NO_LIBRARY


STAND_IN = '''
import numpy as np

class Waveform:
    def __init__(self, kind, width, shift=0.0):
        self.kind, self.width, self.shift = kind, width, shift
        self.start = self.stop = None
    def __rshift__(self, t):
        return Waveform(self.kind, self.width, self.shift + t)
    def sample(self, rate):
        n = int(round((self.stop - self.start) * rate))
        return np.full(n, {"gaussian": 0.25, "cosPulse": 0.5, "square": 1.0}[self.kind])

def gaussian(w): return Waveform("gaussian", w)
def cosPulse(w): return Waveform("cosPulse", w)
def square(w): return Waveform("square", w)
'''


@pytest.fixture
def library(monkeypatch):
    """The stand-in library loaded here and bound in the module; the flag is read at each call."""
    lib = types.ModuleType("waveforms")
    exec(STAND_IN, lib.__dict__)
    monkeypatch.setattr(z, "HAS_WAVEFORM", True)
    monkeypatch.setattr(z, "wf", lib, raising=False)
    return lib


@pytest.mark.parametrize("method, kind", [("evlp_gaussian", "gaussian"), ("evlp_cospulse", "cosPulse"),
                                          ("evlp_square", "square")])
def test_library_shapes(library, method, kind):
    ch = z.InsChannel()
    ch.ins_envelope(None, 4)
    env = getattr(ch, method)(2)
    shape = env.content
    assert ch.e_set[5] is env and type(shape) is library.Waveform and shape.kind == kind
    assert (shape.width, shape.shift, shape.start, shape.stop) == (2, 1.0, 0, 2)
    assert type(shape.shift) is float and type(shape.start) is int
    with pytest.raises(RuntimeError, match="Cannot create a new envelope in the branch"):
        getattr(z.InstructionQ(), method)(1e-8)


def test_library_gaussian_ignores_rate(library):
    assert z.InsChannel().evlp_gaussian(1e-8, 1).content.kind == "gaussian"




def test_with_the_library_loaded(tmp_path, monkeypatch):
    (tmp_path / "waveforms.py").write_text(STAND_IN)
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(filter(None, [str(tmp_path), os.environ.get("PYTHONPATH")])))
    out = run_isolated(r'''
        import numpy as np
        import waveforms
        from tarvok.compiler import zel_wave as z
        assert z.HAS_WAVEFORM is True and z.wf is waveforms
        ch = z.InsChannel(freqs=[1e8])
        sq, cos = ch.evlp_square(4e-9), ch.evlp_cospulse(8e-9)
        ch.play_wave(ch.f_set[0] * sq)
        ch.play_wave(ch.f_set[0] * cos)
        a = z.Assembler()
        a.set_chnl_cmdq(3, ch.compile())
        env, drive, probe = a.assemble()
        print(env[1][0][16:16 + 96].tolist())
    ''')
    samples = ast.literal_eval(out)
    assert samples == [16383] * 32 + [8191] * 64
