"""Plain-Python twins of the passes: the references of the differential tests,
also timed against the modules by the benchmarks in bench/."""
