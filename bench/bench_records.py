"""Encoding speed of drive and probe records against the same encodings
written in pure Python with struct.pack.

Prints, all measured in one run with the timings interleaved (so the ratios
hold under a changing load): bytes() of each record kind against its
pure-Python twin; bytes() of a record with constant words against the call
floor (bytes() of an object whose __bytes__ is a builtin that returns 32
zero bytes); TVKCommand.list2bytes of a copied 9-item list against
struct.Struct.pack of the same copy; and the mixed queues of the first
version of this benchmark. The twin records here are also the records of the
assembler benchmark's pure-Python twin."""
import functools
import math
import os
import struct
import sys
import time
from dataclasses import dataclass

import numpy as np

if __name__ == "__main__":  # imported by the assembler benchmark, the package is on the path already
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from tarvok.compiler import ostrane as o  # noqa: E402

N = 100_000
CFG = {"OUTSrate": 8e9, "play_zero_step": 32, "capture_step": 1.6e-08, "max_capture_width": 2.048e-06,
       "envelope_step": 64, "envelope_quant": 16383, "envelope_dtype": np.int16, "envelope_cache": 204800,
       "envelope_head": np.array([2, 0, 0, 4096] + [0] * 12, dtype=np.int16)}
DRIVE = struct.Struct("<BBIIHHHII8B")
PROBE = struct.Struct("=HHHHHHHH")


# ---- the reference: the same records in plain Python ------------------------

def freq32(freq):
    return round(freq / CFG["OUTSrate"] * 2**32)


def phase32(phase):
    x = phase / math.pi / 2
    w = round(math.fmod(math.fmod(x, 1) + 1, 1) * 4294967296)
    return 0 if w == 4294967296 else w


def drive_words(cmd):
    if type(cmd) is not list:
        raise TypeError("cmd")
    cmd.extend([0] * 8)
    return DRIVE.pack(*cmd)


def probe_words(cmd):
    if type(cmd) is not list:
        raise TypeError("cmd")
    return PROBE.pack(*cmd[::-1])


@dataclass
class PyRecord:
    """What drive and probe records share: the three steps of bytes()."""
    tag: str

    def __bytes__(self):
        self._check_attr()
        return self.list2bytes(self._pack_cmd())

    def _check_attr(self):
        pass


class PyCommand(PyRecord):
    list2bytes = staticmethod(drive_words)

    def _pack_cmd(self):
        return [0] * 9

    @property
    def overhead(self):
        return 0.0


@dataclass
class PyFrame(PyCommand):
    freq: float

    def __post_init__(self):
        self.frame_idx = 0

    def _pack_cmd(self):
        return [0x11, self.frame_idx * 4, freq32(self.freq), 0, 0, 0, 0, 0, 0]


@dataclass
class PyPlayWave(PyCommand):
    frame: str
    envelop: str
    amp: float
    attach_freq: float
    attach_phase: float

    def __post_init__(self):
        self.frame_idx = 0
        self.envelop_slice = slice(0, None, 1)

    def _pack_cmd(self):
        s = self.envelop_slice
        step = CFG["envelope_step"]
        return [4, self.frame_idx * 4, int(s.start / step), int((s.stop - s.start) / step),
                int(self.amp * 32768), 0, 0, freq32(self.attach_freq), phase32(self.attach_phase)]


    @property
    def overhead(self):
        s = self.envelop_slice
        return (s.stop - s.start) / 2 / CFG["OUTSrate"]


@dataclass
class PyPlayZero(PyCommand):
    width: float

    def _steps(self):
        step = CFG["play_zero_step"] / CFG["OUTSrate"]
        return round(float(self.width) / step), step

    def _pack_cmd(self):
        return [0x44, 0, 0, self._steps()[0], 0, 0, 0, 0, 0]

    @property
    def overhead(self):
        n, step = self._steps()
        return n * step


@dataclass
class PyWaitTrig(PyCommand):
    def _pack_cmd(self):
        return [0xF4, 0, 0, 0, 0, 0, 0, 0, 0]


@dataclass
class PyEnd(PyCommand):
    def _pack_cmd(self):
        return [0xF8, 0, 0, 0, 0, 0, 0, 0, 0]


class PyAssemblyError(RuntimeError):
    pass


class PyQNumber:
    def __init__(self):
        self.value = 0

    def __float__(self):
        return float(self.value)

    def __bool__(self):
        return bool(self.value)


@dataclass
class PyEnvelop(PyCommand):
    envelop: object

    def __post_init__(self):
        self.envelop_slice = slice(0, None, 1)

    def __bytes__(self):
        if not isinstance(self.envelop, np.ndarray):
            raise PyAssemblyError(f"The type of {type(self).__name__}.envelop must be one of np.ndarray or wf.Waveform")
        return (self.envelop * CFG["envelope_quant"]).astype(CFG["envelope_dtype"]).tobytes()


