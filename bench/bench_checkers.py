"""The ten default checkers against the same checkers written in pure Python.

Builds a scheduled program of two levels (set-up instructions, then trigger
waits and conditional jumps each holding a padded block) of 1 000 and
20 000 instructions, checks once that both sides give the same lists and
records (on a clean program and on one with faults in every block), then
times each checker and all ten in a row. Prints ns per instruction, the
scaling ratio (ns per instruction at 20 000 over that at 1 000) and the
ratio pure-Python / ours.

The pure-Python checkers (`Twin*`) are also the reference of the
differential tests."""
import copy
import math
import os
import sys
import time
import types

import numpy as np

if __name__ == "__main__":  # imported by the tests, the package under test is already on the path
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from tarvok.zelvo import _checkers  # noqa: E402
from tarvok.zelvo._errors import CaptureError, PlayError, TimingError  # noqa: E402
from tarvok.zelvo._ir import *  # noqa: E402,F401,F403
from tarvok.zelvo._ir import (FixIR, IRBase, IRCapture, IRDelay, IREnvelope, IRFrame, IRFrameRst,  # noqa: E402
                              IRNop, IRPlayImm, IRProt, IRWait, IRWaitTrig, IRWaveform, LoadDDRIR,
                              OverlapIR, PreIR, UnfixIR)

SIZES = (1_000, 20_000)
REPEAT = 5
DEFAULT = ["OverlapChecker", "EnvelopeChecker", "FmsiChecker", "PlyChecker", "DrstChecker", "IRNumberChecker",
           "TwoCapiChecker", "EmptyWtgChecker", "WaveformChecker", "ProtChecker"]


# ---- the reference: the checkers in plain Python ----------------------------

def append_error(index, ir_list, error, msg, error_type, error_code="0x1000"):
    n = len(ir_list)
    if index >= n:
        return error
    before = ir_list[index - 1] if index > 0 else None
    after = ir_list[index + 1] if index < n - 1 else None
    error.append([msg, before, ir_list[index], after, error_type, error_code])
    return error


def past(value, limit):
    """value > limit, a NaN counting as past it."""
    return value > limit or (isinstance(value, (float, np.floating)) and math.isnan(value))


def check_limit(index, ir_list, error):
    ir_wait_time = ir_list[index].wait_time - ir_list[index].overhead
    if len(ir_list) == 1:
        return error
    wait_time_current = 0
    msg = "Instructions can not arrange"
    for j in range(index + 1, len(ir_list)):
        x = ir_list[j]
        if j == len(ir_list) - 1:
            if isinstance(x, IRDelay):
                wait_time_current += x.wait_time + x.overhead
                bad = wait_time_current > ir_wait_time
            elif isinstance(x, FixIR):
                bad = wait_time_current + x.overhead > ir_wait_time
            elif isinstance(x, OverlapIR):
                bad = wait_time_current + x.wait_time > ir_wait_time
            else:
                bad = False
            if bad:
                error = append_error(j, ir_list, error, msg, TimingError)
            break
        if isinstance(x, IRDelay):
            wait_time_current += x.wait_time + x.overhead
            if wait_time_current > ir_wait_time:
                error = append_error(j, ir_list, error, msg, TimingError)
            break
        if isinstance(x, FixIR):
            if wait_time_current + x.overhead > ir_wait_time:
                error = append_error(j, ir_list, error, msg, TimingError)
            break
        if isinstance(x, OverlapIR):
            if wait_time_current + x.wait_time > ir_wait_time:
                error = append_error(j, ir_list, error, msg, TimingError)
            break
        wait_time_current += x.wait_time
    return error


def check_overlap_time(ir_list, error):
    for i, x in enumerate(ir_list):
        if isinstance(x, FixIR) and not isinstance(x, IRDelay):
            error = check_limit(i, ir_list, error)
    return error


class TwinOverlapChecker:
    def check_ir(self, ir_list):
        out = copy.copy(ir_list)
        error = check_overlap_time(out, [])
        for x in ir_list:
            if isinstance(x, UnfixIR):
                error = check_overlap_time(x.ir_sub, error)
        return out, error


def check_envelope(ir_list, index, error):
    count = len(ir_list[index])
    mag = np.abs(np.asarray(ir_list[index].envelope))
    if mag.size and (np.isnan(mag).any() or mag.max() > 1):
        error = append_error(index, ir_list, error, "Envelope amplitude is more than 1", PlayError)
    return error, count


class TwinEnvelopeChecker:
    def check_ir(self, ir_list):
        out, error, total = [], [], 0
        for i, x in enumerate(ir_list):
            if isinstance(x, IREnvelope):
                error, n = check_envelope(ir_list, i, error)
                total += n
            out.append(x)
        if total > 131072:
            at = 0 if len(ir_list) == 1 else 1
            error = append_error(at, ir_list, error, "The total length of the envelope is more than 131072 points",
                                 PlayError)
        return out, error


