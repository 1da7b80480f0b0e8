"""Assembler throughput against the same assembler written in pure Python.

One channel of mixed records at three sizes, loaded and assembled by the
Assembler and by its pure-Python twin (the twin records of the records
benchmark and a direct Python version of loading, linking and the memory
images), checked once to give the same images; prints the time per record of
both and their ratio, how far the per-record time drifts with size (1 =
linear), then the whole default map with every drive row full."""
import bisect
import copy
import math
import operator
import os
import sys
import time
import uuid
from collections import ChainMap

import numpy as np

BENCH = os.path.dirname(os.path.abspath(__file__))
if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(BENCH))
if BENCH not in sys.path:
    sys.path.insert(0, BENCH)
from tarvok.compiler import ostrane as o  # noqa: E402
import bench_records as rec  # noqa: E402

ROW_WORDS = 81920


# ---- the reference: the assembler in plain Python ------------------------------

class PyAssembler:
    def __init__(self, ch_map=None):
        if ch_map is None:
            ch_map = {1: [3, 4, 5, 6, 7, 8], 2: [11, 12, 13, 14, 15, 16]}
        self.ch_map = ch_map
        drives = [(p, d) for p, ds in ch_map.items() for d in ds]
        self.ad_delay = {p: rec.PyQNumber() for p in ch_map}
        self.da_delay = {d: rec.PyQNumber() for _, d in drives}
        self.capture_count = {p: [] for p in ch_map}
        self.capture_points = {p: [] for p in ch_map}
        self.drive2probe = {d: p for p, d in drives}
        self.raw_cmdq = {d: [] for _, d in drives}
        self.probe_cmdq = {p: [] for p in ch_map}
        self.drive_cmdq = {d: [] for _, d in drives}
        self.envelop_cache = {d: np.zeros(rec.CFG["envelope_cache"] // 2, dtype=np.int16) for _, d in drives}
        self.frame_symbol = {d: {} for _, d in drives}
        self.envelop_symbol = {d: {} for _, d in drives}
        self.drive_symbol = {d: {} for _, d in drives}
        self.probe_symbol = {p: {} for p in ch_map}

    def set_probe_delay(self, ch_id, delay):
        self.ad_delay[ch_id].value = delay

    def set_chnl_cmdq(self, ch_id, cmdq):
        if ch_id not in self.drive2probe:
            raise rec.PyAssemblyError(f"OUT channel {ch_id} does not exist")
        p = self.drive2probe[ch_id]
        self.capture_count[p] = []
        self.capture_points[p] = []
        self.raw_cmdq[ch_id] = cmdq
        self.envelop_symbol[ch_id], cmdq = self.extract_envelop(ch_id, cmdq)
        self.frame_symbol[ch_id] = self.extract_frame(cmdq)
        (self.drive_cmdq[ch_id], self.probe_cmdq[p], self.drive_symbol[ch_id],
         self.probe_symbol[p]) = self.divide_cmd(ch_id, cmdq)

    def extract_envelop(self, ch_id, cmdq):
        if type(cmdq) is not list:
            raise TypeError("cmdq")
        envelopes, out = [], []
        for c in cmdq:
            if isinstance(c, rec.PyEnvelop):
                envelopes.append(c)
            else:
                out.append(copy.copy(c))
        cache = self.envelop_cache[ch_id]
        cache[:16] = rec.CFG["envelope_head"]
        cache[16:] = 0
        start, table = 0, {}
        step = rec.CFG["envelope_step"]
        for env in envelopes:
            data = bytes(env)
            length = len(data)
            end = start + (length + step - 1) // step * step
            first = 16 + start // 2
            cache[first:first + length // 2] = np.frombuffer(data, dtype=rec.CFG["envelope_dtype"])
            env.envelop_slice = slice(start, end, length)
            table[env.tag] = env
            start = end
        return table, out

    @staticmethod
    def extract_frame(cmdq):
        table, n = {}, 0
        for c in cmdq:
            if isinstance(c, rec.PyFrame):
                c.frame_idx = n
                table[c.tag] = c
                n += 1
        return table

    def divide_cmd(self, ch_id, cmdq):
        dq, pq, dtab, _ = self._link_wave(ch_id, cmdq)
        pq, ptab = self._optimize_probe_q(pq)
        self._link_jump(dq, pq, dtab, ptab)
        return dq, pq, dtab, ptab

    def _link_wave(self, drive_ch, cmdq):
        look = ChainMap(self.frame_symbol[drive_ch], self.envelop_symbol[drive_ch])
        dq, pq, dtab, ptab = [], [], {}, {}
        p = self.drive2probe[drive_ch]
        da, ad = self.da_delay[drive_ch], self.ad_delay[p]
        counts, points = self.capture_count[p], self.capture_points[p]
        counts.append(0)
        points.append([])
        step = rec.CFG["capture_step"]
        items, list_pos = [], []  # (record, kind, overhead, probe delay after it); list position per drive record
        for i, c in enumerate(cmdq):
            if hasattr(c, "frame_idx") and hasattr(c, "frame"):
                if c.frame not in look:
                    raise rec.PyAssemblyError(f"The frame tag required by instruction {c} does not exist")
                c.frame_idx = look[c.frame].frame_idx
            if hasattr(c, "envelop_slice") and hasattr(c, "envelop"):
                if c.envelop not in look:
                    raise rec.PyAssemblyError(f"The envelop tag required by instruction {c} does not exist")
                c.envelop_slice = look[c.envelop].envelop_slice
            if isinstance(c, rec.PyCapture):
                width = len(c) * step
                dq.append(rec.PyPlayZero(c.tag, width))
                list_pos.append(i)
                counts[-1] += 1
                points[-1].append(width)
                items.append((c, "capture", None, False))
            elif isinstance(c, rec.PyWaitTrig):
                counts.append(0)
                points.append([])
                dq.append(c)
                list_pos.append(i)
                dtab[dq[-1].tag] = len(dq) - 1
                if da:
                    dq.append(rec.PyPlayZero(self._tag(), da))
                    list_pos.append(-1)
                items.append((c, "trig", None, bool(ad)))
            else:
                dq.append(c)
                list_pos.append(i)
                items.append((c, kind_of(c), c.overhead, False))
            dtab[dq[-1].tag] = len(dq) - 1
        weight = weights(items, dtab, list_pos)
        first = rec.PyProbe(self._tag())
        pq.append(first)
        ptab[first.tag] = 0
        for i, (c, kind, overhead, probe_delay) in enumerate(items):
            if kind == "capture":
                c.tag = self._tag()
                pq.append(c)
            elif kind == "trig":
                pq.append(rec.PyProbe(self._tag()))
                ptab[pq[-1].tag] = len(pq) - 1
                if probe_delay:
                    pq.append(rec.PyTrigDelay(self._tag(), ad))
            else:
                w = weight[i] if weight else 1
                pq.append(rec.PyTrigDelay(self._tag(), overhead if w == 1 else 0.0 if w == 0 else overhead * w))
            ptab[pq[-1].tag] = len(pq) - 1
        pq.append(rec.PyPJump(self._tag(), first.tag))
        ptab[pq[-1].tag] = len(pq) - 1
        return dq, pq, dtab, ptab

    def _optimize_probe_q(self, queue):
        out, table, run = [], {}, []
        for w in queue:
            if isinstance(w, rec.PyTrigDelay):
                run.append(w)
                continue
            delay = 0
            for d in run:
                delay = delay + float(d.delay)
            if delay != 0:
                out.append(rec.PyTrigDelay(self._tag(), delay))
                table[out[-1].tag] = len(out) - 1
            out.append(w)
            table[w.tag] = len(out) - 1
            run = []
        return out, table

    @staticmethod
    def _link_jump(dq, pq, dtab, ptab):
        for q, tab in ((dq, dtab), (pq, ptab)):
            for c in q:
                if hasattr(c, "ins_idx") and hasattr(c, "target"):
                    c.ins_idx = tab[c.target]
        return dq, pq

    @staticmethod
    def _tag():
        return uuid.uuid4().hex[:10]

    def assemble(self):
        envs, drives = {}, {}
        for p, chans in self.ch_map.items():
            image = np.zeros((len(chans), ROW_WORDS), dtype=np.uint32)
            for i, d in enumerate(chans):
                words = np.frombuffer(b"".join([bytes(c) for c in self.drive_cmdq[d]]), dtype=np.int32)
                image[i, :words.size] = words
            drives[p] = image
            envs[p] = np.stack([self.envelop_cache[d] for d in chans])
        probes = {p: np.frombuffer(b"".join([bytes(w) for w in q]), dtype=np.int32)
                  for p, q in self.probe_cmdq.items()}
        return envs, drives, probes


# ---- the reference: how often the probe side counts each drive record -----------

JUMPS = ("jump", "reg", "judge", "other")


def kind_of(c):
    if isinstance(c, rec.PyJump):
        return "jump"
    if isinstance(c, rec.PyJumpWithReg):
        return "reg"
    if isinstance(c, rec.PyJumpWithJudge):
        return "judge"
    if isinstance(c, rec.PyMov):
        return {"=": "set", "+": "add"}.get(c.type, "mov") if isinstance(c.type, str) else "mov"
    return "other" if hasattr(c, "ins_idx") and hasattr(c, "target") else "plain"


def exact_int(v):
    if isinstance(v, float) or not hasattr(type(v), "__index__"):
        return None
    return operator.index(v)


def pass_count(v0, pre, post, value):
    """The smallest p >= 1 with v0 + p*pre + (p-1)*post == value, or None."""
    per, rest = pre + post, value - v0 + post
    if per == 0:
        return 1 if rest == 0 else None
    if rest % per:
        return None
    p = rest // per
    return p if p >= 1 else None


class Node:
    def __init__(self, loop, parent, parent_part, open_):
        self.loop, self.parent, self.parent_part, self.open = loop, parent, parent_part, open_
        self.end, self.exit, self.back, self.reg, self.pre, self.post = 0, -1, -1, None, [], []


def analyse(recs):
    """(nodes, owner, part) of properly nested counted loops and branches, or None.
    recs: (kind, target list position or -1, register or None) per record."""
    n = len(recs)
    owner, part = [-1] * n, ["level"] * n
    back_of, landed, moves = [-1] * n, [False] * n, {}
    for i, (kind, target, reg) in enumerate(recs):
        if kind in ("set", "add", "mov"):
            if reg is not None:
                moves.setdefault(reg, []).append(i)
            continue
        if kind not in JUMPS:
            continue
        if kind == "other" or target < 0:
            return None
        landed[target] = True
        if target <= i:
            if kind != "jump" or back_of[target] >= 0:
                return None
            back_of[target] = i
    nodes = []

    def skip(lo, hi, node):
        for q in range(lo, hi):
            if recs[q][0] in JUMPS or landed[q] or back_of[q] >= 0:
                return False
            owner[q], part[q] = node, "skip"
        return True

    frames = [[-1, "level", n, -1]]  # node, part, end, where a loop's exit test lands
    i, body_start = 0, False
    while True:
        while len(frames) > 1 and i == frames[-1][2]:
            node_i, _, _, resume = frames[-1]
            node, outer_hi = nodes[node_i], frames[-2][2]
            if not node.loop:
                node.end = i
                frames.pop()
                continue
            if node.exit < 0 or resume > outer_hi:
                return None
            owner[i], part[i] = node_i, "post"
            if not skip(i + 1, resume, node_i):
                return None
            kind, _, reg = recs[node.open]
            if kind != "set" or reg is None or reg != node.reg:
                return None
            on_reg = moves.get(node.reg, [])
            for q in on_reg[bisect.bisect_right(on_reg, node.open):bisect.bisect_right(on_reg, node.back)]:
                if recs[q][0] != "add" or owner[q] != node_i:
                    return None
                (node.pre if q < node.exit else node.post).append(q)
            node.end = i = resume
            frames.pop()
        if i == n:
            return nodes, owner, part
        f = frames[-1]
        kind, target, reg = recs[i]
        if back_of[i] >= 0 and not body_start:
            return None
        body_start = False
        owner[i], part[i] = f[0], f[1]
        if i + 1 < n and back_of[i + 1] >= 0:
            back = back_of[i + 1]
            if kind != "set" or back >= f[2]:
                return None
            nodes.append(Node(True, f[0], f[1], i))
            nodes[-1].back = back
            frames.append([len(nodes) - 1, "pre", back, -1])
            i, body_start = i + 1, True
            continue
        if kind not in JUMPS:
            i += 1
            continue
        if target <= i:
            return None
        in_loop = f[0] >= 0 and nodes[f[0]].loop
        if kind == "jump":
            if not (f[1] == "a" and target >= f[2]) or target > frames[-2][2] or not skip(i + 1, f[2], f[0]):
                return None
            i, f[1], f[2] = f[2], "b", target
            continue
        if in_loop and target > f[2]:
            loop = nodes[f[0]]
            if kind != "reg" or reg is None or loop.exit >= 0:
                return None
            loop.exit, loop.reg = i, reg
            f[3], f[1] = target, "post"
            i += 1
            continue
        if target > f[2]:
            return None
        nodes.append(Node(False, f[0], f[1], i))
        frames.append([len(nodes) - 1, "a", target, -1])
        i += 1


def runs(k, seconds):
    """k runs of a part taking `seconds`, for comparing times."""
    if not seconds:
        return 0.0
    try:
        return float(k) * seconds
    except OverflowError:
        return math.inf * seconds


def weights(items, dtab, list_pos):
    """The weight of each item, or None when every record counts once; refusals raise."""
    if not any(kind in JUMPS for _, kind, _, _ in items):
        return None
    recs = []
    for c, kind, _, _ in items:
        target, reg = -1, None
        if kind in JUMPS and kind != "other":
            try:
                d = dtab.get(getattr(c, "target", None))
            except TypeError:  # an unhashable target: linking its jumps says so
                d = None
            target = list_pos[d] if d is not None else -1
        if kind in ("reg", "set", "add", "mov"):
            reg = exact_int(c.reg)
            reg = reg if reg is not None and -2**63 <= reg < 2**63 else None
        recs.append((kind, target, reg))
    found = analyse(recs)
    if not found or not found[0]:
        return None
    nodes, owner, part = found
    value = lambda q: exact_int(items[q][0].value)  # noqa: E731
    count = {}
    for x, node in enumerate(nodes):
        if node.loop:
            vs = [value(node.open), value(node.exit)] + [value(q) for q in node.pre + node.post]
            count[x] = None if None in vs else pass_count(
                vs[0], sum(value(q) for q in node.pre), sum(value(q) for q in node.post), vs[1])
    branches = any(not node.loop for node in nodes)
    seconds = [float(o) if o is not None and branches else 0.0 for _, _, o, _ in items]
    time = [dict.fromkeys(("pre", "post", "a", "b"), 0.0) for _ in nodes]
    for i, o in enumerate(owner):
        if o >= 0 and part[i] != "skip":
            time[o][part[i]] += seconds[i]
    factor, unsettled, culprit = [None] * len(nodes), [False] * len(nodes), [-1] * len(nodes)
    for x in reversed(range(len(nodes))):
        node = nodes[x]
        if node.loop:
            k = count[x]
            factor[x] = {"pre": 1, "post": 0} if k in (None, 1) else {"pre": k, "post": k - 1}
            t = time[x]["pre"] if k in (None, 1) else runs(k, time[x]["pre"]) + runs(k - 1, time[x]["post"])
            own = k is None
        else:
            a, b = time[x]["a"], time[x]["b"]
            own = not abs(a - b) <= 1e-12
            take_b = own and b < a
            factor[x] = {"a": 0 if take_b else 1, "b": 1 if take_b else 0}
            t = b if take_b else a
        if own:
            unsettled[x], culprit[x] = True, x
        if node.parent >= 0:
            time[node.parent][node.parent_part] += t
            if unsettled[x]:
                unsettled[node.parent], culprit[node.parent] = True, culprit[x]
    refuse(items, nodes, owner, part, count, unsettled, culprit)
    part_weight = []
    for x, node in enumerate(nodes):
        outer = 1 if node.parent < 0 else part_weight[node.parent].get(node.parent_part, 0)
        part_weight.append({p: outer * f for p, f in factor[x].items()})
    return [1 if o < 0 else part_weight[o].get(part[i], 0) for i, o in enumerate(owner)]


def refuse(items, nodes, owner, part, count, unsettled, culprit):
    kinds = [kind for _, kind, _, _ in items]
    captures = "capture" in kinds
    ends = sorted(range(len(nodes)), key=lambda x: nodes[x].end)
    pending, e = -1, 0
    for i, kind in enumerate(kinds):
        while e < len(ends) and nodes[ends[e]].end <= i:
            if pending < 0 and unsettled[ends[e]]:
                pending = culprit[ends[e]]
            e += 1
        if kind != "capture" and not (kind == "trig" and captures):
            continue
        why, block, o, p = None, -1, owner[i], part[i]
        while o >= 0 and why is None:
            node = nodes[o]
            if not node.loop:
                why = "branch"
            elif count[o] != 1:
                why = "loop"
            elif p != "pre":
                why = "after"
            block, p, o = o, node.parent_part, node.parent
        if why is None and kind == "capture" and pending >= 0:
            why, block = "follows", pending
        if why is None:
            if kind == "trig":
                pending = -1
            continue
        node = nodes[block]
        name = ("the loop " if node.loop else "the branch ") + repr(items[node.exit if node.loop else node.open][0])
        msg = "The probe program cannot branch: the " + ("capture " if kind == "capture" else "trigger wait ")
        msg += repr(items[i][0])
        if why == "follows":
            msg += f" follows {name} before the next trigger wait, and " + (
                "its pass count is unknown" if node.loop else "its paths take different times")
        elif why == "branch":
            msg += f" stands on a path of {name}"
        elif why == "loop":
            msg += f" stands in {name}, of " + (
                f"{count[block]} passes" if count[block] is not None else "an unknown number of passes")
        else:
            msg += f" stands after the exit test of {name}, of one pass, and never runs"
        if kind == "trig":
            later = [j for j in range(i + 1, len(kinds)) if kinds[j] == "capture"]
            first = later[0] if later else kinds.index("capture")
            msg += f", so the probe side would fall out of step with the capture {items[first][0]!r}"
        raise rec.PyAssemblyError(msg)


# ---- one program, from either family ---------------------------------------

OURS = {"Envelop": o.QInsEnvelop, "Frame": o.QInsFrame, "PlayWave": o.QInsPlayWave, "Capture": o.QInsCapture,
        "WaitTrig": o.QInsWaitTrig, "Jump": o.QInsJump, "JumpWithReg": o.QInsJumpWithReg,
        "JumpWithJudge": o.QInsJumpWithJudge, "PlayZero": o.QInsPlayZero, "Mov": o.QInsMov, "End": o.QInsEnd}
TWIN = {"Envelop": rec.PyEnvelop, "Frame": rec.PyFrame, "PlayWave": rec.PyPlayWave, "Capture": rec.PyCapture,
        "WaitTrig": rec.PyWaitTrig, "Jump": rec.PyJump, "JumpWithReg": rec.PyJumpWithReg,
        "JumpWithJudge": rec.PyJumpWithJudge, "PlayZero": rec.PyPlayZero, "Mov": rec.PyMov, "End": rec.PyEnd}
CYCLE = 20


def program(n, ns=OURS):
    """n drive records (plus one envelope per 50): frames and envelopes up front, then cycles of 20 records,
    each a loop of three plays run three times, a branch on a judgement bit between two plays of the same
    length, a capture, a trigger wait, plays, zero-plays and moves; the records left over after the last
    whole cycle are zero-plays. Every record but the envelopes becomes one drive word."""
    n_env = max(1, n // 50)
    recs = [ns["Envelop"](f"e{i}", np.full(64, 0.5)) for i in range(n_env)]
    recs += [ns["Frame"](f"f{i}", 1e8 + i) for i in range(4)]
    body = n - len(recs) + n_env  # envelopes leave the drive queue

    def play(i):
        return ns["PlayWave"](f"p{i}", f"f{i % 4}", f"e{i % n_env}", 0.5, 1e6, 0.1)

    whole = (body - 1) // CYCLE * CYCLE
    for i in range(body - 1):
        k = i % CYCLE if i < whole else -1
        if k == 0:
            recs.append(ns["Mov"](f"m{i}", 1, 0, "="))                 # the counter set
        elif k in (1, 2, 3, 9, 12, 16, 18):
            recs.append(play(i))                                       # 1-3: the loop body
        elif k == 4:
            recs.append(ns["Mov"](f"m{i}", 1, 1, "+"))
        elif k == 5:
            recs.append(ns["JumpWithReg"](f"x{i}", 1, 3, f"z{i + 2}"))  # the exit test
        elif k == 6:
            recs.append(ns["Jump"](f"j{i}", f"p{i - 5}"))               # the back jump
        elif k == 8:
            recs.append(ns["JumpWithJudge"](f"b{i}", 1, 1, f"p{i + 4}"))  # else path 9, if path 12
        elif k == 10:
            recs.append(ns["Jump"](f"j{i}", f"c{i + 4}"))
        elif k == 14:
            recs.append(ns["Capture"](f"c{i}", 1e-07))
        elif k == 15:
            recs.append(ns["WaitTrig"](f"t{i}"))
        elif k in (13, 19):
            recs.append(ns["Mov"](f"m{i}", 2, i % 100))
        else:
            recs.append(ns["PlayZero"](f"z{i}", 2e-08))
    recs.append(ns["End"]("end"))
    return recs


def load_and_assemble(make_assembler, q):
    a = make_assembler({1: [3]})
    a.set_probe_delay(1, 3.2e-08)
    a.set_chnl_cmdq(3, q)
    return a, a.assemble()


def same_images(x, y):
    return all(np.array_equal(x[k][p], y[k][p]) for k in range(3) for p in x[k])


def one_channel(rounds=5):
    per_ours, per_twin = {}, {}
    print(f"{'records':>8s} {'ours us/rec':>12s} {'twin us/rec':>12s} {'twin/ours':>10s}")
    for n in (1000, 5000, 10240):
        q_ours, q_twin = program(n, OURS), program(n, TWIN)
        a, img_ours = load_and_assemble(o.Assembler, q_ours)
        assert len(a.drive_cmdq[3]) == n
        _, img_twin = load_and_assemble(PyAssembler, q_twin)
        # the probe words differ only in nothing: both weigh and merge the same delays
        assert same_images(img_ours, img_twin), "the two assemblers disagree"
        best_o = best_t = float("inf")
        for _ in range(rounds):  # interleaved, so a change of load hits both
            t = time.perf_counter()
            load_and_assemble(o.Assembler, q_ours)
            best_o = min(best_o, time.perf_counter() - t)
            t = time.perf_counter()
            load_and_assemble(PyAssembler, q_twin)
            best_t = min(best_t, time.perf_counter() - t)
        per_ours[n], per_twin[n] = best_o / n, best_t / n
        print(f"{n:8d} {per_ours[n] * 1e6:12.2f} {per_twin[n] * 1e6:12.2f} {per_twin[n] / per_ours[n]:9.2f}x")
    print(f"per-record time at 10240 / at 1000: ours {per_ours[10240] / per_ours[1000]:.2f}, "
          f"twin {per_twin[10240] / per_twin[1000]:.2f} (1 = linear)")


def full_map():
    a = o.Assembler()
    progs = {d: program(10240) for d in a.drive2probe}
    t = time.perf_counter()
    for d, q in progs.items():
        a.set_chnl_cmdq(d, q)
    load = time.perf_counter() - t
    assert all(len(a.drive_cmdq[d]) == 10240 for d in progs)
    t = time.perf_counter()
    envs, drives, probes = a.assemble()
    image = time.perf_counter() - t
    total = 12 * 10240
    print(f"12 channels x 10240 drive words: load {load:.3f} s, assemble {image:.3f} s, "
          f"together {load + image:.3f} s, {(load + image) / total * 1e6:.2f} us/record; "
          f"drive image {drives[1].shape}, probe words {probes[1].size // 4}")


if __name__ == "__main__":
    one_channel()
    full_map()
