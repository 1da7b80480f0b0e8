"""Kernels as users write them, through the passes: each gives the program line
it must give, or is refused with a text that names its line, never a program
that is not what was written."""
import textwrap

import pytest

from tarvok.zelvo import _errors
from tarvok.zelvo._conveyor import conveyor
from tarvok.zelvo.kernel import KernelParseError, form_kernel

DEF = "def k(amps: 'list' = [0.25, 0.5], pair: 'tuple' = (1, 2), depth: 'zv.Var' = -2, wide: 'zv.Var' = np.pi > 3):\n"
SETUP = """\
f0: zv.Frame = zv.frame(1e8, 0.0, 0)
e0: zv.Envelope = zv.envelope(np.hanning(64))
zv.wait_trig()"""
FIRST = 5   # the line of a body's first statement, after the set-up
NO_INSTRUCTION = "not an IR instruction: a statement of the kernel gave no instruction"
AMP_LIMIT = "[error 0x1000]-PlayError Play-Wave has a playback amplitude of more than 1"
TAKEN_FRAME = "Frame number 0 is already frame f0 (line 2); give zv.frame(...) its own idx"
FREQ_NUMBERS = "Function Parse Error, capture() argument 'freq_list' must hold frequency numbers"
REPEAT = ('Function Parse Error, repeat count must be a positive integer up to 4294967295 (the 32 bits of the '
          'loop\'s "lopi" line)')


def witi_refusal(cycles):
    return (f'the delay of {cycles} cycles does not fit the count of its "witi" line (0 to 4294967295 cycles, about '
            f'17 s at the default 4 ns base clock); widths of waits and delays are seconds')


def refused(line, text, cls=KernelParseError):
    return cls, line, text


