"""The nine default rules and the pass pipeline written in plain Python: the
reference of the rules' differential tests, of the pipeline's
(reference/pipeline.py) and of bench/bench_rules.py."""
import copy
import functools
import math

import numpy as np

from tarvok.zelvo import _rules
from tarvok.zelvo._ir import (FakeIR, FixIR, IRDelay, IREnvelope, IRJumpConditional, IRJumpImmNormal, IRNop,
                              IRWait, IRWaitDDR, IRWaitTrig, LoadDDRIR, OverlapIR, PreIR, ReconstitutionIR,
                              UnfixIR)


def check_list(obj, name="ir_list"):
    if type(obj) is not list:
        raise TypeError(f"Argument '{name}' has incorrect type (expected list, got {type(obj).__name__})")


class BaseRule:
    def __init__(self):
        self.ir_list = []

    def order_ins(self, ir_list, **kwargs):
        check_list(ir_list)
        return ir_list[:]


class SelectJumpTypeRule(BaseRule):
    def order_ins(self, ir_list, **kwargs):
        intra = kwargs.get("intra_enable", False)
        out = []
        for ir in ir_list:
            if isinstance(ir, IRJumpConditional):
                ir.intra_enable = intra
            out.append(ir)
        return out


def envelope_unit(block, iq):
    """What every envelope of a list is padded to: its block, or lcm(block,
    32) when the list holds an I/Q envelope; 0 when the block is below 1."""
    if block < 1:
        return 0
    return block * 32 // math.gcd(block, 32) if iq else block


def is_iq(ir):
    return getattr(ir, "envelope_type", None) == "complex"


def pad_envelope(ir, unit):
    samples = ir.envelope
    if not unit or not isinstance(samples, np.ndarray):
        return
    iq = is_iq(ir)
    if iq and samples.size % 2:
        raise ValueError(f"The {type(ir).__name__} instruction {ir.tag!r} is an I/Q envelope of {samples.size} "
                         "samples, an odd number: it has no two equal halves, I and Q, to pad to whole blocks")
    part = samples.size // 2 if iq else samples.size
    if part % unit == 0:
        return
    if unit > 131072:
        raise ValueError(f"The {type(ir).__name__} instruction {ir.tag!r} of {samples.size} samples cannot be "
                         f"padded to whole blocks of {unit} samples (da_srate * base_clock): envelope memory "
                         "holds 131072 samples")
    flat = np.asarray(samples).ravel()
    zeros = np.zeros(-part % unit, flat.dtype)
    ir.envelope = np.concatenate((flat[:part], zeros, flat[part:], zeros) if iq else (flat, zeros))


class EnvelopeRule(BaseRule):
    def order_ins(self, ir_list, **kwargs):
        check_list(ir_list)
        envelopes = [ir for ir in ir_list if isinstance(ir, IREnvelope)]
        others = [ir for ir in ir_list if not isinstance(ir, IREnvelope)]
        if envelopes:
            block = int(round(kwargs.get("da_srate", 8e9) * kwargs.get("base_clock", 4e-9)))
            unit = envelope_unit(block, any(is_iq(e) for e in envelopes))
        addr, arrays = 0, []
        for ir in envelopes:
            pad_envelope(ir, unit)
            n = len(ir)
            ir.envelope_slice = slice(addr, addr + n, 1)
            arrays.append(ir.envelope)
            addr += n
        np.frombuffer(b"".join(arrays))
        return envelopes + others


class PreConfigRule(BaseRule):
    def order_ins(self, ir_list, **kwargs):
        first, second = [], []
        for ir in ir_list:
            (first if isinstance(ir, PreIR) else second).append(ir)
        return first + second


class WitiRule(BaseRule):
    def order_ins(self, ir_list, **kwargs):
        return [ir for ir in ir_list if not (isinstance(ir, IRWait) and ir.wait_time == 0)]


class WtgAlign(BaseRule):
    def order_ins(self, ir_list, **kwargs):
        align = kwargs.get("trig_align_time", 12)
        out = []
        for ir in ir_list:
            if isinstance(ir, IRWaitTrig):
                ir.wait_time = align
            out.append(ir)
        return out


class BranchRule(BaseRule):
    def order_ins(self, ir_list, **kwargs):
        top, index, opened = [], 0, False
        for ir in ir_list:
            if isinstance(ir, PreIR):
                top.append(ir)
            elif isinstance(ir, UnfixIR):
                index = len(top)
                top.append(ir)
                opened = True
            elif opened:
                top[index].ir_sub.append(ir)
            else:
                top.append(ir)
        return top


