"""Compiling a queue: order of the compiled list, what is shared and what is
copied, the closing wait and end, label resolution and lookup()."""
import copy
import json

import numpy as np
import pytest

from tarvok.compiler import ostrane as o
from tarvok.compiler import zel_wave as z


def kinds(recs):
    return [type(r).__name__ for r in recs]


def test_nothing_to_compile():
    ch = z.InsChannel()
    for call in (ch.compile, ch.lookup):
        with pytest.raises(IndexError, match="list index out of range"):
            call()
    assert ch.i_set == []


def test_one_frame():
    ch = z.InsChannel([1e8])
    out = ch.compile()
    assert kinds(out) == ["QInsFrame", "QInsWait", "QInsEnd"]
    assert out[0] is ch.f_set[0].format() and ch.i_set == out[1:]


@pytest.mark.parametrize("program, added", [
    (lambda q, s: q.wait(), ["QInsEnd"]),
    (lambda q, s: q.end(), []),
    (lambda q, s: q.wait_for_trigger(), ["QInsWait", "QInsEnd"]),
    (lambda q, s: q.play_wave(s), ["QInsWait", "QInsEnd"]),
    (lambda q, s: q.ins_if("FREQ_0 == 1"), ["QInsWait", "QInsEnd"]),
])
def test_closing_wait_and_end(program, added):
    ch = z.InsChannel()
    s = ch.ins_frame(1e8) * ch.ins_envelope(np.ones(32))
    program(ch, s)
    before = ch.length
    out = ch.compile()
    tail = out[len(out) - len(added):] if added else []
    assert kinds(tail) == added
    assert ch.length == before + len(added) and ch.i_set[before:] == tail
    assert all(a is b for a, b in zip(ch.i_set[before:], tail))
    # a second compile records nothing and ends with copies of those records
    again = ch.compile()
    assert ch.length == before + len(added) and len(again) == len(out)
    assert again[-1] == ch.i_set[-1] and again[-1] is not ch.i_set[-1]


def test_end_records_wait_after_a_block():
    ch = z.InsChannel()
    ch.ins_loop(2)
    out = ch.compile()
    # the layout ends with waits, so only end() is called, which records a wait first
    assert kinds(out[-3:]) == ["QInsWait", "QInsWait", "QInsEnd"]
    assert kinds(ch.i_set) == ["InsLoop", "QInsWait", "QInsEnd"] and out[-1] is ch.i_set[-1]
    n = ch.length
    ch.compile()
    assert ch.length == n


def test_tables_in_index_order_and_shared_records():
    ch = z.InsChannel()
    frames = {i: ch.ins_frame(1e6 * (i + 1), i) for i in (3, 0, 1)}
    envs = {i: ch.ins_envelope(np.zeros(i + 1), i) for i in (2, -1)}
    ch.ins_frame(9e6, 1)                     # replaces index 1
    ch.wait()
    out = ch.compile()
    assert [r.freq for r in out[:3]] == [1e6, 9e6, 4e6]
    assert out[3] is envs[-1].format() and out[4] is envs[2].format()
    assert out[0] is frames[0].format() and all(type(r) is o.QInsFrame for r in out[:3])
    w = out[5]
    assert w == ch.i_set[0] and w is not ch.i_set[0]
    w.tag = "changed"
    assert ch.i_set[0].tag != "changed"


def test_labels_resolve_onto_the_record_after_them():
    q = z.InsChannel()
    q.wait()
    j1 = q.ins_if("FREQ_0 == 1")            # empty if block: its condition aims past it
    with q.ins_if("FREQ_1 == 0") as outer:
        outer.ins_if("FREQ_2 == 1")         # ends the outer if group: two labels in a row
    q.play_zero(4e-9)
    out = q.compile()
    assert not any(type(r) is z.QInsPlaceholder for r in out)
    tags = [r.tag for r in out]
    for r in out:
        if hasattr(r, "target"):
            assert r.target in tags
    # first block: key_ins and its jump both aim at the first record after its layout
    first = out.index(j1.key_ins)
    after = out[first + 10]
    assert j1.key_ins.target == after.tag == out[first + 7].target
    # the inner block ends the outer if group: both jumps land after both layouts
    zero = next(r for r in out if type(r) is o.QInsPlayZero)
    inner = outer.i_set[0]
    assert inner.key_ins.target == zero.tag
    outer_jump = [r for r in out if type(r) is o.QInsJump][1]
    assert outer_jump.target == zero.tag