def rendered(line, text):
    """A refusal of the translation, which names the kernel and the line but has no statement source."""
    return ValueError, line, text


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
    ("y: zv.Var = np.pi\nzv.play(f0, e0, y / 8)", "plyi 0 0 2 12868 0 0 0"),           # an attribute
    ("y: zv.Var = depth and 0.5\nzv.play(f0, e0, y)", "plyi 0 0 2 16384 0 0 0"),         # a boolean operation
    ("y: zv.Var = 0.5 if depth < 0 else 0.25\nzv.play(f0, e0, y)", "plyi 0 0 2 16384 0 0 0"),
    ("s: zv.Var = f'{depth}'\nr: zv.Reg = {'-2': 7}[s]", "movi %A0 7"),                  # an f-string
    ("y: zv.Var = depth < 0\nr: zv.Reg = pair[y]", "movi %A0 2"),                        # a comparison
    ("r: zv.Reg = pair[wide]", "movi %A0 2"),                                              # ... as a default
    # a comprehension sees the variables, not only its iterable
    ("y: zv.Var = 0.5\nxs: 'list' = [v * y for v in amps]\nzv.play(f0, e0, xs[1])", "plyi 0 0 2 8192 0 0 0"),
    ("y: zv.Var = 0.5\nzv.play(f0, e0, sum(v * y for v in amps))", "plyi 0 0 2 12288 0 0 0"),
    ("xs: 'list' = [(w := v) for v in amps]\nzv.wait(w)",                                 # its walrus stays inside
     refused(FIRST + 1, "Function Parse Error, name 'w' is not defined")),
    # values that have no sound meaning in a kernel
    ("y: zv.Var = (z := 3)", refused(FIRST, "Unallowed assignment (:=) expression")),
    ("y: zv.Var = lambda: depth", refused(FIRST, "Unallowed lambda expression")),
    ("y: zv.Var = (yield 1)", refused(FIRST, "Unallowed yield expression")),
    ("y: zv.Var = (yield from amps)", refused(FIRST, "Unallowed yield from expression")),
    ("y: zv.Var = await depth", refused(FIRST, "Unallowed await expression")),
    ("y: zv.Var = zv.wait", refused(FIRST, "Function Parse Error, name 'zv' is not defined")),
    ("zv.play(f0, e0, 0.5)\nnp.pi",
     refused(None, f"holds float 3.141592653589793 (after the instruction of line 5), {NO_INSTRUCTION}", TypeError)),
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
    ("w: zv.Var = 1e-6\nr: zv.Reg = 0\nr = zv.capture([1], -w)",
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
    # a register compares with an integer constant only
    ("r: zv.Reg = 0\nif r == 'a':\n    zv.wait(4e-8)",
     refused(FIRST + 1, "A register compares only with an integer constant, not str 'a'")),
    ("r: zv.Reg = 0\nif r == 1.5:\n    zv.wait(4e-8)",
     refused(FIRST + 1, "A register compares only with an integer constant, not float 1.5")),
    ("r: zv.Reg = 0\nif r == None:\n    zv.wait(4e-8)",
     refused(FIRST + 1, "A register compares only with an integer constant, not NoneType None")),
    ("r: zv.Reg = 0\nif r == 1:\n    zv.wait(4e-8)\nelse:\n    zv.wait(8e-8)", "beqi %A0 0xae000001 $24"),
    ("r: zv.Reg = 0\nif r == -1:\n    zv.wait(4e-8)", refused(FIRST + 1, "Symbol comparisons are not allowed")),
    # ... whose digits fit the jump's field: a wider one is refused when the line is written, at the if
    ("r: zv.Reg = 0\nif r == 0xFFFF:\n    zv.wait(4e-8)", "beqi %A0 0xae00ffff $19"),
    ("r: zv.Reg = 0\nif r == 0x10000:\n    zv.wait(4e-8)",
     rendered(FIRST + 1, 'the conditional jump\'s result 65536 does not fit the 4 hexadecimal digits of its "beqi" '
                         'form (0 to 0xffff)')),
    ("r: zv.Reg = 0\nr = zv.receive(256)\nwhile True:\n    if r == 1:\n        zv.wait(4e-8)",
     rendered(FIRST + 3, 'the conditional jump\'s feedback_chnl 256 does not fit the 2 hexadecimal digits of its '
                         '"beqi" form (0 to 0xff)')),
    # a register holds an integer (an integral float too prints its point)
    ("r: zv.Reg = np.int64(7)", "movi %A0 7"),
    ("r: zv.Reg = 0.5", refused(FIRST, "A register holds an integer, not float 0.5")),
    ("r: zv.Reg = 10 / 5", refused(FIRST, "A register holds an integer, not float 2.0")),
    ("r: zv.Reg = True", refused(FIRST, "A register holds an integer, not bool True")),
    ("r: zv.Reg = np.bool_(1)", refused(FIRST, "A register holds an integer, not numpy.bool_ True")),
    ("r: zv.Reg = [1, 2]", refused(FIRST, "A register holds an integer, not list [1, 2]")),
    ("r: zv.Reg = 'a'", refused(FIRST, "A register holds an integer, not str 'a'")),
    ("r: zv.Reg = None", refused(FIRST, "A register holds an integer, not NoneType None")),
    ("zv.wait(DEF)", refused(FIRST, "Function Parse Error, name 'DEF' is not defined")),   # module names stay outside
    # a frame number names one frame: of two, the last setting would play for both
    ("f1: zv.Frame = zv.frame(2e8)", refused(FIRST, TAKEN_FRAME)),
    ("r: zv.Reg = 0\nwhile True:\n    f1: zv.Frame = zv.frame(2e8, 0.0, 0)", refused(FIRST + 2, TAKEN_FRAME)),
    ("f1: zv.Frame = zv.frame(2e8, 0.0, 1)\nzv.play(f1, e0, 0.5)", "fmsi 0b00000000000000000000000000000010 107374182 0"),
    # numbers the program line cannot hold
    ("r: zv.Reg = 0\nr = zv.capture([8], 1e-6)",
     refused(FIRST + 1, f"{FREQ_NUMBERS} from 0 to 7, got 8 at position 0")),
    ("r: zv.Reg = 0\nr = zv.capture([1, 6.1e8], 1e-6)",       # hertz where the number of a frequency goes
     refused(FIRST + 1, f"{FREQ_NUMBERS}, integers from 0 to 7, got float 610000000.0 at position 1")),
    ("r: zv.Reg = 0\nr = zv.capture([0.5], 1e-6)",
     refused(FIRST + 1, f"{FREQ_NUMBERS}, integers from 0 to 7, got float 0.5 at position 0")),
    ("r: zv.Reg = 0\nr = zv.capture([True], 1e-6)",
     refused(FIRST + 1, f"{FREQ_NUMBERS}, integers from 0 to 7, got bool True at position 0")),
    ("r: zv.Reg = 0\nr = zv.capture([0, 1, 2, 3, 4, 5, 6, 7], 1e-6)", "capi 0b11111111 250 0 0 0b0111"),
    ("r: zv.Reg = 0\nr = zv.capture([], 1e-6)", "capi 0b00000000 250 0 0 0b0111"),
    ("r: zv.Reg = 0\nfor r in zv.repeat(0):\n    zv.wait(4e-8)", refused(FIRST + 1, f"{REPEAT}, got 0")),
    ("r: zv.Reg = 0\nfor r in zv.repeat(2**32):\n    zv.wait(4e-8)", refused(FIRST + 1, f"{REPEAT}, got 4294967296")),
    ("r: zv.Reg = 0\nfor r in zv.repeat(2**40):\n    zv.wait(4e-8)",
     refused(FIRST + 1, f"{REPEAT}, got 1099511627776")),
    ("r: zv.Reg = 0\nfor r in zv.repeat(2**32 - 1):\n    zv.wait(4e-8)", "lopi 4294967295 $10"),
    ("zv.wait(100)", rendered(FIRST, witi_refusal(24999999995))),       # seconds meant as nanoseconds
    ("zv.delay(100)", rendered(FIRST, witi_refusal(25000000000))),
    ("zv.wait(4e-8)\nzv.wait(4294967301 * 4e-9)", rendered(FIRST + 1, witi_refusal(2**32))),
    ("zv.wait(4294967300 * 4e-9)", "witi 4294967295"),                  # the longest wait a line holds
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
    elif cls is ValueError:
        assert message == f"in kernel k, line {line}: {text}"
    else:
        assert message.startswith(f'in kernel k, line {line}, "') and message.endswith('":\n' + text)
