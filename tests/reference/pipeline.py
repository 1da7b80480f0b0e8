"""The default optimizers and translators written in plain Python, with the
kernel the pipeline reads and random programs as the front-end lays them out:
the reference of the pipeline's differential tests and of
bench/bench_pipeline.py. The rules' twins come from reference/rules.py, the
checkers' from reference/checkers.py."""
import copy

import numpy as np

from tarvok.zelvo._ir import (FixIR, IRArbWaveform, IRDelay, IRDemodule, IREnvelope, IRFreqlist,
                              IRJumpConditional, IRJumpInside, IRNop, IRPlaceholder, IRPlaycImm, IRPlayImm, IRWait,
                              IRWaitTrig, IRWaveform, JumpImmIR, LoadDDRIR, OverlapIR, PreIR, UnfixIR)

from . import checkers, rules

def exact_list(value, name="ir_list"):
    if type(value) is not list:
        raise TypeError(f"Argument '{name}' has incorrect type (expected list, got {type(value).__name__})")


# ---- optimizers ------------------------------------------------------------------

class TwinJumpImmOptimizer:
    def optimize_ir(self, ir_list):
        exact_list(ir_list)
        return copy.copy(ir_list)


class TwinPlyiAmpOptimizer:
    def optimize_ir(self, ir_list):
        exact_list(ir_list)
        plays = (IRPlayImm, IRPlaycImm)
        for ir in ir_list:
            if isinstance(ir, plays):
                ir.amp = round(ir.amp)
            elif isinstance(ir, UnfixIR):
                for sub in ir.ir_sub:
                    if isinstance(sub, plays):
                        sub.amp = round(sub.amp)
        return ir_list


class TwinPlayDDROptimizer:
    def __init__(self):
        self.enable = False

    def optimize_ir(self, ir_list, **kwargs):
        opened = []
        for ir in ir_list:
            if isinstance(ir, IRWaitTrig):
                opened.extend(ir.ir_sub)
            else:
                opened.append(ir)
        out, pending = [], []
        for x in opened:
            if isinstance(x, IRWait):
                pending.append(x)
            if isinstance(x, LoadDDRIR):
                for w in pending:  # each wait lands on the first DDR play after it
                    x.wave_delay = w.width
                    x.mode = x.mode | 2
                pending = []
            if isinstance(x, (IRWait, IRDelay)):
                continue
            if isinstance(x, LoadDDRIR):
                self.enable = True
            out.append(x)
        if self.enable:
            return out
        if not isinstance(ir_list, list):
            raise TypeError(f"Expected list, got {type(ir_list).__name__}")
        return ir_list


# ---- flattening ---------------------------------------------------------------------

def count_nops(start_index, ir_list):
    count = 1
    for i in range(100):
        pos = start_index + i + 1
        if pos >= len(ir_list):
            return count
        x = ir_list[pos]
        if isinstance(x, IRNop):
            count += 1
        if isinstance(x, IRDelay):
            return x.wait_time + 5 + count
    return count


def ir_calculate_time(index, ir_list):
    if index >= len(ir_list) - 1:
        raise IndexError("Index out of bounds")
    current = ir_list[index]
    if isinstance(current, FixIR) or (isinstance(current, UnfixIR) and not (isinstance(current, PreIR)
                                                                           and not isinstance(current, IRNop))):
        nxt = ir_list[index + 1]
        return nxt.wait_time if isinstance(nxt, IRDelay) else count_nops(index, ir_list)
    if (isinstance(current, PreIR) and not isinstance(current, IRNop)) or isinstance(current, OverlapIR):
        return count_nops(index, ir_list)
    return 0