@dataclass
class PyCapture(PyCommand):
    width: float
    probe_delay: float = 0

    def __post_init__(self):
        self.ch_flag = {"all": 3, "ad": 2, "da": 1}

    def __len__(self):
        return round(self.width / CFG["capture_step"])

    def __bytes__(self):
        if self.width > CFG["max_capture_width"]:
            raise PyAssemblyError(f"Wide range {CFG['max_capture_width']} when {self.width} exceeds the maximum capture")
        step = CFG["capture_step"]
        delay, length = round(self.probe_delay / step), round(self.width / step)
        if delay > 0:
            words = [[2, self.ch_flag["da"], 0, 0, 0, 0, 0, delay],
                     [2, self.ch_flag["all"], 0, 0, 0, length, 0, length - delay],
                     [2, self.ch_flag["ad"], 0, 0, 0, length, 0, delay]]
        else:
            words = [[2, self.ch_flag["all"], 0, 0, 0, length, 0, length]]
        return b"".join(self.list2bytes(w) for w in words)

    list2bytes = staticmethod(probe_words)


@dataclass
class PyJump(PyCommand):
    target: str

    def __post_init__(self):
        self.ins_idx = 0

    def _pack_cmd(self):
        return [0x18, 0, 0, self.ins_idx, 0, 0, 0, 0, 0]


@dataclass
class PyJumpWithReg(PyCommand):
    reg: int
    value: int
    target: str

    def __post_init__(self):
        self.ins_idx = 0

    def _pack_cmd(self):
        return [0x28, self.reg, self.value, self.ins_idx, 0, 0, 0, 0, 0]


@dataclass
class PyJumpWithJudge(PyCommand):
    value: int
    mask: int
    target: str

    def __post_init__(self):
        self.ins_idx = 0

    def _pack_cmd(self):
        return [0x28, 16, (self.mask << 16) | self.value, self.ins_idx, 0, 0, 0, 0, 0]


@dataclass
class PyIncPhase(PyCommand):
    phase: float
    frame: str

    def __post_init__(self):
        self.frame_idx = 0

    def _pack_cmd(self):
        return [0x21, self.frame_idx * 4 + 1, phase32(self.phase), 0, 0, 0, 0, 0, 0]


@dataclass
class PyMov(PyCommand):
    reg: int
    value: int
    type: str = "="

    def __post_init__(self):
        self.type2head = {"=": 0x38, "+": 0x48}

    def _pack_cmd(self):
        if self.type not in self.type2head:
            raise RuntimeError(self.type)
        return [self.type2head[self.type], self.reg, self.value, 0, 0, 0, 0, 0, 0]


class PyProbe(PyRecord):
    list2bytes = staticmethod(probe_words)

    def _pack_cmd(self):
        return [0] * 8


@dataclass
class PyTrigDelay(PyProbe):
    delay: float

    def __post_init__(self):
        self.ch_flag = {"all": 3, "ad": 2, "da": 1}

    def _pack_cmd(self):
        return [1, self.ch_flag["all"], 0, 0, 0, 0, 0, round(float(self.delay) / 1.6e-08)]


@dataclass
class PyPJump(PyProbe):
    target: str

    def __post_init__(self):
        self.ins_idx = 0

    def _pack_cmd(self):
        return [3, 0, 0, self.ins_idx, 0, 0, 0, 0]


# ---- workloads ---------------------------------------------------------------

def drive_records(ns):
    recs = []
    for i in range(N):
        k = i % 6
        if k == 0:
            r = ns["Frame"](f"f{i}", 1e8 + i)
            r.frame_idx = i % 64
        elif k == 1:
            r = ns["PlayWave"](f"p{i}", "f", "e", 0.5, 2.5e8, 0.1 * i)
            r.frame_idx = i % 64
            r.envelop_slice = slice(128, 256 + 64 * (i % 8), 200)
        elif k == 2:
            r = ns["PlayZero"](f"z{i}", 4e-9 * (i % 1000))
        elif k == 3:
            r = ns["Jump"](f"j{i}", "x")
            r.ins_idx = i
        elif k == 4:
            r = ns["IncPhase"](f"i{i}", -0.3 * i, "f")
        else:
            r = ns["Mov"](f"m{i}", i % 16, i, "+" if i % 2 else "=")
        recs.append(r)
    return recs


def probe_records(ns):
    recs = []
    for i in range(N):
        k = i % 3
        if k == 0:
            r = ns["TrigDelay"](f"d{i}", 1.6e-8 * (i % 4000))
        elif k == 1:
            r = ns["PWait"](f"w{i}")
        else:
            r = ns["PJump"](f"j{i}", "x")
            r.ins_idx = i % 60000
        recs.append(r)
    return recs


