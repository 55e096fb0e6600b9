"""Prints the error-growth table: how far each kind of recurrence drifts from the exact values.

Run with `bash scripts/accuracy.sh` (sets up .venv and builds first; needs
mpmath; takes seconds). For each kind of recurrence one expression is
evaluated along one dimension by crarray (one chain stepped from the
origin, over 10^7 points), by evaluate's default method ("accurate"), by its
tiled stepping (method="recurrence", reseeded at every tile), and directly
in double precision by NumPy. Beyond 10^7 points (up to 10^9) the points are
taken one by one as blocks of a longer grid with `origin=`, which gives the
same values as the whole grid would. The
exact value at point i is the formula, computed by mpmath with 40 digits, at
the point each method computes: for the recurrences (crarray and the
recurrence method) the real number start + i * step, step being the double
the variable holds; for the default method and NumPy the coordinate
start + i * step rounded as NumPy rounds it (Grid.coords).
Errors are |value - exact| / max(1, |exact|), at a sample of points: the last
three of every range 0 .. 10^k - 1 and 60 spread over each decade; the
column for 10^k steps is the largest error at the sampled points below 10^k.

A second table gives the same errors for the benchmark's two-dimensional
cases on 4000 x 4000 (x from 0 by 0.001, y from 1 by 0.002; G from 0 by
2.5e-4 and 1 by 5e-4, where its values are not all tiny), at 300 sampled
points (the last row and column, random ones).
"""

import os
import sys
import time

import mpmath
import numpy as np

import vemiral as vm

POINTS = 10**7  # evaluated whole; the sampled points beyond, one block each
DECADES = [3, 4, 5, 6, 7, 8, 9]
mpmath.mp.dps = 40


def var(start, step):
    return vm.ASTvar(0, start, step)


def c(value):
    return vm.ASTnum(value)


def b(op, left, right):
    return vm.ASTbin(op, left, right)


def u(op, child):
    return vm.ASTun(op, child)


class Case:
    """One expression of t = start + i * step: the tree, NumPy's and mpmath's formulas."""

    def __init__(self, kind, text, start, step, tree, direct, exact):
        self.kind, self.text, self.start, self.step = kind, text, start, step
        self.tree, self.direct, self.exact = tree, direct, exact

    def node(self):
        return self.tree(var(self.start, self.step))

    def direct_values(self, indexes):
        t = indexes.astype(np.float64)
        t *= self.step
        t += self.start
        return self.direct(t)

    def exact_value(self, i):
        return self.exact(mpmath.mpf(self.start) + i * mpmath.mpf(self.step))

    def exact_at_coordinate(self, i):
        return self.exact(mpmath.mpf(self.start + float(i) * self.step))


def chirp_direct(t):
    r = 0.001 * t
    t = t * t
    t *= 1e-9
    r += t
    return np.sin(r)


CASES = [
    Case("sum, degree 1", "0.5 + 0.001 t", 0.0, 1.0,
         lambda t: b(vm.ADD, c(0.5), b(vm.MUL, c(0.001), t)),
         lambda t: 0.5 + 0.001 * t,
         lambda t: 0.5 + mpmath.mpf(0.001) * t),
    Case("sum, degree 2", "x^2 - x, x = 1 + 1e-6 i", 1.0, 1e-6,
         lambda x: b(vm.SUB, b(vm.POW, x, c(2.0)), x),
         lambda x: x**2 - x,
         lambda x: x**2 - x),
    Case("sum, degree 3", "x^3 - 2x, x = 1 + 1e-6 i", 1.0, 1e-6,
         lambda x: b(vm.SUB, b(vm.POW, x, c(3.0)), b(vm.MUL, c(2.0), x)),
         lambda x: x**3 - 2.0 * x,
         lambda x: x**3 - 2 * x),
    Case("product", "exp(1e-7 i)", 0.0, 1e-7,
         lambda x: u(vm.EXP, x),
         np.exp,
         mpmath.exp),
    Case("rotation, linear argument", "sin(0.001 i)", 0.0, 0.001,
         lambda x: u(vm.SIN, x),
         np.sin,
         mpmath.sin),
    Case("rotation, quadratic argument", "sin(0.001 t + 1e-9 t^2)", 0.0, 1.0,
         lambda t: u(vm.SIN, b(vm.ADD, b(vm.MUL, c(0.001), t), b(vm.MUL, c(1e-9), b(vm.POW, t, c(2.0))))),
         chirp_direct,
         lambda t: mpmath.sin(mpmath.mpf(0.001) * t + mpmath.mpf(1e-9) * t**2)),
    Case("expression node", "1/(0.001 i + 2)", 0.0, 0.001,
         lambda x: b(vm.DIV, c(1.0), b(vm.ADD, x, c(2.0))),
         lambda x: 1.0 / (x + 2.0),
         lambda x: 1 / (x + 2)),
]


def sample():
    """Indexes: the last three below every 10^k and 60 spread over each decade."""
    rng = np.random.default_rng(10)
    points = set(range(0, 10))
    for k in DECADES:
        points.update(range(10**k - 3, 10**k))
        points.update(int(p) for p in rng.integers(10 ** (k - 1), 10**k, 60))
    return np.array(sorted(points))


