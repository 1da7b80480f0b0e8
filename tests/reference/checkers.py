"""The ten default checkers written in plain Python: the reference of the
checkers' differential tests and of bench/bench_checkers.py."""
import copy
import math

import numpy as np

from tarvok.zelvo._errors import CaptureError, PlayError, TimingError
from tarvok.zelvo._ir import *  # noqa: F401,F403
from tarvok.zelvo._ir import (FixIR, IRBase, IRCapture, IRDelay, IREnvelope, IRFrame, IRFrameRst,
                              IRNop, IRPlaycImm, IRPlayImm, IRProt, IRWait, IRWaitTrig, IRWaveform, LoadDDRIR,
                              OverlapIR, UnfixIR)

DEFAULT = ["OverlapChecker", "EnvelopeChecker", "FmsiChecker", "PlyChecker", "DrstChecker", "IRNumberChecker",
           "TwoCapiChecker", "EmptyWtgChecker", "WaveformChecker", "ProtChecker"]


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
        return walk(ir_list, (IRPlayImm, IRPlaycImm), lambda lst, i, x, error: check_ply(lst, i, error))


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


def same(a, b):
    """Checker outputs equal: lists of the same objects, records item by item."""
    (la, ea), (lb, eb) = a, b
    return la == lb and len(ea) == len(eb) and all(
        len(x) == 6 and all(p is q or (isinstance(p, str) and p == q) for p, q in zip(x, y))
        for x, y in zip(ea, eb))