class TwinIRNumberChecker:
    def check_ir(self, ir_list):
        count = 0
        for x in ir_list:
            if isinstance(x, IRBase):
                count += 1
            if isinstance(x, UnfixIR):
                count += len(x.ir_sub)
        error = []
        if count > 20480:
            error = append_error(0, ir_list, error, "The number of instructions exceeds 20K", PlayError)
        return ir_list, error


def walk(ir_list, cls, test, blocks=True):
    """The value-limit walk: items of `cls`, top level and one block deep."""
    error = []
    for i, x in enumerate(ir_list):
        if isinstance(x, cls):
            error = test(ir_list, i, x, error)
        if blocks and isinstance(x, UnfixIR):
            for j, y in enumerate(x.ir_sub):
                if isinstance(y, cls):
                    error = test(x.ir_sub, j, y, error)
    return ir_list, error


def check_ply(ir_list, index, error):
    x = ir_list[index]
    if past(x.amp, 32767) or x.amp < -32767:
        error = append_error(index, ir_list, error, "Play-Wave has a playback amplitude of more than 1", PlayError)
    if int(x.wait_time - x.overhead) < 2:
        error = append_error(index, ir_list, error, "The play-wave length is less than 2", PlayError)
    return error


def frame_test(lst, i, x, error):
    if past(x.freq, 1e10):
        error = append_error(i, lst, error, "Additional frequencies exceed 10GHz", PlayError)
    return error


def rotation_test(lst, i, x, error):
    if past(x.rotation_real, 32768):
        error = append_error(i, lst, error, "Rotation factor exceed 1", PlayError)
    if past(x.rotation_imag, 32768):
        error = append_error(i, lst, error, "Rotation factor exceed 1", PlayError)
    return error


def waveform_test(lst, i, x, error):
    if len(x.wave) != 2:
        error = append_error(i, lst, error, "dimensions of Probe waveform is should be [freq, points]", PlayError)
    return error


def capture_test(lst, i, x, error):
    if round(x.acq_width * 1e9) % 16 != 0:
        error = append_error(i, lst, error, "capi acq_time is not divisible", CaptureError)
    return error


class TwinFmsiChecker:
    def check_ir(self, ir_list):
        return walk(ir_list, IRFrame, frame_test)


class TwinPlyChecker:
    def check_ir(self, ir_list):
        return walk(ir_list, IRPlayImm, lambda lst, i, x, error: check_ply(lst, i, error))


class TwinProtChecker:
    def check_ir(self, ir_list):
        return walk(ir_list, IRProt, rotation_test)


class TwinWaveformChecker:
    def check_ir(self, ir_list):
        return walk(ir_list, IRWaveform, waveform_test, blocks=False)


class TwinCapiChecker:
    def check_ir(self, ir_list):
        return walk(ir_list, IRCapture, capture_test)


def significant(x, before):
    return x if isinstance(x, IRBase) and not isinstance(x, (IRNop, IRDelay)) else before


def drst_before_check(ir_list, index, error, ir_before, msg):
    x = ir_list[index]
    if isinstance(x, IRFrameRst) and not (isinstance(ir_before, IRWaitTrig) or isinstance(ir_before, IRWait)):
        error = append_error(index, ir_list, error, msg, TimingError)
    return error, significant(x, ir_before)


def two_capi_check(ir_list, index, error, ir_before, msg, error_code=None):
    x = ir_list[index]
    if isinstance(x, IRCapture) and isinstance(ir_before, IRCapture):
        error = append_error(index, ir_list, error, msg, TimingError, error_code)
    return error, significant(x, ir_before)


def chain(ir_list, link):
    error, before = [], []
    for i, x in enumerate(ir_list):
        error, before = link(ir_list, i, error, before)
        if isinstance(x, UnfixIR):
            for j in range(len(x.ir_sub)):
                error, before = link(x.ir_sub, j, error, before)
    return ir_list, error


class TwinDrstChecker:
    def check_ir(self, ir_list):
        return chain(ir_list, lambda lst, i, e, b: drst_before_check(lst, i, e, b, "drst position is wrong"))


class TwinTwoCapiChecker:
    def check_ir(self, ir_list):
        msg = "Two consecutive capture is forbidden"
        return chain(ir_list, lambda lst, i, e, b: two_capi_check(lst, i, e, b, msg, "0x1001"))


class TwinEmptyWtgChecker:
    def __init__(self):
        self.enable = False

    def check_ir(self, ir_list):
        error = []
        if any(isinstance(x, LoadDDRIR) for x in ir_list):
            self.enable = True
        for i, x in enumerate(ir_list):
            if isinstance(x, IRWaitTrig):
                if any(isinstance(y, LoadDDRIR) for y in x.ir_sub):
                    self.enable = True
                else:
                    error = append_error(i, ir_list, error, "There must be a 'play' between two 'wait_for_trig' "
                                         "statements.", TimingError, "0x2000")
        return (ir_list, error) if self.enable else (ir_list, [])


TWINS = {name: globals()["Twin" + name] for name in DEFAULT + ["CapiChecker"]}


# ---- the program -------------------------------------------------------------

