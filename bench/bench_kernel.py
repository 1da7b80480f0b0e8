"""Kernel front-end: generated straight-line kernels of about 1 000 and 5 000
statements, parsed and then run through the default passes.

Printed per statement: the parse, the passes, and the evaluation floor the
front-end cannot go below (parsing the source twice, once when the kernel is
made and once per parse, and turning every library call back into text with
astor and evaluating it); the scaling from 1 000 to 5 000 statements; and the
speed-up of the parse over a pure-Python twin of the front-end's
straight-line path (checked to give the same instructions first)."""
import ast
import copy
import gc
import os
import sys
import time

import astor
import numpy as np

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from tarvok.zelvo import kernel as km  # noqa: E402
from tarvok.zelvo._conveyor import conveyor  # noqa: E402
from tarvok.zelvo._ir import IRFrame  # noqa: E402


def source(n):
    """A kernel of n statements: plays, waits, and a compile-time variable
    declared every fourth statement, so the symbol tables grow with n."""
    lines = ["def straight(amp: 'zv.Var' = 0.5):",
             "    f0: zv.Frame = zv.frame(1e8, 0.0, 0)",
             "    e0: zv.Envelope = zv.envelope(np.ones(64))",
             "    r0: zv.Reg = 0",
             "    zv.wait_trig()"]
    for i in range(n):
        kind = i % 4
        if kind == 0:
            lines.append("    zv.play(f0, e0, amp)")
        elif kind == 1:
            lines.append("    zv.wait(4e-8)")
        elif kind == 2:
            lines.append(f"    v{i}: zv.Var = {i % 7 + 1}")
        else:
            lines.append(f"    zv.wait(v{i - 1} * 2e-8)")
    return "\n".join(lines) + "\n"


class TwinKernel(ast.NodeVisitor):
    """The front-end's straight-line path in Python: parameters with defaults,
    declarations, expression statements and library calls evaluated with
    copies of the symbol tables."""

    def __init__(self, src):
        self.top_src = src
        self.top_node = ast.parse(src)
        self.name = "program"
        self.instr_target_map = {}

    def parse(self):
        self.var_symbol, self.frame_symbol, self.envelope_symbol, self.register_symbol = {}, {}, {}, {}
        self.register_idx = 0
        self.instruction_list = []
        self.compile_params = km.Kernel().default_compile_params
        self.top_node = ast.parse(self.top_src)
        self.visit(self.top_node)
        return self.instruction_list

    def visit_Module(self, node):
        self.visit(node.body[0])

    def visit_FunctionDef(self, node):
        self.name = node.name
        for arg, default in zip(reversed(node.args.args), reversed(node.args.defaults)):
            self.var_symbol[arg.arg] = self.visit(default)
        for stmt in node.body:
            self.visit(stmt)

    def visit_Constant(self, node):
        return node.value

    def visit_BinOp(self, node):
        return self._kernel_eval(node, [self.var_symbol])

    def _kernel_eval(self, node, tables):
        local = {"locals_list": tables, "node": node, "self": self}
        for t in tables:
            local.update(t)
        return eval(astor.to_source(node), vars(km), local)

    def _zv_func_precall(self, node):
        f = node.func.attr
        node = copy.copy(node)
        node.func = ast.Name(id=f, ctx=ast.Load())
        if node.keywords:
            raise km.KernelParseError("keywords")
        if km.KernelFunction.has_func(f):
            km.KernelFunction.get_func(f).pre_call(self, node)
        return node

    def visit_Call(self, node):
        if isinstance(node.func, ast.Attribute) and node.func.value.id in ("zv", "zelvo"):
            result = self._kernel_eval(self._zv_func_precall(node), [
                self.var_symbol, self.envelope_symbol, self.frame_symbol, self.register_symbol])
        elif isinstance(node.func, ast.Attribute) and node.func.value.id in ("np", "numpy"):
            result = self._kernel_eval(node, [self.var_symbol])
        else:
            result = self._kernel_eval(node, [])
        if isinstance(result, km.IRBase):
            result.line = node.lineno
            result.kernel = self
        return result

    def visit_Expr(self, node):
        value = self.visit(node.value)
        if isinstance(value, tuple):
            self.instruction_list.extend(value)
        else:
            self.instruction_list.append(value)

    def visit_AnnAssign(self, node):
        name = node.target.id
        kind = node.annotation.attr
        value = self.visit(node.value)
        if kind == "Frame":
            taken = [n for n, f in self.frame_symbol.items()      # a frame number names one frame
                     if f is not value and isinstance(f, IRFrame) and isinstance(value, IRFrame) and f.idx == value.idx]
            if taken:
                raise km.KernelParseError(f"Frame number {value.idx} is already frame {taken[0]}")
            self.frame_symbol[name] = value
            self.instruction_list.append(value)
        elif kind == "Envelope":
            self.envelope_symbol[name] = value
            self.instruction_list.append(value)
        elif kind == "Reg":
            self.register_symbol[name] = self.register_symbol["feedbackchnl_" + name] = self.register_idx
            mov = km.IRMov(self.register_idx, value)
            mov.line = node.lineno
            self.instruction_list.append(mov)
            self.register_idx += 1
        else:
            self.var_symbol[name] = value


