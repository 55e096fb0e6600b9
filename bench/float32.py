"""float32 against float64 on 4000 x 4000: Grid.evaluate of the benchmark's
two-dimensional cases into a new array each call, and into an existing one.

Prints a Markdown table (docs/float32-figures.md holds the last one measured).
Usage: python bench/float32.py [--runs N] [--slab POINTS]
"""

import argparse
import os
import time

import numpy as np

import vemiral
from vemiral_grid import Grid, _values

CASES = {
    "P": "3*x**2*y - 2*x*y + y**3 - 7",
    "G": "exp(-(x**2 + y**2))",
    "T": "sin(x)*exp(y)",
    "R": "(x + 1)/(y + 2)",
    "W": "sin(x*y) + cos(x + y)",
}


def best(fn, runs):
    fastest = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        fastest = min(fastest, time.perf_counter() - start)
    return fastest


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=15)
    parser.add_argument("--slab", type=int, default=_values.SLAB_POINTS)
    args = parser.parse_args()
    _values.SLAB_POINTS = args.slab
    grid = Grid.from_steps(x=(0.0, 0.001, 4000), y=(1.0, 0.002, 4000))
    print(f"4000 x 4000, {vemiral.get_num_threads()} threads, runs of {args.slab} points, best of {args.runs}, "
          f"load average {os.getloadavg()[0]:.2f} at the start\n")
    print("| case | float64, new array | float32, new array | ratio | float64 into out= | float32 into out= | ratio |")
    print("|---|---|---|---|---|---|---|")
    out64, out32 = np.empty(grid.shape), np.empty(grid.shape, np.float32)
    for name, expr in CASES.items():
        node = grid.expression(expr)
        rounded = grid.evaluate(node, dtype=np.float32, progress=False)
        assert rounded.tobytes() == grid.evaluate(node, progress=False).astype(np.float32).tobytes()
        times = []
        # Alternating, so that both sample the machine's load alike.
        for _ in range(2):
            new64 = best(lambda: grid.evaluate(node, progress=False), args.runs)
            new32 = best(lambda: grid.evaluate(node, progress=False, dtype=np.float32), args.runs)
            in64 = best(lambda: grid.evaluate(node, progress=False, out=out64), args.runs)
            in32 = best(lambda: grid.evaluate(node, progress=False, out=out32), args.runs)
            times.append((new64, new32, in64, in32))
        new64, new32, in64, in32 = (min(column) for column in zip(*times))
        print(f"| {name} | {new64 * 1e3:.1f} ms | {new32 * 1e3:.1f} ms | {new64 / new32:.2f}x "
              f"| {in64 * 1e3:.1f} ms | {in32 * 1e3:.1f} ms | {in64 / in32:.2f}x |")


if __name__ == "__main__":
    main()
