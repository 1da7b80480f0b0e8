"""Kernel compiler: kernels to sequencer assembly text and data."""
