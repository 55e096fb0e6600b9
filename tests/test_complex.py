"""Complex values: random complex formulas against mpmath, branch cuts against
NumPy, every path that writes values (the same bits however the grid is cut),
reductions, the ways a complex formula is written, and the refusals."""

import math
import os
import pickle
import subprocess
import sys
import warnings

import mpmath
import numpy as np
import pytest
import sympy as sp

import vemiral as vm
import vemiral_grid
from vemiral_grid import Grid, parse
from vemiral_grid._complex import ComplexNode, parts_of
from vemiral_grid._values import evaluate_into

from helpers import same_bits, same_bits_but_nan

# --- random complex formulas against mpmath ----------------------------------------------

UNARY = ["exp", "log", "sqrt", "sin", "cos", "tan", "sinh", "cosh", "tanh", "conj", "square"]
REAL_OF = ["real", "imag", "abs", "angle"]
BINARY = ["+", "-", "*", "/", "**"]
CONSTANTS = ["0.5j", "(0.3+0.7j)", "(-1.2+0.4j)", "2.5j", "1.5", "-0.8"]


def random_formula(rng, names, depth):
    """A formula over the axes `names` with a complex number somewhere in it."""
    if depth == 0:
        pick = rng.integers(4)
        if pick == 0:
            return str(rng.choice(CONSTANTS))
        return str(rng.choice(names)) if pick == 1 else f"({rng.choice(names)} + {rng.choice(CONSTANTS)})"
    kind = rng.integers(6)
    inner = random_formula(rng, names, depth - 1)
    if kind <= 1:
        return f"{rng.choice(UNARY)}({inner})"
    if kind == 2:
        return f"({rng.choice(REAL_OF)}({inner}) + {rng.choice(CONSTANTS)})"
    op = str(rng.choice(BINARY))
    other = random_formula(rng, names, depth - 1)
    if op == "**":
        return f"({inner})**{rng.choice(['2', '3', '-1', '0.5', '(0.5+0.5j)', 'x'])}"
    return f"({inner} {op} {other})"


def _numpy_namespace():
    return {"exp": np.exp, "log": np.log, "sqrt": np.sqrt, "sin": np.sin, "cos": np.cos, "tan": np.tan,
            "sinh": np.sinh, "cosh": np.cosh, "tanh": np.tanh, "conj": np.conj, "square": np.square,
            "real": np.real, "imag": np.imag, "abs": np.abs, "angle": np.angle}


def _mpmath_namespace():
    mp = mpmath.mp
    return {"exp": mp.exp, "log": mp.log, "sqrt": mp.sqrt, "sin": mp.sin, "cos": mp.cos, "tan": mp.tan,
            "sinh": mp.sinh, "cosh": mp.cosh, "tanh": mp.tanh, "conj": mp.conj, "square": lambda z: z * z,
            "real": mp.re, "imag": mp.im, "abs": abs, "angle": mp.arg}


GRIDS = {
    "1-D": Grid(x=(-1.37, 1.41, 37)),
    "2-D": Grid(x=(-1.37, 1.41, 23), y=(-0.93, 1.29, 19)),
    "3-D": Grid(x=(-1.37, 1.41, 9), y=(-0.93, 1.29, 7), z=(0.11, 1.53, 6)),
}


