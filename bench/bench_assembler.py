"""Assembler throughput: one channel of mixed records at three sizes (time per
record, and how far the per-record time drifts with size), then the whole
default map with every drive row full. Prints figures only."""
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from tarvok.compiler import ostrane as o  # noqa: E402


def program(n):
    """n drive records (plus one envelope per 50): frames and envelopes up front, then plays, captures, waits,
    trigger waits and jumps; every record but the envelopes becomes one drive word."""
    n_env = max(1, n // 50)
    recs = [o.QInsEnvelop(f"e{i}", np.full(64, 0.5)) for i in range(n_env)]
    recs += [o.QInsFrame(f"f{i}", 1e8 + i) for i in range(4)]
    body = n - len(recs) + n_env  # envelopes leave the drive queue
    for i in range(body - 1):
        k = i % 10
        if k < 5:
            recs.append(o.QInsPlayWave(f"p{i}", f"f{i % 4}", f"e{i % n_env}", 0.5, 1e6, 0.1))
        elif k == 5:
            recs.append(o.QInsCapture(f"c{i}", 1e-07))
        elif k == 6:
            recs.append(o.QInsWaitTrig(f"t{i}"))
        elif k == 7:
            recs.append(o.QInsJump(f"j{i}", f"t{i - 1}"))
        elif k == 8:
            recs.append(o.QInsPlayZero(f"z{i}", 2e-08))
        else:
            recs.append(o.QInsMov(f"m{i}", 1, i % 100))
    recs.append(o.QInsEnd("end"))
    return recs


def timed(fn, repeat=5):
    best = float("inf")
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t)
    return best


def one_channel():
    per = {}
    for n in (1000, 5000, 10240):
        q = program(n)
        a = o.Assembler({1: [3]})
        a.set_probe_delay(1, 3.2e-08)
        load = timed(lambda: a.set_chnl_cmdq(3, q))
        assert len(a.drive_cmdq[3]) == n
        image = timed(a.assemble)
        per[n] = (load + image) / n
        print(f"{n:6d} records: load {load * 1e3:7.2f} ms, assemble {image * 1e3:7.2f} ms, "
              f"{per[n] * 1e6:6.2f} us/record")
    print(f"per-record time, largest / smallest size: {per[10240] / per[1000]:.2f} (1 = linear)")


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
          f"{(load + image) / total * 1e6:.2f} us/record; drive image {drives[1].shape}, "
          f"probe words {probes[1].size // 4}")


if __name__ == "__main__":
    one_channel()
    full_map()