def test_runs_of_labels_and_retargeting_from_anywhere():
    # Labels recorded by hand: references before and after them, a run of
    # two, and a label of empty text, which catches every record without a
    # target.
    q = z.InstructionQ()
    j_before = o.QInsJump("jb", "L1")
    for rec in (o.QInsWait("w"), j_before, z.QInsPlaceholder("L1"), z.QInsPlaceholder("L2"),
                o.QInsJump("ja", "L2"), o.QInsWait("t"), o.QInsJumpWithReg("jr", 0, 1, "L1"),
                z.QInsPlaceholder(""), o.QInsEnd("e")):
        q._append_ins(rec)
    out = q.compile()
    assert [(r.tag, r.target) for r in out] == [("w", "e"), ("jb", "ja"), ("ja", "ja"), ("t", "e"),
                                                ("jr", "ja"), ("e", "e")]
    assert j_before.target == "L1"          # the queue's own record is untouched


def test_odd_targets_compare_with_their_own_equality():
    class Always:
        def __eq__(self, other):
            return other == "L"
        __hash__ = None
    q = z.InstructionQ()
    q._append_ins(o.QInsJump("j", Always()))
    q._append_ins(z.QInsPlaceholder("L"))
    q.end()
    out = q.compile()
    assert out[0].target == out[1].tag


def test_lookup_prints_json(capsys):
    ch = z.InsChannel([1e8])
    assert ch.lookup() is None
    text = capsys.readouterr().out
    lines = [str(r) for r in ch.compile()]
    assert text == json.dumps(lines, indent=4) + "\n"
    assert text.startswith('[\n    "QInsFrame(tag=') and len(json.loads(text)) == 3


def test_lookup_escapes_as_json_does(capsys):
    class Odd(o.QInsWait):
        def __str__(self):
            return 'é"\\\n\t\x00\x7f\u2603\U0001f600\ud800 end'
    q = z.InstructionQ()
    q._append_ins(Odd("x"))
    q.end()
    q.lookup()
    out = capsys.readouterr().out
    assert out == json.dumps([str(r) for r in q.compile()], indent=4) + "\n"


def test_lookup_follows_the_current_stdout(monkeypatch):
    import io
    import sys
    buf = io.StringIO()
    monkeypatch.setattr(sys, "stdout", buf)
    z.InsChannel([1e8]).lookup()
    assert buf.getvalue().startswith("[\n")
    monkeypatch.setattr(sys, "stdout", None)
    assert z.InsChannel([1e8]).lookup() is None


def test_patched_and_subclassed_records_are_honoured(monkeypatch):
    class MyWait(o.QInsWait):
        pass
    monkeypatch.setattr(z, "QInsWait", MyWait)
    ch = z.InsChannel()
    with ch.ins_loop(2):
        pass
    out = ch.compile()
    assert sum(type(r) is MyWait for r in out) == 5
    assert type(ch.wait()) is MyWait


def test_overridden_compile_of_a_nested_block():
    class Twice(z.InsLoop):
        def _compile(self):
            return super()._compile() + [o.QInsWait("extra")]
    ch = z.InsChannel()
    blk = Twice.from_channel(ch)
    blk.times = 3
    ch._append_ins(blk)
    out = ch.compile()
    assert [r.tag for r in out if r.tag == "extra"] == ["extra"]
    assert kinds(out[:2]) == ["QInsMov", "QInsMov"]


def test_instance_compile_attribute_is_used():
    ch = z.InsChannel()
    inner = z.InstructionQ()
    inner._compile = lambda: [o.QInsWait("mine")]
    ch._append_ins(inner)
    assert [r.tag for r in ch.compile()][:1] == ["mine"]


