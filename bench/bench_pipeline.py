"""The whole default pass pipeline against the same passes written in pure
Python.

The pure-Python passes (`Twin*`, `twin_conveyor`) are also the reference of
the differential tests of the pipeline."""
import copy
import os
import sys

import numpy as np

if "tarvok" not in sys.modules:
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from tarvok.zelvo._ir import (FixIR, IRDelay, IRDemodule, IREnvelope, IRFreqlist, IRJumpConditional,  # noqa: E402
                              IRJumpInside, IRNop, IRPlaceholder, IRPlayImm, IRWait, IRWaitTrig, IRWaveform,
                              JumpImmIR, LoadDDRIR, OverlapIR, PreIR, UnfixIR, IRArbWaveform)


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
        for ir in ir_list:
            if isinstance(ir, IRPlayImm):
                ir.amp = round(ir.amp)
            elif isinstance(ir, UnfixIR):
                for sub in ir.ir_sub:
                    if isinstance(sub, IRPlayImm):
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
