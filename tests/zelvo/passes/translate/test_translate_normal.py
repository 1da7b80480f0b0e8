"""The normal translator: the data items, the numbered program text and the
jump positions."""
import numpy as np
import pytest

from tarvok.zelvo import _ir
from tarvok.zelvo._translate import NormalTranslator


def layout(program):
    """The program text as the translator defines it."""
    width = max(len(i) for i in program) + 8
    return "\n".join(f"{format(i, ' <' + str(width))}# seq idx tag {n}" for n, i in enumerate(program))


def test_class_surface():
    assert NormalTranslator.__bases__ == (object,)
    names = [k for k in vars(NormalTranslator) if not k.startswith("__")]
    assert names == ["get_longest_len", "gen_program", "get_envelope", "get_waveform", "get_freqlist",
                     "get_demodulation", "translate_ir"]
    assert isinstance(vars(NormalTranslator)["get_longest_len"], staticmethod)
    assert NormalTranslator().get_longest_len([_ir.IRNop(), _ir.IRMov(1, 12345)]) == 14
    assert NormalTranslator.get_longest_len(iter([_ir.IRNop()])) == 3
    with pytest.raises(ValueError, match="^max\\(\\) arg is an empty sequence$"):
        NormalTranslator.get_longest_len([])


def test_five_items(ir, kernel):
    e1 = _ir.IREnvelope(np.arange(100.0), kernel=kernel)
    e2 = _ir.IREnvelope(np.full(30, 0.5), np.full(30, -0.5), kernel=kernel)
    e1.envelope_slice = e2.envelope_slice = slice(7, 9, 1)
    waves = [_ir.IRWaveform(np.zeros((2, 4))), _ir.IRWaveform(np.ones((2, 8)))]
    freqs = [_ir.IRFreqlist([1e8]), _ir.IRFreqlist([2e8, 3e8])]
    demod = _ir.IRDemodule(np.arange(5))
    arb = _ir.IRArbWaveform("x", np.zeros(4))
    nop = ir.nop()
    items = [e1, waves[0], freqs[0], e2, demod, nop, waves[1], arb, freqs[1]]
    env, wave, fl, dm, text = NormalTranslator().translate_ir(items, kernel=kernel, base_clock=4e-9)
    assert env.dtype == np.float64 and not env.flags.writeable
    assert np.array_equal(env, np.concatenate([np.arange(100.0), np.full(30, 0.5), np.full(30, -0.5)]))
    assert (e1.envelop_slice, e2.envelop_slice) == (slice(0, 100, 1), slice(100, 160, 1))
    assert e1.envelope_slice == slice(7, 9, 1)
    assert wave is waves[1].wave and fl is freqs[1].freq_list and dm is demod.wave
    # The data carriers leave the program; a DDR waveform stays as a blank line.
    assert text == "nop        # seq idx tag 0\n           # seq idx tag 1"
    assert len(items) == 9


def test_no_data_items(ir, kernel):
    t = NormalTranslator()
    env, wave, fl, dm, text = t.translate_ir([ir.nop()], kernel=kernel)
    assert env.dtype == np.float64 and env.size == 0
    assert wave == fl == dm == [] and wave is not fl and fl is not dm
    assert t.get_waveform([]) == ([], []) and t.get_freqlist(ir_list=()) == ([], [])


def test_envelope_bytes_read_as_floats(ir, kernel):
    e16 = _ir.IREnvelope(np.arange(8, dtype=np.int16))
    env, rest = NormalTranslator().get_envelope([e16, ir.nop()])
    assert env.size == 2 and len(rest) == 1
    odd = _ir.IREnvelope(np.arange(3, dtype=np.int16))
    with pytest.raises(ValueError):
        NormalTranslator().get_envelope([e16, odd])
    assert odd.envelop_slice == slice(8, 11, 1)


