"""The DDR translator: waveforms laid out back to back in external memory,
their names returned with the program text."""
import numpy as np
import pytest

from tarvok.zelvo import _ir
from tarvok.zelvo._translate import NormalTranslator, PlayDDRTranslator


def arb(name, n):
    return _ir.IRArbWaveform(name, np.zeros(n))


def test_class_surface():
    assert PlayDDRTranslator.__bases__ == (NormalTranslator,)
    assert [k for k in vars(PlayDDRTranslator) if not k.startswith("__")] == ["get_arb", "translate_ir"]
    assert isinstance(vars(PlayDDRTranslator)["get_arb"], staticmethod)


@pytest.mark.parametrize("params, offsets", [({}, [0, 2000, 3000]), ({"ddr_play_bwidth": 4}, [0, 4000, 6000]),
                                             ({"ddr_play_bwidth": 2.5}, [0, 2500.0, 3750.0])])
def test_offsets_names_and_text(ir, kernel, params, offsets):
    waves = [arb("a", 1000), arb("b", 500), arb("c", 7)]
    play = _ir.IRPlayDDRImm(waves[1], kernel=kernel)
    nop = ir.nop()
    items = [waves[0], nop, waves[1], play, waves[2]]
    names, text = PlayDDRTranslator().translate_ir(items, kernel=kernel, **params)
    assert names == ["a", "b", "c"] and [w.offset for w in waves] == offsets
    # The play's line was made after its waveform got its offset.
    assert text.split("\n")[1].startswith(str(play) + " ") and str(play).startswith(f"plyiddr {offsets[1]}, ")
    assert len(items) == 5


def test_without_waveforms_the_text_is_the_normal_one(ir):
    def program():
        return [ir.nop(), ir.delay(12), ir.nop()]

    names, text = PlayDDRTranslator().translate_ir(program(), kernel=ir.k)
    assert names == [] and text == NormalTranslator().translate_ir(program(), kernel=ir.k)[4]


def test_data_carriers_stay_in_the_program(ir, kernel):
    env = _ir.IREnvelope(np.zeros(4096))
    wave = _ir.IRWaveform(np.zeros((2, 3)))
    names, text = PlayDDRTranslator().translate_ir([env, wave, ir.nop()], kernel=kernel)
    lines = text.split("\n")
    assert all(line.index("# seq idx tag ") == 4104 for line in lines)
    assert lines[1].startswith("(2, 3) ") and not hasattr(env, "envelop_slice")


def test_failures(ir, kernel):
    w = arb("a", 10)
    with pytest.raises(RuntimeError, match="^kernel is None$"):
        PlayDDRTranslator().translate_ir([w], ddr_play_bwidth=4)
    with pytest.raises(TypeError, match=r"^Argument 'ir_list' has incorrect type \(expected list, got tuple\)"):
        PlayDDRTranslator().translate_ir((w,), kernel=kernel)
    assert w.offset == 0
    broken = arb("b", 3)
    broken.waveform = None
    first = arb("c", 3)
    first.offset = 9
    with pytest.raises(AttributeError):
        PlayDDRTranslator.get_arb(iter([first, broken]), 2)
    assert first.offset == 0

    class Bad(PlayDDRTranslator):
        @staticmethod
        def get_arb(ir_list, b_width):
            return ["a"], tuple(ir_list)

    with pytest.raises(TypeError, match="^Expected list, got tuple$"):
        Bad().translate_ir([ir.nop()], kernel=kernel)
