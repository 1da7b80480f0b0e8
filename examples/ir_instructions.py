"""A few IR instructions with their assembly lines and costs."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from tarvok.zelvo import _ir  # noqa: E402


class Kernel:
    """The two attributes an instruction reads of its kernel."""

    def __init__(self):
        self.compile_params = {"base_clock": 4e-9, "da_srate": 8e9, "ad_srate": 8e9,
                               "target_chnl_type": "da", "trig_align_time": 0}
        self.instr_target_map = {}


kernel = Kernel()
program = [
    _ir.IRMov(0, 10, kernel=kernel),
    _ir.IRNop(kernel=kernel),
    _ir.IRJmov(1, kernel=kernel),
    _ir.IRNsw(2, kernel=kernel),
    _ir.IRLoadEvent(3, kernel=kernel),
    _ir.IRClearEvent("ev0", kernel=kernel),
]
width = max(len(ir) for ir in program)
print(f"{'line':<{width}}  overhead  wait_time")
for ir in program:
    print(f"{ir:<{width}}  {ir.overhead:>8}  {ir.wait_time:>9}")