def test_text_layout_is_exact(ir, kernel):
    program = [_ir.IRNop(), ir.delay(12), _ir.IRNop()]
    text = NormalTranslator().gen_program(program, kernel)
    assert text == ("nop            # seq idx tag 0\n"
                    "witi 12        # seq idx tag 1\n"
                    "nop            # seq idx tag 2")
    assert len(program) == 3


def test_text_follows_the_interpreter_for_any_text(kernel):
    class Odd(_ir.IRNop):
        def _pack_cmd(self):
            return "é\ud800 x"

    class Wide(_ir.IRNop):
        def __len__(self):
            return 20

    class Fmt(_ir.IRNop):
        def __format__(self, spec):
            return "<" + spec + ">"

    class Text(str):
        def __len__(self):
            return 30

        def __format__(self, spec):
            return "text" + spec

    class SubText(_ir.IRNop):
        def _pack_cmd(self):
            return Text("sub")

    program = [Odd(), _ir.IRNop(), Wide(), Fmt(), _ir.IRMov(3, "ü"), SubText()]
    expected = layout(program)
    assert NormalTranslator().gen_program(ir_list=program, kernel=kernel) == expected
    assert "<" + " <38" + ">" in expected and "text <38# seq idx tag 5" in expected


@pytest.mark.parametrize("made_with, set_later, error", [
    ({"__str__": lambda self: "own"}, {}, None),
    ({}, {"__str__": lambda self: "set later"}, None),
    ({"__str__": _ir.IRMov.__str__}, {}, None),
    ({"_pack_cmd": lambda self: 7}, {}, "^__str__ returned non-string \\(type int\\)$"),
    ({}, {"__str__": lambda self: b"x"}, "^__str__ returned non-string \\(type bytes\\)$"),
])
def test_an_instructions_text_is_its_str_as_the_class_stands(made_with, set_later, error, kernel):
    cls = type("Sub", (_ir.IRNop,), dict(made_with))
    t = NormalTranslator()
    program = [_ir.IRNop(), cls()]
    if set_later:  # a first text while the class has its members as made
        assert t.gen_program(list(program), kernel) == layout(program)
    for name, value in set_later.items():
        setattr(cls, name, value)
    program = [_ir.IRNop(), cls()]
    if error:
        with pytest.raises(TypeError, match=error):
            t.gen_program(program, kernel)
    else:
        assert t.gen_program(program, kernel) == layout(program)
        assert str(program[1]) in t.gen_program(program, kernel)


def test_jumps_resolve_to_their_landing_positions(ir, kernel):
    # if r == 1: play else: play -- as the front-end lays it out, scheduled.
    j = ir.cond()
    inside = _ir.IRJumpInside(kernel=kernel)
    p1, p2 = ir.place(), ir.place()
    p1.tag, p2.tag = j.tag, inside.tag
    else_play, if_play = ir.play(), ir.play()
    j.ir_sub = [else_play, inside, p1, if_play, p2, ir.nop(), ir.nop()]
    head = ir.nop()
    back = _ir.IRJumpImmNormal(head, kernel=kernel)
    closing = _ir.IRJumpImmNormal(_ir.IRNop())
    stale = {"0123456789": 99}
    kernel.instr_target_map.update(stale)
    items = [head, j] + ir.nops(4) + [back, closing] + ir.nops(3)
    text = NormalTranslator().translate_ir(items, kernel=kernel)[4]
    lines = text.split("\n")
    pos = {id(x): n for n, x in enumerate([head, j] + items[2:6] + j.ir_sub[:2] + [if_play] + j.ir_sub[5:]
                                          + [back, closing] + items[-3:])}
    assert len(lines) == len(pos) == 16
    assert lines[1].startswith("beqi %%A1 0xae020001 $%d " % pos[id(if_play)])
    assert lines[7].startswith("jali $%d " % pos[id(j.ir_sub[5])])
    assert lines[11].startswith("jali $0 ") and lines[12].startswith("jali $0 ")
    assert if_play.tag == j.tag and j.ir_sub[5].tag == inside.tag
    m = kernel.instr_target_map
    assert m[j.tag] == pos[id(if_play)] and m["0123456789"] == 99
    assert head.index_map is if_play.index_map is closing.index_map
    assert all(line.endswith("# seq idx tag %d" % n) for n, line in enumerate(lines))


