"""Kernels from @kernel source through the default passes to program text:
straight-line code, branches and loops with every jump resolved, and checker
errors raised at the kernel statement that made the instruction."""
import re

import numpy as np
import pytest

from tarvok.zelvo import _errors
from tarvok.zelvo._conveyor import conveyor
from tarvok.zelvo.kernel import kernel


def program_lines(text):
    """Each line's instruction text, checking the "# seq idx tag" numbering."""
    lines = text.split("\n")
    width = lines[0].index("# seq idx tag ")
    for n, line in enumerate(lines):
        assert line[width:] == f"# seq idx tag {n}"
    return [line[:width].rstrip() for line in lines]


def jumps(lines):
    """(position, target) of every jump line."""
    return [(n, int(m.group(1))) for n, line in enumerate(lines) for m in [re.search(r"\$(-?\d+)", line)] if m]


def assert_resolved(lines):
    found = jumps(lines)
    assert found
    for at, target in found:
        assert 0 <= target < len(lines) and target != at, (at, target, lines)


@kernel
def straight(amp: 'zv.Var' = 0.5):
    f0: zv.Frame = zv.frame(1e8, 0.0, 0)
    e0: zv.Envelope = zv.envelope(np.linspace(0, 0.5, 64))
    r: zv.Reg = 0
    zv.wait_trig()
    zv.play(f0, e0, amp)
    zv.wait(1e-7)
    zv.play(f0, e0, amp)
    r = zv.capture([1], 1e-6)
    zv.wait(1.2e-6)


@kernel
def branching():
    f0: zv.Frame = zv.frame(1e8, 0.0, 0)
    e0: zv.Envelope = zv.envelope(np.linspace(0, 0.5, 64))
    state: zv.Reg = 0
    n: zv.Reg = 0
    while True:
        zv.wait_trig()
        state = zv.capture([1], 1e-6)
        zv.wait(1.2e-6)
        if state == 1:
            zv.play(f0, e0, 0.5)
            zv.wait(1e-7)
        else:
            zv.wait(1e-7)
        for n in zv.repeat(3):
            zv.play(f0, e0, 0.25)
            zv.wait(4e-8)
        while True:
            zv.wait_trig()
            zv.play(f0, e0, 0.5)


@kernel
def too_fast():
    f0: zv.Frame = zv.frame(2e10, 0.0, 0)
    zv.wait_trig()


def test_straight_line_kernel_to_program_text():
    k = straight(0.25)
    envelopes, waveform, freq_list, demodulation, text = conveyor(k)
    lines = program_lines(text)
    heads = [line.split(" ")[0] for line in lines]
    assert heads.count("plyi") == 2 and heads.count("wtg") == 1 and "fmsi" in heads and "movi" in heads
    assert any(h.startswith("capi") for h in heads) and "jmov" in heads
    assert np.array_equal(envelopes, np.linspace(0, 0.5, 64))
    assert waveform == freq_list == demodulation == []
    assert_resolved(lines)      # the closing jump back to the start


def test_branches_and_loops_resolve_every_jump():
    k = branching()
    text = conveyor(k)[4]
    lines = program_lines(text)
    assert_resolved(lines)
    heads = [line.split(" ")[0] for line in lines]
    assert heads.count("lopi") == 2 and heads.count("beqi") == 2
    # four copies of the innermost loop body: two outer copies, each twice
    assert heads.count("wtg") == 2 + 4
    # a new kernel of the same function gives the same program
    assert program_lines(conveyor(branching())[4]) == lines


def test_checker_error_is_raised_at_the_declaration():
    k = too_fast()
    with pytest.raises(_errors.PlayError) as info:
        conveyor(k)
    assert str(info.value) == ('in kernel too_fast, line 3, "f0: zv.Frame = zv.frame(2e10, 0.0, 0)":\n'
                               "[error 0x1000]-PlayError Additional frequencies exceed 10GHz")