class PlayDDRRule(BaseRule):
    def __init__(self):
        super().__init__()
        self.enable = False

    def order_ins(self, ir_list, **kwargs):
        width = kwargs.get("ddr_play_bwidth", 2)
        trig = kwargs.get("wait_trig", False)
        out = []
        for ir in ir_list:
            out.append(ir)
            if isinstance(ir, UnfixIR):
                ir.ir_sub = self.order_ins(ir.ir_sub, wait_trig=isinstance(ir, IRWaitTrig), **kwargs)
            elif isinstance(ir, LoadDDRIR):
                self.enable = True
                ir.b_width = width
                if trig:
                    ir.mode |= 1
                    trig = False
        return out if self.enable else ir_list


class AddJumpRule(BaseRule):
    def order_ins(self, ir_list, **kwargs):
        head_ir = IRNop()
        return copy.copy(ir_list) + [IRJumpImmNormal(head_ir), IRNop(), IRNop(), IRNop()]


def acq_olp_index(ir_list):
    check_list(ir_list)
    runs, current = [], []
    for i, ir in enumerate(ir_list):
        if isinstance(ir, OverlapIR):
            current.append(i)
        else:
            if len(current) >= 2:
                runs.append(current)
            current = []
    return runs


def cost(ir):
    if isinstance(ir, OverlapIR):
        return ir.wait_time
    if isinstance(ir, FakeIR):
        return ir.irhead
    return ir.overhead


def calculate_real_wait_time(index, ir_list):
    pre = ir_list[index - 1]
    pre.real_wait_time = pre.wait_time - cost(ir_list[index])
    return ir_list


def order_process(ir_list):
    check_list(ir_list)
    for i in range(len(ir_list)):
        ir = ir_list[i]
        if isinstance(ir, UnfixIR) or i == 0 or isinstance(ir, PreIR):
            continue
        if i == len(ir_list) - 1:
            ir.real_wait_time = ir.wait_time
        calculate_real_wait_time(i, ir_list)
    if len(ir_list) == 1:
        ir_list[0].real_wait_time = ir_list[0].wait_time
    return ir_list


def set_kernel(func):
    @functools.wraps(func)
    def wrapper(*args, **kwargs):
        result = func(*args, **kwargs)
        source = args[1] if len(args) > 1 else args[0]
        for ir in result:
            if isinstance(ir, UnfixIR):
                for sub in ir.ir_sub:
                    if isinstance(sub, (IRNop, IRDelay)):
                        sub.kernel = source.kernel
            if isinstance(ir, (IRNop, IRDelay)):
                ir.kernel = source.kernel
        return result
    return wrapper


def nops(ir, n, line=True):
    out = []
    for _ in range(n):
        nop = IRNop()
        if line:
            nop.line = ir.line
        out.append(nop)
    return out


def delay(ir, g):
    d = IRDelay((g - 5) * ir.kernel.compile_params["base_clock"])
    d.line = ir.line
    return [d] + nops(ir, 3)


class TimingRule(BaseRule):
    def order_ins(self, ir_list, **kwargs):
        check_list(ir_list)
        ir_list = ir_list[:]
        self.order_overlap(ir_list)
        order_process(ir_list)
        for ir in ir_list:
            if isinstance(ir, UnfixIR):
                order_process(ir.ir_sub)
                if ir.ir_sub:
                    first = ir.ir_sub[0]
                    ir.real_wait_time = ir.wait_time - (
                        first.wait_time if isinstance(first, OverlapIR) else first.overhead)
        return self.insert_ir(ir_list)

    def insert_ir(self, ir_list_ordered):
        out = []
        for ir in ir_list_ordered:
            if isinstance(ir, PreIR):
                out += self.append_preir(ir)
            elif isinstance(ir, UnfixIR):
                out += self.append_unfixir(ir)
            elif isinstance(ir, OverlapIR):
                out += self.append_overlapir(ir)
            elif isinstance(ir, FixIR):
                out += self.append_fixir(ir)
            elif isinstance(ir, ReconstitutionIR):
                out += self.append_reconstitutionir(ir)
            elif isinstance(ir, FakeIR):
                out += self.append_fakeir(ir)
        return out

    @set_kernel
    def append_preir(self, ir):
        n = ir.wait_time - ir.overhead
        out = [ir]
        if n > 0 and not isinstance(ir, IREnvelope):
            out += nops(ir, n)
        return out

    @set_kernel
    def append_overlapir(self, ir):
        g = ir.real_wait_time - ir.overhead
        return [ir] + (nops(ir, g) if g > 0 else [])

    @set_kernel
    def append_fixir(self, ir):
        g = ir.real_wait_time - ir.overhead
        if isinstance(ir, LoadDDRIR):
            return [ir, IRWaitDDR()] + nops(ir, 3, line=False)
        if g > 5:
            return [ir] + delay(ir, g)
        return [ir] + nops(ir, g)

    @set_kernel
    def append_fakeir(self, ir):
        g = ir.real_wait_time - ir.overhead
        if isinstance(ir, LoadDDRIR):
            return [ir, IRWaitDDR()] + nops(ir, 3, line=False)
        if g >= 5:
            return [ir] + delay(ir, g)
        return [ir] + nops(ir, g)

    @set_kernel
    def append_unfixir(self, ir):
        g = ir.real_wait_time - ir.overhead
        block = []
        for sub in ir.ir_sub:
            if isinstance(sub, PreIR):
                block += self.append_preir(sub)
            elif isinstance(sub, FixIR):
                block += self.append_fixir(sub)
            elif isinstance(sub, OverlapIR):
                block += self.append_overlapir(sub)
            elif isinstance(sub, ReconstitutionIR):
                block += self.append_reconstitutionir(sub)
            elif isinstance(sub, FakeIR):
                block += self.append_fakeir(sub)
        ir.ir_sub = block
        out = [ir] + nops(ir, ir.overhead - ir.irhead)
        return out + (delay(ir, g) if g > 5 else nops(ir, g))

    @set_kernel
    def append_reconstitutionir(self, ir):
        ir.real_wait_time - ir.overhead
        return ""

    def order_overlap(self, ir_list_ordered):
        for ir in ir_list_ordered:
            if isinstance(ir, UnfixIR):
                block = ir.ir_sub
                for run in acq_olp_index(block):
                    n = len(run)
                    for i in range(n):
                        m = i
                        for j in range(i + 1, n):
                            if block[run[j]].wait_time >= block[run[m]].wait_time:
                                m = j
                        block[run[i]], block[run[m]] = block[run[m]], block[run[i]]
        return ir_list_ordered