def test_block_nested_in_itself_is_refused():
    ch = z.InsChannel()
    ch._append_ins(ch)
    with pytest.raises(RecursionError):
        ch.compile()
    deep = z.InsChannel()
    q = deep
    for _ in range(5000):
        q = q.ins_loop(2)
    with pytest.raises(RecursionError):
        deep.compile()


def test_compile_of_a_block_directly():
    ch = z.InsChannel()
    ch.ins_variable("a", 0)
    blk = ch.ins_if("a == 0")
    blk.wait()
    assert kinds(blk._compile())[:2] == ["QInsWait", "QInsJumpWithReg"]
    assert len(z.InstructionQ._compile(blk)) == 1


def test_records_are_made_as_their_classes_make_them(monkeypatch):
    seen = []

    class Watched(o.QInsMov):
        def __setattr__(self, name, value):
            seen.append(name)
            super().__setattr__(name, value)

    class Late(o.QInsWait):
        def __post_init__(self):          # QInsWait's own constructor never calls it
            self.late = True

    monkeypatch.setattr(z, "QInsMov", Watched)
    monkeypatch.setattr(z, "QInsWait", Late)
    ch = z.InsChannel()
    mov = ch.ins_variable("a", 1)
    assert type(mov) is Watched and seen[:4] == ["tag", "reg", "value", "type"] and "type2head" in seen
    assert list(vars(mov)) == list(vars(Watched("t", 0, 1)))
    w = ch.wait()
    assert type(w) is Late and not hasattr(w, "late") and list(vars(w)) == ["tag"]

    def init(self, tag):
        self.tag = "always"
    monkeypatch.setattr(o.QInsEnd, "__init__", init)
    assert ch.end().tag == "always"
    monkeypatch.undo()
    assert ch.end().tag != "always"


def _doubled_width_init(self, tag, width):
    self.tag = tag
    self.width = 2 * width


def _doubled_width_init_with_defaults(self, tag, width, scale=2):
    self.tag = tag
    self.width = scale * width


@pytest.mark.parametrize("replace", [
    lambda init: setattr(init, "__code__", _doubled_width_init.__code__),
    lambda init: (setattr(init, "__code__", _doubled_width_init_with_defaults.__code__),
                  setattr(init, "__defaults__", (2,))),
], ids=["code", "code and defaults"])
def test_a_record_constructor_whose_code_was_replaced_in_place_is_run(replace, monkeypatch):
    """The generated __init__ keeps its identity when its __code__ is
    replaced (an in-place reload, a patching tool): the emitters make the
    record with the code it has now, as calling the class does."""
    init = o.QInsPlayZero.__init__
    for name in ("__code__", "__defaults__"):
        monkeypatch.setattr(init, name, getattr(init, name))  # put back after the test
    replace(init)
    assert o.QInsPlayZero(tag="t", width=1e-6).width == 2e-6
    assert z.InsChannel().play_zero(1e-6).width == 2e-6
    monkeypatch.undo()
    assert z.InsChannel().play_zero(1e-6).width == 1e-6


@pytest.mark.parametrize("member", ["__getstate__", "__reduce_ex__"])
def test_compile_copies_a_record_as_its_copy_protocol_says(member):
    """A record's own member of the copy protocol is honoured by copy.copy,
    so compile() honours it too."""
    ch = z.InsChannel()
    rec = ch.play_zero(1e-6)

    def state(*args):
        fields = {k: v for k, v in vars(rec).items() if k != member}
        if member == "__getstate__":
            return dict(fields, width=2e-6)
        return (type(rec).__new__, (type(rec),), dict(fields, width=2e-6))
    setattr(rec, member, state)
    assert copy.copy(rec).width == 2e-6
    copied = [r for r in ch.compile() if type(r) is o.QInsPlayZero]
    assert [r.width for r in copied] == [2e-6] and copied[0] is not rec
