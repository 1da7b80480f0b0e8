"""Text form and timing properties of kernel IR instructions against the
same instructions written in pure Python.

Builds one program of mixed instructions twice, once from tarvok.zelvo._ir
and once from the Python classes below, checks once that both give the same
lines and numbers, then times str(), overhead and wait_time over the whole
list, then each class alone: str() by itself, and str() with the timing
properties overhead and wait_time (how the passes render an instruction).
Prints ns per instruction and the ratio pure-Python / ours; the timings of a
table take turns, so a change of load hits both sides alike. The text of a
two-field instruction is also set against the call floor: str() of an
object whose __str__ is a builtin that builds the same text; and a rendered
delay against the rendering floor: objects whose text and timing getters
are builtins, which is what any rendered instruction costs at least."""
import abc
import enum
import functools
import math
import os
import random
import sys
import time
import uuid

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from tarvok.zelvo import _ir  # noqa: E402

N = 100_000
REPEAT = 3


class Kernel:
    """The two attributes an instruction reads of its kernel."""

    def __init__(self):
        self.compile_params = {"trig_align_time": 0, "ddr_play_bwidth": 2, "envelope_type": None,
                               "da_srate": 8e9, "ad_srate": 8e9, "base_clock": 4e-9,
                               "target_chnl_type": "da", "intra_enable": False}
        self.instr_target_map = {}


# ---- the reference: the same instructions in plain Python -------------------

def constant(value):
    """A read-only property that always gives `value`."""
    return property(lambda self: value)


class PyAssemblyError(RuntimeError):
    pass


class PyIRBase(abc.ABC):
    def __init__(self, **kwargs):
        self.tag = uuid.uuid4().hex[:10]
        self.real_wait_time = 0
        self.line = 0
        self.kernel = kwargs.get("kernel")
        self.index_map = {}

    def __str__(self):
        self._check_attr()
        return self._pack_cmd()

    def __len__(self):
        return len(str(self))

    def _pack_cmd(self):
        return ""

    def _check_attr(self):
        return None

    overhead = constant(0)
    wait_time = constant(0)


class PyPreIR(PyIRBase):
    pass


class PyFixIR(PyIRBase):
    pass


class PyUnfixIR(PyIRBase):
    def __init__(self, **kwargs):
        super().__init__(**kwargs)
        self.ir_sub = []
        self.irhead = 0


class PyFakeIR(PyIRBase):
    pass


class PySimulationIR(PyIRBase):
    class SimIRType(enum.IntFlag):
        NORMAL = 0
        WAIT = 1
        BRANCH = 2
        LOOP = 4
        JUMP = 8
        IGNORE = 128

    def __init__(self, **kwargs):
        super().__init__(**kwargs)
        self.sim_ir_type = self.SimIRType.NORMAL

    @property
    def duration(self):
        return int(self.wait_time)


class PyJumpImmIR(PyIRBase):
    def __init__(self, **kwargs):
        super().__init__(**kwargs)
        self.target = None
        self.cmd_idx = 0

    def mapping_target(self):
        if self.kernel is None:
            self.cmd_idx = 0
        else:
            self.cmd_idx = self.kernel.instr_target_map.get(self.target.tag, -1)

    def _check_attr(self):
        self.mapping_target()


def _freq_word_frame(freq):
    return round(freq / 250000000.0 * 4294967296 / 32)


def _phase_word_frame(phase):
    return round(phase / (2 * np.pi) * 4294967296 / 32)


class PyIRFrame(PyPreIR):
    def __init__(self, freq, phase, idx, **kwargs):
        super().__init__(**kwargs)
        self.freq = freq
        self.phase = phase
        self.idx = idx
        self.real_wait_time = 6

    overhead = constant(2)
    wait_time = constant(6)

    def _pack_cmd(self):
        return (f"fmsi 0b{1 << self.idx:032b} {_freq_word_frame(self.freq)} "
                f"{_phase_word_frame(self.phase)}")


class PyIREnvelope(PyPreIR):
    def __init__(self, envelope_i, envelope_q=None, amp=1, **kwargs):
        super().__init__(**kwargs)
        if envelope_q is None:
            self.envelope_type = "ndarray"
            self.envelope = envelope_i
        else:
            self.envelope_type = "complex"
            self.envelope = np.concatenate([envelope_i, envelope_q])
        self.envelope_slice = slice(0, 2, 1)

    def __len__(self):
        return int(self.envelope.size)


class PyIRNop(PyPreIR):
    overhead = constant(1)
    wait_time = constant(1)

    def _pack_cmd(self):
        return "nop"