@pytest.mark.parametrize("dims", GRIDS)
@pytest.mark.parametrize("seed", range(16))
def test_random_complex_formulas_are_as_accurate_as_numpy_against_mpmath(dims, seed):
    """Each value within max(2 x NumPy's error at that point, 4e-15) of the exact
    complex value, relative to max(1, |exact|), at points away from the axes' zeros."""
    rng = np.random.default_rng([seed, list(GRIDS).index(dims)])
    grid = GRIDS[dims]
    text = random_formula(rng, list(grid.names), 3)
    values = grid.evaluate(text)
    coords = grid.coords
    axes = np.meshgrid(*coords.values(), indexing="ij")
    with np.errstate(all="ignore"):
        numpy_values = eval(text, _numpy_namespace(), dict(zip(grid.names, axes, strict=True)))
    numpy_values = np.broadcast_to(numpy_values, grid.shape)
    mpmath.mp.dps = 40
    for _ in range(12):
        point = tuple(int(rng.integers(n)) for n in grid.shape)
        env = {name: mpmath.mpf(float(coords[name][i])) for name, i in zip(grid.names, point, strict=True)}
        try:
            exact = mpmath.mpc(eval(text, _mpmath_namespace(), env))
        except (ZeroDivisionError, ValueError):
            continue
        if not mpmath.isfinite(exact.real) or not mpmath.isfinite(exact.imag) or abs(exact) > 1e300:
            continue
        expected = complex(numpy_values[point])
        if not (math.isfinite(expected.real) and math.isfinite(expected.imag)):
            # Outside a real function's domain (NumPy's (-1)**0.5 is NaN, mpmath's is 1j).
            assert not np.isfinite(values[point]), (text, point)
            continue
        scale = max(1, abs(exact))
        mine = float(abs(mpmath.mpc(complex(values[point])) - exact) / scale)
        numpy_error = float(abs(mpmath.mpc(complex(numpy_values[point])) - exact) / scale)
        assert mine <= max(2 * numpy_error, 4e-15), (text, point, complex(values[point]), exact, numpy_error)


@pytest.mark.parametrize("dims", GRIDS)
@pytest.mark.parametrize("seed", range(16))
def test_the_parts_computed_together_are_each_parts_own_bits(dims, seed):
    """Random complex formulas, whose parts are computed in one pass (a phase, an amplitude, the
    sine and cosine of one argument shared), against each part computed alone, on any cut."""
    rng = np.random.default_rng([seed, list(GRIDS).index(dims), 1])
    grid = GRIDS[dims]
    node = grid.expression(random_formula(rng, list(grid.names), 3))
    if not isinstance(node, ComplexNode):
        pytest.skip("a real formula")
    parts = [np.broadcast_to(p, grid.shape) if isinstance(p, float) else p.evaluate(grid.shape)
             for p in parts_of(node)]
    origin = tuple(int(rng.integers(n)) for n in grid.shape)
    shape = tuple(n - o for n, o in zip(grid.shape, origin))
    box = tuple(slice(o, None) for o in origin)
    for values in (grid.evaluate(node), evaluate_into(node, np.empty(shape, np.complex128), origin, (3,) * grid.ndim)):
        at = box if values.shape != grid.shape else ()
        assert same_bits(values.real, parts[0][at]) and same_bits(values.imag, parts[1][at]), repr(node)



# The recurrence method's largest error on these formulas over 200 x 200 (4.5e-12 at
# 1800 points of 60 formulas), with a margin: rotations drift with the steps, as real ones do.
STEPPED_DRIFT = 1e-11


def _stepped_formula(rng):
    """A sum of products of exp(i*p) (p a polynomial of the axes), exp((a+ib)*x) and c*exp(i*y)."""
    def factor():
        c = [round(float(v), 3) for v in rng.uniform(-3, 3, 4)]
        pick = rng.integers(3)
        if pick == 0:
            return f"exp(1j*({c[0]}*x*x + {c[1]}*y + {c[2]}*x*y))"
        if pick == 1:
            return f"exp(({c[0] / 3}{c[1]:+}j)*{rng.choice(['x', 'y'])})"
        return f"({c[2]}{c[3]:+}j)*exp(1j*y)"
    return " + ".join(" * ".join(factor() for _ in range(rng.integers(1, 3))) for _ in range(rng.integers(1, 3)))