def unfold(ir_list):
    """The flat program and the landing tags that map to a position without
    being borne there."""
    exact_list(ir_list)
    seq, i, n = [], 0, len(ir_list)
    while i < n:
        ir = ir_list[i]
        if isinstance(ir, UnfixIR):
            seq.append(ir)
            ir_calculate_time(i, ir_list)
            i += 1
            # the head's padding: its run of nops and delays
            while i < n and not isinstance(ir_list[i], (UnfixIR, JumpImmIR)) and isinstance(ir_list[i],
                                                                                            (IRNop, IRDelay)):
                seq.append(ir_list[i])
                i += 1
            seq.extend(x for x in ir.ir_sub if not isinstance(x, IRWait))
            continue
        if not isinstance(ir, IRWait):
            seq.append(ir)
        i += 1
    flat, moves, pending = [], [], []
    for x in seq:
        if isinstance(x, IRPlaceholder):
            pending.append(x)
            continue
        flat.append(x)
        keeps_own = isinstance(x, (IRJumpConditional, IRJumpInside))
        for k, p in enumerate(pending):
            moves.append((p, len(flat) - 1, not keeps_own and k == len(pending) - 1))
        pending = []
    moves += [(p, len(flat), False) for p in pending]
    aliases = []
    for p, pos, rename in moves:
        if rename:
            flat[pos].tag = p.tag
        else:
            aliases.append((p.tag, pos))
    return flat, aliases


def unfold_ir(ir_list):
    return unfold(ir_list)[0]


# ---- translators --------------------------------------------------------------------

class TwinNormalTranslator:
    @staticmethod
    def get_longest_len(ir_list):
        return max(len(ins) for ins in ir_list)

    def gen_program(self, ir_list, kernel):
        exact_list(ir_list)
        flat, aliases = unfold(copy.copy(ir_list))
        positions, a = {}, 0
        for pos, ir in enumerate(flat):
            while a < len(aliases) and aliases[a][1] == pos:
                positions[aliases[a][0]] = pos
                a += 1
            positions[ir.tag] = pos
        for tag, pos in aliases[a:]:
            positions[tag] = pos
        kernel.instr_target_map.update(positions)
        for ir in flat:
            ir.index_map = positions
        width = self.get_longest_len(flat) + 8
        return "\n".join(f"{ir: <{width}}# seq idx tag {pos}" for pos, ir in enumerate(flat))

    def get_envelope(self, ir_list):
        start, arrays, rest = 0, [], []
        for ir in ir_list:
            if isinstance(ir, IREnvelope):
                ir.envelop_slice = slice(start, start + len(ir), 1)
                arrays.append(ir.envelope)
                start += len(ir)
            else:
                rest.append(ir)
        return np.frombuffer(b"".join(bytes(a) for a in arrays)), rest

    @staticmethod
    def _take(ir_list, cls, field):
        value, rest = [], []
        for ir in ir_list:
            if isinstance(ir, cls):
                value = getattr(ir, field)
            else:
                rest.append(ir)
        return value, rest

    def get_waveform(self, ir_list):
        return self._take(ir_list, IRWaveform, "wave")

    def get_freqlist(self, ir_list):
        return self._take(ir_list, IRFreqlist, "freq_list")

    def get_demodulation(self, ir_list):
        return self._take(ir_list, IRDemodule, "wave")

    def translate_ir(self, ir_list, **kwargs):
        exact_list(ir_list)
        kernel = kwargs.get("kernel")
        if kernel is None:
            raise RuntimeError("kernel is None")
        envelopes, rest = self.get_envelope(ir_list)
        waveform, rest = self.get_waveform(rest)
        freqs, rest = self.get_freqlist(rest)
        demod, rest = self.get_demodulation(rest)
        return envelopes, waveform, freqs, demod, self.gen_program(rest, kernel)


class TwinPlayDDRTranslator(TwinNormalTranslator):
    @staticmethod
    def get_arb(ir_list, b_width):
        offset, names, rest = 0, [], []
        for ir in ir_list:
            if isinstance(ir, IRArbWaveform):
                ir.offset = offset
                offset += ir.waveform.size * b_width
                names.append(ir.name)
            else:
                rest.append(ir)
        return names, rest

    def translate_ir(self, ir_list, **kwargs):
        exact_list(ir_list)
        kernel = kwargs.get("kernel")
        if kernel is None:
            raise RuntimeError("kernel is None")
        names, rest = self.get_arb(ir_list, kwargs.get("ddr_play_bwidth", 2))
        return names, self.gen_program(rest, kernel)


