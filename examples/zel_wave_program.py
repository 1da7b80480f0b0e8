"""Build a small two-channel program with the instruction-queue builder (an
if/else on a judgement bit and a counted loop), compile it, assemble it and
show the memory images."""
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from tarvok.compiler import zel_wave as z  # noqa: E402


def channel(freq, shots):
    ch = z.InsChannel(freqs=[freq])
    drive = ch.f_set[0] * ch.evlp_gaussian(20e-9)         # frame x envelope = signal
    flat = ch.f_set[0] * ch.ins_envelope(np.full(32, 0.5))
    ch.ins_variable("count", 0)
    ch.wait_for_trigger()
    with ch.ins_if("FREQ_0 == 1") as hit:                  # judgement bit 0 set
        hit.play_wave(drive, 0.8)
    with ch.ins_else() as miss:                            # as long as the if path: the probe
        miss.play_wave(flat)                               # side then knows when to capture
        miss.play_zero(20e-9)
    with ch.ins_loop(shots) as loop:
        loop.play_wave(drive, 0.5, 1e6)
        loop.ins_add("count", 1)
    ch.capture(1.6e-6)
    ch.end()
    return ch


asm = z.Assembler()
programs = {3: channel(1e8, 4), 11: channel(2.5e8, 2)}
for drive_ch, ch in programs.items():
    compiled = ch.compile()
    print(f"drive channel {drive_ch}: {ch.length} items recorded, {len(compiled)} commands compiled")
    asm.set_chnl_cmdq(drive_ch, compiled)
envelopes, drives, probes = asm.assemble()

for p in asm.ch_map:
    print(f"probe channel {p}: envelope image {envelopes[p].shape} {envelopes[p].dtype}, "
          f"drive image {drives[p].shape} {drives[p].dtype}, probe image {probes[p].shape} {probes[p].dtype}")
print("drive queue of channel 3:", [type(r).__name__ for r in asm.drive_cmdq[3]])
print("drive words of channel 3, first 4 commands:")
for row in drives[1][0][:32].reshape(4, 8):
    print("   ", " ".join(f"{w:08x}" for w in row))
print("envelope memory of channel 3, first 24 samples:", envelopes[1][0][:24].tolist())
print("probe words of probe channel 1:", probes[1].reshape(-1, 4).tolist())
print("jumps of channel 3 and the positions they resolved to:",
      [(type(r).__name__, r.ins_idx) for r in asm.drive_cmdq[3] if hasattr(r, "ins_idx")])
