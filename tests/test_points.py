"""Values belong to the points Grid.coords reports: NumPy's coordinates, a closed
range's ends exactly, and every value there within the bound of its exact value
(jumps, branch cuts and domain edges decided as NumPy decides them there)."""

import math
import pickle

import mpmath
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vemiral as vm
from vemiral_grid import Grid

from depth import examples

FLOOR = 2e-15
ends = st.floats(-1e6, 1e6, allow_nan=False, allow_subnormal=False)


@settings(max_examples=examples(200), deadline=None)
@given(start=ends, stop=ends, num=st.integers(1, 3000), symmetric=st.booleans())
def test_coordinates_and_values_are_numpys_linspace(start, stop, num, symmetric):
    if symmetric:
        start = -stop
    grid = Grid(x=(start, stop, num))
    expected = np.linspace(start, stop, num)
    assert grid.coords["x"].tobytes() == expected.tobytes()
    # Each value is computed at that very coordinate, blocks and tiles alike.
    assert grid.evaluate("x").tobytes() == expected.tobytes()
    assert grid.evaluate("x", tile=7).tobytes() == expected.tobytes()


@settings(max_examples=examples(50), deadline=None)
@given(start=ends, step=st.floats(-10, 10, allow_nan=False, allow_subnormal=False), num=st.integers(1, 3000))
def test_stepped_coordinates_are_start_plus_arange_times_step(start, step, num):
    grid = Grid.from_steps(x=(start, step, num))
    expected = start + np.arange(num) * step
    assert grid.coords["x"].tobytes() == expected.tobytes() == grid.evaluate("x").tobytes()


def mesh(grid):
    return np.meshgrid(*grid.coords.values(), indexing="ij")


PLANE = Grid(x=(-2, 2, 101), y=(-1.5, 1.5, 77))

# Functions with jumps, branch cuts and domain edges, against NumPy on the
# coordinates, exactly.
JUMPS = [
    ("heaviside(x, 0.5)", lambda x, y: np.heaviside(x, 0.5)),
    ("x > 0", lambda x, y: (x > 0) * 1.0),
    ("0 < x < 1", lambda x, y: ((0 < x) & (x < 1)) * 1.0),
    ("where(x > 0 and y < 1, 1, 2)", lambda x, y: np.where((x > 0) & (y < 1), 1.0, 2.0)),
    ("atan2(y, x)", lambda x, y: np.arctan2(y, x)),
    ("cbrt(x*y)", lambda x, y: np.cbrt(x * y)),
    ("acos(y/1.5)", lambda x, y: np.arccos(y / 1.5)),
    ("sqrt(-1/(x*x))", lambda x, y: np.sqrt(-1 / (x * x))),
    ("floor(10*(x % 1))", lambda x, y: np.floor(10 * np.mod(x, 1))),
    ("sign(x*y)", lambda x, y: np.sign(x * y)),
]


@pytest.mark.parametrize("text, numpy", JUMPS, ids=[t for t, _ in JUMPS])
def test_jumps_decide_as_numpy_does_at_the_coordinates(text, numpy):
    with np.errstate(all="ignore"):
        expected = numpy(*mesh(PLANE))
    np.testing.assert_array_equal(PLANE.evaluate(text), expected)


def numpy_of(text):
    names = {"sin": np.sin, "cos": np.cos, "tan": np.tan, "exp": np.exp, "exp2": np.exp2, "sinh": np.sinh,
             "csc": lambda v: 1 / np.sin(v), "log": np.log, "expm1": np.expm1, "log1p": np.log1p,
             "fmod": np.fmod, "sqrt": np.sqrt}
    return lambda **axes: eval(text, names, axes)  # noqa: S307 - the table's own texts


def mpmath_of(text):
    names = {"sin": mpmath.sin, "cos": mpmath.cos, "tan": mpmath.tan, "exp": mpmath.exp, "sinh": mpmath.sinh,
             "exp2": lambda v: mpmath.mpf(2) ** v, "csc": mpmath.csc, "log": mpmath.log, "expm1": mpmath.expm1,
             "log1p": mpmath.log1p, "fmod": mpmath.fmod, "sqrt": mpmath.sqrt}
    return lambda **axes: eval(text, names, {k: mpmath.mpf(float(v)) for k, v in axes.items()})  # noqa: S307


def check_bound(text, coords, values, indexes):
    """values at the given indexes within max(2 x NumPy's error, FLOOR) of the exact
    value at the coordinates, relative to max(1, |exact|); NaN where NumPy gives NaN."""
    direct = numpy_of(text)
    exact = mpmath_of(text)
    with mpmath.workdps(60), np.errstate(all="ignore"):
        for at in indexes:
            point = {name: c[i] for (name, c), i in zip(coords.items(), at)}
            ours, theirs = float(values[at]), float(direct(**point))
            if math.isnan(theirs):
                assert math.isnan(ours), (text, point, ours)
                continue
            try:
                true = exact(**point)
            except ZeroDivisionError:  # a pole at the coordinate itself
                true = mpmath.inf
            if not mpmath.isfinite(true):
                assert ours == theirs, (text, point, ours, theirs)
                continue
            scale = max(1, abs(true))
            error = float(abs(ours - true) / scale)
            assert error <= max(2 * float(abs(theirs - true) / scale), FLOOR), (text, point, ours, theirs, float(true))