# ---- the pipeline -----------------------------------------------------------------

DEFAULT_PARAMS = {"trig_align_time": 0, "ddr_play_bwidth": 2, "envelope_type": None, "da_srate": 8e9,
                  "ad_srate": 8e9, "base_clock": 4e-9, "target_chnl_type": "da", "intra_enable": False}


class PipelineKernel:
    """What the pipeline reads of a kernel: its instruction list, parameters,
    jump-target map and the raising of the first checker record (with the
    front-end's error text, without its source line)."""

    def __init__(self, pass_params, **params):
        self.instruction_list = []
        self.compile_params = dict(DEFAULT_PARAMS, **params)
        self.pass_params = pass_params
        self.instr_target_map = {}
        self.records = None  # what the checkers reported

    def with_error(self, error):
        if type(error) is not list:
            raise TypeError("with_error takes a list")
        self.records = error
        if error:
            e = error[0]
            raise e[4]("[error " + str(e[5]) + "]-" + e[4].__name__ + " " + str(e[0]))


def twin_conveyor(kernel):
    """The pass pipeline in pure Python."""
    return rules.Conveyor.with_kernel(kernel)


# ---- programs as the front-end lays them out -----------------------------------------

class ProgramBuilder:
    """Builds a kernel's flat instruction list statement by statement, as the
    front-end does: every instruction with its kernel and source line, landing
    placeholders bearing the tags of their jumps. Tags are numbered, so two
    builds from one seed give equal programs."""

    def __init__(self, kernel, rng, ddr=False):
        import tarvok.zelvo._ir as ir
        self.ir, self.k, self.rng, self.out = ir, kernel, rng, []
        self.count, self.line = 0, 1
        r = rng
        self.envelopes = [self.add(ir.IREnvelope,
                                   np.linspace(0.05, r.choice([0.5, 1.0]), r.choice([64, 100, 256, 320])))
                          for _ in range(r.randint(1, 3))]
        if r.random() < 0.3:   # an I/Q envelope, its halves of one length
            n = r.choice([50, 64, 100])
            self.envelopes.append(self.add(ir.IREnvelope, np.linspace(0.05, 0.5, n), np.linspace(-0.5, 0.5, n)))
        for i in range(r.randint(1, 3)):
            self.add(ir.IRFrame, r.choice([1e8, 2.5e8, 4e9]), 0.0, i)
        if r.random() < 0.5:
            self.add(ir.IRProt, [1e8], complex(r.choice([0.5, 1.0]), 0.25))
            self.add(ir.IRPth, [1e8], 0.25)
        if r.random() < 0.5:
            self.add(ir.IRWaveform, np.zeros((2, 16)), kernel=False)
            self.add(ir.IRFreqlist, [1e8, 2e8], kernel=False)
            self.add(ir.IRDemodule, np.ones(16), kernel=False)
        self.add(ir.IRMov, 1, 0, kernel=False)
        self.arb = [self.add(ir.IRArbWaveform, f"arb{i}", np.zeros(r.choice([32, 100]))) for i in range(2)] \
            if ddr else []
        self.ddr = ddr

    def add(self, cls, *args, kernel=True, tag=None):
        ins = cls(*args, kernel=self.k) if kernel else cls(*args)
        self.count += 1
        ins.tag = tag or f"{self.count:010x}"
        ins.line = self.line
        self.out.append(ins)
        return ins

    def play(self):
        """An immediate play, an I/Q one of an I/Q envelope as the library makes it."""
        env = self.rng.choice(self.envelopes)
        cls = self.ir.IRPlaycImm if env.envelope_type == "complex" else self.ir.IRPlayImm
        self.add(cls, 0, env, self.rng.choice([0.5, 0.25, 1.0]), 0, 1e8, 0.0)

    def statement(self, depth=0):
        ir, r = self.ir, self.rng
        self.line += 1
        kind = r.choices(["play", "wait", "capture", "frame", "if", "loop", "ddr", "reg"],
                         [6, 3, 2, 2, 2 if depth < 2 else 0, 1 if depth < 1 else 0, 3 if self.ddr else 0, 1])[0]
        if kind == "play":
            self.play()
        elif kind == "wait":
            self.add(ir.IRWait, r.choice([4e-9, 1e-7, 4e-7, 1e-6]))
        elif kind == "capture":
            self.add(ir.IRCapture, [1e8], r.choice([1.6e-8, 6.4e-8, 1e-6]), 0.0, 1.6e-8)
            self.add(ir.IRJmov, 2)
        elif kind == "frame":
            if r.random() < 0.5:
                self.add(ir.IRWait, 4e-7)  # a frame reset must follow a wait
                self.add(ir.IRFrameRst)
            else:
                self.add(ir.IRFrameAdd, [0], 1e6, 0.5)
        elif kind == "reg":
            self.add(r.choice([ir.IRNsw, ir.IRNlw]), 2)
        elif kind == "ddr":
            wave = r.choice(self.arb)
            if r.random() < 0.3:
                self.add(ir.IRLoadDDRImm, wave)
            self.add(ir.IRPlayDDRImm, wave)
        elif kind == "if":
            # if r == v: <if part> else: <else part>
            jump = self.add(ir.IRJumpConditional, 2, 1, 2)
            for _ in range(r.randint(0, 2)):
                self.statement(depth + 1)
            inside = self.add(ir.IRJumpInside, kernel=False)
            self.add(ir.IRPlaceholder, kernel=False, tag=jump.tag)
            for _ in range(r.randint(1, 2)):
                self.statement(depth + 1)
            self.add(ir.IRPlaceholder, kernel=False, tag=inside.tag)
        else:
            # while True: <body>
            top = self.add(ir.IRPlaceholder, kernel=False)
            for _ in range(r.randint(1, 3)):
                self.statement(depth + 1)
            self.add(ir.IRJumpImmNormal, top)

    def shot(self, statements):
        """One trigger wait and what follows it."""
        self.line += 1
        self.add(self.ir.IRWaitTrig)
        if self.ddr:
            self.line += 1
            self.add(self.ir.IRPlayDDRImm, self.rng.choice(self.arb))
        for _ in range(statements):
            self.statement()