@pytest.mark.parametrize("seed", range(12))
def test_exponentials_of_polynomials_step_as_rotations_within_their_drift(seed, native):
    """exp(i*p) and exp((a+ib)*x) lower to trigonometric chains (a rotation, scaled by a
    product chain), and the recurrence method's sums and products of them stay within
    its stated drift of mpmath's complex values at the points start + index*step."""
    rng = np.random.default_rng(seed)
    text, n = _stepped_formula(rng), 200
    grid = Grid(x=(-1.3, 1.7, n), y=(-0.9, 1.1, n))
    for single in (f"exp(1j*({seed + 1}*x*x - y))", f"exp(({seed / 7 - 1}+{seed + 1}j)*x)"):
        for part in parts_of(grid.expression(single)):
            part.crinit(list(grid.shape))
            assert native()[0].startswith("CRtrig["), single
    values = grid.evaluate(text, method="recurrence")
    steps = [mpmath.mpf((1.7 + 1.3) / (n - 1)), mpmath.mpf((1.1 + 0.9) / (n - 1))]
    with mpmath.workdps(40):
        for _ in range(16):
            i, j = (int(k) for k in rng.integers(n, size=2))
            env = {"exp": mpmath.exp, "x": -1.3 + i * steps[0], "y": -0.9 + j * steps[1]}
            exact = mpmath.mpc(eval(text, env))
            error = abs(mpmath.mpc(complex(values[i, j])) - exact) / max(1, abs(exact))
            assert error <= STEPPED_DRIFT, (text, (i, j), float(error))

# --- branch cuts and the axes, against NumPy ------------------------------------------------

# Points on both axes, negative reals among them; zeros written with a sign.
CUTS = Grid(x=(-2, 2, 9), y=(-1, 1, 5))


@pytest.mark.parametrize("text", [
    "sqrt(x + 0j)", "sqrt(conj(x + 0j))", "log(x + 0j)", "log(conj(x + 0j))", "angle(x + 0j)",
    "angle(conj(x + 0j))", "sqrt(-(x + 0j))", "sqrt(x + 1j*y)", "log(x + 1j*y)", "angle(x + 1j*y)",
    "sqrt(complex(x, -0.0))", "log(complex(x, -0.0))", "(x + 1j*y)**0.5", "abs(x + 1j*y)", "1/(x + 1j*y)",
    "exp(x + 1j*y)", "tanh(x + 1j*y)", "tan(y + 1j*x)", "(x + 1j*y)**2",
])
def test_values_on_the_axes_and_the_cuts_are_numpys(text):
    x, y = np.meshgrid(*CUTS.coords.values(), indexing="ij")
    namespace = {**_numpy_namespace(), "complex": np.vectorize(complex)}  # complex(x, -0.0) keeps the -0
    with np.errstate(all="ignore"):
        expected = np.broadcast_to(eval(text, namespace, {"x": x, "y": y}), CUTS.shape)
    values = CUTS.evaluate(text)
    assert values.dtype == expected.dtype
    finite = np.isfinite(expected)
    assert np.array_equal(np.isfinite(values), finite), text
    scale = np.maximum(1, np.abs(expected[finite]))
    assert np.all(np.abs(values[finite] - expected[finite]) <= 4e-15 * scale), text
    # The side of a cut is the sign of a zero imaginary part: NumPy's.
    on_cut = finite & (expected.imag == 0) if np.iscomplexobj(expected) else finite & False
    assert np.array_equal(np.signbit(values.imag[on_cut]), np.signbit(expected.imag[on_cut])), text


# --- every path, the same bits however the grid is cut -------------------------------------

FIELD = "exp(-x**2)*exp(1j*k*x*y) + (x + 2j)/(y - 3j)"
PARAMS = {"k": 3.0}
PLANE = Grid(x=(-2, 2, 61), y=(-1, 1, 47))


@pytest.fixture(scope="module")
def whole():
    return PLANE.evaluate(FIELD, **PARAMS)


def _through_npy(tmp_path, **options):
    return np.load(PLANE.to_npy(FIELD, tmp_path / "v.npy", **options, **PARAMS))


def _through_zarr(tmp_path, **options):
    xr = pytest.importorskip("xarray")
    path = PLANE.to_zarr(FIELD, tmp_path / "v.zarr", chunks=(20, 13), **options, **PARAMS)
    return xr.open_zarr(path)["values"].values


