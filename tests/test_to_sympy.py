"""Formulas out to SymPy: what SymPy computes of the exported expression (lambdify
with NumPy and SciPy) agrees with the grid's own values, the expression read back
by Grid.evaluate gives the grid's values again, and sympify of a node names the
axes x0, x1, ... as Grid.sympy names them by the grid's names."""

import warnings

import numpy as np
import pytest

import vemiral as vm
from vemiral_grid import Grid

sympy = pytest.importorskip("sympy")

LINE = {"x": (-3, 3, 61)}
PLANE = {"x": (-2, 2, 21), "y": (0.5, 3, 11)}
SPACE = {"x": (-1, 1, 5), "y": (0.25, 2, 4), "z": (-1.5, 1.5, 7)}

# (axes, formula, parameters): every native function at least once, real and complex.
FORMULAS = [
    (LINE, "sin(x)**2 + cos(3*x) - tan(x/4)", {}),
    (LINE, "exp(-x**2/w)*cosh(x/3) + sinh(x)", {"w": 0.7}),
    (LINE, "where(x < 0, -x, sqrt(x)) + (x >= 1) - (x != 0.5) + (x <= -1)*(x > -2)", {}),
    (LINE, "rint(x*1.25) + trunc(x*1.3) + floor(x) + ceil(x) + sign(x) + abs(x)", {}),
    (LINE, "fmod(x, 0.7) + x % 0.7 + mod(-x, 1.3) + copysign(1.5, x)", {}),
    (LINE, "cbrt(x) + exp2(x) + expm1(x) + log1p(abs(x)) + log2(1 + x*x) + log10(4 + x)", {}),
    (LINE, "erf(x) + erfc(x/2) + atan(x) + asinh(x) + tanh(x)", {}),
    (LINE, "gamma(x + 3.5) + lgamma(x + 0.25) + loggamma(x + 3.1)", {}),
    (LINE, "j0(x) + j1(x) + jn(3, x) + y0(x + 3.5) + y1(x + 3.5)", {}),
    (LINE, "heaviside(x, 0.25) + logaddexp(x, -x/2) + hypot(x, 2) + atan2(x, 1.5)", {}),
    (LINE, "sec(x/2) + csc(x + 0.05) + cot(x + 0.05)", {}),
    (LINE, "minimum(x, 0.5) + maximum(x, -1) + clip(x, -1, 2) + sinc(x) + deg2rad(x) + square(x)", {}),
    (LINE, "logical_and(x > -1, x < 1) + logical_or(x < -2, logical_not(x > 2)) + where(x, 1, 2)", {}),
    (LINE, "asin(x/4) + acos(x/4) + acosh(4 + x) + atanh(x/4) + rad2deg(x)/100", {}),
    (LINE, "log(x + 4, 3) + ln(x + 5) + power(x + 4, 1.5) + x**3 - 1/(x + 3.05)", {}),
    (LINE, "y if x > 1 else (-y if x < -1 else 0)", {"y": 2.5}),
    (LINE, "where(x < 0.5, x, 1/0) + where(x > 2, -1/0, 0)", {}),
    (PLANE, "where(x*x + y*y < 2, exp(-x*y), hypot(x, y)) + max(x, y, 1)", {}),
    (PLANE, "atan2(y, x) + mod(x*y, 1.1) + y**x - min(x, y)", {}),
    (PLANE, "sin(x*y)/(1 + x**2) + jn(2, x*y) + heaviside(x, y)", {}),
    (SPACE, "x*y*z + where(z > 0, cos(x + y), erf(z)) - sqrt(abs(x*y*z))", {}),
    (SPACE, "not (x > 0 and y < 1) or z == 0", {}),
    (LINE, "exp(1j*k*x)", {"k": 2}),
    (LINE, "a*x + 1j*cos(x)", {"a": 1 + 2j}),
    (PLANE, "(x + 1j*y)**2/(1 + 2j) - conj(exp(1j*y))*x", {}),
    (PLANE, "sqrt(x + 1j*y) + log(y + 1j*x)", {}),
    (SPACE, "abs(x + 1j*y) + 1j*z*angle(x + 1j*y) + real(exp(1j*z))*imag(x + 1j*y)", {}),
]
IDS = [formula for _, formula, _ in FORMULAS]
ULPS = 8