OURS = {"Frame": o.QInsFrame, "PlayWave": o.QInsPlayWave, "PlayZero": o.QInsPlayZero,
        "Jump": o.QInsJump, "IncPhase": o.QInsIncPhase, "Mov": o.QInsMov,
        "TrigDelay": o._QInsPTrigDelay, "PWait": o._QInsPWaitTrig, "PJump": o._QInsPJump}
REF = {"Frame": PyFrame, "PlayWave": PyPlayWave, "PlayZero": PyPlayZero, "Jump": PyJump,
       "IncPhase": PyIncPhase, "Mov": PyMov, "TrigDelay": PyTrigDelay, "PWait": PyProbe,
       "PJump": PyPJump}


def encode(recs):
    t = time.perf_counter()
    out = b"".join([bytes(r) for r in recs])
    return time.perf_counter() - t, out


def best(recs, runs=5):
    times = []
    for _ in range(runs):
        dt, out = encode(recs)
        times.append(dt)
    return min(times), out


# ---- single calls, interleaved ---------------------------------------------------

class CallFloor:
    """bytes() of this costs the call protocol and one new 32-byte object."""
    __bytes__ = functools.partial(bytes, 32)


def one_of_each(ns):
    frame = ns["Frame"]("f", 1e8)
    frame.frame_idx = 2
    play = ns["PlayWave"]("p", "f", "e", 0.5, 2.5e8, 0.1)
    play.frame_idx = 1
    play.envelop_slice = slice(128, 256, 200)
    return {"Wait": ns["Wait"]("w"), "Frame": frame, "PlayWave": play, "PlayZero": ns["PlayZero"]("z", 4e-7),
            "Mov": ns["Mov"]("m", 3, 77)}


def interleaved(cases, number=20_000, rounds=25):
    """{name: best ns per call} for {name: statement}, the cases taking turns."""
    fns = {}
    for name, (stmt, env) in cases.items():
        code = f"def run(n):\n    for _ in range(n):\n        {stmt}\n"
        scope = dict(env)
        exec(code, scope)
        fns[name] = scope["run"]
    out = {name: float("inf") for name in fns}
    for _ in range(rounds):
        for name, run in fns.items():
            t = time.perf_counter()
            run(number)
            out[name] = min(out[name], (time.perf_counter() - t) / number * 1e9)
    return out


def single_calls():
    ours = one_of_each({**OURS, "Wait": o.QInsWait})
    ref = one_of_each({**REF, "Wait": PyCommand})
    for kind in ours:
        assert bytes(ours[kind]) == bytes(ref[kind]), kind
    items = [17, 4, 53687091, 0, 0, 0, 0, 0, 0]
    zeros = [0] * 8
    env = {"floor": CallFloor(), "items": items, "zeros": zeros, "l2b": o.TVKCommand.list2bytes,
           "py_l2b": PyCommand.list2bytes, "pack": DRIVE.pack}
    cases = {"floor": ("bytes(floor)", env)}
    for kind in ours:
        cases["ours " + kind] = ("bytes(rec)", {"rec": ours[kind]})
        cases["twin " + kind] = ("bytes(rec)", {"rec": ref[kind]})
    cases["list2bytes"] = ("l2b(list(items))", env)
    cases["struct.pack"] = ("pack(*list(items), *zeros)", env)
    cases["twin list2bytes"] = ("py_l2b(list(items))", env)
    t = interleaved(cases)
    print(f"call floor, bytes() of a builtin __bytes__ giving 32 zero bytes: {t['floor']:6.1f} ns")
    print(f"{'bytes() of':14s} {'ours ns':>8s} {'twin ns':>8s} {'twin/ours':>9s} {'ours/floor':>10s}")
    for kind in ours:
        a, b = t["ours " + kind], t["twin " + kind]
        print(f"{kind:14s} {a:8.1f} {b:8.1f} {b / a:8.2f}x {a / t['floor']:9.2f}x")
    print(f"list2bytes of a 9-item copy: {t['list2bytes']:6.1f} ns; struct.Struct.pack of the same copy "
          f"{t['struct.pack']:6.1f} ns (ratio {t['struct.pack'] / t['list2bytes']:.2f}x); "
          f"twin list2bytes {t['twin list2bytes']:6.1f} ns")


def main():
    single_calls()
    for label, make in (("drive records", drive_records), ("probe words", probe_records)):
        ours, ref = make(OURS), make(REF)
        t_ours, b_ours = best(ours)
        t_ref, b_ref = best(ref)
        same = "identical" if b_ours == b_ref else "DIFFERENT"
        print(f"{label:14s}: ostrane {N / t_ours:12,.0f}/s   struct.pack {N / t_ref:12,.0f}/s   "
              f"ratio {t_ref / t_ours:5.2f}x   bytes {same}")


if __name__ == "__main__":
    main()
