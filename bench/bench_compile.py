"""Compiling realistic kernels: the sweep, one decorated kernel called again
and again with new argument values, each call parsed and taken through the
default passes to its program text.

Kernels: a 41-point Rabi sweep, a 21-point Ramsey and a 21-point T1 sweep
(compile-time loops over the points), an active reset (a run-time if inside
`while True`) and an averaging `repeat` loop. Printed, per kernel and as the
geometric mean over them:

- a sweep compile (decorated call + conveyor) against the floor of the
  literal evaluation of the same call: the function's source fetched with
  inspect.getsource, parsed twice, and for every node the front-end
  evaluates, astor.to_source plus eval of that text (the evaluations
  replayed with the values they saw);
- the same against a pure-Python twin of the front-end and the default
  passes, checked first to give the same program text;
- the first compile of a kernel never seen before (new source text, new
  constants everywhere), with the front-end's memos and with them stepped
  aside (the module's ast, inspect and astor replaced by stand-ins, which the
  memos do not stand for);
- the default pipeline alone against its pure-Python twin, and its scaling
  from 41 to 205 Rabi points (ns per program line);
- IRNop() against a plain Python class setting the same five attributes,
  its tag drawn cheaply from a pool;
- resident memory over 100 000 sweep compiles, and over thousands of
  distinct kernels.

Timings are the best of several runs, the roads taking turns so that a change
of load hits all of them alike. Figures only: nothing is asserted beyond the
equal program texts."""
import ast
import copy
import gc
import inspect
import itertools
import linecache
import math
import os
import random
import re
import sys
import time
import types

import astor
import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
if "tarvok" not in sys.modules:
    sys.path.insert(0, os.path.dirname(HERE))
sys.path.insert(0, HERE)
sys.path.append(os.path.join(os.path.dirname(HERE), "tests"))

from tarvok.zelvo import _ir  # noqa: E402
from tarvok.zelvo import kernel as km  # noqa: E402
from tarvok.zelvo._conveyor import conveyor  # noqa: E402
from tarvok.zelvo._functions import KernelFunction  # noqa: E402
from tarvok.zelvo.kernel import kernel  # noqa: E402

import bench_kernel  # noqa: E402
from reference import pipeline as twin_pipeline  # noqa: E402
from reference import rules as twin_rules  # noqa: E402

# ---- the kernels -------------------------------------------------------------------

SOURCES = {
    "rabi": '''
@kernel
def rabi(amps: 'zv.Var' = None, freq: 'zv.Var' = 1.5e8, width: 'zv.Var' = 1e-6):
    f0: zv.Frame = zv.frame(freq, 0.0, 0)
    e0: zv.Envelope = zv.envelope(np.hanning(64))
    result: zv.Reg = 0
    amp: zv.Var = 0.0
    for amp in amps:
        zv.wait_trig()
        zv.play(f0, e0, amp)
        result = zv.capture([1], width)
        zv.wait(width)
''',
    "ramsey": '''
@kernel
def ramsey(taus: 'zv.Var' = None, freq: 'zv.Var' = 1.5e8):
    f0: zv.Frame = zv.frame(freq, 0.0, 0)
    half: zv.Envelope = zv.envelope(np.hanning(64))
    result: zv.Reg = 0
    tau: zv.Var = 0.0
    for tau in taus:
        zv.wait_trig()
        zv.play(f0, half, 0.5)
        zv.wait(tau)
        zv.play(f0, half, 0.5)
        zv.wait(4e-8)
        result = zv.capture([1], 1e-6)
        zv.wait(1.2e-6)
''',
    "t1": '''
@kernel
def t1(taus: 'zv.Var' = None, amp: 'zv.Var' = 1.0):
    f0: zv.Frame = zv.frame(1.5e8, 0.0, 0)
    pi: zv.Envelope = zv.envelope(np.hanning(64))
    result: zv.Reg = 0
    tau: zv.Var = 0.0
    for tau in taus:
        zv.wait_trig()
        zv.play(f0, pi, amp)
        zv.wait(tau)
        result = zv.capture([1], 1e-6)
        zv.wait(1.2e-6)
''',
    "reset": '''
@kernel
def reset(amp: 'zv.Var' = 1.0, width: 'zv.Var' = 1e-6):
    f0: zv.Frame = zv.frame(1e8, 0.0, 0)
    pi: zv.Envelope = zv.envelope(np.hanning(64))
    state: zv.Reg = 0
    while True:
        zv.wait_trig()
        state = zv.capture([1], width)
        zv.wait(1.2e-6)
        if state == 1:
            zv.play(f0, pi, amp)
            zv.wait(1e-7)
        else:
            zv.wait(1.6e-7)
        zv.play(f0, pi, amp * 0.5)
        zv.wait(4e-8)
''',
    "average": '''
@kernel
def average(amp: 'zv.Var' = 1.0, shots: 'zv.Var' = 100):
    f0: zv.Frame = zv.frame(1e8, 0.0, 0)
    pi: zv.Envelope = zv.envelope(np.hanning(64))
    count: zv.Reg = 0
    result: zv.Reg = 0
    zv.wait_trig()
    for count in zv.repeat(shots):
        zv.play(f0, pi, amp)
        zv.wait(4e-8)
        result = zv.capture([1], 1e-6)
        zv.wait(1.2e-6)
''',
}