def _in_slabs(tmp_path, **options):
    return PLANE.evaluate(FIELD, progress=True, tile=(7, 5), **options, **PARAMS)


def _one_thread(tmp_path, **options):
    threads = vm.get_num_threads()
    vm.set_num_threads(1)
    try:
        return PLANE.evaluate(FIELD, **options, **PARAMS)
    finally:
        vm.set_num_threads(threads)


PATHS = {
    "evaluate": lambda tmp_path, **o: PLANE.evaluate(FIELD, **o, **PARAMS),
    "out=": lambda tmp_path, **o: PLANE.evaluate(
        FIELD, out=np.empty(PLANE.shape, np.dtype(o.get("dtype", "complex128"))), **PARAMS),
    "one thread": _one_thread,
    "slabs with a bar": lambda tmp_path, **o: _in_slabs(tmp_path, **o),
    "dask": lambda tmp_path, **o: PLANE.to_dask(FIELD, chunks=(17, 9), **o, **PARAMS).compute(),
    "xarray": lambda tmp_path, **o: PLANE.to_xarray(FIELD, chunks={"y": 10}, **o, **PARAMS).values,
    "npy": _through_npy,
    "zarr": _through_zarr,
    "pickled node": lambda tmp_path, **o: PLANE.evaluate(
        pickle.loads(pickle.dumps(PLANE.expression(FIELD, **PARAMS))), **o),
    "repr read back": lambda tmp_path, **o: PLANE.evaluate(
        parse(repr(PLANE.expression(FIELD, **PARAMS)), {"x0": PLANE.x, "x1": PLANE.y}), **o),
}


@pytest.mark.parametrize("dtype", ["complex128", "complex64"])
@pytest.mark.parametrize("path", PATHS)
def test_every_path_gives_the_same_bits(path, dtype, whole, tmp_path):
    tile = {"tile": (7, 5)} if path == "slabs with a bar" else {}
    values = PATHS[path](tmp_path, dtype=dtype)
    expected = PLANE.evaluate(FIELD, dtype=dtype, **tile, **PARAMS)
    assert values.dtype == np.dtype(dtype)
    assert same_bits(values, expected)
    # Single precision is the double value rounded once.
    assert same_bits(expected, (PLANE.evaluate(FIELD, **tile, **PARAMS)).astype(dtype))


@pytest.mark.parametrize("tile", [(1, 1), (5, 3), (61, 47), (64, 64)])
def test_blocks_anywhere_are_slices_of_the_whole(tile):
    node = PLANE.expression(FIELD, **PARAMS)
    full = evaluate_into(node, np.empty(PLANE.shape, np.complex128), (0, 0), tile)
    block = evaluate_into(node, np.empty((20, 11), np.complex128), (13, 29), tile)
    assert same_bits(block, full[13:33, 29:40])


@pytest.mark.parametrize("text, dtype, expected", [
    ("exp(1j*x)", None, "complex128"),
    ("exp(1j*x)", "float32", "complex64"),
    ("exp(1j*x)", "complex64", "complex64"),
    ("real(exp(1j*x))", None, "float64"),
    ("abs(x + 1j)", "float32", "float32"),
    ("x*y", "complex128", "complex128"),
    ("x*y", "complex64", "complex64"),
])
def test_the_dtype_is_the_formulas_in_the_precision_asked(text, dtype, expected):
    values = PLANE.evaluate(text, dtype=dtype)
    assert values.dtype == np.dtype(expected)
    double = PLANE.evaluate(text)
    assert same_bits(values, double.astype(np.result_type(double, values)).astype(expected))


def test_the_parts_are_what_real_and_imag_give():
    values = PLANE.evaluate(FIELD, **PARAMS)
    assert same_bits(values.real, PLANE.evaluate(f"real({FIELD})", **PARAMS))
    assert same_bits(values.imag, PLANE.evaluate(f"imag({FIELD})", **PARAMS))


# --- how a complex formula is written -------------------------------------------------------