def best(fn, repeat, setup=None):
    """The best of `repeat` runs of fn(setup()) (or fn())."""
    times = []
    for _ in range(repeat):
        arg = setup() if setup else None
        t = time.perf_counter()
        fn(arg) if setup else fn()
        times.append(time.perf_counter() - t)
    return min(times)


def without_collector(fn):
    def run(*args):
        gc.disable()
        try:
            return fn(*args)
        finally:
            gc.enable()
    return run


def lines_of(instructions):
    return [(type(i).__name__, i.line) for i in instructions]


def floor(src):
    """Parsing the source twice, and to_source plus eval of every library
    call with the tables it sees (small ones: the floor is the evaluation)."""
    tree = ast.parse(src)
    calls = [n for n in ast.walk(tree) if isinstance(n, ast.Call) and isinstance(n.func, ast.Attribute)
             and isinstance(n.func.value, ast.Name) and n.func.value.id in ("zv", "np")]
    k = km.form_kernel(src)
    namespace = vars(km)
    tables = dict(k.var_symbol, **k.envelope_symbol, **k.frame_symbol)

    def run():
        ast.parse(src)
        ast.parse(src)
        for c in calls:
            node = ast.Call(func=ast.Name(id=c.func.attr, ctx=ast.Load()), args=c.args, keywords=[]) \
                if c.func.value.id == "zv" else c
            eval(astor.to_source(node), namespace, tables)
    return run


def main():
    per = {}
    for n in (1000, 5000):
        src = source(n)
        k = km.form_kernel(src)
        twin = TwinKernel(src)
        assert lines_of(twin.parse()) == lines_of(k.instruction_list)
        assert [str(a) for a in twin.instruction_list[3:]] == [str(b) for b in k.instruction_list[3:]]
        repeat = 7 if n == 1000 else 5
        parse, run_floor = (lambda: km.form_kernel(src)), floor(src)
        t_parse = best(parse, repeat)
        t_floor = best(run_floor, repeat)
        t_twin = best(lambda: TwinKernel(src).parse(), repeat)
        t_pass = best(conveyor, repeat, setup=parse)
        # The same without the cyclic collector, whose full collections grow
        # with everything alive (the syntax tree, the instructions).
        t_parse_nogc = best(without_collector(parse), repeat)
        t_floor_nogc = best(without_collector(run_floor), repeat)
        program = conveyor(km.form_kernel(src))[4]
        per[n] = (t_parse / n, t_pass / n, t_parse_nogc / n, t_floor / n)
        print(f"{n} statements ({len(program.splitlines())} program lines):")
        print(f"  parse   {t_parse / n * 1e6:8.2f} us/statement   floor {t_floor / n * 1e6:8.2f} us/statement"
              f"   parse/floor {t_parse / t_floor:5.2f}")
        print(f"  parse without the cyclic collector {t_parse_nogc / n * 1e6:8.2f} us/statement   floor "
              f"{t_floor_nogc / n * 1e6:8.2f}   parse/floor {t_parse_nogc / t_floor_nogc:5.2f}")
        print(f"  passes  {t_pass / n * 1e6:8.2f} us/statement")
        print(f"  twin    {t_twin / n * 1e6:8.2f} us/statement   speed-up of the parse {t_twin / t_parse:5.2f}x")
    ratio = [per[5000][i] / per[1000][i] for i in range(4)]
    print(f"scaling 1000 -> 5000, per statement: parse {ratio[0]:.2f} (floor {ratio[3]:.2f}), "
          f"passes {ratio[1]:.2f}, parse without the cyclic collector {ratio[2]:.2f}")


if __name__ == "__main__":
    np.seterr(all="ignore")
    main()
