"""The default method's own kernels against mpmath and the C library: hypot as a vector loop, the
exact remainders (fmod and %), and the library's vector sine where a sign or a zero test reads it.
Operands reach a kernel as the ends of closed ranges (the grid's coordinates there are exact), so
every pair of a table of hard values is computed where the plan computes any grid's points."""

import ctypes
import ctypes.util
import math

import mpmath
import numpy as np
import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

from vemiral_grid import Grid

from depth import examples
from helpers import same_bits, same_bits_but_nan

FLOOR = 2e-15
ULP = 2.0**-52

# Zeros, subnormals, the edges where hypot's squares leave the doubles (2^±500, 2^-450), huge and tiny.
HARD = [5e-324, 2.5e-308, 1e-300, 2.0**-451, 2.0**-450, 1e-200, 1e-160, 1e-17, 0.1, 1.0, 1.5, 3.0, 4.0, 1e10,
        1e150, 2.0**500, 2.0**501, 1e300, 1.7e308, -3.0, -1.7e308, -2.0**500, -1e-160, -5e-324]


def pairs_of(values):
    """2 x 2 grids whose corners pair every value of `values` with every other."""
    ends = [(values[i], values[i + 1]) for i in range(0, len(values) - 1, 2)]
    return [Grid(x=(a[0], a[1], 2), y=(b[0], b[1], 2)) for a in ends for b in ends]


def kernel_of(grid, text, name):
    (line,) = [line for line in grid.explain(text).splitlines() if line.split()[1:2] == [name]]
    return line.split(", ")[-1]


def corners(v):
    """A 2 x 2 grid of corners v[0], v[1] along x and v[2], v[3] along y, where its steps are finite."""
    assume(math.isfinite(v[1] - v[0]) and math.isfinite(v[3] - v[2]))
    return Grid(x=(v[0], v[1], 2), y=(v[2], v[3], 2))


def check_hypot(grid):
    """hypot at every point within 1.5 ulp of the exact value, a subnormal's spacing, or infinite where it
    rounds to an infinity."""
    x, y = coordinates(grid)
    with mpmath.workdps(60):
        for value, a, b in zip(grid.evaluate("hypot(x, y)").ravel(), x.ravel(), y.ravel()):
            exact = mpmath.hypot(a, b)
            if math.isinf(float(exact)):
                assert value == math.inf, (a, b, value)
            else:
                assert abs(value - exact) <= 1.5 * ULP * exact + 5e-324, (a, b, value)


def coordinates(grid):
    return np.meshgrid(*grid.coords.values(), indexing="ij")


def within_the_bound(values, direct, exact_of, *operands):
    """Each value's error against mpmath's `exact_of(*operands)` within max(2 x direct evaluation's, 2e-15),
    relative to max(1, |exact|)."""
    with mpmath.workdps(60):
        for value, theirs, *at in zip(*(np.ravel(a) for a in (values, direct, *operands))):
            exact = exact_of(*map(mpmath.mpf, at))
            size = max(1, abs(exact))
            assert abs(value - exact) / size <= max(2 * abs(theirs - exact) / size, FLOOR), (at, value)


@pytest.mark.parametrize("grid", pairs_of(HARD), ids=lambda g: f"{g.coords['x']}x{g.coords['y']}")
def test_hypot_is_within_an_ulp_and_a_half_at_hard_points(grid):
    assert "vemiral's vector kernel" in grid.explain("hypot(x, y)")
    check_hypot(grid)


# Infinities as x/0 and NaN as (x - x)/0, from the coordinates (parameters are finite).
SPECIAL = {"hypot": np.hypot, "fmod": np.fmod, "inf": "(x/0)", "nan": "((x - x)/0)", "yinf": "(y/0)",
           "ynan": "((y - y)/0)"}


def special(text):
    for name in ("yinf", "ynan", "inf", "nan"):
        text = text.replace(name, SPECIAL[name])
    return text