X = PLANE.coords["x"][:, None]
Y = PLANE.coords["y"][None, :]


@pytest.mark.parametrize("expr, params, expected", [
    ("exp(1j*k*x)", {"k": 2}, np.exp(1j * 2 * X) + 0 * Y),
    ("a*x", {"a": 1 + 2j}, (1 + 2j) * X + 0 * Y),
    ("2.5j*x + 1e-1J*y", {}, 2.5j * X + 0.1j * Y),
    ("complex(x, y)", {}, X + 1j * Y),
    ("conjugate(x + 1j*y) * arg(1j + y)", {}, np.conj(X + 1j * Y) * np.angle(1j + Y)),
    ("sqrt(-4 + 0j*x) + sqrt(-4 + 0*x)", {}, np.full(PLANE.shape, complex(math.nan, 2))),
    (lambda x, y: np.exp(1j * x) * y, {}, np.exp(1j * X) * Y),
    (lambda x, y, k: np.real(np.exp(1j * k * x)) + np.angle(x + 1j * y), {"k": np.complex128(2)},
     np.cos(2 * X) + np.angle(X + 1j * Y)),
    (lambda x, y: x * 1j + np.complex128(2j) * y, {}, 1j * X + 2j * Y),
    (sp.exp(sp.I * sp.Symbol("x")) * sp.Symbol("y"), {}, np.exp(1j * X) * Y),
    (sp.re(sp.Symbol("x") + sp.I * sp.Symbol("y")) + sp.Abs(sp.Symbol("x") + sp.I), {}, X + np.abs(X + 1j) + 0 * Y),
    (sp.conjugate(sp.Symbol("x")) * sp.Symbol("k"), {"k": sp.Integer(1) + 2 * sp.I}, (1 + 2j) * X + 0 * Y),
    (1 + 2j, {}, np.full(PLANE.shape, 1 + 2j)),
])
def test_complex_formulas_in_every_form(expr, params, expected):
    values = PLANE.evaluate(expr, **params)
    assert values.dtype == expected.dtype
    assert np.allclose(values, expected, rtol=4e-15, atol=4e-15, equal_nan=True)


def test_the_functions_keep_their_real_meaning_and_take_no_reserved_name():
    grid = Grid(angle=(0, 1, 5), real=(0, 2, 3))
    assert same_bits(grid.evaluate("angle*real + arg(-1 + 0*angle)"), grid.evaluate(lambda angle, real: angle * real + math.pi))
    assert Grid(x=(0, 1, 4)).evaluate("x*imag", imag=2).dtype == np.float64


def test_the_repr_reads_back_as_the_same_expression():
    node = PLANE.expression("exp(-x**2)*exp(1j*x*y) + conj(1j - y)/(x - 0j)")
    assert isinstance(node, ComplexNode)
    again = parse(repr(node), {"x0": PLANE.x, "x1": PLANE.y})
    assert repr(again) == repr(node)
    assert same_bits(PLANE.evaluate(again), PLANE.evaluate(node))


# --- reductions -----------------------------------------------------------------------------

REDUCED = "exp(1j*3*x)*(y + 2j) + where(x > 1.5, 0/0, 0)"


@pytest.mark.parametrize("how", ["sum", "mean", "nansum", "nanmean", "var", "std", "nanvar", "nanstd", "any",
                                 "all", "count_nonzero"])
@pytest.mark.parametrize("axis", [None, "x", ("y",)])
@pytest.mark.parametrize("chunks", [None, (20, 13)])
def test_reductions_of_complex_values_are_numpys(how, axis, chunks):
    values = PLANE.evaluate(REDUCED)
    dims = None if axis is None else tuple(PLANE.names.index(a) for a in np.atleast_1d(axis))
    with warnings.catch_warnings():  # rows of NaN alone: NumPy's warnings, and the reductions'
        warnings.simplefilter("ignore", RuntimeWarning)
        expected = getattr(np, how)(values, axis=dims)
        got = PLANE.reduce(REDUCED, how, axis=axis, chunks=chunks)
    assert np.shape(got) == np.shape(expected) and np.asarray(got).dtype == np.asarray(expected).dtype
    if how in ("sum", "mean", "var", "std"):  # NaN in the real part; NumPy's mean spreads it to both
        got, expected = np.asarray(got).real, np.asarray(expected).real
    assert np.allclose(got, expected, rtol=1e-13, atol=1e-13, equal_nan=True)