class PyIRMov(PyPreIR):
    def __init__(self, register_idx, value, **kwargs):
        super().__init__(**kwargs)
        self.idx = register_idx
        self.reg_value = value

    overhead = constant(1)
    wait_time = constant(1)

    def _pack_cmd(self):
        return f"movi %A{self.idx} {self.reg_value}"


class PyIRWaitTrig(PyUnfixIR, PySimulationIR):
    def __init__(self, **kwargs):
        super().__init__(**kwargs)
        self.sim_ir_type = self.SimIRType.WAIT
        self.irhead = 1
        self._wait_time = 20

    overhead = constant(4)

    @property
    def wait_time(self):
        return self._wait_time

    @wait_time.setter
    def wait_time(self, value):
        self._wait_time = value

    duration = constant(0)

    def _pack_cmd(self):
        return "wtg"


class PyIRPlayImm(PyFixIR, PySimulationIR):
    def __init__(self, frame, envelope, amp, bias, freq, phase, **kwargs):
        super().__init__(**kwargs)
        self.frame = frame
        self.freq = freq
        self.amp = amp * 32767
        self.bias = bias
        self.envelope = envelope
        self.phase = phase
        self.envelope_type = envelope.envelope_type

    def _block(self):
        params = self.kernel.compile_params
        return round(params.get("da_srate", 8e9) * params.get("base_clock", 4e-9))

    overhead = constant(2)

    @property
    def wait_time(self):
        block = self._block()
        s = self.envelope.envelope_slice
        return (s.stop - s.start) // block + 2

    @property
    def duration(self):
        s = self.envelope.envelope_slice
        return int(s.stop - s.start)

    def _pack_cmd(self):
        block = self._block()
        s = self.envelope.envelope_slice
        length = s.stop - s.start
        fw = round(self.freq * 4294967296 / 250000000.0 / 32)
        pw = round(self.phase * 65536 / (2 * np.pi) / 32)
        return (f"plyi {self.frame} {s.start // block} {length // block} {self.amp} "
                f"{self.bias} {fw} {pw}")


class PyIRCapture(PyFixIR, PySimulationIR):
    BOUND = 8.192e-6

    def __init__(self, freq_list, acq_width, delay_width, play_width, raw_data_store=True,
                 iq_data_store=True, judge_data_store=True, double_fre_mode=False, **kwargs):
        acq_width, delay_width, play_width = float(acq_width), float(delay_width), float(play_width)
        if type(freq_list) is not list:
            raise TypeError("freq_list")
        super().__init__(**kwargs)
        if acq_width > self.BOUND:
            raise PyAssemblyError(type(self).__name__, "Acquisition width up to 4.096e-6s")
        if play_width > self.BOUND:
            raise PyAssemblyError(type(self).__name__, "Play width up to 4.096e-6s")
        self.fre = freq_list
        self.acq_width = acq_width
        self.delay_width = delay_width
        self.play_width = play_width
        self.para = (double_fre_mode << 3 | judge_data_store << 2 | iq_data_store << 1
                     | raw_data_store)

    def _max(self):
        return max(self.acq_width + self.delay_width, self.play_width)

    overhead = constant(1)

    @property
    def wait_time(self):
        m = self._max()
        return round(m / self.kernel.compile_params.get("base_clock", 4e-9)) + 1

    @property
    def duration(self):
        m = self._max()
        return round(self.kernel.compile_params.get("ad_srate", 4e9) * m)

    def _pack_cmd(self):
        fre_u8 = 0
        for num in self.fre:
            if 0 <= num and num < 8:
                fre_u8 |= 1 << num
        clock = self.kernel.compile_params.get("base_clock", 4e-9)
        return (f"capi 0b{fre_u8:08b} {round(self.acq_width / clock)} "
                f"{round(self.delay_width / clock)} {round(self.play_width / clock)} "
                f"0b{self.para:04b}")


class PyWidthIR(PyIRBase):
    """Waits `width` seconds, counted in base-clock cycles."""

    def __init__(self, width, **kwargs):
        super().__init__(**kwargs)
        self.width = width

    @property
    def wait_time(self):
        return round(float(self.width) / self.kernel.compile_params.get("base_clock", 4e-9))


class PyIRWait(PyWidthIR, PyFixIR, PySimulationIR):
    overhead = constant(0)

    @property
    def duration(self):
        params = self.kernel.compile_params
        chnl = params.get("target_chnl_type", "da")
        return round(float(self.width * params.get(f"{chnl}_srate", 8e9)))


class PyIRDelay(PyWidthIR, PyFixIR):
    overhead = constant(2)

    def _pack_cmd(self):
        return f"witi {self.wait_time}"


