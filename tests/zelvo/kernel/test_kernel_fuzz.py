"""Awkward values at every member of the kernel classes, and kernels parsed
with corrupted state: Python exceptions only, never a crash (child process)."""
from crashcheck import run_isolated

MEMBERS = r'''
import ast, random, types
from tarvok.zelvo import kernel as km
from tarvok.zelvo._ir import IRNop

rng = random.Random(int(SEED))
SOURCE = """def p(a: 'zv.Var' = 1, r: zv.Reg = 2):
    x: zv.Var = 3
    zv.IRNop()
    zv.frame(1e8, 0.0, 1)
"""

class Weird:
    def __getattr__(self, name):
        raise ValueError(name)
    def __eq__(self, other):
        raise RuntimeError("eq")
    __hash__ = object.__hash__

def nodes():
    return [ast.Name(), ast.Name(id="zv"), ast.Call(), ast.Constant(value=1), ast.Attribute(), ast.Compare(),
            ast.parse("zv.IRNop()").body[0], ast.parse("x: zv.Var = 1").body[0], ast.parse("def f(): pass"),
            ast.arg(arg="a"), ast.arguments(), ast.If(), ast.For(), ast.While(), ast.Expr(), ast.Subscript()]

def pool(k):
    return [None, 0, -1, 2**70, 1.5, "", "x", "zv.Var", b"y", [], [1, None], {}, {"a": 1}, (), (1, 2), Weird(),
            object(), k, IRNop(), km.KernelParseError, ValueError, lambda *a: None,
            [["m", None, IRNop(), None, ValueError, "0x1"]]] + nodes()

def kernels():
    k = km.form_kernel(SOURCE)
    return [k, k.create_scope(), km.Kernel(), km.SimulationKernel(None), km.Kernel(src=SOURCE)]

classes = [km.Kernel, km.SimulationKernel, km.ScopeKernel, km.SimulateMixin]
names = sorted({n for c in classes for n in vars(c) if callable(getattr(c, n, None))} |
               {"Simulator", "simulator", "default_compile_params"})
calls = 0
for _ in range(int(ROUNDS)):
    k = rng.choice(kernels())
    values = pool(k)
    name = rng.choice(names)
    if rng.random() < 0.3:
        try:
            setattr(k, rng.choice(["name", "top_src", "top_node", "var_symbol", "register_symbol",
                                   "instruction_list", "func_args", "func_kwargs", "register_idx",
                                   "compile_params", "_Simulator"]), rng.choice(values))
        except Exception:
            pass
    try:
        member = getattr(k, name)
        if callable(member):
            member(*[rng.choice(values) for _ in range(rng.randint(0, 4))])
        calls += 1
    except Exception:
        pass
print("ok", calls)
'''


def test_members_never_crash():
    out = run_isolated("ROUNDS = 6000\nSEED = 11\n" + MEMBERS)
    assert out.startswith("ok")
