"""The default method's plan: where each operation is computed, which kernel computes it, and
that every placement gives direct evaluation's bits on any cut of the grid."""

import mpmath
import numpy as np
import pytest

import vemiral as vm
from vemiral_grid import Grid

from helpers import same_bits


def plan_lines(grid, text):
    return [line for line in grid.explain(text).splitlines() if line.startswith("  [")]


def line_of(lines, name):
    (line,) = [line for line in lines if line.split()[1] == name]
    return line


GRID = Grid(x=(-2, 2, 40), y=(-1, 3, 50))


@pytest.mark.parametrize("text, name, place, kernel", [
    # Sine and cosine take glibc's vector forms where their error cannot grow...
    ("sin(x*y) + cos(x + y)", "sin", "every point", "glibc"),
    ("sin(x*y)/(x - y)", "sin", "every point", "glibc"),
    ("x*sin(y)", "sin", "per column", "glibc"),
    ("exp(sin(x*y))", "sin", "every point", "glibc"),
    # (bounded factors and sums away from 0 keep the error small: modulations and windows)
    ("(1 + 0.5*cos(x*y))*sin(3*x)", "cos", "every point", "glibc"),
    ("0.5*(1 - cos(x*y))*sin(3*x)", "cos", "every point", "glibc"),
    ("log(2 + cos(x*y))", "cos", "every point", "glibc"),
    # ... and the C library's, as NumPy, where a cancelling sum or another function could magnify it.
    ("(1 - cos(x*y))/x**2", "cos", "every point", "C library"),
    ("x*(1 - cos(x*y))", "cos", "every point", "C library"),
    ("log(1 + cos(x*y))", "cos", "every point", "C library"),
    ("floor(10*sin(x*y))", "sin", "every point", "C library"),
    # Every other library function is NumPy's own loop, wherever it stands.
    ("exp(-x**2/(1 + y**2))/(1 + y**2)", "exp", "every point", "NumPy"),
    ("sin(exp(x*y))", "exp", "every point", "NumPy"),
    ("exp(-x**2)*y", "exp", "per row", "NumPy"),
    ("atan2(y, x)*2", "atan2", "every point", "NumPy"),
    ("tan(x*y)/2", "tan", "every point", "NumPy"),
    # ... and SciPy's own loop for the special functions SciPy computes faster than the C library.
    ("j0(x*y) + y1(y + 3)", "j0", "every point", "SciPy"),
    ("gamma(x*y + 3)", "gamma", "every point", "SciPy"),
], ids=lambda v: v if isinstance(v, str) and "(" in v else None)
def test_where_and_how_each_operation_is_computed(text, name, place, kernel):
    line = line_of(plan_lines(GRID, text), name)
    assert place in line and kernel in line


def test_a_repeated_subexpression_is_computed_once():
    lines = plan_lines(GRID, "exp(-sqrt(x**2 + y**2 + 0.01)/0.7)/sqrt(x**2 + y**2 + 0.01)")
    assert [line.split()[1] for line in lines].count("sqrt") == 1


FORMULAS = [
    "exp(-2*x**2/(1 + (z/5)**2))/(1 + (z/5)**2) + y",
    "where(x > y, sin(x*z), atan2(y, z)) + hypot(x, z)",
    "exp(-sqrt(x**2 + y**2 + z**2 + 0.01)/0.7)/sqrt(x**2 + y**2 + z**2 + 0.01)",
    "tanh(x*y*z) + log1p(x**2) + cbrt(z)",
    "(2 - x)/(7 - y*z) - 1/(y + 2.5) + (x - 0.5)*y/4",  # a row's number on either side of an operation
]


@pytest.mark.parametrize("text", FORMULAS)
def test_values_are_direct_evaluation_on_every_cut(text):
    grid = Grid(x=(-1, 1, 23), y=(-2, 2, 17), z=(0.5, 3, 31))
    node = grid.expression(text)
    whole = node.evaluate(grid.shape)
    x, y, z = np.meshgrid(*grid.coords.values(), indexing="ij")
    env = {"x": x, "y": y, "z": z, "exp": np.exp, "sqrt": np.sqrt, "where": np.where, "sin": np.sin,
           "atan2": np.arctan2, "hypot": np.hypot, "tanh": np.tanh, "log1p": np.log1p, "cbrt": np.cbrt}
    direct = eval(text.replace("where(x > y", "where((x > y)"), env)  # the same formula, NumPy's way
    assert np.allclose(whole, direct, rtol=4e-15, atol=4e-15)
    # Blocks of one row, one column, one point and odd boxes; rows of one point (N x 1 x 1).
    for origin, shape in [((0, 0, 0), (23, 17, 31)), ((5, 3, 7), (1, 1, 24)), ((2, 0, 30), (21, 17, 1)),
                          ((22, 16, 30), (1, 1, 1)), ((3, 4, 5), (7, 1, 9))]:
        part = node.evaluate(shape, origin=origin, threads=2)
        box = tuple(slice(o, o + s) for o, s in zip(origin, shape))
        assert same_bits(part, whole[box]), (origin, shape)


def test_reductions_reduce_the_values_evaluate_gives():
    grid = Grid(x=(-1, 1, 300), y=(-2, 2, 700))
    text = "exp(-x**2/(1 + y**2))/(1 + y**2) + atan2(y, x)"
    values = grid.evaluate(text)
    assert grid.max(text) == values.max() and grid.min(text) == values.min()
    assert np.array_equal(grid.argmax(text, axis="y"), values.argmax(axis=1))


def test_explain_names_a_plan_for_every_node_and_refuses_bad_shapes():
    node = vm.ASTvar(0, 0.0, 1.0) * 2.0
    assert node.explain(5).startswith("plan on a grid of shape (5,)")
    with pytest.raises((TypeError, ValueError)):
        node.explain("5")


def test_far_cells_of_a_signal_are_at_their_coordinates_and_cut_alike():
    grid = Grid.from_steps(x=(0.025, 0.05, 10000))
    node = grid.expression("sin(x)/x + exp(x/100)")
    whole = node.evaluate(grid.shape)
    for origin, shape in [(4000, 200), (4095, 2), (1, 9998), (8191, 1)]:
        assert same_bits(node.evaluate(shape, origin=origin), whole[origin:origin + shape])
    x = grid.coords["x"]
    direct = np.sin(x) / x + np.exp(x / 100)
    with mpmath.workdps(40):
        for i in [0, 1, 2000, 4095, 4096, 4097, 7000, 9999]:
            exact = mpmath.sin(x[i]) / x[i] + mpmath.exp(mpmath.mpf(x[i]) / 100)
            error = [float(abs(mpmath.mpf(v[i]) - exact) / max(1, abs(exact))) for v in (whole, direct)]
            assert error[0] <= max(2 * error[1], 2e-15), (i, error)


@pytest.mark.parametrize("name", ["j0", "j1", "y0", "y1", "gamma"])
def test_special_functions_are_scipys_values(name):
    special = pytest.importorskip("scipy.special")
    grid = Grid(x=(-30, 40, 301), y=(0.1, 3, 7))
    x, y = np.meshgrid(*grid.coords.values(), indexing="ij")
    assert same_bits(grid.evaluate(f"{name}(x*y)"), getattr(special, name)(x * y))
