"""The accurate method's own machinery: blocks, threads and kept tiles give the whole grid's bits;
parts kept apart by the lowering stay within the bound; both instruction sets agree; the range
fallback holds in every method."""

import os
from fractions import Fraction
import subprocess
import sys
import threading

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import vemiral as vm
from vemiral_grid import Grid

from helpers import N, V, add, cos, div, exp, fun, mul, pow_, same_bits, same_bits_but_nan, sin, sub, un
from test_accuracy import SETTINGS, check_points, sample, trees


@st.composite
def blocks(draw):
    dims = draw(st.integers(1, 3))
    shape = tuple(draw(st.integers(1, 200 if dims == 1 else 40)) for _ in range(dims))
    first = tuple(draw(st.integers(0, s - 1)) for s in shape)
    size = tuple(draw(st.integers(1, s - f)) for s, f in zip(shape, first))
    return (draw(trees(dims, jumps=True)), shape, first, size, draw(st.sampled_from([1, 2])),
            draw(st.sampled_from([None, 7, 64])))


@SETTINGS
@given(blocks())
def test_blocks_threads_and_tiles_of_random_trees_are_slices_of_the_whole(case):
    tree, shape, first, size, threads, tile = case
    node = tree.native()
    with np.errstate(all="ignore"):
        whole = node.evaluate(shape, tile=tile)
        part = tree.native().evaluate(size, origin=first, threads=threads, tile=tile)
    window = tuple(slice(f, f + s) for f, s in zip(first, size))
    assert same_bits_but_nan(part, whole[window])


# Parts over the outer dimensions and over the innermost one, joined as the
# lowering keeps them apart (sums through exp, sine, cosine, tangent and
# scaling; products and quotients of a non-polynomial part).
OUTER = {"x": lambda: V(0, 0.3, 0.01), "x^2": lambda: pow_(V(0, -0.7, 0.013), N(2.0)),
         "sin x": lambda: sin(V(0, 0.1, 0.05)), "3-D x+z": lambda: add(V(0, 0.2, 0.02), V(1, -1.0, 0.03))}
INNER = {"y": lambda d: V(d, 1.0, 0.002), "y^3": lambda d: pow_(V(d, -0.4, 0.0031), N(3.0)),
         "exp y": lambda d: exp(V(d, -2.0, 0.004)), "cos y": lambda d: cos(V(d, 0.5, -0.007))}
JOIN = {"+": add, "-": sub, "*": mul, "/": lambda a, b: div(a, add(b, N(2.5)))}
WRAP = {"": lambda e: e, "exp": exp, "sin": sin, "cos": cos, "tan": lambda e: un(vm.TAN, e), "neg": lambda e: un(vm.NEG, e)}


@SETTINGS
@given(st.sampled_from(list(OUTER)), st.sampled_from(list(INNER)), st.sampled_from(list(JOIN)),
       st.sampled_from(list(WRAP)), st.sampled_from([0, 10**5, 10**8]))
