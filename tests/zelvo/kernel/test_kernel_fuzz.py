"""Awkward values at every member of the kernel classes, and kernels parsed
with corrupted state: Python exceptions only, never a crash (child process)."""
from crashcheck import run_fuzz, run_isolated

MEMBERS = r'''
import ast, random, types
from crashcheck import attempt
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
        attempt(setattr, k, rng.choice(["name", "top_src", "top_node", "var_symbol", "register_symbol",
                                        "instruction_list", "func_args", "func_kwargs", "register_idx",
                                        "compile_params", "_Simulator"]), rng.choice(values))
    def call():
        member = getattr(k, name)
        if callable(member):
            member(*[rng.choice(values) for _ in range(rng.randint(0, 4))])
    calls += attempt(call)
print("ok", calls)
'''


def test_members_never_crash():
    run_fuzz(MEMBERS, ROUNDS=6000, SEED=11)


SOURCES = r'''
import random, sys
from crashcheck import attempt
from tarvok.zelvo import kernel as km
from tarvok.zelvo._conveyor import conveyor

rng = random.Random(int(SEED))
NAMES = ["r", "s", "v", "i", "e", "f", "w", "x", "zv", "np", "self", "node", "n"]
ATOMS = ["1", "0", "-1", "1.5", "'a'", "None", "True", "[1, 2]", "(1,)", "np.arange(3)", "r", "v", "v[0]",
         "v[w]", "x.y", "1e400", "2**70"]
CALLS = ["zv.IRNop()", "zv.wait(1e-6)", "zv.frame(1e8)", "zv.play(f, e)", "zv.capture([1], 1e-6)",
         "zv.receive(3)", "zv.repeat(2)", "zv.jump_conditional(0, 1, 0)", "zv.nowhere()", "np.zeros(2)",
         "len(v)", "a.b.c()", "zv.envelope(np.ones(4))", "zelvo.wait_trig()", "zv.frame(1e8, x=1)"]
TYPES = ["zv.Var", "zv.Reg", "zv.Int", "zv.Frame", "zv.Envelope", "zv.Waveform", "'int'", "Reg", "zv.Foo",
         "list[int]", "3"]

def expr():
    return rng.choice([rng.choice(ATOMS), rng.choice(CALLS)])

def test():
    return rng.choice(["r == 1", "r == s", "v[0] == 1", "v[1] != 2", "r > 1", "r", "not r", "zv.repeat(1)",
                       "f(1)", "v == 1", "r == -1", "1 == r", "r == 1 == 2", "v[x] == 1", expr()])

def stmt(depth):
    r = rng.random()
    if depth > 3 or r < 0.45:
        return [rng.choice([
            f"{rng.choice(NAMES)}: {rng.choice(TYPES)} = {expr()}", f"{rng.choice(NAMES)}: {rng.choice(TYPES)}",
            f"{rng.choice(NAMES)} = {expr()}", f"{rng.choice(NAMES)} += 1", f"a, b = {expr()}",
            expr(), "pass", "break", "continue", "return 1", f"{test()}", "x.y: zv.Var = 1"])]
    inner = [("    " + l) for _ in range(rng.randint(1, 3)) for l in stmt(depth + 1)]
    head = rng.choice([f"if {test()}:", f"for {rng.choice(NAMES)} in {expr()}:", "while True:",
                       f"while {expr()}:", f"for a, b in {expr()}:", "def g(q: zv.Var = 1):", "with x:"])
    tail = []
    if rng.random() < 0.3 and not head.startswith(("def", "with")):
        tail = ["else:"] + [("    " + l) for l in stmt(depth + 1)]
    return [head] + inner + tail

made = 0
for _ in range(int(ROUNDS)):
    lines = ["def k(a: 'zv.Var' = 1, q: zv.Reg = 0):", "    r: zv.Reg = 0", "    s: zv.Reg = 1",
             "    v: zv.Var = np.array([1, 2])", "    f: zv.Frame = zv.frame(1e8)",
             "    e: zv.Envelope = zv.envelope(np.ones(64))", "    w: zv.Var = 0"]
    for _ in range(rng.randint(1, 6)):
        lines += ["    " + l for l in stmt(0)]
    src = "\n".join(lines) + "\n"
    try:
        k = km.form_kernel(src, tuple(rng.sample([1, 2, None, "x"], rng.randint(0, 3))))
        made += 1
    except Exception:
        continue
    attempt(lambda: k.with_error([["m", None, rng.choice(k.instruction_list + [k]), None, ValueError, "0x1"]]))
    attempt(conveyor, k)   # what the front-end made, through the passes
print("ok", made)
'''

NESTING = r'''
import sys
from tarvok.zelvo import kernel as km

def nested(head, depth, leaf="zv.IRNop()"):
    lines = ["def k():", "    r: zv.Reg = 0", "    i: zv.Var = 0"]
    for d in range(depth):
        lines.append("    " * (d + 1) + head)
    lines.append("    " * (depth + 1) + leaf)
    return "\n".join(lines) + "\n"

results = []
for head in ["if r == 1:", "for i in range(1):", "if zv.nothing(1):", "def g():"]:
    sys.setrecursionlimit(int(LIMIT))
    try:
        km.form_kernel(nested(head, 90))
        results.append("parsed")
    except RecursionError:
        results.append("recursion")
    except km.KernelParseError:
        results.append("refused")
    finally:
        sys.setrecursionlimit(1000)
# Deep expressions end in a parse error or the interpreter's own limits.
for depth in (50, 180, 2000):
    try:
        km.form_kernel("def k():\n    zv.wait(" + "(" * depth + "1" + ")" * depth + ")\n")
    except (SyntaxError, RecursionError, MemoryError, km.KernelParseError):
        pass
print("ok", results)
'''


def test_random_kernels_never_crash():
    run_fuzz(SOURCES, ROUNDS=1500, SEED=3)


def test_deep_nesting_ends_in_recursion_error():
    out = run_isolated("LIMIT = 150\n" + NESTING)
    # A limit reached inside an evaluation is that evaluation's parse error.
    assert out.strip() in ("ok ['recursion', 'recursion', 'refused', 'recursion']",
                           "ok ['recursion', 'refused', 'refused', 'recursion']")
    out = run_isolated("LIMIT = 1000\n" + NESTING)
    assert out.strip() == "ok ['parsed', 'parsed', 'refused', 'parsed']"
