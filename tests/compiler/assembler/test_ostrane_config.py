"""Module-level configuration and helpers of the assembler module."""
import re
import sys

import numpy as np
import pytest

from crashcheck import run_child
from tarvok.compiler import ostrane as o

EXPORTS = ["AssemblyError", "GenTagMixin", "Assembler", "TVKCommand", "zlv_config", "QInsWait",
           "QInsWaitTrig", "QInsEnd", "QInsFrame", "QInsEnvelop", "QInsJumpWithJudge", "QInsJump",
           "QInsJumpWithReg", "QInsCapture", "QInsMov", "QInsIncPhase", "QInsPlayZero",
           "QInsPlayWave", "QInsResetF"]



def test_exports_in_order_and_wildcard_binds_exactly_them():
    assert o.__all__ == [n for n in EXPORTS if hasattr(o, n)]
    assert set(EXPORTS) - set(o.__all__) <= {"Assembler"}
    ns = {}
    exec("from tarvok.compiler.ostrane import *", ns)
    assert sorted(k for k in ns if k != "__builtins__") == sorted(o.__all__)
    for hidden in ("QNumber", "_align_envelope_step", "global_config", "HAS_WAVEFORM",
                   "_ProbeCommand", "_QInsPTrigDelay", "_QInsPWaitTrig", "_QInsPJump"):
        assert hasattr(o, hidden) and hidden not in o.__all__


def test_global_config_defaults():
    gc = o.global_config
    assert list(gc) == ["play_zero_step", "OUTSrate", "capture_step", "max_capture_width",
                        "envelope_dtype", "envelope_step", "envelope_quant", "envelope_cache",
                        "envelope_head"]
    assert (gc["play_zero_step"], gc["OUTSrate"], gc["capture_step"], gc["max_capture_width"]) == \
        (32, 8e9, 1.6e-08, 2.048e-06)
    assert type(gc["play_zero_step"]) is int and type(gc["OUTSrate"]) is float
    assert gc["envelope_dtype"] is np.int16
    assert (gc["envelope_step"], gc["envelope_quant"], gc["envelope_cache"]) == (64, 16383, 204800)
    head = gc["envelope_head"]
    assert head.dtype == np.int16 and head.tolist() == [2, 0, 0, 4096] + [0] * 12


def test_zlv_config_sets_and_adds_keys_and_binds_like_python():
    assert o.zlv_config("OUTSrate", 4e9) is None
    assert o.global_config["OUTSrate"] == 4e9
    o.zlv_config(name="new_key", value=[1])
    assert o.global_config["new_key"] == [1]
    with pytest.raises(TypeError):
        o.zlv_config("OUTSrate")
    with pytest.raises(TypeError):
        o.zlv_config("a", 1, 2)
    with pytest.raises(TypeError, match="unexpected keyword"):
        o.zlv_config("a", valu=1)
    with pytest.raises(TypeError, match="unhashable"):
        o.zlv_config(["a"], 1)
    assert "new_key" in o.global_config and ["a"] not in list(o.global_config)


def test_zlv_config_is_not_the_kernel_compilers():
    from tarvok.zelvo import _ir
    o.zlv_config("OUTSrate", 1.0)
    assert _ir.global_config is not o.global_config
    assert _ir.global_config.get("OUTSrate") != 1.0


@pytest.mark.parametrize("nbytes, expected", [(0, 0), (1, 64), (64, 64), (65, 128), (100.5, 128),
                                              (-63, 0), (-64, -64), (200, 256), (10**30 + 1, 10**30 + 64)])
def test_align_envelope_step(nbytes, expected):
    r = o._align_envelope_step(nbytes)
    assert r == expected and type(r) is int


def test_align_envelope_step_reads_the_step_at_each_call():
    o.zlv_config("envelope_step", 32)
    assert o._align_envelope_step(33) == 64
    o.zlv_config("envelope_step", 0)
    with pytest.raises(ZeroDivisionError):
        o._align_envelope_step(1)
    del o.global_config["envelope_step"]
    with pytest.raises(KeyError, match="envelope_step"):
        o._align_envelope_step(1)
    o.zlv_config("envelope_step", 64)
    with pytest.raises(TypeError):
        o._align_envelope_step("1")


def test_qnumber_converts_its_current_value():
    q = o.QNumber()
    assert not q and int(q) == 0 and float(q) == 0.0 and str(q) == "0" and repr(q) == "QNumber(0)"
    q.value = 1.5e-07
    assert q and float(q) == 1.5e-07 and int(q) == 0 and repr(q) == "QNumber(1.5e-07)"
    q.value = "abc"
    assert str(q) == "abc" and repr(q) == "QNumber(abc)"
    with pytest.raises(ValueError):
        float(q)
    q.value = "12"
    assert int(q) == 12 and float(q) == 12.0

    class Sub(o.QNumber):
        pass
    assert repr(Sub()) == "Sub(0)"


def test_qnumber_has_no_arithmetic_or_equality_of_its_own():
    q = o.QNumber()
    assert q != 0 and q == q and q != o.QNumber()
    with pytest.raises(TypeError):
        q + 1
    with pytest.raises(TypeError):
        q < 1
    with pytest.raises(TypeError):
        [0][q]
    with pytest.raises(TypeError):
        o.QNumber(1)


def test_generate_tag_is_fresh_ten_hex_digits():
    class Holder(o.GenTagMixin):
        pass
    h = Holder()
    tags = {h.generate_tag for _ in range(50)}
    assert len(tags) == 50 and all(re.fullmatch("[0-9a-f]{10}", t) for t in tags)
    with pytest.raises(AttributeError):
        h.generate_tag = "x"


def test_assembly_error_is_a_runtime_error_of_this_module():
    assert issubclass(o.AssemblyError, RuntimeError)
    assert o.AssemblyError.__module__ == "tarvok.compiler.ostrane"
    from tarvok.zelvo import _ir
    assert o.AssemblyError is not _ir.AssemblyError
    assert str(o.AssemblyError("msg")) == "msg"


def test_without_waveforms_library():
    assert o.HAS_WAVEFORM is False and not hasattr(o, "wf")


def test_module_fails_to_load_on_a_broken_waveforms_library(tmp_path):
    (tmp_path / "waveforms.py").write_text("raise ZeroDivisionError('broken library')\n")
    code = ("import sys; sys.path.insert(0, sys.argv[1])\n"
            "try:\n    import tarvok.compiler.ostrane\nexcept ZeroDivisionError as e:\n    print('failed', e)\n")
    out = run_child([sys.executable, "-P", "-c", code, str(tmp_path)], cwd=str(tmp_path))
    assert out.stdout.strip() == "failed broken library"
