"""Prints the error-growth table: how far each kind of recurrence drifts from the exact values.

Run with `bash scripts/accuracy.sh` (sets up .venv and builds first; needs
mpmath; takes seconds). For each kind of recurrence one expression is
evaluated over 10^7 points of one dimension by crarray (one chain stepped
from the origin), by evaluate at its default tile (reseeded at every tile),
and directly in double precision by NumPy. The
exact value at point i is the formula at the real number start + i * step,
step being the double the variable holds, computed by mpmath with 40 digits.
Errors are |value - exact| / max(1, |exact|), at a sample of points: the last
three of every range 0 .. 10^k - 1 and 60 spread over each decade; the
column for 10^k steps is the largest error at the sampled points below 10^k.
"""

import os
import sys
import time

import mpmath
import numpy as np

import vemiral as vm

POINTS = 10**7
DECADES = [3, 4, 5, 6, 7]
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

    def direct_values(self):
        t = np.arange(POINTS, dtype=np.float64)
        t *= self.step
        t += self.start
        return self.direct(t)

    def exact_value(self, i):
        return self.exact(mpmath.mpf(self.start) + i * mpmath.mpf(self.step))


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
    Case("product", "exp(1e-6 i)", 0.0, 1e-6,
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
    """Largest relative error below 10^k for every k of DECADES."""
    err = np.array([float(abs(mpmath.mpf(float(values[i])) - e) / max(1, abs(e))) for i, e in zip(indexes, exact)])
    return [float(err[indexes < 10**k].max()) for k in DECADES]


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
    mantissa, exponent = f"{value:.1e}".split("e")
    return f"{mantissa}e{int(exponent)}"


def main():
    started = time.perf_counter()
    indexes = sample()
    tile = vm.default_tile(1) if hasattr(vm, "default_tile") else None
    print(f"Largest error |value - exact| / max(1, |exact|) within the first 10^k points "
          f"({len(indexes)} sampled of {POINTS}); evaluate at its default tile "
          f"({tile if tile is not None else 'evaluate n/a'}).\n")
    steps = " | ".join(f"10^{k}" for k in DECADES)
    print(f"| recurrence | expression | method | {steps} |")
    print("|---|---|---|" + "---|" * len(DECADES))
    for case in CASES:
        exact = [case.exact_value(int(i)) for i in indexes]
        node = case.node()
        rows = {"crarray": errors(quiet_crarray(node), indexes, exact)}
        if hasattr(node, "evaluate"):
            rows["evaluate"] = errors(node.evaluate((POINTS,)), indexes, exact)
        else:
            rows["evaluate"] = [None] * len(DECADES)
        rows["direct (NumPy)"] = errors(case.direct_values(), indexes, exact)
        for method, errs in rows.items():
            print(f"| {case.kind} | {case.text} | {method} | " + " | ".join(map(cell, errs)) + " |", flush=True)
    print(f"\n({time.perf_counter() - started:.0f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