# The argument sets of a sweep, by position in the sweep (fifty of them,
# round and round).
SWEEPS = {
    "rabi": lambda i, n=41: dict(amps=list(np.linspace(0.0, 1.0 - i % 50 * 1e-3, n)), freq=1.5e8 + i % 50 * 1e3),
    "ramsey": lambda i: dict(taus=list(np.arange(21) * (4e-8 + i % 50 * 4e-9)), freq=1.5e8 + i % 50 * 1e3),
    "t1": lambda i: dict(taus=list(np.arange(21) * (1e-7 + i % 50 * 4e-9)), amp=0.9 - i % 50 * 1e-3),
    "reset": lambda i: dict(amp=0.9 - i % 50 * 1e-3, width=1e-6 + i % 50 * 1.6e-8),
    "average": lambda i: dict(amp=0.9 - i % 50 * 1e-3, shots=100 + i % 50),
}

_counter = itertools.count()


def define(source, name=None, decorator=kernel):
    """The decorated function a source defines, from a file of its own that
    linecache knows, so that inspect.getsource finds its text."""
    filename = f"<bench_compile {next(_counter)}>"
    text = source.lstrip("\n")
    linecache.cache[filename] = (len(text), None, text.splitlines(True), filename)
    namespace = {"kernel": decorator, "np": np}
    exec(compile(text, filename, "exec"), namespace)
    fn = namespace[name or re.search(r"def (\w+)", text).group(1)]
    return fn, filename


KERNELS = {name: define(src)[0] for name, src in SOURCES.items()}


def ours(name, i):
    return conveyor(KERNELS[name](**SWEEPS[name](i)))


# ---- the floor of the literal evaluation --------------------------------------------

def recorded_evaluations(name, i=0):
    """Every node the front-end evaluates in one call, with the names its
    evaluation saw."""
    log = []
    evaluate = km.Kernel._kernel_eval

    def record(self, node, locals_list):
        seen = {"locals_list": locals_list, "node": node, "self": self}
        for table in locals_list:
            seen.update(table)
        log.append((copy.deepcopy(node), seen))
        return evaluate(self, node, locals_list)

    km.Kernel._kernel_eval = record
    try:
        KERNELS[name](**SWEEPS[name](i))
    finally:
        km.Kernel._kernel_eval = evaluate
    return log


def floor_of(name):
    func = KERNELS[name].__wrapped__
    log = recorded_evaluations(name)
    namespace = vars(km)

    def run(i):
        source = km.Kernel._remove_tabs(inspect.getsource(func))
        ast.parse(source)
        ast.parse(source)
        for node, seen in log:
            eval(astor.to_source(node), namespace, dict(seen))
    return run, len(log)


# ---- the pure-Python twin of the front-end -------------------------------------------

class TwinError(Exception):
    pass


