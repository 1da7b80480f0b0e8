"""Kernels as users write them, through the passes: each gives the program line
it must give, or is refused with a text that names its line, never a program
that is not what was written."""
import textwrap

import pytest

from tarvok.zelvo import _errors
from tarvok.zelvo._conveyor import conveyor
from tarvok.zelvo.kernel import KernelParseError, form_kernel

DEF = "def k(amps: 'list' = [0.25, 0.5], pair: 'tuple' = (1, 2), depth: 'zv.Var' = -2):\n"
SETUP = """\
f0: zv.Frame = zv.frame(1e8, 0.0, 0)
e0: zv.Envelope = zv.envelope(np.hanning(64))
zv.wait_trig()"""
FIRST = 5   # the line of a body's first statement, after the set-up
NO_INSTRUCTION = "not an IR instruction: a statement of the kernel gave no instruction"
AMP_LIMIT = "[error 0x1000]-PlayError Play-Wave has a playback amplitude of more than 1"


def refused(line, text, cls=KernelParseError):
    return cls, line, text


CASES = [
    # values written in a kernel keep their value
    ("r: zv.Reg = -1", "movi %A0 -1"),
    ("x: zv.Var = 3\ny: zv.Var = x\nr: zv.Reg = y", "movi %A0 3"),
    ("r: zv.Reg = depth", "movi %A0 -2"),                       # a negative default
    ("r: zv.Reg = pair[1]", "movi %A0 2"),                      # a tuple default
    ("a: zv.Var = 0\nfor a in amps:\n    zv.play(f0, e0, a)", "plyi 0 0 2 16384 0 0 0"),   # a list default
    ("y: zv.Var = 0.5\nzv.play(f0, e0, -y)", "plyi 0 0 2 -16384 0 0 0"),
    ("y: zv.Var = 0.5\nz: zv.Var = -y\nzv.play(f0, e0, z)", "plyi 0 0 2 -16384 0 0 0"),
    ("xs: 'list' = [2 * i for i in range(3)]\nr: zv.Reg = xs[2]", "movi %A0 4"),
    ("d: 'dict' = {n: n + 1 for n in range(3)}\nr: zv.Reg = d[2]", "movi %A0 3"),
    ("d: 'dict' = {'a': 7}\nr: zv.Reg = d['a']", "movi %A0 7"),
    ("s: zv.Var = {5, 2}\nr: zv.Reg = np.max(list(s))", "movi %A0 5"),
    ("'''A Rabi scan: the docstring is no statement.'''\n...\nzv.play(f0, e0, 0.5)", "plyi 0 0 2 16384 0 0 0"),
    # a statement that gives no instruction is refused before any pass runs
    ("[zv.play(f0, e0, 0.5)]", refused(None, f"position 3 of the instruction list holds NoneType None (after the "
                                              f"instruction of line 4), {NO_INSTRUCTION}", TypeError)),
    ("print(1)", refused(None, f"holds NoneType None (after the instruction of line 4), {NO_INSTRUCTION}", TypeError)),
    ("zv.play(f0, e0, 0.5)\n5", refused(None, f"position 4 of the instruction list holds int 5 (after the instruction "
                                                f"of line 5), {NO_INSTRUCTION}", TypeError)),
    ("zv.play(f0, e0, 0.5)\n'a stray text'",
     refused(None, f"holds str 'a stray text' (after the instruction of line 5), {NO_INSTRUCTION}", TypeError)),
    # statements outside the kernel language
    ("try:\n    zv.wait(4e-8)\nexcept Exception:\n    zv.wait(8e-8)", refused(FIRST, "Unallowed try statement")),
    ("with open('x'):\n    zv.wait(4e-8)", refused(FIRST, "Unallowed with statement")),
    ("raise ValueError('x')", refused(FIRST, "Unallowed raise statement")),
    ("import math", refused(FIRST, "Unallowed import statement")),
    ("from math import pi", refused(FIRST, "Unallowed import statement")),
    ("global g", refused(FIRST, "Unallowed global statement")),
    ("nonlocal g", refused(FIRST, "Unallowed nonlocal statement")),
    ("x: zv.Var = 1\ndel x", refused(FIRST + 1, "Unallowed del statement")),
    ("assert True", refused(FIRST, "Unallowed assert statement")),
    ("class C:\n    zv.wait(4e-8)", refused(FIRST, "Unallowed class statement")),
    ("async def g():\n    pass", refused(FIRST, "Unallowed async def statement")),
    ("match 1:\n    case 1:\n        zv.wait(4e-8)", refused(FIRST, "Unallowed match statement")),
    ("r: zv.Reg = 0\nwhile True:\n    zv.wait(4e-8)\n    try:\n        zv.wait(4e-8)\n    finally:\n        pass",
     refused(FIRST + 3, "Unallowed try statement")),
    # the library refuses what cannot make a sound instruction
    ("zv.wait(-4e-8)",
     refused(FIRST, "Function Parse Error, wait() argument 'width' must not be negative, got -4e-08")),
    ("w: zv.Var = 1e-6\nr: zv.Reg = 0\nr = zv.capture([1e8], -w)",
     refused(FIRST + 2, "Function Parse Error, capture() argument 'acq_width' must not be negative, got -1e-06")),
    ("zv.play(f0, e0, 'a')",
     refused(FIRST, "Function Parse Error, play() argument 'amp' must be a real number, not str")),
    ("zv.wait(float('nan'))", refused(FIRST, "Function Parse Error, wait() argument 'width' must be a finite number, "
                                             "got nan")),
    ("f1: zv.Frame = zv.frame(1e8, 0.0, 40)",
     refused(FIRST, "Function Parse Error, frame() argument 'idx' must be a frame index from 0 to 31, got 40")),
    ("e1: zv.Envelope = zv.envelope(np.hanning(64) * 1j)",
     refused(FIRST, "Function Parse Error, envelope() argument 'envelope_i' must be a one-dimensional real numeric "
                    "array, not an array of complex128 (the Q part is an argument of its own)")),
    # amplitude limits stay the checker's, both ways
    ("zv.play(f0, e0, -1.5)", refused(FIRST, AMP_LIMIT, _errors.PlayError)),
    ("zv.play(f0, e0, 1.5)", refused(FIRST, AMP_LIMIT, _errors.PlayError)),
    # kept as they are
    ("r: zv.Reg = 0\nif r == -1:\n    zv.wait(4e-8)", refused(FIRST + 1, "Symbol comparisons are not allowed")),
    ("zv.wait(DEF)", refused(FIRST, "Function Parse Error, name 'DEF' is not defined")),   # module names stay outside
]


def source_of(body):
    if "\n...\n" not in body:
        body = "...\n" + body
    return DEF + textwrap.indent(body.replace("...", SETUP, 1), "    ") + "\n"


def program_lines(text):
    return [line.split("#")[0].strip() for line in text.splitlines()]


@pytest.mark.parametrize("body, expected", CASES, ids=[c[0].split("\n")[-1][:40] for c in CASES])
def test_kernel_gives_its_program_line_or_a_refusal_at_its_line(body, expected):
    source = source_of(body)
    if isinstance(expected, str):
        assert expected in program_lines(conveyor(form_kernel(source))[4])
        return
    cls, line, text = expected
    with pytest.raises(cls) as info:
        conveyor(form_kernel(source))
    message = str(info.value)
    if line is None:        # the pipeline's refusal: no statement to point at, the instruction before it
        assert message.startswith("in kernel k: ") and message.endswith(text)
    else:
        assert message.startswith(f'in kernel k, line {line}, "') and message.endswith('":\n' + text)
