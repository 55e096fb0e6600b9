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
    # A test of the sign or of 0 is exact under a relative error; one against another number is not.
    ("where(sin(x*y) >= 0, 1, -1)", "sin", "every point", "glibc"),
    ("sign(cos(x*y)) + (sin(x*y) != 0)", "sin", "every point", "glibc"),
    ("heaviside(cos(x - y), 0.5)", "cos", "every point", "glibc"),
    ("where(sin(x*y) >= 0.5, 1, -1)", "sin", "every point", "C library"),
    ("heaviside(0.5, cos(x*y))", "cos", "every point", "C library"),
    # tanh, atan and hypot keep an argument's error, absolute or relative; sinh does not.
    ("tanh(3*sin(x*y))", "sin", "every point", "glibc"),
    ("atan(cos(x*y))", "cos", "every point", "glibc"),
    ("sinh(3*sin(x*y))", "sin", "every point", "C library"),
    # erf as the sine: glibc's vector kernel where an absolute or relative error stays one.
    ("0.5*(1 + erf(x - y))", "erf", "every point", "glibc"),
    ("erf(x*y)*y", "erf", "every point", "glibc"),
    ("floor(10*erf(x*y))", "erf", "every point", "direct, in double\n"),
    ("erf(3*sin(x*y))", "sin", "every point", "glibc"),
    # hypot takes its own vector loop where a relative error stays one, NumPy's loop elsewhere.
    ("hypot(x, y)*cos(y)", "hypot", "every point", "vemiral's vector kernel"),
    ("sqrt(hypot(x, y) + abs(x))", "hypot", "every point", "vemiral's vector kernel"),
    ("floor(hypot(x, y))", "hypot", "every point", "NumPy"),
    ("hypot(x, y) - 1", "hypot", "every point", "NumPy"),
    # Every other library function is NumPy's own loop, wherever it stands.
    ("exp(-x**2/(1 + y**2))/(1 + y**2)", "exp", "every point", "NumPy"),
    ("sin(exp(x*y))", "exp", "every point", "NumPy"),
    ("exp(-x**2)*y", "exp", "per row", "NumPy"),
    ("atan2(y, x)*2", "atan2", "every point", "NumPy"),
    ("tan(x*y)/2", "tan", "every point", "NumPy"),
    # ... and SciPy's own loop for the special functions SciPy computes faster than the C library.
    ("j0(x*y) + y1(y + 3)", "j0", "every point", "SciPy"),
    ("gamma(x*y + 3)", "gamma", "every point", "SciPy"),
    # A sine and a cosine of one argument are computed in one pass where their kernels allow it.
    ("sin(x*y) + cos(x*y)", "cos", "every point", "glibc's vector kernel, with the next in one pass"),
    ("floor(10*sin(x*y)) + floor(10*cos(x*y))", "cos", "every point", "C library, with the next in one pass"),
    ("2*sin(x*y) - cos(x*y)", "sin", "every point", "C library\n"),  # the cosine's is the vector kernel
], ids=lambda v: v if isinstance(v, str) and "(" in v else None)
def test_where_and_how_each_operation_is_computed(text, name, place, kernel):
    line = line_of(plan_lines(GRID, text), name) + "\n"
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
    # Arguments on both sides of 2**23, where the vector sine and cosine hand over to the C library's.
    "sin(4e6*x*y*z) + cos(4e6*x*y*z) + exp(sin(3e6*z))*cos(3e6*z)",
    "cos(1e300*x) - sin(y/z)*cos(y/z)",
    # Own kernels with the C library's at some points: huge and tiny hypot operands, whole quotients.
    "hypot(x*1e300, y) + hypot(x*1e-300, z*1e-300) + hypot(x, y*z)",
    "fmod(7*x, y) + (x*z) % 0.3 + (1e300*x) % z + fmod(x, z*0)",
    "sign(sin(x*y)) + heaviside(cos(z), 0.5)*tanh(3*sin(x*z)) + (sin(y*z) < 0)",
]


@pytest.mark.parametrize("text", FORMULAS)
def test_values_are_direct_evaluation_on_every_cut(text):
    grid = Grid(x=(-1, 1, 23), y=(-2, 2, 17), z=(0.5, 3, 31))
    node = grid.expression(text)
    whole = node.evaluate(grid.shape)
    x, y, z = np.meshgrid(*grid.coords.values(), indexing="ij")
    env = {"x": x, "y": y, "z": z, "exp": np.exp, "sqrt": np.sqrt, "where": np.where, "sin": np.sin, "cos": np.cos,
           "atan2": np.arctan2, "hypot": np.hypot, "tanh": np.tanh, "log1p": np.log1p, "cbrt": np.cbrt,
           "fmod": np.fmod, "sign": np.sign, "heaviside": np.heaviside}
    with np.errstate(all="ignore"):
        direct = eval(text.replace("where(x > y", "where((x > y)"), env)  # the same formula, NumPy's way
    assert np.allclose(whole, direct, rtol=4e-15, atol=4e-15, equal_nan=True)
    # Blocks of one row, one column, one point and odd boxes; rows of one point (N x 1 x 1).
    for origin, shape in [((0, 0, 0), (23, 17, 31)), ((5, 3, 7), (1, 1, 24)), ((2, 0, 30), (21, 17, 1)),
                          ((22, 16, 30), (1, 1, 1)), ((3, 4, 5), (7, 1, 9))]:
        part = node.evaluate(shape, origin=origin, threads=2)
        box = tuple(slice(o, o + s) for o, s in zip(origin, shape))
        assert same_bits(part, whole[box]), (origin, shape)