def test_loop_that_opens_with_a_branch(ir, kernel):
    # while True: if r == 1: ... -- the loop's landing place is followed by
    # the conditional jump, which keeps its own tag; the back jump lands on it.
    land = ir.place()
    j = ir.cond(ir.play(), ir.nop())
    after = ir.place()
    after.tag = j.tag
    back = _ir.IRJumpImmNormal(land, kernel=kernel)
    j.ir_sub += [after, back, ir.nop()]
    own = j.tag
    text = NormalTranslator().translate_ir([ir.nop(), land, j] + ir.nops(4), kernel=kernel)[4]
    lines = text.split("\n")
    assert j.tag == own and kernel.instr_target_map[land.tag] == 1
    # The branch lands on the back jump, which takes the landing tag.
    assert lines[1].startswith("beqi %A1 0xae020001 $8 ")
    assert lines[8].startswith("jali $1 ") and back.tag == own


def test_trailing_and_adjacent_placeholders_map_past_and_onto(ir, kernel):
    a, b, c = ir.place(), ir.place(), ir.place()
    x = ir.nop()
    text = NormalTranslator().gen_program([a, b, x, c], kernel)
    assert text == "nop        # seq idx tag 0"
    assert kernel.instr_target_map == {a.tag: 0, b.tag: 0, c.tag: 1}
    assert x.tag == b.tag


def test_failures_change_nothing_before_their_step(ir, kernel):
    env = ir.envelope()
    t = NormalTranslator()
    for kw in ({}, {"kernel": None}):
        with pytest.raises(RuntimeError, match="^kernel is None$"):
            t.translate_ir([env], **kw)
    assert not hasattr(env, "envelop_slice")
    with pytest.raises(TypeError, match=r"^Argument 'ir_list' has incorrect type \(expected list, got tuple\)"):
        t.translate_ir((env,), kernel=kernel)
    # Nothing left to number: the empty map is merged, then the width fails.
    kernel.instr_target_map = MapSpy()
    with pytest.raises(ValueError, match="empty sequence"):
        t.translate_ir([env], kernel=kernel)
    assert kernel.instr_target_map.updates == [{}]
    with pytest.raises(AttributeError):
        t.gen_program([ir.nop()], object())


class MapSpy(dict):
    def __init__(self):
        super().__init__()
        self.updates = []

    def update(self, other):
        self.updates.append(dict(other))
        super().update(other)


def test_methods_are_called_through_the_object(ir, kernel):
    calls = []

    class Mine(NormalTranslator):
        def get_waveform(self, ir_list):
            calls.append(len(ir_list))
            return super().get_waveform(ir_list)

        @staticmethod
        def get_longest_len(ir_list):
            return 2

    nop = ir.nop()
    out = Mine().translate_ir([ir.envelope(), nop], kernel=kernel)
    assert calls == [1] and out[4] == "nop       # seq idx tag 0"
    assert nop.index_map == {nop.tag: 0}

    class Bad(NormalTranslator):
        def get_freqlist(self, ir_list):
            return self.result

    bad = Bad()
    for result, exc, text in [((1, [], 3), ValueError, "too many values to unpack (expected 2)"),
                              ((1,), ValueError, "not enough values to unpack (expected 2, got 1)"),
                              (5, TypeError, "cannot unpack non-iterable int object"),
                              ((1, ()), TypeError, "Expected list, got tuple")]:
        bad.result = result
        with pytest.raises(exc, match="^" + text.replace("(", r"\(").replace(")", r"\)") + "$"):
            bad.translate_ir([nop], kernel=kernel)
    bad.result = iter([[], [nop]])
    assert bad.translate_ir([nop], kernel=kernel)[2] == []