def errors(values, indexes, exact):
    """Largest relative error below 10^k for every k of DECADES (None where no value)."""
    err = np.array([float(abs(mpmath.mpf(float(v)) - e) / max(1, abs(e))) if v is not None else np.nan
                    for v, e in zip(values, exact)])
    return [None if np.isnan(err[indexes < 10**k]).any() else float(err[indexes < 10**k].max())
            for k in DECADES]


def evaluated(node, indexes, method):
    """Values at the sampled indexes: the first 10^7 from one grid, the rest one block each."""
    whole = node.evaluate((POINTS,), method=method)
    near = indexes < POINTS
    far = [node.evaluate((1,), origin=(int(i),), method=method)[0] for i in indexes[~near]]
    return np.concatenate([whole[indexes[near]], far])


def quiet_crarray(node):
    """crinit prints the chain on file descriptor 1: silence it."""
    sys.stdout.flush()
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.close(devnull)
    try:
        node.crinit([POINTS])
    finally:
        os.dup2(saved, 1)
        os.close(saved)
    return node.crarray()


def cell(value):
    if value is None:
        return "n/a"
    if value == 0.0:
        return "0"
    if not np.isfinite(value):
        return str(value)
    mantissa, exponent = f"{value:.1e}".split("e")
    return f"{mantissa}e{int(exponent)}"


MP_GRID = {
    "P": lambda x, y: 3 * x**2 * y - 2 * x * y + y**3 - 7,
    "W": lambda x, y: mpmath.sin(x * y) + mpmath.cos(x + y),
    "G": lambda x, y: mpmath.exp(-(x**2 + y**2)),
    "T": lambda x, y: mpmath.sin(x) * mpmath.exp(y),
    "R": lambda x, y: (x + 1) / (y + 2),
}


def grid_cases():
    """name: (tree, the axes' (start, step), NumPy's values on the grid)."""
    import bench

    cases = {}
    for name, tree in bench.trees().items():
        if name in MP_GRID:
            cases[name] = (tree, ((0.0, 0.001), (1.0, 0.002)), bench.NUMPY[name])
    gx, gy = vm.ASTvar(0, 0.0, 2.5e-4), vm.ASTvar(1, 1.0, 5e-4)
    gauss = u(vm.EXP, u(vm.NEG, b(vm.ADD, b(vm.POW, gx, c(2.0)), b(vm.POW, gy, c(2.0)))))

    def numpy_gauss(shape):
        i, j = np.ogrid[0:shape[0], 0:shape[1]]
        xs, ys = 2.5e-4 * i, 1.0 + 5e-4 * j
        return np.exp(-(xs * xs + ys * ys))

    cases["G"] = (gauss, ((0.0, 2.5e-4), (1.0, 5e-4)), numpy_gauss)
    return cases


def grid_table(side=4000):
    rng = np.random.default_rng(11)
    points = {(side - 1, int(j)) for j in rng.integers(0, side, 50)} | {(int(i), side - 1) for i in rng.integers(0, side, 50)}
    points |= {(int(i), int(j)) for i, j in rng.integers(0, side, (200, 2))}
    points = sorted(points)
    print(f"\n{side} x {side}: largest error |value - exact| / max(1, |exact|) at {len(points)} sampled points\n")
    print("| case | direct (NumPy) | evaluate, recurrence | evaluate (default) |")
    print("|---|---|---|---|")
    for name, (tree, axes, numpy_values) in grid_cases().items():
        exact = [MP_GRID[name](*(mpmath.mpf(s) + k * mpmath.mpf(h) for k, (s, h) in zip(p, axes))) for p in points]
        at_coordinates = [MP_GRID[name](*(mpmath.mpf(s + float(k) * h) for k, (s, h) in zip(p, axes)))
                          for p in points]
        columns = [(numpy_values((side, side)), at_coordinates),
                   (tree.evaluate((side, side), method="recurrence"), exact),
                   (tree.evaluate((side, side)), at_coordinates)]
        worst = [max(float(abs(mpmath.mpf(float(v[p])) - e) / max(1, abs(e))) for p, e in zip(points, truth))
                 for v, truth in columns]
        print(f"| {name} | " + " | ".join(map(cell, worst)) + " |", flush=True)


def main():
    started = time.perf_counter()
    indexes = sample()
    print(f"Largest error |value - exact| / max(1, |exact|) within the first 10^k points "
          f"({len(indexes)} sampled); recurrence at its default tile ({vm.default_tile(1, 'recurrence')}).\n")
    steps = " | ".join(f"10^{k}" for k in DECADES)
    print(f"| recurrence | expression | method | {steps} |")
    print("|---|---|---|" + "---|" * len(DECADES))
    near = indexes[indexes < POINTS]
    for case in CASES:
        exact = [case.exact_value(int(i)) for i in indexes]
        at_coordinates = [case.exact_at_coordinate(int(i)) for i in indexes]
        node = case.node()
        rows = {
            "crarray": list(quiet_crarray(node)[near]) + [None] * (len(indexes) - len(near)),
            "evaluate, recurrence": evaluated(node, indexes, "recurrence"),
            "evaluate (default)": evaluated(node, indexes, "accurate"),
            "direct (NumPy)": case.direct_values(indexes),
        }
        for method, values in rows.items():
            errs = errors(values, indexes, exact if "recurrence" in method or method == "crarray" else at_coordinates)
            print(f"| {case.kind} | {case.text} | {method} | " + " | ".join(map(cell, errs)) + " |", flush=True)
    grid_table()
    print(f"\n({time.perf_counter() - started:.0f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
