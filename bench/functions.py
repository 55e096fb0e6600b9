"""The functions and conditions against NumPy and numexpr, and the error of each pointwise function.

Run with `bash scripts/bench.sh functions` (sets up .venv and builds first).

Speed: eight formulas on a 2000 x 2000 grid, x and y from -2 to 2, every
column writing into one reused `out=` array: the default method
("accurate", all cores), `method="recurrence"`, NumPy (written for speed:
parts of one axis computed on that axis, in-place ufuncs, the last one into
`out`; the rational function by Horner's rule in x over coefficients that are
polynomials of y) and numexpr (all cores). Each time is the best of several
runs taken in interleaved passes. Each column's values are checked against
NumPy's: max |difference| / max(1, |NumPy's value|) over the grid (and, for
the step function, how many points fall the other side of the circle).

The targets printed after the table: every case at least as fast as NumPy and
as numexpr; the Lorentzian and sqrt(x² + y²) at least twice as fast as NumPy.

Accuracy: for every function computed pointwise, the largest error in ulp of
the default method and of NumPy against mpmath (50 digits) on 2000 points of a
grid whose points are doubles (steps of powers of two), so both evaluate the
function at the same argument; "no AVX2" is the default method again in a
process with VEMIRAL_NO_AVX2 set (which no longer changes a function's
kernel: NumPy's loop, or the C library's where NumPy has none). sinh and cosh are taken of abs(x): of a plain axis they are
recurrences, not the pointwise function.
"""

import json
import math
import os
import subprocess
import sys
import time

import numpy as np

import bench
import vemiral as vm
from vemiral_grid import Grid

SIDE = 2000
REPEATS = 10
PASSES = 3
COLUMNS = ["accurate", "recurrence", "NumPy", "numexpr"]

# The rational function: all monomials x^i y^j with i + j <= 3, by (i, j).
# The denominator stays above 2 on [-2, 2]^2.
NUMERATOR = {(0, 0): 1.0, (1, 0): -0.7, (0, 1): 0.4, (2, 0): 0.3, (1, 1): -1.1,
             (0, 2): 0.6, (3, 0): 0.2, (2, 1): -0.15, (1, 2): 0.35, (0, 3): -0.25}
DENOMINATOR = {(0, 0): 6.0, (1, 0): 0.5, (0, 1): -0.25, (2, 0): 0.3, (1, 1): 0.2,
               (0, 2): 0.4, (3, 0): 0.05, (2, 1): -0.05, (1, 2): 0.05, (0, 3): -0.05}


def polynomial(coefficients):
    """As one writes it: 1.0 - 0.7*x + 0.4*y + 0.3*x**2 ..."""

    def power(name, n):
        return [] if n == 0 else [name] if n == 1 else [f"{name}**{n}"]

    text = ""
    for (i, j), c in coefficients.items():
        term = "*".join([repr(abs(c))] + power("x", i) + power("y", j))
        text += ("-" if c < 0 else "") + term if not text else (" - " if c < 0 else " + ") + term
    return "(" + text + ")"


LORENTZ = {"xc": 0.3, "yc": -0.2, "g": 0.5}
# name: (formula for vemiral and numexpr, its parameters)
CASES = {
    "Lorentzian": ("1/(1 + ((x - xc)/g)**2 + ((y - yc)/g)**2)", LORENTZ),
    "sqrt(x²+y²)": ("sqrt(x**2 + y**2)", {}),
    "1/(x²+y²+1)": ("1/(x**2 + y**2 + 1)", {}),
    "atan2(y,x)": ("arctan2(y, x)", {}),
    "tanh(xy)": ("tanh(x*y)", {}),
    "abs(sin(xy))": ("abs(sin(x*y))", {}),
    "x²+y²<1": ("where(x**2 + y**2 < 1, 1.0, 0.0)", {}),
    "P/Q": (polynomial(NUMERATOR) + "/" + polynomial(DENOMINATOR), {}),
}
# (case, target, limit of the time ratio accurate / peer)
TARGETS = [(case, peer, 1.0) for case in CASES for peer in ("NumPy", "numexpr")]
TARGETS += [("Lorentzian", "NumPy", 0.5), ("sqrt(x²+y²)", "NumPy", 0.5)]