# Formulas computed together, each as evaluate computes it alone: kernels chosen for each formula
# (a cosine read by floor takes the C library's, one scaled the vector kernel), sine and cosine paired
# where both kernels allow it, a formula read by the others or given twice.
TOGETHER = [
    ("sin(x*y)", "cos(x*y)"),
    ("floor(10*sin(x*y))", "floor(10*cos(x*y))"),
    ("2*sin(x*y)", "floor(10*cos(x*y))"),
    ("sin(3e6*x*y)", "cos(3e6*x*y)", "sin(3e6*x*y)*cos(x)"),
    ("cos(1e300*x) + sin(x/y)", "sin(1e300*x)*y", "x + y"),
    ("exp(-x**2)*cos(7*x*y)", "exp(-x**2)*sin(7*x*y)", "exp(-x**2)"),
    ("sin(x)", "sin(x)", "y"),
    ("j0(x*y)*sin(x)", "j0(x*y)*cos(x)"),  # SciPy's loop, shared
]


@pytest.mark.parametrize("texts", TOGETHER, ids=" | ".join)
def test_formulas_together_give_each_ones_own_bits(texts):
    grid = Grid(x=(-1.3, 2.9, 37), y=(0.25, 3, 29))
    nodes = [grid.expression(t) for t in texts]
    alone = [node.evaluate(grid.shape) for node in nodes]
    for origin, shape, threads in [((0, 0), (37, 29), 2), ((3, 5), (1, 23), 1), ((0, 28), (37, 1), 2),
                                   ((36, 0), (1, 29), 1), ((5, 2), (9, 7), 2)]:
        box = tuple(slice(o, o + s) for o, s in zip(origin, shape))
        outs = [np.full(shape, np.nan) for _ in nodes]
        vm._evaluate_together(nodes, shape, origin=origin, outs=outs, threads=threads)
        for text, values, whole in zip(texts, outs, alone):
            assert same_bits(values, whole[box]), (text, origin, shape)
        # The first two as the parts of a complex array, in double and single precision.
        for dtype in (np.complex128, np.complex64):
            pair = np.full(shape, np.nan, dtype=dtype)
            vm._evaluate_together(nodes[:2], shape, origin=origin, outs=[pair.real, pair.imag], threads=threads)
            expected = (alone[0][box] + 0j).astype(dtype)
            expected.imag = alone[1][box]
            assert same_bits(pair.view(pair.real.dtype), expected.view(pair.real.dtype)), (texts, origin, dtype)


SHAPE = (3, 4)
X, Y = vm.ASTvar(0, 0.0, 0.5), vm.ASTvar(1, 0.0, 0.25)


@pytest.mark.parametrize("nodes, outs, error", [
    ([X], [], ValueError),  # an out short
    ([X, Y], [np.empty(SHAPE)], ValueError),
    ([X], [np.empty(SHAPE, dtype=np.int64)], ValueError),
    ([X], [np.empty((4, 3))], ValueError),
    ([X], [np.empty((3, 8))[:, :4]], ValueError),  # rows apart
    ([X], [np.empty((4, 3)).T], ValueError),  # in Fortran order
    ([X], [np.empty((3, 4))[:, ::-1]], ValueError),  # backwards
    ([vm.ASTvar(2, 0.0, 1.0)], [np.empty(SHAPE)], ValueError),  # a third dimension on a grid of two
    (["x"], [np.empty(SHAPE)], TypeError),
    ([X], [[0.0] * 12], TypeError),
])
def test_formulas_together_refuse_what_does_not_fit(nodes, outs, error):
    kept = [out.copy() for out in outs if isinstance(out, np.ndarray)]
    with pytest.raises(error):
        vm._evaluate_together(nodes, SHAPE, outs=outs)
    # Nothing written before the refusal.
    assert all(same_bits(a, b) for a, b in zip([o for o in outs if isinstance(o, np.ndarray)], kept))


def test_formulas_together_refuse_a_read_only_out():
    out = np.zeros(SHAPE)
    out.setflags(write=False)
    with pytest.raises(ValueError, match="read-only"):
        vm._evaluate_together([X], SHAPE, outs=[out])


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
