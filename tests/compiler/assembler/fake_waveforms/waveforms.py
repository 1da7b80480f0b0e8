"""Stand-in for the optional waveforms library: just what the assembler uses."""
import numpy as np


class Waveform:
    def __init__(self, start=None, stop=None, values=()):
        self.start = start
        self.stop = stop
        self.values = np.asarray(values, dtype=float)
        self.rates = []

    def sample(self, rate):
        self.rates.append(rate)
        return self.values.copy()
