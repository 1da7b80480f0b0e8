"""Assemble a small two-channel program and show the memory images."""
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from tarvok.compiler import ostrane as o  # noqa: E402


def channel(freq, width):
    t = np.linspace(-1, 1, 64)
    return [
        o.QInsEnvelop("gauss", np.exp(-4 * t * t)),
        o.QInsFrame("f", freq),
        o.QInsWaitTrig("trig"),
        o.QInsPlayWave("pulse", "f", "gauss", 0.8, 0.0, 0.0),
        o.QInsCapture("read", width),
        o.QInsJump("again", "trig"),
        o.QInsEnd("end"),
    ]


asm = o.Assembler()
asm.set_drive_delay(3, 2e-08)
asm.set_probe_delay(1, 4.8e-08)
asm.set_chnl_cmdq(3, channel(1e8, 1.6e-06))
asm.set_chnl_cmdq(11, channel(2.5e8, 8e-07))
envelopes, drives, probes = asm.assemble()

for p in asm.ch_map:
    print(f"probe channel {p}: envelope image {envelopes[p].shape} {envelopes[p].dtype}, "
          f"drive image {drives[p].shape} {drives[p].dtype}, probe image {probes[p].shape} "
          f"{probes[p].dtype}")
print("drive queue of channel 3:", [type(r).__name__ for r in asm.drive_cmdq[3]])
print("probe queue of channel 1:", [type(r).__name__ for r in asm.probe_cmdq[1]])
print("envelope memory of channel 3, first 20 samples:", envelopes[1][0][:20].tolist())
print("drive words of channel 3, first 16:", drives[1][0][:16].tolist())
print("probe words of channel 1:", probes[1].reshape(-1, 4).tolist())
print("captures on probe channel 1:", asm.probe_count(1), "points", asm.probe_list(1))
