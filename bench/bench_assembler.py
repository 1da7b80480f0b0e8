"""Assembler throughput against the same assembler written in pure Python.

One channel of mixed records at three sizes, loaded and assembled by the
Assembler and by its pure-Python twin (the twin records of the records
benchmark and a direct Python version of loading, linking and the memory
images), checked once to give the same images; prints the time per record of
both and their ratio, how far the per-record time drifts with size (1 =
linear), then the whole default map with every drive row full."""
import copy
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
        first = rec.PyProbe(self._tag())
        pq.append(first)
        ptab[first.tag] = 0
        p = self.drive2probe[drive_ch]
        da, ad = self.da_delay[drive_ch], self.ad_delay[p]
        counts, points = self.capture_count[p], self.capture_points[p]
        counts.append(0)
        points.append([])
        step = rec.CFG["capture_step"]
        for c in cmdq:
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
                c.tag = self._tag()
                pq.append(c)
                counts[-1] += 1
                points[-1].append(width)
            elif isinstance(c, rec.PyWaitTrig):
                counts.append(0)
                points.append([])
                dq.append(c)
                pq.append(rec.PyProbe(self._tag()))
                dtab[dq[-1].tag] = len(dq) - 1
                ptab[pq[-1].tag] = len(pq) - 1
                if da:
                    dq.append(rec.PyPlayZero(self._tag(), da))
                if ad:
                    pq.append(rec.PyTrigDelay(self._tag(), ad))
            else:
                dq.append(c)
                pq.append(rec.PyTrigDelay(self._tag(), c.overhead))
            dtab[dq[-1].tag] = len(dq) - 1
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


# ---- one program, from either family ---------------------------------------

OURS = {"Envelop": o.QInsEnvelop, "Frame": o.QInsFrame, "PlayWave": o.QInsPlayWave, "Capture": o.QInsCapture,
        "WaitTrig": o.QInsWaitTrig, "Jump": o.QInsJump, "PlayZero": o.QInsPlayZero, "Mov": o.QInsMov,
        "End": o.QInsEnd}
TWIN = {"Envelop": rec.PyEnvelop, "Frame": rec.PyFrame, "PlayWave": rec.PyPlayWave, "Capture": rec.PyCapture,
        "WaitTrig": rec.PyWaitTrig, "Jump": rec.PyJump, "PlayZero": rec.PyPlayZero, "Mov": rec.PyMov,
        "End": rec.PyEnd}


def program(n, ns=OURS):
    """n drive records (plus one envelope per 50): frames and envelopes up front, then plays, captures, waits,
    trigger waits and jumps; every record but the envelopes becomes one drive word."""
    n_env = max(1, n // 50)
    recs = [ns["Envelop"](f"e{i}", np.full(64, 0.5)) for i in range(n_env)]
    recs += [ns["Frame"](f"f{i}", 1e8 + i) for i in range(4)]
    body = n - len(recs) + n_env  # envelopes leave the drive queue
    for i in range(body - 1):
        k = i % 10
        if k < 5:
            recs.append(ns["PlayWave"](f"p{i}", f"f{i % 4}", f"e{i % n_env}", 0.5, 1e6, 0.1))
        elif k == 5:
            recs.append(ns["Capture"](f"c{i}", 1e-07))
        elif k == 6:
            recs.append(ns["WaitTrig"](f"t{i}"))
        elif k == 7:
            recs.append(ns["Jump"](f"j{i}", f"t{i - 1}"))
        elif k == 8:
            recs.append(ns["PlayZero"](f"z{i}", 2e-08))
        else:
            recs.append(ns["Mov"](f"m{i}", 1, i % 100))
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
        # the probe words differ only in nothing: both merge the same delays
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
