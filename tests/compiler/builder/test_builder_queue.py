"""InstructionQ: its state, the emitters and their records, the variable table."""
import re

import pytest

from helpers import raised, restored
from tarvok.compiler import ostrane as o
from tarvok.compiler import zel_wave as z

TAG = re.compile(r"[0-9a-f]{10}")


def test_new_queue():
    for q in (z.InstructionQ(), z.InstructionQ([], []), z.InsChannel()):
        assert (q.length, q.last_ins, q.i_set, q.f_set, q.e_set, q.symbol_set) == (0, None, [], {}, {}, {})
        assert q.symbol_idx == -1 and q.is_first_trig is True
    assert list(vars(z.InstructionQ())) == ["i_set", "f_set", "e_set", "symbol_set", "symbol_idx",
                                             "is_first_trig", "last_ins"]


@pytest.mark.parametrize("call, text", [
    (lambda: z.InstructionQ([1e6]), "Cannot create a new frame in the branch"),
    (lambda: z.InstructionQ(envelopes=[None]), "Cannot create a new envelope in the branch"),
    (lambda: z.InstructionQ().ins_frame(1e6, 0), "Cannot create a new frame in the branch"),
    (lambda: z.InstructionQ().ins_envelope(None), "Cannot create a new envelope in the branch"),
    (lambda: z.InstructionQ().evlp_gaussian(1e-8), "Cannot create a new envelope in the branch"),
])
def test_plain_queue_declares_nothing(call, text):
    assert raised(RuntimeError, call) == text


def test_with_protocol():
    q = z.InstructionQ()
    with q as bound:
        assert bound is q
    with pytest.raises(KeyError, match="inside"):
        with q:
            raise KeyError("inside")


def frame_and_signal(ch):
    f = ch.ins_frame(1e8)
    return f, f * ch.ins_envelope(z.np.ones(32))


@pytest.mark.parametrize("name, args, cls, fields", [
    ("wait", (), o.QInsWait, {}),
    ("wait_for_trigger", (), o.QInsWaitTrig, {}),
    ("play_zero", (1e-8,), o.QInsPlayZero, {"width": 1e-8}),
    ("capture", (1e-6,), o.QInsCapture, {"width": 1e-6, "probe_delay": 0}),
    ("capture", (1e-6, 3e-8), o.QInsCapture, {"width": 1e-6, "probe_delay": 3e-8}),
    ("ins_reset_frame", ("ALL", "F"), o.QInsResetF, {"type": "ALL", "frame": "F"}),
    ("inc_phase", ("F", 0.5), o.QInsIncPhase, {"phase": 0.5, "frame": "F"}),
    ("play_wave", ("S",), o.QInsPlayWave,
     {"frame": "F", "envelop": "E", "amp": 1, "attach_freq": 0, "attach_phase": 0}),
    ("play_wave", ("S", 0.5, 1e6, 0.1), o.QInsPlayWave,
     {"frame": "F", "envelop": "E", "amp": 0.5, "attach_freq": 1e6, "attach_phase": 0.1}),
    ("ins_variable", ("a", 2.7), o.QInsMov, {"reg": 0, "value": 2, "type": "="}),
    ("ins_add", ("a", True), o.QInsMov, {"reg": 0, "value": 1, "type": "+"}),
])
def test_emitters_record_and_return(name, args, cls, fields):
    ch = z.InsChannel()
    f, s = frame_and_signal(ch)
    subst = {"F": f, "S": s}
    ref = {"F": f.tag, "E": s.envelope.tag}
    rec = getattr(ch, name)(*[subst.get(a, a) if isinstance(a, str) else a for a in args])
    assert type(rec) is cls and TAG.fullmatch(rec.tag)
    assert ch.i_set == [rec] and ch.i_set[-1] is rec and ch.last_ins is rec
    for k, v in fields.items():
        got = getattr(rec, k)
        assert got == ref.get(v, v) and type(got) is type(ref.get(v, v))
    assert rec.tag != getattr(ch, name)(*[subst.get(a, a) if isinstance(a, str) else a for a in args]).tag


def test_registers_in_order_of_first_use():
    q = z.InsChannel()
    recs = [q.ins_variable("a", 1), q.ins_add("a", 2), q.ins_variable("b", 0)]
    assert [(r.reg, r.type) for r in recs] == [(0, "="), (0, "+"), (1, "=")]
    assert q.symbol_set == {"a": 0, "b": 1} and q.symbol_idx == 1


def test_sixteen_registers_then_refusal_until_clear():
    q = z.InsChannel()
    assert [q.ins_variable(f"v{i}", i).reg for i in range(16)] == list(range(16))
    for extra in ("w", "x"):
        with pytest.raises(RuntimeError) as e:
            q.ins_variable(extra, 0)
        assert str(e.value) == "Up to 16 variables can be configured"
    assert q.symbol_idx == 17 and q.length == 16
    assert q.ins_add("v15", 1).reg == 15
    q.clear()
    assert q.ins_variable("new", 0).reg == 0