# --- NumPy ------------------------------------------------------------------------


def numpy_fns(x, y):
    """Functions filling `out`, by case; x is a column, y a row."""
    x2, y2 = x * x, y * y

    def lorentz(out):
        a = (x - LORENTZ["xc"]) / LORENTZ["g"]
        b = (y - LORENTZ["yc"]) / LORENTZ["g"]
        np.add(1.0 + a * a, b * b, out=out)
        return np.divide(1.0, out, out=out)

    def radius(out):
        np.add(x2, y2, out=out)
        return np.sqrt(out, out=out)

    def inverse(out):
        np.add(x2, y2, out=out)
        out += 1.0
        return np.divide(1.0, out, out=out)

    def atan2(out):
        return np.arctan2(y, x, out=out)

    def tanh(out):
        np.multiply(x, y, out=out)
        return np.tanh(out, out=out)

    def abs_sin(out):
        np.multiply(x, y, out=out)
        np.sin(out, out=out)
        return np.abs(out, out=out)

    def disc(out):
        np.add(x2, y2, out=out)
        return np.less(out, 1.0, out=out)

    def horner(coefficients):
        # sum over i of x^i * c_i(y), c_i a polynomial of y (a row)
        rows = [sum(c * y**j for (i_, j), c in coefficients.items() if i_ == i) for i in range(4)]

        def into(out):
            np.multiply(x, rows[3], out=out)
            for i in (2, 1):
                out += rows[i]
                out *= x
            out += rows[0]
            return out

        return into

    numerator, denominator = horner(NUMERATOR), horner(DENOMINATOR)
    scratch = np.empty((x.shape[0], y.shape[1]))

    def rational(out):
        numerator(out)
        return np.divide(out, denominator(scratch), out=out)

    fns = [lorentz, radius, inverse, atan2, tanh, abs_sin, disc, rational]
    return dict(zip(CASES, fns))


def numexpr_fns(x, y):
    try:
        import numexpr
    except ImportError as e:
        return None, f"numexpr skipped ({e})"
    numexpr.set_num_threads(os.cpu_count() or 1)

    def make(text, params):
        names = {"x": x, "y": y, **params}
        return lambda out: numexpr.evaluate(text, local_dict=names, out=out)

    fns = {case: make(text, params) for case, (text, params) in CASES.items()}
    return fns, f"numexpr {numexpr.__version__}, {numexpr.get_num_threads()} threads"


# --- speed ------------------------------------------------------------------------


def agreement(values, reference):
    """max |values - reference| / max(1, |reference|), and the points more than 0.5 apart."""
    diff = np.abs(values - reference) / np.maximum(1.0, np.abs(reference))
    return float(np.max(diff)), int(np.count_nonzero(diff > 0.5))