class PyIRPlaceholder(PyFakeIR, PySimulationIR):
    def __init__(self, **kwargs):
        super().__init__(**kwargs)
        self.sim_ir_type = self.SimIRType.IGNORE
        self.irhead = 0

    overhead = constant(1)
    wait_time = constant(3)
    duration = constant(0)

    def _pack_cmd(self):
        return " "


class PyIRJumpImmNormal(PyJumpImmIR, PyFixIR, PySimulationIR):
    def __init__(self, target, **kwargs):
        super().__init__(**kwargs)
        self.sim_ir_type = self.SimIRType.JUMP
        self.target = target

    overhead = constant(1)
    wait_time = constant(5)
    duration = constant(0)

    def _pack_cmd(self):
        return f"jali ${self.cmd_idx}"


# ---- one program, built from either family ----------------------------------

def build(ns, kernel, seed=7):
    """A program of N instructions: frames and envelopes first, then repeated
    shots of trigger wait, plays, capture, waits, delays, moves and nops, with
    a landing mark at the top of each loop and a back jump to it now and then."""
    rnd = random.Random(seed)
    prog = []
    for i in range(8):
        prog.append(ns["IRFrame"](rnd.uniform(-4e8, 4e8), rnd.uniform(-math.pi, math.pi), i,
                                  kernel=kernel))
    envs = []
    start = 0
    for n in (64, 128, 96, 256, 160, 512, 200, 1024):
        env = ns["IREnvelope"](np.hanning(n), kernel=kernel)
        env.envelope_slice = slice(start, start + len(env), 1)
        start += len(env)
        envs.append(env)
        prog.append(env)
    landing = None
    while len(prog) < N:
        if landing is None:
            landing = ns["IRPlaceholder"]()
            prog.append(landing)
        prog.append(ns["IRWaitTrig"](kernel=kernel))
        prog.append(ns["IRMov"](rnd.randrange(16), rnd.choice([0, 1, 7, -3, 2.5, 1e-3]),
                                kernel=kernel))
        for _ in range(rnd.randrange(1, 4)):
            prog.append(ns["IRPlayImm"](rnd.randrange(8), rnd.choice(envs),
                                        rnd.choice([1, 0.5, 0.25, 0.7071]), 0,
                                        rnd.uniform(-3e8, 3e8), rnd.uniform(-math.pi, math.pi),
                                        kernel=kernel))
            prog.append(ns["IRNop"](kernel=kernel))
            prog.append(ns["IRDelay"](rnd.randrange(0, 200) * 4e-9, kernel=kernel))
        prog.append(ns["IRCapture"](rnd.sample(range(10), rnd.randrange(1, 5)),
                                    rnd.choice([1e-6, 2e-6, 2.048e-6]), rnd.choice([0, 1e-7]),
                                    rnd.choice([5e-7, 1e-6]), kernel=kernel))
        prog.append(ns["IRWait"](rnd.choice([1e-6, 4e-6, 1e-5, 6e-9]), kernel=kernel))
        prog.append(ns["IRNop"](kernel=kernel))
        if rnd.random() < 0.1:
            prog.append(ns["IRJumpImmNormal"](landing, kernel=kernel))
            landing = None
    del prog[N:]
    # positions in program order, the landing marks dropped as the translator does
    pos = 0
    pending = []
    for ir in prog:
        if isinstance(ir, ns["IRPlaceholder"]):
            pending.append(ir.tag)
            continue
        for tag in pending:
            kernel.instr_target_map[tag] = pos
        pending = []
        kernel.instr_target_map[ir.tag] = pos
        pos += 1
    return prog


OURS = {name: getattr(_ir, name) for name in
        ("IRFrame", "IREnvelope", "IRNop", "IRMov", "IRWaitTrig", "IRPlayImm", "IRCapture",
         "IRWait", "IRDelay", "IRPlaceholder", "IRJumpImmNormal")}
PURE = {name: globals()["Py" + name] for name in OURS}


def check(a_list, b_list):
    """Same class sequence, same lines, same numbers (and same types)."""
    assert len(a_list) == len(b_list) == N
    for a, b in zip(a_list, b_list):
        assert type(a).__name__ == type(b).__name__[2:], (a, b)
        for get in (str, lambda x: x.overhead, lambda x: x.wait_time):
            va, vb = get(a), get(b)
            assert va == vb and type(va) is type(vb), (type(a).__name__, va, vb)
        if hasattr(b, "duration"):
            assert a.duration == b.duration and type(a.duration) is type(b.duration)