@pytest.mark.parametrize("args, text", [
    (("a", "2"), "Argument 'value' has incorrect type (expected int, got str)"),
    ((3, 1), "Argument 'reg' has incorrect type (expected str, got int)"),
    ((3, None), "Argument 'value' has incorrect type (expected int, got NoneType)"),  # value first
])
def test_variable_argument_types(args, text):
    q = z.InsChannel()
    for name in ("ins_variable", "ins_add"):
        with pytest.raises(TypeError) as e:
            getattr(q, name)(*args)
        assert str(e.value) == text
    class S(str):
        pass
    with pytest.raises(TypeError, match=r"^Argument 'reg' has incorrect type \(expected str, got S\)"):
        q.ins_variable(S("a"), 1)
    assert (q.length, q.symbol_idx) == (0, -1)


def test_end_and_trigger_rules():
    q = z.InstructionQ()
    q.end()
    assert [type(r) for r in q.i_set] == [o.QInsWait, o.QInsEnd]
    q = z.InstructionQ()
    q.wait(), q.end()
    assert q.length == 2
    q = z.InstructionQ()
    q.wait_for_trigger(), q.end()
    assert [type(r) for r in q.i_set] == [o.QInsWaitTrig, o.QInsWait, o.QInsEnd]
    q = z.InstructionQ()
    w = q.wait()
    q.clear()
    assert q.last_ins is w and q.i_set == []
    q.end()     # the last recorded item is still that wait
    assert [type(r) for r in q.i_set] == [o.QInsEnd]
    q.is_first_trig = False
    q.wait_for_trigger()
    assert [type(r) for r in q.i_set[1:]] == [o.QInsWait, o.QInsWaitTrig]
    q.clear()
    assert q.is_first_trig is True


def test_play_wave_refusals():
    ch = z.InsChannel()
    f = ch.ins_frame(1e8)
    with pytest.raises(RuntimeError) as e:
        ch.play_wave("abc")
    assert str(e.value) == "The parameter wave should be Signal, not abc"
    with pytest.raises(RuntimeError) as e:
        ch.play_wave(f)
    assert str(e.value) == "The parameter wave should be Signal, not " + str(f)
    with pytest.raises(RuntimeError) as e:  # a text that is no UTF-8 still gives the refusal
        ch.play_wave("\ud800")
    assert str(e.value) == "The parameter wave should be Signal, not \ud800"
    with pytest.raises(AttributeError):
        ch.play_wave(z.Signal(ch, {}))
    with pytest.raises(AttributeError):
        ch.inc_phase(None, 0.1)
    assert ch.length == 0


@pytest.mark.parametrize("width, steps", [
    (0, 0), (-1.9e-09, 0), (1e-08, 2), ("4e-07", 100), (4294967295 * 4e-09 - 1e-09, 4294967295),
])
def test_play_zero_takes_widths_of_a_whole_word(width, steps):
    ch = z.InsChannel()
    rec = ch.play_zero(width)
    assert rec.width is width and bytes(rec)[6:10] == steps.to_bytes(4, "little")


@pytest.mark.parametrize("width, error, text", [
    (-2.1e-09, ValueError, "not -1 (width -2.1e-09)"),
    (4294967296 * 4e-09, ValueError, "not 4294967296 (width 17.179869184)"),
    (float("nan"), ValueError, "cannot convert float NaN to integer"),
    (float("inf"), OverflowError, "cannot convert float infinity to integer"),
    (None, TypeError, "float() argument must be a string or a real number, not 'NoneType'"),
])
def test_play_zero_refuses_widths_the_word_cannot_hold(width, error, text):
    ch = z.InsChannel()
    with pytest.raises(error) as e:
        ch.play_zero(width)
    assert str(e.value).endswith(text) and ch.length == 0
    if error is ValueError and "width" in text:
        assert str(e.value).startswith("The width of play_zero must come to 0 to 4294967295 steps of "
                                       "play_zero_step / OUTSrate seconds")


def test_play_zero_counts_steps_of_the_configuration_now():
    ch = z.InsChannel()
    width = 4294967296 * 4e-09
    with restored(o.global_config):
        o.zlv_config("play_zero_step", 64)  # 8 ns steps: half as many
        assert bytes(ch.play_zero(width))[6:10] == (2**31).to_bytes(4, "little")
    with pytest.raises(ValueError):
        ch.play_zero(width)


def test_blocks_share_the_channel_register_table():
    ch = z.InsChannel()
    ch.ins_variable("a", 0), ch.ins_variable("b", 0)
    with ch.ins_if("a == 0") as b:
        assert b.ins_add("b", 1).reg == 1
        assert b.ins_variable("c", 1).reg == 2
    assert b.symbol_set == {} and ch.symbol_set == {"a": 0, "b": 1, "c": 2}
    assert ch.length == 3 and b.length == 2   # a block counts as one item


def test_methods_reach_overrides():
    calls = []

    class Q(z.InsChannel):
        def _append_ins(self, cmd):
            calls.append(type(cmd).__name__)
            super()._append_ins(cmd)

        def wait(self):
            calls.append("wait()")
            return super().wait()

    q = Q(freqs=[1e6])
    assert q.f_set[0].freq == 1e6
    q.end()
    assert calls == ["wait()", "QInsWait", "QInsEnd"]