def numpy_value(text, grid):
    x, y = coordinates(grid)
    with np.errstate(all="ignore"):
        return eval(text, {"x": x, "y": y, "hypot": np.hypot, "fmod": np.fmod, "logaddexp": np.logaddexp,
                           "erf": special_erf})


# Infinities, NaN and zeros: each kernel gives what NumPy's own function gives. IEEE's hypot: an
# infinity wins over NaN, NaN otherwise, zeros give +0; % of arrays is np.mod.
@pytest.mark.parametrize("text", [
    "hypot(inf, y)", "hypot(nan, y)", "hypot(nan, yinf)", "hypot(-inf, ynan)", "hypot(x*0, y*0)", "hypot(-x*0, -y*0)",
    "hypot(x, ynan)", "hypot(inf, -yinf)",
    "fmod(inf, y)", "fmod(nan, y)", "fmod(x, yinf)", "fmod(x, ynan)", "fmod(x, y*0)", "fmod(x*0, y*0)",
    "fmod(-inf, -yinf)", "fmod(x*0, yinf)", "fmod(-x*0, -yinf)",
    "inf % y", "nan % y", "x % yinf", "x % -yinf", "x % ynan", "x % (y*0)", "(x*0) % (y*0)", "(-x*0) % yinf",
    "logaddexp(inf, y)", "logaddexp(-inf, y)", "logaddexp(inf, yinf)", "logaddexp(-inf, -yinf)",
    "logaddexp(inf, -yinf)", "logaddexp(nan, y)", "logaddexp(x, ynan)", "logaddexp(x*0, -y*0)",
    "erf(inf)", "erf(nan)", "erf(x*0)",
])
def test_infinities_nan_and_zeros_give_numpys_bits(text):
    grid = Grid(x=(-3.0, 2.5, 2), y=(0.7, -1.25, 2))
    assert same_bits_but_nan(grid.evaluate(special(text)), numpy_value(special(text), grid)), text


# Quotients a/b that round up to a whole number (the truncated quotient one too large), quotients
# about 2^52 (where the C library takes over), divisors of every size, and both signs of each.
REMAINDER_PAIRS = [
    (7.0, 0.3), (1.0, 0.1), (0.3, 0.1), (math.nextafter(3.0, 0.0), 1.0), (math.nextafter(0.3, 1.0), 0.1),
    (2.0**52 * 0.75 + 0.25, 0.75), (2.0**52 + 2, 1.5), (2.0**53, 3.0), (1e300, 3e-300), (1e300, 7.0),
    (5e-324, 3e-320), (3e-320, 5e-324), (1e-310, 3e-311), (1e-300, 1e300), (123.456, 1e-3), (6.0, 2.0),
    (0.0, 3.0), (2.5, 1e308), (1.7e308, 1e-300), (1e16, 0.1),
]


def exact_remainders(a, b, floored):
    with mpmath.workprec(4000):  # wide enough for any quotient of doubles
        a, b = mpmath.mpf(a), mpmath.mpf(b)
        q = mpmath.floor(a / b) if floored else (mpmath.floor(a / b) if a / b >= 0 else mpmath.ceil(a / b))
        return float(a - q * b)


@pytest.mark.parametrize("a, b", REMAINDER_PAIRS)
@pytest.mark.parametrize("sa, sb", [(1, 1), (-1, 1), (1, -1), (-1, -1)])
def test_remainders_are_exact_and_the_c_librarys_bits(a, b, sa, sb):
    grid = Grid(x=(sa * a, 0.8125, 2), y=(sb * b, 0.6875, 2))
    x, y = coordinates(grid)
    fmod, mod = grid.evaluate("fmod(x, y)"), grid.evaluate("x % y")
    assert same_bits(fmod, np.fmod(x, y)) and same_bits(mod, np.mod(x, y))
    for floored, values in ((False, fmod), (True, mod)):
        exact = exact_remainders(sa * a, sb * b, floored)
        assert values[0, 0] == exact, (floored, values[0, 0], exact)


