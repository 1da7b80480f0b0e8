"""Instruction-queue builder and binary command assembler."""