class TwinKernel(bench_kernel.TwinKernel):
    """The kernel front-end in Python, as far as the kernels above need it:
    bench_kernel's straight-line twin (the literal steps: source, two parses,
    astor and eval for every evaluation) with parameter binding, capture
    re-assignments, compile-time and register loops, `while True` and the
    run-time `if` on a register."""

    DefaultError = TwinError

    def __init__(self, func=None, args=None, kwargs=None):
        super().__init__(km.Kernel._remove_tabs(inspect.getsource(func)))
        self.name = func.__name__
        self.func_args, self.func_kwargs = args, kwargs
        self.pass_params = twin_pipeline.default_passes(False)
        self.clear()

    def clear(self):
        self.var_symbol, self.frame_symbol, self.envelope_symbol, self.register_symbol = {}, {}, {}, {}
        self.register_idx = 0
        self.instruction_list = []
        self.compile_params = dict(twin_pipeline.DEFAULT_PARAMS)

    @classmethod
    def wrap(cls, func):
        def wrapper(*args, **kwargs):
            k = cls(func, args, kwargs)
            k.parse()
            return k
        return wrapper

    def parse(self):
        self.clear()
        self.top_node = ast.parse(self.top_src)
        self.visit(self.top_node)
        return self.instruction_list

    def with_error(self, errors):
        if errors:
            e = errors[0]
            raise e[4]("[error " + str(e[5]) + "]-" + e[4].__name__ + " " + str(e[0]))

    def _raise_error(self, error_type, node, msg):
        raise error_type(f"in kernel {self.name}, line {node.lineno}: {msg}")

    def create_scope(self):
        scope = TwinKernel.__new__(TwinKernel)
        scope.__dict__.update(self.__dict__)
        scope.instruction_list = []
        return scope

    # the function and its parameters
    def visit_FunctionDef(self, node):
        self.name = node.name
        a = node.args
        params = a.posonlyargs + a.args + a.kwonlyargs
        defaults = a.defaults + a.kw_defaults
        values = list(self.func_args) + [None] * max(0, len(params) - len(self.func_args))
        for param, default, value in itertools.zip_longest(params[::-1], defaults[::-1], values[::-1]):
            kind = self._annotation(param)
            if value is None:
                value = self.func_kwargs.get(param.arg)
            if value is None and default is not None:
                value = self.visit(default)
            self._file(kind, value, param, param.arg)
        for stmt in node.body:
            self.visit(stmt)

    def _annotation(self, node):
        ann = node.annotation
        if isinstance(ann, ast.Attribute):
            return ann.attr
        return ann.value.split(".")[-1]

    def _file(self, kind, value, node, name):
        if kind == "Frame":
            self.frame_symbol[name] = value
            self.instruction_list.append(value)
        elif kind == "Envelope":
            self.envelope_symbol[name] = value
            if isinstance(value, km.IRBase):
                self.instruction_list.append(value)
        elif kind == "Reg":
            idx = self.register_idx
            self.register_symbol[name] = self.register_symbol["feedbackchnl_" + name] = idx
            mov = km.IRMov(idx, value)
            mov.line = node.lineno
            self.instruction_list.append(mov)
            self.register_idx = idx + 1
        else:
            self.var_symbol[name] = value

    # statements
    def visit_AnnAssign(self, node):
        kind = self._annotation(node)
        self._file(kind, self.visit(node.value), node, node.target.id)

    def visit_Assign(self, node):
        name = node.targets[0].id
        ins = self.visit(node.value)
        if node.value.func.attr != "capture":
            raise TwinError("only captures are re-assigned here")
        self.instruction_list.append(ins)
        self.instruction_list.append(km.IRJmov(self.register_symbol[name], kernel=self))

    def visit_For(self, node):
        target = node.target.id
        if target in self.var_symbol:
            for value in self.var_symbol[node.iter.id]:
                self.var_symbol[target] = value
                for stmt in node.body:
                    self.visit(stmt)
            return
        value = self.visit(node.iter)
        f = node.iter.func.attr
        KernelFunction.get_func(f).for_call(self, copy.copy(node), value)

    def visit_While(self, node):
        loop, pre_loop = self.create_scope(), self.create_scope()
        landing = km.IRPlaceholder()
        back = km.IRJumpImmNormal(landing, kernel=self)
        for stmt in node.body:
            pre_loop.visit(stmt)
            loop.visit(stmt)
        self.instruction_list.extend(pre_loop.instruction_list + [landing] + loop.instruction_list + [back])

    def visit_If(self, node):
        test = node.test
        name = test.left.id
        jump = km.jump_conditional(self.register_symbol[name], test.comparators[0].value,
                                   self.register_symbol["feedbackchnl_" + name])
        jump.kernel = self
        self.instruction_list.append(jump)
        for stmt in node.orelse:
            self.visit(stmt)
        inside = km.IRJumpInside()
        self.instruction_list.append(inside)
        landing = km.IRPlaceholder()
        landing.tag = jump.tag
        self.instruction_list.append(landing)
        for stmt in node.body:
            self.visit(stmt)
        end = km.IRPlaceholder()
        end.tag = inside.tag
        self.instruction_list.append(end)