@settings(max_examples=examples(300), deadline=None)
@given(st.lists(st.floats(allow_nan=False, allow_infinity=False, width=64), min_size=4, max_size=4, unique=True))
def test_hypot_and_remainders_of_any_doubles(v):
    grid = corners(v)
    check_hypot(grid)
    x, y = coordinates(grid)
    with np.errstate(all="ignore"):
        assert same_bits_but_nan(grid.evaluate("fmod(x, y)"), np.fmod(x, y))
        assert same_bits_but_nan(grid.evaluate("x % y"), np.mod(x, y))


# The doubles nearest multiples of pi: sin is tiny there, and only its sign decides these values.
@pytest.mark.parametrize("k", [1, 2, 3, 10, 355, 103993, 2**20, 5419351, 2**23 // 3])
@pytest.mark.parametrize("text", ["sign(sin(x))", "where(sin(x) >= 0, 1.0, -1.0)", "heaviside(sin(x), 0.5)",
                                  "(sin(x) < 0) | (sin(x) == 0)"])
def test_sign_tests_of_a_vector_sine_are_exact_next_to_its_zeros(k, text):
    near = float(k * mpmath.pi)
    grid = Grid(x=(math.nextafter(near, 0.0), math.nextafter(near, math.inf), 3))
    # The sine a sign test reads takes the kernel of a sine whose relative error stays one.
    assert kernel_of(grid, text, "sin") == kernel_of(grid, "sin(x)/(x + 1)", "sin")
    x = grid.coords["x"]
    expected = {"sign": np.sign, "where": lambda s: np.where(s >= 0, 1.0, -1.0),
                "heaviside": lambda s: np.heaviside(s, 0.5), "(sin": lambda s: ((s < 0) | (s == 0)) * 1.0}
    with mpmath.workdps(60):
        exact = np.array([float(mpmath.sin(mpmath.mpf(v))) for v in x])
    assert np.array_equal(grid.evaluate(text), next(f for key, f in expected.items() if text.startswith(key))(exact))


# Functions whose slope and relative slope are at most 1 pass an error of the vector sine on as it is.
@pytest.mark.parametrize("text", ["tanh(3*sin(x*y))", "atan(2*cos(x*y))*y", "hypot(sin(x*y), cos(y))",
                                  "tanh(hypot(x, y) - 1)"])
def test_functions_reading_vector_kernels_are_within_the_bound(text):
    grid = Grid(x=(-7.3, 9.1, 41), y=(-2.2, 3.7, 37))
    values = grid.evaluate(text)
    x, y = coordinates(grid)
    namespace = {"x": x, "y": y, "sin": np.sin, "cos": np.cos, "tanh": np.tanh, "atan": np.arctan, "hypot": np.hypot}
    direct = eval(text, namespace)
    ns = {"sin": mpmath.sin, "cos": mpmath.cos, "tanh": mpmath.tanh, "atan": mpmath.atan, "hypot": mpmath.hypot}
    at = tuple(np.random.default_rng(5).integers(0, n, 200) for n in grid.shape)
    within_the_bound(values[at], direct[at], lambda a, b: eval(text, dict(ns, x=a, y=b)), x[at], y[at])


LIBM = ctypes.CDLL(ctypes.util.find_library("m"))


@pytest.mark.parametrize("name, c_name", [("erf", "erf"), ("erfc", "erfc"), ("rint", "nearbyint"),
                                          ("lgamma", "lgamma")])
def test_library_functions_called_from_the_loop_are_the_c_librarys(name, c_name):
    function = getattr(LIBM, c_name)
    function.restype, function.argtypes = ctypes.c_double, [ctypes.c_double]
    grid = Grid(x=(-30.5, 40.25, 2001), y=(-1.0, 1.5, 3))
    x, y = coordinates(grid)
    expected = np.vectorize(function, otypes=[float])(x * y)
    # A test against 2 (which erf never passes) reads erf: its value is the C library's then.
    text = f"where({name}(x*y) > 2, 0, {name}(x*y))" if name == "erf" else f"{name}(x*y)"
    assert "glibc" not in grid.explain(text)
    assert same_bits(grid.evaluate(text), expected)


# logaddexp in passes of vector kernels: near 0 of the value, equal and far apart operands, huge ones.
LOGADDEXP_VALUES = [-800.0, -745.5, -40.0, -0.7, -0.3465735902799727, -0.34, 0.0, 1e-300, 0.3, 1.0, 36.0, 37.5,
                    700.0, 1e308]


@pytest.mark.parametrize("grid", pairs_of(LOGADDEXP_VALUES), ids=lambda g: f"{g.coords['x']}x{g.coords['y']}")
def test_logaddexp_is_within_the_bound_at_hard_points(grid):
    assert "NumPy's exp" in grid.explain("logaddexp(x, y)")
    x, y = coordinates(grid)
    within_the_bound(grid.evaluate("logaddexp(x, y)"), np.logaddexp(x, y),
                     lambda a, b: mpmath.log(mpmath.exp(a) + mpmath.exp(b)), x, y)


@settings(max_examples=examples(300), deadline=None)
@given(st.lists(st.floats(-1e4, 1e4), min_size=4, max_size=4, unique=True))
def test_logaddexp_and_erf_of_random_operands_are_within_the_bound(v):
    grid = corners(v)
    x, y = coordinates(grid)
    within_the_bound(grid.evaluate("logaddexp(x, y) - 0.5"), np.logaddexp(x, y) - 0.5,
                     lambda a, b: mpmath.log(mpmath.exp(a) + mpmath.exp(b)) - mpmath.mpf(0.5), x, y)
    within_the_bound(grid.evaluate("0.5*(1 + erf(x/1000)) - 0.25"), 0.5 * (1 + special_erf(x / 1000)) - 0.25,
                     lambda a: 0.5 * (1 + mpmath.erf(a / 1000)) - mpmath.mpf(0.25), x)


def test_logaddexp_stays_numpys_where_its_error_would_grow():
    grid = Grid(x=(-3.0, 2.5, 40), y=(0.7, -1.25, 30))
    assert "NumPy's exp" not in grid.explain("floor(10*logaddexp(x, y))")
    x, y = coordinates(grid)
    assert same_bits(grid.evaluate("floor(1e6*logaddexp(x, y))"), np.floor(1e6 * np.logaddexp(x, y)))


# erf's vector kernel: zeros, subnormals, the ends of the C library's intervals, where it reaches 1.
ERF_VALUES = [5e-324, 1e-310, 1e-300, 1e-17, 1e-8, 0.1, 0.5, 0.84375, 0.8437500000000001, 1.0, 1.25, 2.0,
              2.857142857142857, 4.0, 5.9, 5.921875, 6.0, 27.0, 1e300]


@pytest.mark.parametrize("a", ERF_VALUES + [-v for v in ERF_VALUES])
def test_erf_is_within_a_few_ulps_of_its_value(a):
    grid = Grid(x=(a, 0.625, 2))
    assert kernel_of(grid, "erf(x)", "erf") == kernel_of(grid, "sin(x)/(x + 1)", "sin")
    with mpmath.workdps(60):
        exact = mpmath.erf(grid.coords["x"][0])
    value = grid.evaluate("erf(x)")[0]
    assert abs(value - exact) <= 4 * ULP * abs(exact) + 5e-324, (a, value)


def special_erf(x):
    return np.vectorize(math.erf, otypes=[float])(x)


@pytest.mark.parametrize("axis", [(-171.5, 171.6243769563027, 3), (-200.25, 5.5, 900), (3.5, 172.5, 1200)])
def test_gamma_past_170_is_the_c_librarys_among_scipys(axis):
    special = pytest.importorskip("scipy.special")
    tgamma = LIBM.tgamma
    tgamma.restype, tgamma.argtypes = ctypes.c_double, [ctypes.c_double]
    grid = Grid(x=axis)
    x = grid.coords["x"]
    with np.errstate(all="ignore"):
        expected = np.where(np.abs(x) > 170, np.vectorize(tgamma, otypes=[float])(x), special.gamma(x))
    assert same_bits_but_nan(grid.evaluate("gamma(x)"), expected)
