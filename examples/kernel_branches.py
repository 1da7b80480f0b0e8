"""A kernel with a run-time if/else on a captured register, a counted loop
and an endless loop, through the default passes to its program text: every
jump lands on a line of the program."""
import os
import re
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from tarvok.zelvo._conveyor import conveyor  # noqa: E402
from tarvok.zelvo.kernel import kernel  # noqa: E402


@kernel
def feedback():
    f0: zv.Frame = zv.frame(1e8, 0.0, 0)
    pi_pulse: zv.Envelope = zv.envelope(np.hanning(64))
    state: zv.Reg = 0
    count: zv.Reg = 0
    while True:
        zv.wait_trig()
        state = zv.capture([0], 1e-6)  # demodulated at frequency number 0
        zv.wait(1.2e-6)
        if state == 1:
            zv.play(f0, pi_pulse, 1.0)
            zv.wait(1e-7)
        else:
            zv.wait(1.6e-7)
        for count in zv.repeat(3):
            zv.play(f0, pi_pulse, 0.25)
            zv.wait(4e-8)


k = feedback()
print(f"{k!r}: {len(k.instruction_list)} instructions before the passes")
program = conveyor(k)[4]
print(program)
lines = program.splitlines()
targets = [int(t) for t in re.findall(r"\$(-?\d+)", program)]
print(f"{len(lines)} lines; jump targets {sorted(set(targets))}")