def test_integrals_of_complex_values_are_the_parts_integrals():
    values = PLANE.evaluate("exp(1j*x)*y")
    got = PLANE.integrate("exp(1j*x)*y", axis="x", rule="simpson")
    x = PLANE.coords["x"]
    expected = [np.dot(_simpson(x), values[:, j]) for j in range(PLANE.shape[1])]
    assert np.allclose(got, expected, rtol=1e-14, atol=1e-14)


def _simpson(x):
    n, h = len(x), x[1] - x[0]
    w = np.where(np.arange(n) % 2 == 1, 4.0, 2.0) * h / 3
    w[0] = w[-1] = h / 3
    return w


# --- refusals ------------------------------------------------------------------------------

REFUSALS = {
    "min": (lambda g: g.min("exp(1j*x)"), TypeError, "complex values have no order"),
    "argmax": (lambda g: g.argmax("exp(1j*x)", axis="x"), TypeError, "complex values have no order"),
    "median": (lambda g: g.median("exp(1j*x)"), TypeError, "complex values have no order"),
    "quantile": (lambda g: g.quantile("exp(1j*x)", 0.5), TypeError, "complex values have no order"),
    "histogram": (lambda g: g.histogram("exp(1j*x)"), TypeError, "complex values have no order"),
    "min in a tuple": (lambda g: g.reduce("1j*x", ("sum", "max")), TypeError, "max of complex values"),
    "prod": (lambda g: g.prod("exp(1j*x)"), ValueError, "prod of complex values is not computed"),
    "floor": (lambda g: g.evaluate("floor(1j*x)"), ValueError, r"floor\(\) does not take complex values"),
    "comparison": (lambda g: g.evaluate("x < 1j"), ValueError, r"less\(\) does not take complex values"),
    "maximum": (lambda g: g.evaluate("max(x, 2j)"), ValueError, r"max\(\) does not take complex values"),
    "complex condition": (lambda g: g.evaluate("where(1j*x, x, y)"), TypeError, "takes a real condition"),
    "real out": (lambda g: g.evaluate("1j*x", out=np.empty(g.shape)), TypeError, "out must be complex128"),
    "infinite parameter": (lambda g: g.evaluate("a*x", a=complex(1, math.inf)), ValueError, "finite"),
    "order of nodes": (lambda g: g.expression("1j*x") < 1, TypeError, "complex values have no order"),
    "truth": (lambda g: bool(g.expression("1j*x")), TypeError, "truth value"),
    "a ufunc": (lambda g: np.floor(g.expression("1j*x")), TypeError, "does not take complex values"),
    "a reduce ufunc": (lambda g: np.add.reduce(g.expression("1j*x")), TypeError, "does not apply"),
    "a part": (lambda g: ComplexNode("x", 1.0), TypeError, "real node or number"),
}


@pytest.mark.parametrize("name", REFUSALS)
def test_refusals_name_what_is_wrong(name):
    call, error, words = REFUSALS[name]
    with pytest.raises(error, match=words):
        call(PLANE)


# --- the command line ------------------------------------------------------------------------


def _cli(*args, cwd):
    # The package as the tests import it, wherever the folder the command runs in.
    path = os.pathsep.join(filter(None, [os.path.dirname(os.path.dirname(vemiral_grid.__file__)),
                                         os.environ.get("PYTHONPATH")]))
    env = {**os.environ, "PYTHONPATH": path}
    if os.environ.get("VEMIRAL_UNDER_SANITIZER"):
        # AddressSanitizer still checks the child; LeakSanitizer's tracer at the
        # exit of a process with matplotlib's threads has crashed on its own.
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    return subprocess.run([sys.executable, "-m", "vemiral_grid", *args], cwd=cwd, capture_output=True, text=True,
                          timeout=120, env=env)