# Steep arguments, poles and ranges the grid walks into.
STEEP = [
    ("sin(exp2(x))", Grid.from_steps(x=(40, 0.37, 60))),
    ("sin(exp(x))", Grid(x=(40, 60, 301))),
    ("cos(exp(x))", Grid(x=(40, 60, 301))),
    ("sin(x**12)", Grid(x=(40, 60, 201))),
    ("csc(x)", Grid.from_steps(x=(0, 2**-7, 403))),
    ("tan(x)", Grid.from_steps(x=(math.pi / 2 - 100 * 2**-30, 2**-30, 201))),
    ("sinh(x)/x", Grid.from_steps(x=(-1e-6, 1e-8, 200))),
    ("sinh(x)", Grid(x=(-1e-3, 1e-3, 201))),
    ("fmod(x, 0.3)", Grid.from_steps(x=(0, 0.3, 11))),
]


@pytest.mark.parametrize("text, grid", STEEP, ids=[t for t, _ in STEEP])
def test_steep_arguments_and_poles_are_within_the_bound(text, grid):
    values = grid.evaluate(text)
    check_bound(text, grid.coords, values, [(i,) for i in range(grid.size)])


def test_ranged_functions_stay_in_their_range():
    # 10 * 0.3 rounds to 3.0: its remainder is 0, as NumPy gives, not a rounding below 0.
    steps = Grid.from_steps(x=(0, 0.3, 11))
    assert steps.evaluate("x % 1")[10] == 0.0 == steps.evaluate("floor(10*(x % 1))")[10]
    assert steps.evaluate("sqrt(x % 1)")[10] == 0.0
    grid = Grid.from_steps(x=(0, 0.3, 101), y=(0.1, 0.7, 33))
    assert (grid.evaluate("x % 1") >= 0).all() and (grid.evaluate("x % 1") < 1).all()
    assert (grid.evaluate("fmod(x*y, 0.3)") >= 0).all()
    wide = Grid(x=(-1e4, 1e4, 200001))
    for text in ("sin(x)", "cos(x)", "tanh(x)", "erf(x)"):
        assert (np.abs(wide.evaluate(text)) <= 1).all(), text


def test_indexes_past_two_to_the_53_stay_apart():
    # The index is exact however large: start + index * step rounded once.
    x = vm.ASTvar(0, -(2.0**60), 1.0)
    assert x.evaluate((4,), origin=[2**60]).tolist() == [0.0, 1.0, 2.0, 3.0]
    t = vm.ASTvar(0, -0.75 * 2.0**61, 0.75)
    assert t.evaluate((3,), origin=[2**61 + 1]).tolist() == [0.75, 1.5, 2.25]


# Removable singularities: numerator and denominator vanish together.
REMOVABLE = ["sin(x)/x", "sinh(x)/x", "tan(x)/x", "(exp(x)-1)/x", "(1-cos(x))/x**2", "log(1+x)/x", "x/sin(x)"]


@pytest.mark.parametrize("text", REMOVABLE)
@pytest.mark.parametrize("num", [3, 4, 101, 1000, 2001, 10**6, 10**12 + 1])
def test_removable_singularities_near_the_centre(text, num):
    grid = Grid(x=(-1, 1, num))
    centre = num // 2
    first = max(0, centre - 3)
    count = min(num, 7)
    node = grid.expression(text)
    # A block around the centre, computed alone (a far block of the larger grids).
    values = node.evaluate((count,), origin=[first])
    step = grid.axes[0].step
    coords = {"x": np.array([(first + i) * step + -1.0 if first + i < num - 1 else 1.0 for i in range(count)])}
    check_bound(text, coords, values, [(i,) for i in range(count)])


def test_a_closed_ranges_end_travels_with_its_node():
    num = next(n for n in range(2, 200) if (n - 1) * (4 / (n - 1)) - 2 != 2)  # where start + (n-1)*step misses stop
    grid = Grid(x=(-2, 2, num))
    assert (grid.x.stop, grid.x.num) == (2.0, num) and Grid.from_steps(x=(0, 1, 1)).x.stop is None
    for node in (grid.expression("x"), pickle.loads(pickle.dumps(grid.expression("x")))):
        assert node.evaluate((num,)).tobytes() == np.linspace(-2, 2, num).tobytes()
        assert node.evaluate((1,), origin=[num - 1])[0] == 2.0


@pytest.mark.parametrize("keywords, error", [
    ({"stop": 1.0}, TypeError), ({"num": 3}, TypeError), ({"stop": 1.0, "num": 0}, ValueError),
    ({"stop": 1.0, "num": 2.5}, TypeError), ({"stop": "1", "num": 3}, TypeError),
])
def test_a_variables_end_is_refused_when_incomplete_or_bad(keywords, error):
    with pytest.raises(error):
        vm.ASTvar(0, 0.0, 0.5, **keywords)


def test_every_path_gives_the_values_at_the_coordinates(tmp_path):
    num = next(n for n in range(2, 200) if (n - 1) * (4 / (n - 1)) - 2 != 2)
    grid = Grid(x=(-2, 2, num), y=(0, 1, 3))
    expected = np.broadcast_to(np.linspace(-2, 2, num)[:, None], grid.shape)
    grid.to_npy("x", tmp_path / "x.npy")
    paths = {
        "evaluate": grid.evaluate("x"),
        "to_dask": grid.to_dask("x", chunks=(7, 2)).compute(),
        "to_xarray": grid.to_xarray("x").values,
        "to_npy": np.load(tmp_path / "x.npy"),
    }
    for name, values in paths.items():
        assert values.tobytes() == np.ascontiguousarray(expected).tobytes(), name
    assert grid.to_xarray("x").x.values.tobytes() == np.linspace(-2, 2, num).tobytes()
    assert grid.max("x") == 2.0 and grid.sum("x", axis="y")[-1] == 6.0
