"""Branch and loop blocks: the formula, the if/else and loop layouts (nested
too) with their exact record lists, and the refusals."""
import pytest

from tarvok.compiler import ostrane as o
from tarvok.compiler import zel_wave as z

MOD = "tarvok.compiler.zel_wave"


def shape(recs):
    """Each record as a short text: kind, then the fields that matter."""
    out = []
    for r in recs:
        k = type(r).__name__
        if k == "QInsMov":
            out.append(f"mov r{r.reg} {r.type} {r.value}")
        elif k == "QInsJumpWithReg":
            out.append(f"jreg r{r.reg} == {r.value}")
        else:
            out.append({"QInsWait": "W", "QInsJump": "jump", "QInsPlaceholder": "label",
                        "QInsPlayZero": "zero", "QInsJumpWithJudge": "jjudge", "QInsEnd": "end"}.get(k, k))
    return out


def at(recs, tag):
    return next(i for i, r in enumerate(recs) if r.tag == tag)


@pytest.fixture
def ch():
    c = z.InsChannel()
    c.ins_variable("x", 0), c.ins_variable("y", 0), c.ins_variable("a", 0)
    return c


@pytest.mark.parametrize("formula", ["a == 1", "a==1", "  a ==   1 ", "a ==\t1"])
def test_register_formula(ch, formula):
    key = ch.ins_if(formula).key_ins
    assert type(key) is o.QInsJumpWithReg and (key.reg, key.value, key.target) == (2, 1, None)


@pytest.mark.parametrize("formula, value, mask", [("FREQ_3 == 1", 8, 8), ("FREQ_3 == 0", 0, 8),
                                                  ("FREQ_0==1", 1, 1), ("FREQ_5 == 1", 32, 32)])
def test_judgement_formula(ch, formula, value, mask):
    key = ch.ins_if(formula).key_ins
    assert type(key) is o.QInsJumpWithJudge and (key.value, key.mask, key.target) == (value, mask, None)


def test_judge_names_and_variable_precedence(ch):
    assert z.InsIF.ch_judge_name == {f"FREQ_{i}": (1 << i, i) for i in range(6)}
    ch.ins_variable("FREQ_1", 0)
    assert type(ch.ins_if("FREQ_1 == 5").key_ins) is o.QInsJumpWithReg


@pytest.mark.parametrize("formula, exc, text", [
    ("FREQ_3 == 2", RuntimeError, "The format of formula [name] == [value], value should in [0, 1], not 2"),
    ("FREQ_6 == 1", RuntimeError, "The specified variable FREQ_6 does not exist"),
    ("a = 1", RuntimeError, "The format of formula should be [name] == [value]"),
    ("a", RuntimeError, "The format of formula should be [name] == [value]"),
    ("a == 1 == 2", RuntimeError, "The format of formula should be [name] == [value]"),
    ("a != 1", RuntimeError, "The format of formula should be [name] == [value]"),
    ("a == x", ValueError, "invalid literal for int() with base 10: 'x'"),
    (None, TypeError, "Argument 'formula' has incorrect type (expected str, got NoneType)"),
    (b"a == 1", TypeError, "Argument 'formula' has incorrect type (expected str, got bytes)"),
])
def test_formula_refusals(ch, formula, exc, text):
    blk = z.InsIF.from_channel(ch)
    blk.formula = "a == 0"
    key = blk.key_ins
    with pytest.raises(exc) as e:
        blk.formula = formula
    assert str(e.value) == text and blk.key_ins is key


def test_formula_of_a_str_subclass(ch):
    class S(str):
        pass
    blk = z.InsIF.from_channel(ch)
    with pytest.raises(TypeError) as e:
        blk.formula = S("a == 1")
    assert str(e.value).startswith("Argument 'formula' has incorrect type (expected str, got S)")
    assert "Subclasses of built-in types" in str(e.value)