def kernel():
    """What the instructions read of their kernel: the compile parameters."""
    return types.SimpleNamespace(compile_params={"da_srate": 8e9, "ad_srate": 8e9, "base_clock": 4e-9,
                                                 "target_chnl_type": "da"}, instr_target_map={})


def program(n, faults=False):
    """A scheduled program of about n instructions: set-up first, then
    blocks of about 16 padded instructions under trigger waits and
    conditional jumps. With faults, every checker but the instruction count
    finds something."""
    import tarvok.zelvo._ir as ir
    k = kernel()
    envs = []
    for i in range(8):
        e = ir.IREnvelope(np.linspace(-0.9, 0.9, 256) * (1.5 if faults and i == 3 else 1))
        e.envelope_slice = slice(256 * i, 256 * (i + 1), 1)
        envs.append(e)
    top = envs + [ir.IRFrame(1e9 * (i + 1) * (10 if faults and i == 2 else 1), 0, i) for i in range(4)]
    top += [ir.IRProt([1e8], 1.5 + 0.5j if faults else 0.5 + 0.5j),
            ir.IRWaveform(np.zeros((3 if faults else 2, 64))), ir.IRNop(), ir.IRNop()]
    ddr = ir.IRPlayDDRImm(types.SimpleNamespace(waveform=np.zeros(4), offset=0), kernel=k)
    count, blocks = len(top), 0
    while count < n:
        blocks += 1
        trig = blocks % 4 != 0
        head = ir.IRWaitTrig(kernel=k) if trig else ir.IRJumpConditional(0, 1, 2, kernel=k)
        env = envs[blocks % 8]
        # Padded as the timing rule pads: each window holds what follows it.
        block = [ir.IRWait(8e-8, kernel=k), ir.IRFrameRst(), ir.IRPlayImm(0, env, 0.5, 0, 1e8, 0, kernel=k),
                 ir.IRNop(), ir.IRNop(), ir.IRDelay(1.6e-8, kernel=k),
                 ir.IRCapture([1e8], 1.6e-8, 0.0, 1.6e-8, kernel=k), ir.IRNop(), ir.IRNop(), ir.IRNop(),
                 ir.IRWait(8e-8, kernel=k), ir.IRFrameAdd([0], 1e8, 0.0),
                 ir.IRPlayImm(1, env, 0.25, 0, 1e8, 0, kernel=k), ir.IRNop(), ir.IRNop()]
        if trig and not (faults and blocks == 5):
            block.append(ddr)
        if faults:
            block[2].amp = 40000
            block[5] = ir.IRDelay(8e-8, kernel=k)
            block.insert(7, ir.IRCapture([1e8], 2.0e-8, 0.0, 1.6e-8, kernel=k))
            block.insert(9, ir.IRFrameRst())
        head.ir_sub = block
        top.append(head)
        count += 1 + len(block)
    return top


# ---- running ------------------------------------------------------------------

def same(a, b):
    """Checker outputs equal: lists of the same objects, records item by item."""
    (la, ea), (lb, eb) = a, b
    return la == lb and len(ea) == len(eb) and all(
        len(x) == 6 and all(p is q or (isinstance(p, str) and p == q) for p, q in zip(x, y))
        for x, y in zip(ea, eb))


def best(fn):
    times = []
    for _ in range(REPEAT):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def main():
    for faults in (False, True):
        prog = program(2_000, faults)
        for name in TWINS:
            ours, theirs = getattr(_checkers, name)().check_ir(prog), TWINS[name]().check_ir(prog)
            assert same(ours, theirs), name
            assert (len(ours[1]) > 0) == (faults and name != "IRNumberChecker"), name
    print("outputs equal on a clean program and on one with faults")
    per = {}
    for n in SIZES:
        prog = program(n)
        size = sum(1 + (len(x.ir_sub) if isinstance(x, UnfixIR) else 0) for x in prog)
        print(f"\n{size} instructions")
        print(f"{'checker':18s} {'ours ns/ins':>12s} {'python ns/ins':>14s} {'speed-up':>9s}")
        rows = [(name, getattr(_checkers, name), TWINS[name]) for name in DEFAULT]
        rows.append(("all ten", None, None))
        for name, ours, twin in rows:
            if ours is None:
                t_ours = best(lambda: [getattr(_checkers, c)().check_ir(prog) for c in DEFAULT])
                t_twin = best(lambda: [TWINS[c]().check_ir(prog) for c in DEFAULT])
            else:
                t_ours = best(lambda: ours().check_ir(prog))
                t_twin = best(lambda: twin().check_ir(prog))
            a, b = t_ours / size * 1e9, t_twin / size * 1e9
            per.setdefault(name, []).append(a)
            print(f"{name:18s} {a:12.1f} {b:14.1f} {b / a:8.1f}x")
    print(f"\nscaling, ns per instruction at {SIZES[1]} over that at {SIZES[0]}:")
    for name, (small, large) in per.items():
        print(f"  {name:18s} {large / small:5.2f}")


if __name__ == "__main__":
    main()