class Conveyor:
    def __init__(self, kernel):
        self.kernel = kernel

    @classmethod
    def with_kernel(cls, kernel):
        return cls(kernel).run()

    def run(self):
        kernel = self.kernel
        ir_list = copy.copy(kernel.instruction_list)
        rules = [cls() for cls in kernel.pass_params.get("rules", [])]
        for rule in rules:
            ir_list = rule.order_ins(ir_list, **kernel.compile_params, kernel=kernel)
        errors = []
        for checker in [cls() for cls in kernel.pass_params["checkers"]]:
            ir_list, found = checker.check_ir(ir_list)
            errors.extend(found)
        kernel.with_error(errors)
        for optimizer in [cls() for cls in kernel.pass_params["optimizers"]]:
            ir_list = optimizer.optimize_ir(ir_list)
        translator = kernel.pass_params["translate"]()
        return translator.translate_ir(ir_list, **kernel.compile_params, kernel=kernel)


RULE_NAMES = ["SelectJumpTypeRule", "EnvelopeRule", "PreConfigRule", "WitiRule", "WtgAlign", "BranchRule",
              "PlayDDRRule", "TimingRule", "AddJumpRule"]
OURS = [getattr(_rules, n) for n in RULE_NAMES]
PURE = [globals()[n] for n in RULE_NAMES]

# What the rules read of a kernel; its translator returns the list it is given.
class Translator:
    def translate_ir(self, ir_list, **kwargs):
        return ir_list


class Kernel:
    def __init__(self, name, rules):
        self.name = name
        self.compile_params = {"trig_align_time": 8, "ddr_play_bwidth": 3, "envelope_type": None,
                               "da_srate": 8e9, "ad_srate": 8e9, "base_clock": 4e-9,
                               "target_chnl_type": "da", "intra_enable": False}
        self.pass_params = {"rules": rules, "checkers": [], "optimizers": [], "translate": Translator}
        self.instr_target_map = {}
        self.instruction_list = []

    def with_error(self, errors):
        assert errors == []


def signature(irs):
    """What the schedule says of every instruction, blocks included."""
    out = []
    for ir in irs:
        row = [type(ir).__name__, ir.real_wait_time, ir.line, getattr(ir.kernel, "name", None), ir.wait_time,
               ir.overhead]
        for field in ("intra_enable", "envelope_slice", "b_width", "mode", "width"):
            row.append(getattr(ir, field, None))
        if isinstance(ir, IREnvelope):   # its samples, padded as the rule pads them
            row.append((ir.envelope.dtype.str, ir.envelope.tolist()))
        if isinstance(ir, UnfixIR):
            row.append(signature(ir.ir_sub))
        out.append(row)
    return out


def run_rules(rules, kernel, upto=None):
    irs = list(kernel.instruction_list)
    for cls in rules[:upto]:
        irs = cls().order_ins(irs, kernel=kernel, **kernel.compile_params)
    return irs