@pytest.mark.parametrize("dtype", ["complex128", "complex64", "float32"])
def test_the_command_line_writes_complex_values(tmp_path, dtype):
    done = _cli("exp(1j*k*x)*y", "-a", "x=0:6:120", "-a", "y=0:2:50", "-p", "k=2+0.5j", "--dtype", dtype,
                "-o", "f.npy", "--png", "f.png", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    grid = Grid(x=(0, 6, 120), y=(0, 2, 50))
    assert same_bits_but_nan(np.load(tmp_path / "f.npy"), grid.evaluate("exp(1j*k*x)*y", k=2 + 0.5j, dtype=dtype))
    assert (tmp_path / "f.png").read_bytes()[:4] == b"\x89PNG"


@pytest.mark.parametrize("args, words", [
    (["exp(1j*x)", "-a", "x=0:1:10", "-o", "f.nc"], "NetCDF holds no complex values"),
    (["x", "-a", "x=0:1:10", "--png", "f.png", "--phase"], "--phase draws the phase of complex values"),
    (["exp(1j*x)", "-a", "x=0:1:10", "--phase"], "--phase draws the phase of complex values"),
    (["x*k", "-a", "x=0:1:10", "-p", "k=1+2i"], "malformed parameter 'k=1+2i'"),
])
def test_the_command_line_refuses_what_complex_values_cannot_be(tmp_path, args, words):
    done = _cli(*args, cwd=tmp_path)
    assert done.returncode == 2 and words in done.stderr, done.stderr
    assert list(tmp_path.iterdir()) == []


def test_the_summary_of_complex_values(tmp_path):
    import json

    done = _cli("exp(1j*x)*2", "-a", "x=0:3:31", "--json", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    summary = json.loads(done.stdout)
    values = Grid(x=(0, 3, 31)).evaluate("exp(1j*x)*2")
    assert summary["abs_max"] == pytest.approx(np.abs(values).max(), rel=1e-15)
    assert complex(*summary["mean"]) == pytest.approx(values.mean(), rel=1e-14)


def test_a_generated_program_computes_the_pair_of_the_parts_programs(native):
    node = PLANE.expression("exp(1j*x*y) + 2j - x")
    node.crinit([6, 4])
    program = {}
    exec(node.crgen(), program)
    parts = []
    for part in (node.real, node.imag):
        part.crinit([6, 4])
        namespace = {}
        exec(part.crgen(), namespace)
        parts.append(np.array(namespace["results"]))
    pair = np.empty(parts[0].shape, dtype=np.complex128)
    pair.real, pair.imag = parts
    assert same_bits(np.array(program["results"]), pair)
    assert np.allclose(np.array(program["results"]), PLANE.evaluate(node)[:6, :4], rtol=1e-14, atol=1e-14)
    with pytest.raises(RuntimeError, match="crinit"):
        PLANE.expression("1j*x").crgen()


def test_several_formulas_in_a_dataset_and_in_a_store(tmp_path):
    xr = pytest.importorskip("xarray")
    formulas = {"field": FIELD, "height": "x*y"}
    dataset = PLANE.to_dataset(formulas, **PARAMS)
    assert dataset["field"].dtype == np.complex128 and dataset["height"].dtype == np.float64
    assert same_bits(dataset["field"].values, PLANE.evaluate(FIELD, **PARAMS))
    store = xr.open_zarr(PLANE.to_zarr(formulas, tmp_path / "both.zarr", **PARAMS))
    # One dtype a store: complex for both, the real formula's imaginary part zero.
    assert store["height"].dtype == np.complex128
    assert same_bits(store["height"].values.real, PLANE.evaluate("x*y")) and not store["height"].values.imag.any()
    assert same_bits(store["field"].values, PLANE.evaluate(FIELD, **PARAMS))
