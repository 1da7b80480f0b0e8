"""Encoding speed of drive and probe records against the same encodings
written in pure Python with struct.pack."""
import math
import os
import struct
import sys
import time
from dataclasses import dataclass

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from tarvok.compiler import ostrane as o  # noqa: E402

N = 100_000
CFG = {"OUTSrate": 8e9, "play_zero_step": 32, "envelope_step": 64}


# ---- the reference: the same records in plain Python ------------------------

def freq32(freq):
    return round(freq / CFG["OUTSrate"] * 2**32)


def phase32(phase):
    x = phase / math.pi / 2
    w = round(math.fmod(math.fmod(x, 1) + 1, 1) * 4294967296)
    return 0 if w == 4294967296 else w


@dataclass
class PyCommand:
    tag: str

    def __bytes__(self):
        self._check_attr()
        return self.list2bytes(self._pack_cmd())

    def _check_attr(self):
        pass

    def _pack_cmd(self):
        return [0] * 9

    @staticmethod
    def list2bytes(cmd):
        if type(cmd) is not list:
            raise TypeError("cmd")
        cmd.extend([0] * 8)
        return struct.pack("<BBIIHHHII8B", *cmd)


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


@dataclass
class PyPlayZero(PyCommand):
    width: float

    def _pack_cmd(self):
        n = round(float(self.width) / (CFG["play_zero_step"] / CFG["OUTSrate"]))
        return [0x44, 0, 0, n, 0, 0, 0, 0, 0]


@dataclass
class PyJump(PyCommand):
    target: str

    def __post_init__(self):
        self.ins_idx = 0

    def _pack_cmd(self):
        return [0x18, 0, 0, self.ins_idx, 0, 0, 0, 0, 0]


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


@dataclass
class PyProbe:
    tag: str

    def __bytes__(self):
        self._check_attr()
        return self.list2bytes(self._pack_cmd())

    def _check_attr(self):
        pass

    def _pack_cmd(self):
        return [0] * 8

    @staticmethod
    def list2bytes(cmd):
        if type(cmd) is not list:
            raise TypeError("cmd")
        return struct.pack("=HHHHHHHH", *cmd[::-1])


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


def main():
    for label, make in (("drive records", drive_records), ("probe words", probe_records)):
        ours, ref = make(OURS), make(REF)
        t_ours, b_ours = best(ours)
        t_ref, b_ref = best(ref)
        same = "identical" if b_ours == b_ref else "DIFFERENT"
        print(f"{label:14s}: ostrane {N / t_ours:12,.0f}/s   struct.pack {N / t_ref:12,.0f}/s   "
              f"ratio {t_ref / t_ours:5.2f}x   bytes {same}")


if __name__ == "__main__":
    main()
