"""The table the twin benchmarks print: ns per instruction of ours and of the
pure-Python twin with the speed-up, one table per program size, then how
each row scales from the smaller size to the larger."""


class Speedups:
    def __init__(self, label, width):
        self.label, self.width = label, width
        self.per = {}  # row name -> our ns per instruction at each size

    def header(self):
        print(f"{self.label:{self.width}s} {'ours ns/ins':>12s} {'python ns/ins':>14s} {'speed-up':>9s}")

    def row(self, name, t_ours, t_twin, size):
        a, b = t_ours / size * 1e9, t_twin / size * 1e9
        self.per.setdefault(name, []).append(a)
        print(f"{name:{self.width}s} {a:12.1f} {b:14.1f} {b / a:8.1f}x")

    def scaling(self, sizes):
        print(f"\nscaling, ns per instruction at {sizes[1]} over that at {sizes[0]}:")
        for name, (small, large) in self.per.items():
            print(f"  {name:{self.width}s} {large / small:5.2f}")