def _close(actual, expected):
    """Equal NaNs and infinities, and finite values within ULPS ulps of max(1, |v|)."""
    actual, expected = np.asarray(actual), np.asarray(expected)
    if np.iscomplexobj(expected) or np.iscomplexobj(actual):
        _close(np.real(actual), np.real(expected))
        _close(np.imag(actual), np.imag(expected))
        return
    actual, expected = np.broadcast_to(actual, expected.shape).astype(float), expected.astype(float)
    np.testing.assert_array_equal(np.isnan(actual), np.isnan(expected))
    finite = np.isfinite(expected)
    np.testing.assert_array_equal(actual[~finite & ~np.isnan(expected)], expected[~finite & ~np.isnan(expected)])
    scale = np.maximum(1.0, np.abs(expected[finite]))
    error = np.abs(actual[finite] - expected[finite]) / (scale * np.finfo(float).eps)
    assert error.max(initial=0.0) <= ULPS, f"{error.max()} ulps"


def _lambdified(grid, expr):
    """SymPy's own numbers for `expr` at the grid's coordinates (NumPy's and SciPy's functions)."""
    symbols = [sympy.Symbol(name, real=True) for name in grid.names]
    function = sympy.lambdify(symbols, expr, modules=[{"rint": np.rint, "copysign": np.copysign}, "scipy", "numpy"])
    points = np.meshgrid(*(grid.coords[name] for name in grid.names), indexing="ij")
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore")  # Piecewise computes every piece at every point
        return function(*points)


@pytest.mark.parametrize(("axes", "formula", "parameters"), FORMULAS, ids=IDS)
def test_sympy_computes_what_the_grid_computes(axes, formula, parameters):
    grid = Grid(**axes)
    _close(_lambdified(grid, grid.sympy(formula, **parameters)), grid.evaluate(formula, **parameters))


@pytest.mark.parametrize(("axes", "formula", "parameters"), FORMULAS, ids=IDS)
def test_the_exported_expression_evaluates_to_the_same_values(axes, formula, parameters):
    grid = Grid(**axes)
    _close(grid.evaluate(grid.sympy(formula, **parameters)), grid.evaluate(formula, **parameters))


@pytest.mark.parametrize(("axes", "formula", "parameters"), FORMULAS, ids=IDS)
def test_sympify_of_a_node_names_the_axes_by_dimension(axes, formula, parameters):
    grid = Grid(**axes)
    by_dimension = {sympy.Symbol(name, real=True): sympy.Symbol(f"x{i}", real=True) for i, name in enumerate(grid.names)}
    node = grid.expression(formula, **parameters)
    assert sympy.sympify(node) == grid.sympy(formula, **parameters).xreplace(by_dimension)
    assert sympy.S(node) == sympy.sympify(node)


def test_a_shared_subtree_is_exported_once():
    # Squared 64 times, a tree of 2**64 paths from the root: only sharing makes it exportable.
    grid = Grid(x=(0.5, 1, 3))
    node = grid.x
    for _ in range(64):
        node = node * node
    assert sympy.sympify(node) == sympy.Symbol("x0", real=True) ** (2**64)


def test_a_deep_tree_is_exported_or_refused():
    node = Grid(x=(0, 1, 3)).x
    for _ in range(3000):
        node = vm.sin(node)
    try:
        expr = sympy.sympify(node)
    except ValueError as error:
        assert "nested too deeply" in str(error)
    else:
        assert sympy.count_ops(expr) == 3000


@pytest.mark.parametrize("bad", [1.5, "x", sympy.Symbol("x")])
def test_only_a_node_is_exported(bad):
    from vemiral_grid._to_sympy import to_sympy

    with pytest.raises(TypeError, match="expression node"):
        to_sympy(bad)