def random_program(kernel, rng, shots=None, ddr=None):
    """A random kernel program: set-up, then trigger-wait shots."""
    ddr = rng.random() < 0.25 if ddr is None else ddr
    b = ProgramBuilder(kernel, rng, ddr)
    for _ in range(rng.randint(1, 4) if shots is None else shots):
        b.shot(rng.randint(0, 5))
    kernel.instruction_list = b.out
    return b.out


# ---- the default passes, by name ---------------------------------------------------

RULES = rules.RULE_NAMES
CHECKERS = checkers.DEFAULT
OPTIMIZERS = ["JumpImmOptimizer", "PlyiAmpOptimizer", "PlayDDROptimizer"]


def default_passes(ours):
    if ours:
        from tarvok.zelvo import _checkers, _optimizations, _rules, _translate
        return {"rules": [getattr(_rules, n) for n in RULES],
                "checkers": [getattr(_checkers, n) for n in CHECKERS],
                "optimizers": [getattr(_optimizations, n) for n in OPTIMIZERS],
                "translate": _translate.NormalTranslator}
    return {"rules": rules.PURE, "checkers": [checkers.TWINS[n] for n in CHECKERS],
            "optimizers": [globals()["Twin" + n] for n in OPTIMIZERS], "translate": TwinNormalTranslator}
