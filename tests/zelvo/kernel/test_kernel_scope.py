"""Scope kernels: what they share with their creator and what is their own."""
import ast

import pytest

from tarvok.zelvo.kernel import Kernel, KernelParseError, ScopeKernel

SHARED = ["func_args", "func_kwargs", "top_src", "top_node", "var_symbol", "frame_symbol", "envelope_symbol",
          "register_symbol", "instr_target_map", "jail_tag", "compile_params", "pass_params"]
OWN = ["instruction_list", "waveform_symbol", "freq_list_symbol", "demodulation_symbol"]


@pytest.fixture
def creator(parse):
    k = parse("""
        def outer(a: 'zv.Var' = 1, r: zv.Reg = 0):
            zv.IRNop()
        """, 5)
    k.frame_idx = 2
    k.waveform_symbol["w"] = 1
    return k


def test_scope_shares_tables_and_copies_counters(creator):
    s = creator.create_scope()
    assert type(s) is ScopeKernel and s.parent is creator and s.name == "outer"
    assert repr(s) == "<ScopeKernel:outer>"
    for name in SHARED:
        assert getattr(s, name) is getattr(creator, name), name
    for name in OWN:
        assert getattr(s, name) is not getattr(creator, name), name
    assert s.instruction_list == [] and s.waveform_symbol == {}
    assert (s.frame_idx, s.register_idx) == (2, 1)


def test_scope_declarations_reach_the_creator_through_shared_tables(creator):
    first, second = creator.create_scope(), creator.create_scope()
    decl = ast.parse("v: zv.Var = 3\nr2: zv.Reg = 7\nw: zv.Waveform = 4\n").body
    for stmt in decl:
        first.visit(stmt)
    assert creator.var_symbol["v"] == 3 and creator.register_symbol["r2"] == 1
    assert first.register_idx == 2 and creator.register_idx == 1   # counters are values
    assert first.waveform_symbol == {"w": 4} and "w" in creator.waveform_symbol
    assert creator.waveform_symbol["w"] == 1
    assert [str(i) for i in first.instruction_list[:1]] == ["movi %A1 7"]
    assert len(creator.instruction_list) == 2                      # the creator's list is untouched
    with pytest.raises(KernelParseError, match='Variable "v" has been defined'):
        second.visit(decl[0])


def test_scope_of_a_scope(creator):
    s = creator.create_scope()
    inner = s.create_scope()
    assert inner.parent is s and inner.var_symbol is creator.var_symbol
    s.compile_params["base_clock"] = 1e-9
    assert creator.compile_params["base_clock"] == 1e-9


def test_scope_constructor_and_from_kernel_order():
    k = Kernel()
    bare = ScopeKernel(k)
    assert bare.parent is k and bare.name == "" and bare.top_src is None
    seen = []

    class Spy(ScopeKernel):
        def __setattr__(self, name, value):
            seen.append(name)
            super().__setattr__(name, value)
    scope = Spy.from_kernel(k)
    assert type(scope) is Spy
    assert seen[:2] == ["name", "parent"] and seen[20] == "parent"   # Kernel.__init__, then the creator
    assert seen[21:] == ["name", "func_args", "func_kwargs", "top_src", "top_node", "var_symbol", "frame_symbol",
                    "frame_idx", "envelope_symbol", "register_symbol", "register_idx", "instruction_list",
                    "instr_target_map", "jail_tag", "compile_params", "pass_params"]


def test_scope_errors_read_as_the_creators(creator):
    s = creator.create_scope()
    stmt = creator.top_node.body[0].body[0]
    with pytest.raises(KernelParseError) as info:
        s._raise_error(KernelParseError, stmt, "boom")
    assert str(info.value) == 'in kernel outer, line 3, "zv.IRNop()":\nboom'
