"""A kernel written with @kernel: declarations, plays, waits and a capture,
through the default passes to its program text and data."""
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from tarvok.zelvo._conveyor import conveyor  # noqa: E402
from tarvok.zelvo.kernel import kernel  # noqa: E402


@kernel
def readout(amp: 'zv.Var' = 0.5, width: 'zv.Var' = 1e-6):
    # Drive a pulse, wait, and capture the answer into a register.
    f0: zv.Frame = zv.frame(1.5e8, 0.0, 0)
    e0: zv.Envelope = zv.envelope(np.hanning(64))
    result: zv.Reg = 0
    zv.wait_trig()
    zv.play(f0, e0, amp)
    zv.wait(4e-8)
    result = zv.capture([0], width)  # demodulated at frequency number 0
    zv.wait(width)


k = readout(0.8)
print(f"{k!r}: {len(k.instruction_list)} instructions, registers {k.register_symbol}")
for ins in k.instruction_list:
    print(f"  line {ins.line:2}  {type(ins).__name__:<12} {str(ins)!r}")
envelopes, waveform, freq_list, demodulation, program = conveyor(k)
print("envelope samples:", np.asarray(envelopes).shape, "waveform:", waveform, "freq_list:", freq_list,
      "demodulation:", demodulation)
print("program text:")
print(program)
