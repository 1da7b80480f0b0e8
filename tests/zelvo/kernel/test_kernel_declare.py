"""Declarations: `name: Type = value` and the table each type files into."""
import pytest

from tarvok.zelvo import _ir
from tarvok.zelvo.kernel import Kernel


@pytest.mark.parametrize("decl, table, appended", [
    ("x: zv.Frame = zv.frame(1e8)", "frame_symbol", _ir.IRFrame),
    ("x: zv.Envelope = zv.envelope(np.ones(4))", "envelope_symbol", _ir.IREnvelope),
    ("x: zv.Waveform = zv.waveform(np.ones(4))", "waveform_symbol", _ir.IRWaveform),
    ("x: zv.Freqlist = zv.freq_list([1e8])", "freq_list_symbol", _ir.IRFreqlist),
    ("x: zv.Demodulation = zv.demodulation(np.ones(4))", "demodulation_symbol", _ir.IRDemodule),
    ("x: zv.ArbWave = zv.arb_waveform('w', np.ones(4))", "var_symbol", _ir.IRArbWaveform),
    ("x: zv.Var = 3", "var_symbol", None),
    ("x: zv.Int = 7", "register_symbol", None),
    ("x: 'int' = 3", "var_symbol", None),
    ("x: 'zv.Var' = 3", "var_symbol", None),
    ("x: foo.Var = 3", "var_symbol", None),
    ("x: np.ndarray = np.arange(2)", "var_symbol", None),
    ("x: list[int] = np.arange(2)", "var_symbol", None),
    ("x: 'float' = 2.5", "var_symbol", None),
    ("x: 'dict' = {'a': np.pi}", "var_symbol", None),
    ("x: 'tuple' = 4", "var_symbol", None),
])
def test_each_type_files_into_its_table(parse, decl, table, appended):
    k = parse(f"def p():\n    {decl}\n")
    filed = getattr(k, table)["x"]
    if appended is None:
        assert k.instruction_list == []
        assert table != "register_symbol" or "feedbackchnl_x" not in k.register_symbol
    else:
        assert k.instruction_list == [filed] and type(filed) is appended
        assert filed.line == 2 and filed.kernel is k
    others = {"var_symbol", "frame_symbol", "envelope_symbol", "waveform_symbol", "freq_list_symbol",
              "demodulation_symbol", "register_symbol"} - {table}
    assert all(getattr(k, t) == {} for t in others)


def test_register_declarations_number_and_load_registers(parse):
    k = parse("""
        def p():
            r: zv.Reg = 5
            s: zv.Reg
            zv.IRNop()
        """)
    assert k.register_symbol == {"r": 0, "feedbackchnl_r": 0, "s": 1, "feedbackchnl_s": 1}
    assert k.register_idx == 2
    r, s, _ = k.instruction_list
    assert type(r) is _ir.IRMov and (r.idx, r.reg_value, r.line, r.kernel) == (0, 5, 3, None)
    assert (s.idx, s.reg_value, s.line) == (1, 1, 4)      # no value: the `simple` flag


@pytest.mark.parametrize("decl, filed, listed", [
    ("v: zv.Var", 1, []),
    ("e: zv.Envelope = 3", 3, []),
    ("x: 'list' = [1, 2]", [1, 2], []),
    ("x: zv.Var = -1", -1, []),
    ("x: zv.Var = 2 * 3", 6, []),
    ("(v): zv.Var", 0, []),
])
def test_values_of_declarations(parse, decl, filed, listed):
    k = parse(f"def p():\n    {decl}\n")
    table = k.envelope_symbol if "Envelope" in decl else k.var_symbol
    assert list(table.values()) == [filed] and k.instruction_list == listed


def test_repeated_declarations(parse, refusal):
    for first, again in [("x: zv.Var = 1", "x: zv.Var = 2"), ("x: zv.Reg = 1", "x: zv.Var = 2"),
                         ("x: zv.Frame = zv.frame(1e8)", "x: zv.Reg = 0"),
                         ("x: zv.Envelope = 3", "x: zv.Envelope = 4")]:
        text = refusal(f"def p():\n    {first}\n    {again}\n")
        assert text == f'in kernel p, line 3, "{again}":\nVariable "x" has been defined'
    # The waveform, frequency-list and demodulation tables are not consulted.
    k = parse("def p():\n    w: zv.Waveform = 1\n    w: zv.Waveform = 2\n")
    assert k.waveform_symbol == {"w": 2} and k.instruction_list == [1, 2]


def test_a_frame_number_is_filed_once(km):
    made_outside = _ir.IRFrame(1e8, 0.0, 3)            # no line of its own
    k = Kernel(src="def p(a: 'zv.Frame', b: 'zv.Frame'):\n    f: zv.Frame = zv.frame(2e8, 0.0, 3)\n",
               args=(made_outside, made_outside), kwargs={})
    with pytest.raises(km.KernelParseError) as info:   # one object under two names is one frame; f is a second
        k.parse()
    assert str(info.value) == ('in kernel p, line 2, "f: zv.Frame = zv.frame(2e8, 0.0, 3)":\n'
                               'Frame number 3 is already frame b; give zv.frame(...) its own idx')
    assert k.frame_symbol == {"b": made_outside, "a": made_outside} and k.instruction_list == [made_outside] * 2


@pytest.mark.parametrize("decl, message", [
    ("a.b: zv.Var = 1", "Unallowed variable declaration xxx a.b"),
    ("a[0]: zv.Var = 1", "Unallowed variable declaration xxx a[0]"),
    ("x: Reg = 0", "Unallowed variable declaration"),
    ("x: int = 3", "Unallowed variable declaration"),
    ("x: 3 = 3", "Unallowed variable declaration"),
    ("x: zv.Reg[0] = 3", "Unallowed variable declaration"),
    ("x: zv.reg = 0", "Unknown variable type reg"),
    ("x: zv.Foo = zv.frame(1e8)", "Unknown variable type Foo"),
])
def test_declaration_refusals(refusal, decl, message):
    assert refusal(f"def p():\n    {decl}\n") == f'in kernel p, line 2, "{decl}":\n{message}'


def test_unknown_type_is_found_after_the_value_ran(parse, km, monkeypatch):
    ran = []
    monkeypatch.setattr(km, "probe", lambda: ran.append(1) or 5, raising=False)
    with pytest.raises(km.KernelParseError):
        parse("def p():\n    x: zv.Foo = zv.probe()\n")
    assert ran == [1]


def test_refused_declaration_files_nothing(km):
    k = Kernel(src="def p():\n    a: zv.Var = 1\n    b: zv.Foo = 2\n")
    with pytest.raises(km.KernelParseError):
        k.parse()
    assert k.var_symbol == {"a": 1} and k.instruction_list == []


def test_readers_called_directly(km):
    import ast
    k = Kernel(src="def p():\n    pass\n")
    assign = ast.parse("x = zv.capture(1)").body[0]
    assert k._get_value_type(assign) == "capture"
    test = ast.parse("if r == 1 < 2:\n    pass\n").body[0]
    assert [type(o) for o in k._get_compare_type(test)] == [ast.Eq, ast.Lt]
    for bad in [ast.parse("x = 1").body[0], ast.parse("x = f()").body[0]]:
        with pytest.raises(km.KernelParseError, match="Unallowed variable declaration$"):
            k._get_value_type(bad)
    with pytest.raises(km.KernelParseError, match="Unallowed variable declaration$"):
        k._get_compare_type(ast.parse("if r:\n    pass\n").body[0])
    assert k._is_repeat_symbol("nothing") is False
    k.register_symbol["r"] = 0
    assert k._is_repeat_symbol("r") is True
