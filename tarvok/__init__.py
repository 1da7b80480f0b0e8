"""tarvok: compiler toolchain of a multi-channel waveform sequencer."""