def best(fn, arg):
    times = []
    for _ in range(REPEAT):
        t0 = time.perf_counter()
        fn(arg)
        times.append(time.perf_counter() - t0)
    return min(times) / len(arg) * 1e9


def taking_turns(cases, rounds=7):
    """{name: best ns per item} for {name: (fn, items)}, the cases taking turns."""
    out = {name: float("inf") for name in cases}
    for _ in range(rounds):
        for name, (fn, items) in cases.items():
            t0 = time.perf_counter()
            fn(items)
            out[name] = min(out[name], (time.perf_counter() - t0) / len(items) * 1e9)
    return out


def of_class(irs, name, n=20_000):
    # one class alone, repeated up to n entries so that rare classes time too
    sub = [ir for ir in irs if type(ir).__name__ == name]
    return (sub * (n // len(sub) + 1))[:n]


def rendered(irs):
    """What the passes ask of each instruction: its text and its timing."""
    return [(str(ir), ir.overhead, ir.wait_time) for ir in irs]


OPS = {
    "str()": lambda irs: [str(ir) for ir in irs],
    "overhead": lambda irs: [ir.overhead for ir in irs],
    "wait_time": lambda irs: [ir.wait_time for ir in irs],
    "rendered": rendered,
}


class TextFloor:
    """str() of this costs the call protocol and a builtin making the text."""
    __str__ = functools.partial("movi %A{} {}".format, 3, 5)


class RenderFloor:
    """Rendering this costs the protocol of a rendered instruction and
    nothing else: a builtin making the text, builtin timing getters."""
    __str__ = functools.partial("witi {}".format, 74)
    overhead = property(id)
    wait_time = property(id)


def main():
    ours = build(OURS, Kernel())
    pure = build(PURE, Kernel())
    check(ours, pure)
    counts = {}
    for ir in ours:
        counts[type(ir).__name__] = counts.get(type(ir).__name__, 0) + 1
    print(f"{N} instructions: " + ", ".join(f"{k} {v}" for k, v in sorted(counts.items())))
    print(f"{'operation':<10} {'ours ns':>9} {'python ns':>10} {'ratio':>7}")
    for name, fn in OPS.items():
        t = taking_turns({"ours": (fn, ours), "pure": (fn, pure)}, rounds=REPEAT)
        print(f"{name:<10} {t['ours']:>9.1f} {t['pure']:>10.1f} {t['pure'] / t['ours']:>7.2f}")
    print()
    print(f"{'class':<16} {'str() ours':>10} {'python':>8} {'ratio':>6}   {'rendered ours':>13} {'python':>8} "
          f"{'ratio':>6}")
    for name in sorted(counts):
        mine, theirs = of_class(ours, name), of_class(pure, "Py" + name)
        t = taking_turns({"s ours": (OPS["str()"], mine), "s pure": (OPS["str()"], theirs),
                          "r ours": (rendered, mine), "r pure": (rendered, theirs)})
        print(f"{name:<16} {t['s ours']:>10.1f} {t['s pure']:>8.1f} {t['s pure'] / t['s ours']:>5.2f}x   "
              f"{t['r ours']:>13.1f} {t['r pure']:>8.1f} {t['r pure'] / t['r ours']:>5.2f}x")
    print()
    delays, pure_delays = of_class(ours, "IRDelay"), of_class(pure, "PyIRDelay")
    t = taking_turns({"floor": (rendered, [RenderFloor() for _ in range(20_000)]),
                      "ours": (rendered, delays), "pure": (rendered, pure_delays)})
    print(f"rendering floor, 20 000 objects with a builtin __str__ and builtin timing getters: "
          f"{t['floor']:.1f} ns; IRDelay rendered {t['ours']:.1f} ns ({t['ours'] / t['floor']:.2f}x the floor), "
          f"its twin {t['pure']:.1f} ns ({t['pure'] / t['floor']:.2f}x the floor)")
    floor = [TextFloor()] * 20_000
    mov = [_ir.IRMov(3, 5) for _ in range(20_000)]
    t = taking_turns({"floor": (OPS["str()"], floor), "mov": (OPS["str()"], mov),
                      "mov one": (OPS["str()"], mov[:1] * 20_000)}, rounds=15)
    print(f"call floor, str() of a builtin __str__ making the text: {t['floor']:.1f} ns; "
          f"str(IRMov(3, 5)) {t['mov one']:.1f} ns one instruction, {t['mov']:.1f} ns over 20 000 "
          f"({t['mov one'] / t['floor']:.2f}x / {t['mov'] / t['floor']:.2f}x the floor)")


if __name__ == "__main__":
    main()