def test_formula_is_write_only_and_else_is_a_field(ch):
    blk = ch.ins_if("a == 1")
    with pytest.raises(RuntimeError) as e:
        blk.formula
    assert str(e.value) == "InsIF.formula is a static property"
    class Mine(z.InsIF):
        pass
    with pytest.raises(RuntimeError, match="^Mine.formula is a static property$"):
        Mine().formula
    assert blk.ins_else is None and callable(z.InsIF.ins_else)
    with pytest.raises(TypeError):
        blk.ins_else()
    with pytest.raises(AttributeError):
        blk._if


def test_new_formula_replaces_the_condition(ch):
    blk = ch.ins_if("a == 1")
    first = blk.key_ins
    blk.formula = "a == 2"
    assert blk.key_ins is not first and blk.key_ins.tag != first.tag and blk.key_ins.value == 2


def test_block_fields():
    assert list(vars(z.InsIF()))[-3:] == ["channel", "key_ins", "ins_else"]
    assert list(vars(z.InsElse()))[-2:] == ["channel", "_if"]
    loop = z.InsLoop()
    assert list(vars(loop))[-3:] == ["channel", "times", "var"] and (loop.channel, loop.times) == (None, None)
    assert len(loop.var) == 10 and loop.var != z.InsLoop().var
    assert type(z.InsElse.from_channel(1)) is z.InsElse and z.InsLoop.from_channel(7).channel == 7


def test_empty_if_block(ch):
    blk = ch.ins_if("a == 1")
    out = ch.compile()[3:]              # after the three variables
    assert shape(out[:12]) == ["W", "jreg r2 == 1", "W", "W", "W", "W", "W", "W", "jump", "W", "W", "W"]
    assert out[1] is blk.key_ins and out[-1].tag == ch.i_set[-1].tag
    after = out[11]                     # the closing wait compile() added
    assert blk.key_ins.target == after.tag and out[8].target == after.tag
    blk.key_ins.target = "stale"
    again = ch.compile()[3:]
    assert blk.key_ins.target == after.tag == again[11].tag       # set afresh
    assert not {r.tag for r in out[:11]} - {blk.key_ins.tag} & {r.tag for r in again[:11]}


def test_if_else_layout(ch):
    with ch.ins_if("a == 1") as blk:
        p1, p2 = blk.play_zero(4e-9), blk.play_zero(8e-9)
    with ch.ins_else() as els:
        e1 = els.play_zero(1.2e-8)
    ch.end()
    out = ch.compile()[3:]
    assert shape(out) == ["W", "jreg r2 == 1", "W", "W", "zero", "W", "W", "W", "jump", "W", "W",
                          "zero", "zero", "W", "end"]
    assert [r.tag for r in out[4:5] + out[11:13]] == [e1.tag, p1.tag, p2.tag]
    assert blk.key_ins.target == p1.tag and out[8].target == out[13].tag


@pytest.mark.parametrize("n, pads", [(0, 3), (1, 2), (2, 1), (3, 0), (5, 0)])
def test_else_group_padding(ch, n, pads):
    ch.ins_if("a == 1")
    with ch.ins_else() as els:
        for _ in range(n):
            els.play_zero(4e-9)
    out = ch.compile()[3:]
    group = out[4:4 + n + pads]
    assert shape(group) == ["zero"] * n + ["W"] * pads and shape(out[4 + n + pads:6 + n + pads]) == ["W", "jump"]


def test_nested_if_else(ch):
    with ch.ins_if("x == 1") as outer:
        with outer.ins_if("y == 1") as inner:    # takes no else: outer.ins_else is a field
            a = inner.play_zero(4e-9)
    with ch.ins_else() as els:
        with els.ins_if("FREQ_2 == 1") as nested:
            b = nested.play_zero(8e-9)
        nested_else = els.ins_else()
        c = nested_else.play_zero(1.2e-8)
    assert (outer.ins_else, inner.ins_else, nested.ins_else) == (els, None, nested_else)
    out = ch.compile()[3:]
    assert shape(out) == (
        ["W", "jreg r0 == 1", "W", "W"]                              # outer
        + ["W", "jjudge", "W", "W", "zero", "W", "W", "W", "jump", "W", "W", "zero"]   # its else: nested
        + ["W", "jump", "W", "W"]
        + ["W", "jreg r1 == 1", "W", "W", "W", "W", "W", "W", "jump", "W", "W", "zero"]  # its if: inner
        + ["W", "end"])
    t = [r.tag for r in out]
    assert t[8] == c.tag and t[15] == b.tag and t[31] == a.tag
    assert outer.key_ins.target == t[20] and inner.key_ins.target == a.tag and nested.key_ins.target == b.tag
    # the two jumps over if groups that end where the layout ends land after both
    assert out[12].target == t[16] and out[17].target == out[28].target == t[32]


