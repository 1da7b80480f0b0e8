"""A few command records of the assembler and their binary words, in hex."""
import math
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from tarvok.compiler import ostrane as o  # noqa: E402

frame = o.QInsFrame("frame0", 100e6)
frame.frame_idx = 2

play = o.QInsPlayWave("play0", "frame0", "env0", 0.5, 250e6, math.pi / 2)
play.frame_idx = 2
play.envelop_slice = slice(128, 256, 200)  # placement the assembler would give it

jump = o.QInsJumpWithJudge("jmp0", 3, 255, "play0")
jump.ins_idx = 1

drive = [frame, play, o.QInsIncPhase("inc0", -math.pi / 2, "frame0"),
         jump, o.QInsPlayZero("zero0", 1e-08), o.QInsMov("mov0", 4, 1000, "+"),
         o.QInsWaitTrig("trig0"), o.QInsEnd("end0")]

print("drive words (32 bytes each):")
for rec in drive:
    print(f"  {type(rec).__name__:18s} {bytes(rec).hex(' ', 4)}   overhead {rec.overhead:g} s")

delay = o._QInsPTrigDelay("d0", 8e-08)
back = o._QInsPJump("j0", "w0")
probe = [o._QInsPWaitTrig("w0"), delay, o.QInsCapture("cap0", 1.6e-06), back]
print("probe words (16 bytes each):")
for rec in probe:
    data = bytes(rec)
    for i in range(0, len(data), 16):
        print(f"  {type(rec).__name__:18s} {data[i:i + 16].hex(' ', 2)}")

capture = o.QInsCapture("cap1", 1.6e-06, 8e-08)
print(f"capture of {len(capture)} steps with a 5-step probe delay:")
for i in range(0, 48, 16):
    print("  ", bytes(capture)[i:i + 16].hex(" ", 2))

env = o.QInsEnvelop("env0", np.array([0.0, 0.5, 1.0, -1.0, 0.25]))
print("envelope samples:", bytes(env).hex(" ", 2))