def measure(grid, numpy, numexpr):
    shape = grid.shape
    out = np.empty(shape)
    rows, checks = {}, {}
    for case, (text, params) in CASES.items():
        node = grid.expression(text, **params)
        methods = {
            "accurate": lambda node=node: node.evaluate(shape, out=out),
            "recurrence": lambda node=node: node.evaluate(shape, out=out, method="recurrence"),
            "NumPy": lambda case=case: numpy[case](out),
        }
        if numexpr is not None:
            methods["numexpr"] = lambda case=case: numexpr[case](out)
        reference = numpy[case](np.empty(shape))
        checks[case] = {c: agreement(fn(), reference) for c, fn in methods.items() if c != "NumPy"}
        del reference
        times = dict.fromkeys(methods, math.inf)
        for pass_ in range(PASSES):
            for column, fn in methods.items():
                for _ in range(REPEATS * (pass_ + 1) // PASSES - REPEATS * pass_ // PASSES):
                    t0 = time.perf_counter()
                    fn()
                    times[column] = min(times[column], time.perf_counter() - t0)
                time.sleep(0.002)
        rows[case] = times
    return rows, checks


# --- accuracy ---------------------------------------------------------------------

# name: (formula, NumPy's function, mpmath's, axes (start, step, count) by name).
# One-dimensional grids of 2000 points; the functions of two arguments on 40 x 50.
LINE = 2000


def accuracy_cases(mp):
    def line(start, step):
        return {"x": (start, step, LINE)}

    plane = {"x": (-79 / 32, 2**-3, 40), "y": (-3.0625, 2**-3, 50)}
    cbrt = lambda v: mp.sign(v) * mp.cbrt(abs(v))  # noqa: E731 (the real root)
    vector = {
        "tanh": ("tanh(x)", np.tanh, mp.tanh, line(-4.0, 2**-8)),
        "sinh": ("sinh(abs(x))", np.sinh, mp.sinh, line(2**-8, 2**-8)),
        "cosh": ("cosh(abs(x))", np.cosh, mp.cosh, line(2**-8, 2**-8)),
        "cbrt": ("cbrt(x)", np.cbrt, cbrt, line(-7.8125, 2**-7)),
        "log10": ("log10(x)", np.log10, mp.log10, line(2**-8, 2**-8)),
        "log1p": ("log1p(x)", np.log1p, mp.log1p, line(-1.0 + 2**-8, 2**-8)),
        "erfc": ("erfc(x)", None, mp.erfc, line(-2.0, 2**-8)),
        "hypot": ("hypot(x, y)", np.hypot, mp.hypot, plane),
    }
    scalar = {
        "asinh": ("asinh(x)", np.arcsinh, mp.asinh, line(-7.8125, 2**-7)),
        "acosh": ("acosh(x)", np.arccosh, mp.acosh, line(1.0 + 2**-8, 2**-8)),
        "atanh": ("atanh(x)", np.arctanh, mp.atanh, line(-1.0 + 2**-10, 2**-10)),
        "erf": ("erf(x)", None, mp.erf, line(-3.90625, 2**-8)),
        "expm1": ("expm1(x)", np.expm1, mp.expm1, line(-3.90625, 2**-8)),
        "log2": ("log2(x)", np.log2, lambda v: mp.log(v, 2), line(2**-8, 2**-8)),
        "asin": ("asin(x)", np.arcsin, mp.asin, line(-1.0 + 2**-10, 2**-10)),
        "acos": ("acos(x)", np.arccos, mp.acos, line(-1.0 + 2**-10, 2**-10)),
        "atan": ("atan(x)", np.arctan, mp.atan, line(-7.8125, 2**-7)),
        "atan2": ("atan2(y, x)", lambda x, y: np.arctan2(y, x), lambda x, y: mp.atan2(y, x), plane),
    }
    return vector, scalar


def grid_of(axes):
    grid = Grid.from_steps(**axes)
    coords = [grid.coords[name] for name in grid.names]
    if len(coords) == 2:
        coords = [coords[0][:, None], coords[1][None, :]]
    # The points are doubles, so every method takes the function of the same argument.
    for name, c in zip(grid.names, coords):
        assert np.array_equal(grid.evaluate(name), np.broadcast_to(c, grid.shape))
    return grid, coords


def vemiral_values():
    """Every accuracy case's values from the default method, by name (run in a child process too)."""
    import mpmath

    vector, scalar = accuracy_cases(mpmath.mp)
    cases = (vector | scalar).items()
    return {name: grid_of(axes)[0].evaluate(text).ravel().tolist() for name, (text, _, _, axes) in cases}


def ulps(values, exact):
    worst = 0.0
    for value, point in zip(values.ravel(), exact):
        ulp = math.ulp(float(point))
        worst = max(worst, float(abs(point - value)) / ulp)
    return worst


def accuracy():
    try:
        import mpmath
    except ImportError as e:
        print(f"\naccuracy skipped ({e})")
        return
    mpmath.mp.dps = 50
    mp = mpmath.mp
    vector, scalar = accuracy_cases(mp)
    child = subprocess.run([sys.executable, __file__, "--values"], capture_output=True, text=True,
                           env=dict(os.environ, VEMIRAL_NO_AVX2="1"))
    portable = json.loads(child.stdout) if child.returncode == 0 else {}
    try:
        import scipy.special as special
    except ImportError:
        special = None

    print("\naccuracy of the pointwise functions: max error in ulp against mpmath (50 digits);")
    print("target: the default at most 1 ulp more than NumPy (SciPy for erf and erfc)")
    print(f"{'function':<9} {'form':<8} {'points':>6} " + " ".join(f"{c:>8}" for c in ("default", "no AVX2", "NumPy"))
          + f" {'target':>7}  argument")
    missed = []
    for cases in (vector, scalar):
        for name, (text, numpy_fn, exact_fn, axes) in cases.items():
            # What computes the default's value: NumPy's own loop where NumPy has the function.
            form = "NumPy" if numpy_fn is not None else "C lib"
            grid, coords = grid_of(axes)
            points = np.broadcast_arrays(*coords)
            exact = [exact_fn(*(mp.mpf(float(c)) for c in p)) for p in zip(*(a.ravel() for a in points))]
            mine = ulps(grid.evaluate(text), exact)
            other = ulps(np.array(portable[name]), exact) if name in portable else None
            if numpy_fn is None and special is not None:
                numpy_fn = getattr(special, name)  # NumPy has no erf: SciPy's
            theirs = ulps(numpy_fn(*coords), exact) if numpy_fn is not None else None
            span = ", ".join(f"{n} {a[0]:g}..{a[0] + a[1] * (a[2] - 1):g}" for n, a in axes.items())
            cells = [f"{v:>8.2f}" if v is not None else f"{'n/a':>8}" for v in (mine, other, theirs)]
            verdict = "n/a" if theirs is None else "met" if mine <= theirs + 1.0 else "MISSED"
            if verdict == "MISSED":
                missed.append(f"{name} by {mine - theirs - 1.0:.2f}")
            print(f"{name:<9} {form:<8} {grid.size:>6} " + " ".join(cells) + f" {verdict:>7}  {span}", flush=True)
    print(f"more than 1 ulp beyond NumPy: {', '.join(missed) if missed else 'none'}")
    if not portable:
        print(f"(no AVX2 column: the child process failed: {child.stderr.strip()[-300:]})")


# --- report -----------------------------------------------------------------------


def main():
    if sys.argv[1:] == ["--values"]:
        json.dump(vemiral_values(), sys.stdout)
        return 0
    started = time.perf_counter()
    grid = Grid(x=(-2, 2, SIDE), y=(-2, 2, SIDE))
    x, y = grid.coords["x"][:, None], grid.coords["y"][None, :]
    numexpr, numexpr_text = numexpr_fns(x, y)
    print(bench.machine([numexpr_text]))
    print(f"{SIDE} x {SIDE} grid, x and y from -2 to 2, into a reused out=; best of {REPEATS} runs "
          f"in {PASSES} interleaved passes; ns per grid point\n")
    rows, checks = measure(grid, numpy_fns(x, y), numexpr)
    points = grid.size
    ratios = ["NumPy/acc", "nexpr/acc", "acc/rec"]
    header = f"{'case':<12} " + " ".join(f"{c:>10}" for c in COLUMNS) + " " + " ".join(f"{r:>10}" for r in ratios)
    print(header)
    print("-" * len(header))
    for case, times in rows.items():
        cells = [f"{times[c] * 1e9 / points:>10.2f}" if c in times else f"{'skipped':>10}" for c in COLUMNS]
        quotients = [times.get("NumPy", math.nan) / times["accurate"],
                     times.get("numexpr", math.nan) / times["accurate"],
                     times["accurate"] / times["recurrence"]]
        print(f"{case:<12} " + " ".join(cells) + " " + " ".join(f"{q:>9.2f}x" for q in quotients))

    print("\nagreement with NumPy: max |difference| / max(1, |NumPy's value|) (points more than 0.5 apart)")
    for case, check in checks.items():
        print(f"{case:<12} " + "  ".join(f"{c} {d:.2g}" + (f" ({n})" if n else "") for c, (d, n) in check.items()))

    print("\ntargets (time of the default / time of the peer; met when at most the limit)")
    met = 0
    for case, peer, limit in TARGETS:
        if peer not in rows[case]:
            print(f"{case:<12} vs {peer:<8} skipped")
            continue
        value = rows[case]["accurate"] / rows[case][peer]
        verdict = "met" if value <= limit else "MISSED"
        met += verdict == "met"
        print(f"{case:<12} vs {peer:<8} {value:>6.2f}x  limit {limit:.2f}x  {verdict}")
    print(f"\n{met} of {len(TARGETS)} targets met")

    accuracy()
    print(f"\nwhole run {time.perf_counter() - started:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