TWINS = {name: TwinKernel.wrap(fn.__wrapped__) for name, fn in KERNELS.items()}


def twin(name, i):
    return twin_rules.Conveyor.with_kernel(TWINS[name](**SWEEPS[name](i)))


# ---- timing -------------------------------------------------------------------------

def best_of(runs, rounds=5, calls=20):
    """{label: best seconds per call}; the runs take turns, `calls` calls of
    each per round, each call with the next argument set of the sweep."""
    best = {label: math.inf for label in runs}
    step = itertools.count()
    for _ in range(rounds):
        for label, fn in runs.items():
            for _ in range(calls):
                i = next(step) % 50
                t = time.perf_counter()
                fn(i)
                best[label] = min(best[label], time.perf_counter() - t)
    return best


def geomean(values):
    return math.exp(sum(math.log(v) for v in values) / len(values))


def lines(text):
    return text.count("\n") + 1


def check_same_text():
    for name in SOURCES:
        a, b = ours(name, 0), twin(name, 0)
        if a[4] != b[4] or not np.array_equal(a[0], b[0]):
            raise SystemExit(f"{name}: the twin's program text differs from ours")


def sweeps():
    print(f"{'kernel':<8} {'evals':>5} {'lines':>5} {'ours ms':>8} {'floor ms':>9} {'floor/ours':>10} "
          f"{'twin ms':>8} {'twin/ours':>9}")
    floor_ratios, twin_ratios = [], []
    for name in SOURCES:
        floor, evals = floor_of(name)
        t = best_of({"ours": lambda i, n=name: ours(n, i), "floor": floor, "twin": lambda i, n=name: twin(n, i)})
        floor_ratios.append(t["floor"] / t["ours"])
        twin_ratios.append(t["twin"] / t["ours"])
        print(f"{name:<8} {evals:>5} {lines(ours(name, 0)[4]):>5} {t['ours'] * 1e3:>8.3f} {t['floor'] * 1e3:>9.3f} "
              f"{floor_ratios[-1]:>9.2f}x {t['twin'] * 1e3:>8.3f} {twin_ratios[-1]:>8.2f}x")
    print(f"geometric mean: {geomean(floor_ratios):.2f}x the literal evaluation floor, "
          f"{geomean(twin_ratios):.2f}x the pure-Python twin")


# ---- the first compile of a new kernel ------------------------------------------------

def fresh_sources(name, count):
    """Sources of kernels never seen: the function renamed, every float
    literal moved a little, so no source, tree or evaluated node repeats."""
    base = SOURCES[name]
    for n in range(count):
        k = next(_counter)
        text = re.sub(r"def (\w+)\(", lambda m: f"def {m.group(1)}_{k}(", base)
        text = re.sub(r"(\d+\.\d*(e-?\d+)?|\d+e-?\d+)",
                      lambda m: repr(float(m.group(0)) * (1 + (k % 997 + 1) * 1e-9)), text)
        yield text


class StepsAside:
    """The module's ast, inspect and astor replaced by stand-ins holding the
    same functions: the front-end then runs every literal step itself."""

    def __enter__(self):
        self.saved = {n: getattr(km, n) for n in ("ast", "inspect", "astor")}
        for n, mod in self.saved.items():
            setattr(km, n, types.SimpleNamespace(**vars(mod)))
        return self

    def __exit__(self, *exc):
        for n, mod in self.saved.items():
            setattr(km, n, mod)


def first_compile(name, count=40):
    """Best seconds of the first compile of `count` new kernels."""
    best = math.inf
    for text in fresh_sources(name, count):
        fn, filename = define(text)
        t = time.perf_counter()
        conveyor(fn(**SWEEPS[name](0)))
        best = min(best, time.perf_counter() - t)
        linecache.cache.pop(filename, None)
    return best


def first_compiles():
    print(f"{'kernel':<8} {'memos ms':>9} {'stepped aside ms':>17} {'ratio':>6}")
    ratios = []
    for name in SOURCES:
        memo, aside = math.inf, math.inf
        for _ in range(3):
            memo = min(memo, first_compile(name))
            with StepsAside():
                aside = min(aside, first_compile(name))
        ratios.append(aside / memo)
        print(f"{name:<8} {memo * 1e3:>9.3f} {aside * 1e3:>17.3f} {ratios[-1]:>5.2f}x")
    print(f"geometric mean: the first compile at {geomean(ratios):.2f}x the speed of the literal road")