def test_parts_kept_apart_are_within_the_bound(outer, inner, join, wrap, far):
    dims = 3 if outer.startswith("3-D") else 2
    tree = WRAP[wrap](JOIN[join](OUTER[outer](), INNER[inner](dims - 1)))
    shape = (9, 300) if dims == 2 else (5, 4, 300)
    origin = (far,) + (0,) * (dims - 2) + (far // 10**5,)  # far rows; the inner parts' values stay moderate
    with np.errstate(all="ignore"):
        values = tree.native().evaluate(shape, origin=origin)
    check_points(tree, values, sample(shape, np.random.default_rng(5), 40), origin)


def test_tiles_kept_on_a_node_never_reach_another_grid():
    build = lambda: add(sin(mul(V(0, 0.0, 0.001), V(1, 1.0, 0.002))), div(N(1.0), add(V(1, 1.0, 0.002), N(2.0))))
    node = build().native()
    calls = [((300, 500), None, None), ((300, 500), None, 64), ((40, 700), (1000, 3), None), ((300, 500), None, None),
             ((2, 3000), (5, 0), 128)]
    for shape, origin, tile in calls:
        fresh = build().native().evaluate(shape, origin=origin, tile=tile)
        assert same_bits(node.evaluate(shape, origin=origin, tile=tile), fresh), (shape, origin, tile)


def test_concurrent_callers_on_one_node_agree():
    node = add(sin(mul(V(0, 0.0, 0.001), V(1, 1.0, 0.002))), cos(add(V(0, 0.0, 0.001), V(1, 1.0, 0.002)))).native()
    expected = add(sin(mul(V(0, 0.0, 0.001), V(1, 1.0, 0.002))),
                   cos(add(V(0, 0.0, 0.001), V(1, 1.0, 0.002)))).native().evaluate((700, 900))
    results = [None] * 4
    def call(i):
        results[i] = node.evaluate((700, 900), threads=1 + i % 2)
    workers = [threading.Thread(target=call, args=(i,)) for i in range(4)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert all(same_bits(r, expected) for r in results)


PORTABLE = """
import sys
import numpy as np
sys.path.insert(0, sys.argv[1])
import test_accurate_method as t
np.savez(sys.argv[2], *[build().native().evaluate(shape) for build, shape in t.KERNEL_CASES])
"""

PIPELINED = [
    lambda x, y: div(N(1.0), add(N(1.0), add(pow_(x, N(2.0)), pow_(y, N(2.0))))),  # tables alone
    lambda x, y: mul(sin(mul(x, y)), cos(add(x, y))),
    lambda x, y: add(sin(mul(x, pow_(y, N(2.0)))), cos(add(x, y))),
    lambda x, y: sub(exp(mul(x, y)), mul(cos(x), exp(y))),
]


@pytest.mark.parametrize("k", range(len(PIPELINED)))
def test_pipelined_rows_are_cut_alike(k):
    # Parts that start off a multiple of four and end at a tile's end too.
    node = PIPELINED[k](V(0, 0.3, 0.001), V(1, 1.0, 0.002)).native()
    whole = node.evaluate((60, 3000), tile=(32, 2048))
    for first, size, threads in [((0, 1), (60, 2999), 2), ((7, 63), (20, 2000), 1), ((59, 2047), (1, 953), 2)]:
        part = node.evaluate(size, origin=first, tile=(32, 2048), threads=threads)
        assert same_bits_but_nan(part, whole[first[0] : first[0] + size[0], first[1] : first[1] + size[1]])


# One case for every kind of block: plain sums, products, rotations (one and
# two levels), tables and row operations, double-double blocks.
KERNEL_CASES = [
    (lambda: add(mul(pow_(V(0, 0.0, 0.001), N(2.0)), V(1, 1.0, 0.002)), pow_(V(1, 1.0, 0.002), N(3.0))), (50, 1000)),
    (lambda: exp(un(vm.NEG, add(pow_(V(0, 0.0, 0.001), N(2.0)), pow_(V(1, 1.0, 0.002), N(2.0))))), (50, 1000)),
    (lambda: add(sin(mul(V(0, 0.0, 0.001), V(1, 1.0, 0.002))), cos(add(V(0, 0.0, 0.001), V(1, 1.0, 0.002)))), (50, 1000)),
    (lambda: div(add(V(0, 0.0, 0.001), N(1.0)), add(V(1, 1.0, 0.002), N(2.0))), (50, 1000)),
    (lambda: sin(add(mul(N(0.001), V(0, 0.0, 1.0)), mul(N(1e-9), pow_(V(0, 0.0, 1.0), N(2.0))))), (100_000,)),
    # Rows of tables, alone and beside a recurrence that stands alone (a
    # rotation of two and of three levels, a product), pipelined.
    *[(lambda build=build: build(V(0, 0.3, 0.001), V(1, 1.0, 0.002)), (50, 1000)) for build in PIPELINED],
    (lambda: sin(add(mul(N(2000.0), V(0, 0.0, 1e-4)), mul(N(3.0), sin(mul(N(7.0), V(0, 0.0, 1e-4)))))), (100_000,)),
    # Pointwise operations of exact value, reciprocals and square roots: in
    # plain blocks and in the pipeline of a row of tables.
    *[(lambda build=build: build(V(0, -2.0, 0.004), V(1, -2.0, 0.004)), (50, 1000)) for build in [
        lambda x, y: fun(vm.ft.WHERE, fun(vm.ft.LESS, add(mul(x, x), mul(y, y)), N(1.0)), N(1.0), N(0.0)),
        lambda x, y: div(N(1.0), add(N(1.0), add(pow_(x, N(2.0)), pow_(y, N(2.0))))),
        lambda x, y: pow_(add(mul(x, x), mul(y, y)), N(0.5)),
        lambda x, y: fun(vm.ft.ABS, sin(mul(x, y))),
        lambda x, y: fun(vm.ft.MAXIMUM, fun(vm.ft.FLOOR, mul(x, N(3.0))), sub(y, x)),
    ]],
]


@pytest.mark.skipif(bool(os.environ.get("VEMIRAL_UNDER_SANITIZER")), reason="starts a process")
def test_portable_and_avx2_kernels_give_the_same_bits(tmp_path):
    saved = tmp_path / "portable.npz"
    run = subprocess.run([sys.executable, "-c", PORTABLE, os.path.dirname(__file__), str(saved)],
                         capture_output=True, text=True, env=dict(os.environ, VEMIRAL_NO_AVX2="1"))
    assert run.returncode == 0, run.stderr
    portable = np.load(saved)
    for k, (build, shape) in enumerate(KERNEL_CASES):
        node = build().native()
        ours, theirs = node.evaluate(shape), portable[f"arr_{k}"]
        # Sines and cosines computed directly take glibc's vector forms on
        # AVX2, the scalar library's without: within a few ulps of each other.
        vector_trig = any(line.split()[1] in ("sin", "cos") and "glibc" in line
                          for line in node.explain(shape).splitlines()[1:])
        assert same_bits(ours, theirs) or (vector_trig and np.allclose(ours, theirs, rtol=2e-15, atol=1e-15)), k


def test_every_operation_is_at_the_coordinates():
    # The step is the double nearest 0.1, a little above it: the sixth point
    # start + 5 * step is 2.8e-17, which the coordinates round to 0, and the
    # last is 0.5 itself; every operation is computed there, as NumPy would.
    grid = Grid(b=(-0.5, 0.5, 11))
    point = Fraction(-0.5) + 5 * Fraction(grid.axes[0].step)
    assert grid.coords["b"][5] == 0.0 and point > 0
    assert grid.evaluate("1/b")[5] == np.inf
    assert grid.evaluate("sin(b)")[5] == 0.0
    assert grid.evaluate("b")[10] == 0.5 == grid.coords["b"][10]


@pytest.mark.parametrize("method", ["crarray", "creval", "recurrence", "accurate"])
@pytest.mark.parametrize("text, axis, point, expected", [
    ("exp(-x**2)", (-30, 30, 601), 300, 1.0),
    ("exp(x)", (-740, 10, 101), 100, 22026.465794806718),
    ("x**2", (-1e200, 1e200, 5), 0, np.inf),
    ("0**x", (-1, 1, 5), 0, np.inf),
    ("(1e-200)**x", (-1.2, 1.0, 5), 0, 1e240),
])
def test_chains_that_would_leave_the_doubles_are_evaluated_directly_in_every_method(method, text, axis, point,
                                                                                     expected, capfd):
    grid = Grid(x=axis)
    node = grid.expression(text)
    if method in ("crarray", "creval"):
        node.crinit(list(grid.shape))
        values = np.asarray(node.crarray() if method == "crarray" else node.creval())
        capfd.readouterr()
    else:
        values = node.evaluate(grid.shape, method=method)
    assert values[point] == pytest.approx(expected, rel=1e-9)  # the recurrences drift a little; 0 or NaN is the fault


# The formulas of the benchmark's function cases, each through its fast path
# (pipeline of a row of tables, plain blocks with a pointwise root, vector
# functions): within the bound, and every cut the same slice of the whole.
X, Y = V(0, -2.0, 4 / 199), V(1, -2.0, 4 / 201)
FUNCTION_CASES = {
    "lorentzian": div(N(1.0), add(add(N(1.0), pow_(div(sub(X, N(0.3)), N(0.5)), N(2.0))),
                                  pow_(div(sub(Y, N(-0.2)), N(0.5)), N(2.0)))),
    "radius": pow_(add(mul(X, X), mul(Y, Y)), N(0.5)),
    "atan2": fun(vm.ft.ATAN2, Y, X),
    "tanh": fun(vm.ft.TANH, mul(X, Y)),
    "hypot": fun(vm.ft.HYPOT, X, add(Y, N(1.0))),
    "asinh": fun(vm.ft.ASINH, mul(X, add(Y, N(3.0)))),
    "disk": fun(vm.ft.WHERE, fun(vm.ft.LESS, add(mul(X, X), mul(Y, Y)), N(1.0)), N(1.0), N(0.0)),
    "rational": div(add(add(N(1.0), mul(X, Y)), pow_(X, N(3.0))), add(add(N(2.5), mul(Y, Y)), mul(X, X))),
}


@pytest.mark.parametrize("name", list(FUNCTION_CASES))
def test_function_cases_are_within_the_bound_and_cut_alike(name):
    tree, shape = FUNCTION_CASES[name], (199, 201)
    check_points(tree, tree.native().evaluate(shape), sample(shape, np.random.default_rng(5), 60))
    for origin, size, tile, threads in [((0, 0), (199, 201), 16, 2), ((37, 101), (50, 77), None, 1),
                                        ((198, 3), (1, 198), 7, 2)]:
        whole = tree.native().evaluate(shape, tile=tile, threads=1)
        part = tree.native().evaluate(size, origin=origin, tile=tile, threads=threads)
        window = tuple(slice(o, o + s) for o, s in zip(origin, size))
        assert same_bits_but_nan(part, whole[window]), (origin, size, tile)