def test_empty_loop(ch):
    loop = ch.ins_loop(4)
    out = ch.compile()[3:]
    assert shape(out[:9]) == ["mov r3 = 0", "mov r3 + 1", "W", "jreg r3 == 4", "W", "W", "jump", "W", "W"]
    assert out[6].target == out[1].tag and out[3].target == out[7].tag
    assert ch.symbol_set[loop.var] == 3


def test_loop_with_one_command():
    ch = z.InsChannel()
    with ch.ins_loop(5) as loop:
        cmd = loop.play_zero(4e-9)
    out = ch.compile()
    assert shape(out) == ["mov r0 = 0", "zero", "mov r0 + 1", "W", "jreg r0 == 5", "W", "W", "jump",
                          "W", "W", "end"]
    assert out[1].tag == cmd.tag and out[1] is not cmd and out[7].target == cmd.tag
    assert out[4].target == out[8].tag and out[4].value == 5


def test_nested_loops_take_registers_inside_out():
    ch = z.InsChannel()
    with ch.ins_loop(2) as outer:
        inner = outer.ins_loop(3)
    first = ch.compile()
    assert shape(first)[:3] == ["mov r1 = 0", "mov r0 = 0", "mov r0 + 1"]
    assert ch.symbol_set == {inner.var: 0, outer.var: 1}
    second = ch.compile()
    assert shape(second) == shape(first)[:-1] + ["W", "end"]    # the closing records, copied
    assert not {r.tag for r in first} & {r.tag for r in second[:-2]}


def test_if_group_loops_take_registers_first():
    ch = z.InsChannel()
    with ch.ins_if("FREQ_0 == 1") as blk:
        in_if = blk.ins_loop(2)
    with ch.ins_else() as els:
        in_else = els.ins_loop(2)
    ch.compile()
    assert ch.symbol_set == {in_if.var: 0, in_else.var: 1}


def test_loop_counter_needs_a_free_register():
    ch = z.InsChannel()
    for i in range(16):
        ch.ins_variable(f"v{i}", 0)
    ch.ins_loop(2)
    with pytest.raises(RuntimeError, match="^Up to 16 variables can be configured$"):
        ch.compile()


@pytest.mark.parametrize("open_block, text", [
    (lambda c: c.ins_if("FREQ_0 == 1"), "Capture is not allowed to call in a branch structure"),
    (lambda c: (c.ins_if("FREQ_0 == 1"), c.ins_else())[1], "Capture is not allowed to call in a branch structure"),
    (lambda c: c.ins_loop(2), "Calling capture in a loop construct is not allowed"),
])
def test_capture_refused_in_blocks(open_block, text):
    blk = open_block(z.InsChannel())
    for args in ((1e-6,), (1e-6, 1e-8)):
        with pytest.raises(RuntimeError) as e:
            blk.capture(*args)
        assert str(e.value) == text
    assert blk.length == 0


def test_blocks_made_without_a_channel_or_formula():
    with pytest.raises(RuntimeError, match="^InsIF has no channel"):
        z.InsIF().formula = "a == 1"
    with pytest.raises(RuntimeError, match="^InsLoop has no channel"):
        with z.InsLoop():
            pass
    ch = z.InsChannel()
    ch._append_ins(z.InsIF.from_channel(ch))
    with pytest.raises(RuntimeError, match="^InsIF has no condition: set its formula"):
        ch.compile()
    assert ch.symbol_set == {}
    loop = z.InsLoop()
    loop.times = 2
    with pytest.raises(RuntimeError, match="^InsLoop has no channel"):
        loop._compile()
    with pytest.raises(RuntimeError, match="^InsElse has no channel"):
        z.InsElse().ins_variable("a", 1)