# ---- the default pipeline alone -------------------------------------------------------

def pipeline_runs(name, n=None):
    sweep = SWEEPS[name] if n is None else (lambda i: SWEEPS[name](i, n))

    def made(i, twin_passes):
        k = KERNELS[name](**sweep(i))
        if twin_passes:
            k.pass_params = twin_pipeline.default_passes(False)
        return k

    def timed(twin_passes):
        def run(i):
            k = made(i, twin_passes)
            t = time.perf_counter()
            (twin_rules.Conveyor.with_kernel if twin_passes else conveyor)(k)
            return time.perf_counter() - t
        return run
    return timed(False), timed(True), lines(conveyor(made(0, False))[4])


def pipeline_best(run, rounds=5, calls=10):
    return min(run(i) for i in range(rounds * calls))


def pipelines():
    print(f"{'kernel':<8} {'lines':>5} {'ours us':>8} {'twin us':>8} {'twin/ours':>9}")
    ratios = []
    for name in SOURCES:
        mine, theirs, n = pipeline_runs(name)
        t_ours, t_twin = pipeline_best(mine), pipeline_best(theirs)
        ratios.append(t_twin / t_ours)
        print(f"{name:<8} {n:>5} {t_ours * 1e6:>8.1f} {t_twin * 1e6:>8.1f} {ratios[-1]:>8.2f}x")
    print(f"geometric mean: the default pipeline at {geomean(ratios):.2f}x its pure-Python twin")
    per_line = {}
    for points in (41, 205):
        mine, theirs, n = pipeline_runs("rabi", points)
        per_line[points] = (pipeline_best(mine) / n, pipeline_best(theirs) / n)
    print("scaling from 41 to 205 Rabi points, ns per program line at 205 over that at 41: ours "
          f"{per_line[205][0] / per_line[41][0]:.2f}, twin {per_line[205][1] / per_line[41][1]:.2f}")


# ---- IRNop() ---------------------------------------------------------------------------

_TAGS = itertools.cycle([f"{random.getrandbits(40):010x}" for _ in range(4096)])


class PlainNop:
    """The five common fields, set by a plain Python class."""

    def __init__(self, kernel=None):
        self.tag = next(_TAGS)
        self.real_wait_time = 0
        self.line = 0
        self.kernel = kernel
        self.index_map = {}


def constructions():
    import timeit
    best = {}
    for _ in range(5):
        for label, cls in (("IRNop()", _ir.IRNop), ("PlainNop()", PlainNop)):
            t = min(timeit.repeat(cls, number=20_000, repeat=3)) / 20_000
            best[label] = min(best.get(label, math.inf), t)
    print(f"IRNop() {best['IRNop()'] * 1e9:.1f} ns, a plain Python class setting the same five attributes "
          f"{best['PlainNop()'] * 1e9:.1f} ns (ratio {best['IRNop()'] / best['PlainNop()']:.2f})")


# ---- memory ----------------------------------------------------------------------------

def resident_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2 ** 20


def memory(total=100_000, report=20_000):
    names = list(SOURCES)
    gc.collect()
    for i in range(1_000):
        ours(names[i % len(names)], i)
    gc.collect()
    start = resident_mb()
    marks = []
    for i in range(1, total + 1):
        ours(names[i % len(names)], i)
        if i % report == 0:
            gc.collect()
            marks.append(f"{resident_mb() - start:+.1f}")
    print(f"resident memory over {total} sweep compiles, every {report} (MB from {start:.1f}): "
          + ", ".join(marks))
    marks = []
    start = resident_mb()
    for n, text in enumerate(fresh_sources("average", 4_000), 1):
        fn, filename = define(text)
        conveyor(fn(amp=0.5))
        linecache.cache.pop(filename, None)
        del fn
        if n % 1_000 == 0:
            gc.collect()
            marks.append(f"{resident_mb() - start:+.1f}")
    print(f"over 4000 distinct kernels, every 1000 (MB): " + ", ".join(marks))


def main():
    np.seterr(all="ignore")
    check_same_text()
    print("program texts of ours and of the twin equal for every kernel\n")
    sweeps()
    print()
    first_compiles()
    print()
    pipelines()
    print()
    constructions()
    print()
    sweeps_for_memory = int(os.environ.get("BENCH_COMPILE_SWEEPS", 100_000))
    if sweeps_for_memory:
        memory(sweeps_for_memory)


if __name__ == "__main__":
    main()
