"""The formula zoo: formulas people write, against the peers they would use instead.

Run with `bash scripts/bench.sh zoo` (sets up .venv and builds first);
`--quick` for a short run on grids of a sixteenth of the points, `--only
KEY,...` for some formulas or groups (see the keys in the table), `--save PATH`
to write the report, preceded by the machine and the versions, to PATH.

Every formula is written once as Python text, on a grid of 10^6 to 2·10^6
points (121³ in 3-D; a few grids are smaller on purpose, where said): physics
(beams, potentials, series, wave packets), signals at 48 kHz (tones, chirps,
modulations, windows, pulses), functions of two variables on ranges reaching
negative values (bench/functions.py's eight cases and tanh, erf, atan2,
hypot, log1p, expm1 of two-variable arguments), long sums, and the shape of a
grid (100000 x 1 against 1 x 100000). Each is measured side by side in this
one process:

- first: vemiral's first `grid.evaluate(node, out=buf)` of a node just built
  from the text (taken before any other evaluation of that formula: the cost
  of preparing it), in milliseconds;
- vemiral: `grid.evaluate(node, out=buf)` again, the node kept (a string
  passed again pays its parse too: ~0.1 ms for a short formula);
- NumPy: the same text evaluated over 1-D axis arrays that broadcast, so the
  parts of one axis are computed on that axis only; NumPy reuses the
  temporaries of operators itself and every function here takes a temporary
  in place (`out=`), as one writes for speed; sub-expressions named in the
  table (r = sqrt(...)) computed once; no rewriting that changes rounding;
- numexpr on all cores, into the same `out=`;
- JAX: `jax.jit` of the formula with the grid built inside it from the axes,
  float64, `block_until_ready`.

NumPy and numexpr build their axes (start + i*step) inside the timed call, as
bench/peers.py does; NumPy and JAX return fresh arrays. numba is left out:
each formula would need a loop of its own. A peer is skipped where it lacks a
function or its compile takes absurdly long; the output says which and why.
Each time is the best of several runs taken in interleaved passes, so every
column samples the same load; a column whose single call takes more than the
cell's budget runs once.

Errors: at 40 grid points drawn at random, max |value - exact| / max(1,
|exact|), the exact value from mpmath (50 digits) at the grid's own
coordinates (`grid.coords`, the doubles the grid reports) and the parameters
as given (doubles), for vemiral's values and NumPy's; a peer more than 1e-6
off is reported after the table.

The summary: the geometric means of NumPy/vemiral and JAX/vemiral over the
zoo, how many formulas vemiral computes at least as fast as each peer, the
formulas where it is slower than NumPy (MISSED), the first call of W on 100 x
100 against NumPy's time, and the ratio of the two shapes.
"""

import argparse
import datetime
import importlib.metadata
import io
import math
import os
import platform
import re
import sys
import tempfile
import time
from dataclasses import dataclass, field

import numpy as np

import functions
import vemiral as vm
from vemiral_grid import Grid

PASSES = 3
REPEATS = 10
BUDGET = 0.6  # seconds a column may take over a formula's passes
SAMPLES = 40
SMALL = 200_000  # points of a grid --quick keeps whole (W on 100 x 100, the shapes)
QUICK = {"shrink": 16, "repeats": 2, "passes": 2, "budget": 0.05, "samples": 8}
COLUMNS = ["vemiral", "NumPy", "numexpr", "JAX"]
PEERS = ["NumPy", "numexpr", "JAX"]
RATE = 48000


@dataclass
class Formula:
    key: str
    group: str
    grid: tuple  # ("range" or "steps", {axis: (a, b, num)})
    text: str
    params: dict = field(default_factory=dict)
    # Sub-expressions NumPy, JAX and mpmath compute once, as one would name them;
    # vemiral and numexpr read them spelt out in the text.
    lets: dict = field(default_factory=dict)
    skip: dict = field(default_factory=dict)  # peer: why


def by_range(**axes):
    return ("range", axes)


def by_steps(**axes):
    return ("steps", axes)


def signal(n=10**6):
    return by_steps(t=(0, 1 / RATE, n))


PLANE = by_range(x=(-2, 2, 1000), y=(-2, 2, 1000))
CUBE = by_range(x=(-1, 1, 121), y=(-1, 1, 121), z=(-1, 1, 121))
RADIUS = {"r": "sqrt(x**2 + y**2 + z**2 + 0.01)"}
DURATION = 10**6 / RATE
# 16 wave vectors of length 10, evenly spread in direction.
WAVES = [(10 * math.cos(2 * math.pi * i / 16), 10 * math.sin(2 * math.pi * i / 16)) for i in range(16)]
# The Fourier series of the heat equation on a ring: u(x, t) = sum of
# cos(k x) e^(-k² t) / k², k = 1..24.
HEAT = " + ".join(f"cos({k}*x)*exp(-{k * k}*t)/{k * k}" for k in range(1, 25))
FUNCTION_KEYS = {"Lorentzian": "fn_lorentz", "sqrt(x²+y²)": "radius", "1/(x²+y²+1)": "inverse",
                 "atan2(y,x)": "atan2", "tanh(xy)": "tanh", "abs(sin(xy))": "abs_sin", "x²+y²<1": "disc",
                 "P/Q": "rational"}
LONG_SKIP = {"numexpr": "its compiler recurses too deep on 1000 terms",
             "JAX": "its compile takes ~20 s for 2000 points"}


def zoo():
    f = Formula
    physics = [
        f("beam", "physics", by_range(x=(-3, 3, 601), z=(-10, 10, 801)),
          "exp(-2*x**2/(1 + (z/5)**2))/(1 + (z/5)**2)"),
        f("lorentz", "physics", PLANE, "1/(1 + ((x - 0.3)/0.5)**2 + (y/0.5)**2)"),
        f("coulomb", "physics", CUBE, "1/r", lets=RADIUS),
        f("yukawa", "physics", CUBE, "exp(-r/0.7)/r", lets=RADIUS),
        f("dipole", "physics", CUBE, "z/r**3", lets=RADIUS),
        f("lennard_jones", "physics", by_range(r=(0.9, 3, 10**6)), "4*(s**12 - s**6)", lets={"s": "1/r"}),
        # An even count on a symmetric range: no point at 0.
        f("sinc", "physics", by_range(x=(-20, 20, 10**6)), "sin(pi*x)/(pi*x)"),
        f("heat24", "physics", by_range(x=(-math.pi, math.pi, 1000), t=(0.001, 1, 1000)), HEAT),
        f("waves16", "physics", PLANE, " + ".join(f"cos({kx!r}*x + {ky!r}*y)" for kx, ky in WAVES)),
        f("packet", "physics", by_range(x=(-5, 5, 1000), y=(0, 10, 1000)), "exp(-(x - 0.1*y)**2)*cos(20*x)"),
    ]
    w = 2 * math.pi * 440
    signals = [
        f("tone", "signals", signal(), "sin(2*pi*440*t)"),
        f("chirp", "signals", signal(), "sin(2*pi*(100*t + 50*t**2))"),
        f("fm", "signals", signal(), "sin(w*t + b*sin(v*t))",
          {"w": 2 * math.pi * 1000, "b": 5.0, "v": 2 * math.pi * 5}),
        f("am", "signals", signal(), "(1 + 0.5*cos(v*t))*sin(w*t)", {"v": 2 * math.pi * 3, "w": w}),
        # 20 Hz to 20 kHz over the signal's length.
        f("sweep", "signals", signal(), "sin(a*(exp(t/b) - 1))",
          {"a": 2 * math.pi * 20 * DURATION / math.log(1000), "b": DURATION / math.log(1000)}),
        f("hann", "signals", signal(), "0.5*(1 - cos(2*pi*t/T))*sin(w*t)", {"T": DURATION, "w": w}),
        f("blackman", "signals", signal(), "(0.42 - 0.5*cos(2*pi*t/T) + 0.08*cos(4*pi*t/T))*sin(w*t)",
          {"T": DURATION, "w": w}),
        f("pulse", "signals", signal(), "exp(-((t - t0)/s)**2)*cos(w*(t - t0))",
          {"t0": DURATION / 2, "s": 2.0, "w": w}),
    ]
    fns = [f(FUNCTION_KEYS[name], "functions", PLANE, text, params) for name, (text, params) in functions.CASES.items()]
    fns += [
        f("erf", "functions", PLANE, "erf(x*y)"),
        f("hypot", "functions", PLANE, "hypot(x, y)"),
        f("log1p", "functions", PLANE, "log1p(x*x + y*y)"),
        f("expm1", "functions", PLANE, "expm1(-x*y)"),
        f("atan2_xy", "functions", PLANE, "atan2(x*y, x + y)"),
        # A data scientist's: a logistic model and a Gaussian kernel.
        f("logistic", "functions", PLANE, "1/(1 + exp(-(1.5*x - 0.8*y + 0.2)))"),
        f("rbf", "functions", PLANE, "exp(-(x - y)**2/(2*s**2))", {"s": 0.7}),
    ]
    long = [
        f("sum1000", "long", by_range(x=(0, 1, 50), y=(0, 1, 40)),
          " + ".join(f"sin({k}*x*y)" for k in range(1, 1001)), skip=LONG_SKIP),
        f("sum100", "long", by_range(x=(0, 1, 1000), y=(0, 1, 1000)),
          " + ".join(f"sin({k}*x*y)" for k in range(1, 101))),
        f("W100", "long", by_range(x=(0, 1, 100), y=(1, 3, 100)), "sin(x*y) + cos(x + y)"),
    ]
    shape = [
        f("shape_col", "shape", by_range(x=(0, 1, 100000), z=(1.5, 1.5, 1)), "exp(x/z)*z"),
        f("shape_row", "shape", by_range(x=(0.5, 0.5, 1), z=(1, 2, 100000)), "exp(x/z)*z"),
    ]
    return physics + signals + fns + long + shape


# --- the texts each column reads ---------------------------------------------------


def spelt_out(formula):
    """The text with the named sub-expressions written in place."""
    text = formula.text
    for name, part in reversed(formula.lets.items()):
        text = re.sub(rf"\b{name}\b", f"({part})", text)
    return text


def make_grid(formula, shrink):
    """The formula's grid; one of more than SMALL points with about 1/shrink of
    them (every axis of more than one point cut alike, to an even count: sinc's
    grid must miss 0)."""
    kind, axes = formula.grid
    if shrink > 1 and math.prod(n for _, _, n in axes.values()) > SMALL:
        spread = sum(n > 1 for _, _, n in axes.values())
        cut = lambda n: n if n == 1 else max(2, round(n / shrink ** (1 / spread)) // 2 * 2)  # noqa: E731
        axes = {name: (a, b, cut(n)) for name, (a, b, n) in axes.items()}
    return Grid(**axes) if kind == "range" else Grid.from_steps(**axes)


def axis_arrays(grid, make):
    """Each axis as an array shaped to broadcast along its dimension."""
    result = {}
    for dim, axis in enumerate(grid.axes):
        shape = [1] * grid.ndim
        shape[dim] = axis.num
        result[axis.name] = (axis.start + make(axis.num) * axis.step).reshape(shape)
    return result


def evaluator(formula, namespace, hold=lambda value: value, result=lambda value: value):
    """A function of the axis arrays (by name) computing the formula in `namespace`;
    `hold` marks the named values (axes and sub-expressions), `result` unwraps the value."""
    lets = [(name, compile(text, name, "eval")) for name, text in formula.lets.items()]
    code = compile(formula.text, formula.key, "eval")
    params = dict(formula.params)

    def run(axes):
        env = {**namespace, **params, **{name: hold(a) for name, a in axes.items()}}
        for name, part in lets:
            env[name] = hold(eval(part, env))
        return result(eval(code, env))

    return run


# --- namespaces ---------------------------------------------------------------------


class Spare:
    """An array of the NumPy column. An operation writes into an operand that is a
    temporary when the result has its shape, as one writes `out=` for speed:
    NumPy reuses a temporary itself only when nothing broadcasts, and here
    nearly everything does (the axes are 1-D). In one Python expression every
    intermediate value is used once, so every value but the named ones
    (`held`: the axes and the sub-expressions) is a temporary."""

    __slots__ = ("a", "held")

    def __init__(self, a, held=False):
        self.a, self.held = a, held

    def __neg__(self):
        return apply(np.negative, self)

    def __abs__(self):
        return apply(np.absolute, self)

    def __pow__(self, other):
        # NumPy's own ** takes these exponents by a faster ufunc: the same values.
        fast = {2: np.square, 0.5: np.sqrt, -1: np.reciprocal}
        if isinstance(other, int | float) and other in fast:
            return apply(fast[other], self)
        return apply(np.power, self, other)

    def __rpow__(self, other):
        return apply(np.power, other, self)


def raw(value):
    return value.a if isinstance(value, Spare) else value


def reusable(value, other):
    """value's array, where the result of an operation of value and other may overwrite it."""
    if isinstance(value, Spare) and not value.held and value.a.dtype == np.float64 and value.a.ndim:
        shape = np.shape(raw(other))
        if not shape or np.broadcast_shapes(value.a.shape, shape) == value.a.shape:
            return value.a
    return None


def apply(ufunc, *args):
    arrays = [raw(a) for a in args]
    for i, a in enumerate(args):
        out = reusable(a, args[1 - i] if len(args) == 2 else 0.0)
        if out is not None:
            return Spare(ufunc(*arrays, out=out))
    return Spare(ufunc(*arrays))


def _operators():
    def forward(ufunc):
        return lambda self, other: apply(ufunc, self, other)

    def backward(ufunc):
        return lambda self, other: apply(ufunc, other, self)

    for name, ufunc in (("add", np.add), ("sub", np.subtract), ("mul", np.multiply), ("truediv", np.true_divide)):
        setattr(Spare, f"__{name}__", forward(ufunc))
        setattr(Spare, f"__r{name}__", backward(ufunc))
    for name, ufunc in (("lt", np.less), ("le", np.less_equal), ("gt", np.greater), ("ge", np.greater_equal)):
        setattr(Spare, f"__{name}__", lambda self, other, ufunc=ufunc: Spare(ufunc(self.a, raw(other))))


_operators()


def numpy_namespace():
    def function(ufunc):
        return lambda *args: apply(ufunc, *args)

    ufuncs = {name: getattr(np, name) for name in ("exp", "sin", "cos", "sqrt", "tanh", "log1p", "expm1", "hypot")}
    ufuncs |= {"abs": np.absolute, "atan2": np.arctan2, "arctan2": np.arctan2}
    try:
        import scipy.special
    except ImportError:
        pass  # NumPy has no erf: SciPy's, where there is SciPy
    else:
        ufuncs["erf"] = scipy.special.erf
    ns = {name: function(ufunc) for name, ufunc in ufuncs.items()}
    return ns | {"where": lambda c, a, b: Spare(np.where(raw(c), raw(a), raw(b))), "pi": np.pi}


def numpy_evaluator(formula, namespace):
    return evaluator(formula, namespace, hold=lambda a: Spare(raw(a), held=True), result=raw)


def mpmath_namespace(mp):
    ns = {name: getattr(mp, name) for name in ("exp", "sin", "cos", "sqrt", "tanh", "log1p", "expm1", "erf",
                                               "atan2", "hypot", "pi")}
    return ns | {"abs": abs, "arctan2": mp.atan2, "where": lambda c, a, b: a if c else b}


def jax_namespace(jnp, special):
    ns = {name: getattr(jnp, name) for name in ("exp", "sin", "cos", "sqrt", "tanh", "log1p", "expm1", "hypot",
                                                "where", "abs")}
    return ns | {"atan2": jnp.arctan2, "arctan2": jnp.arctan2, "erf": special.erf, "pi": math.pi}


NUMEXPR_FUNCTIONS = {"exp", "sin", "cos", "sqrt", "tanh", "log1p", "expm1", "arctan2", "where", "abs"}


# --- the peers ----------------------------------------------------------------------


def load_peers():
    """Each optional peer's module (None when missing) and a line saying what it is."""
    peers, lines = {}, []
    try:
        import numexpr
    except ImportError as e:
        peers["numexpr"] = None
        lines.append(f"numexpr skipped ({e})")
    else:
        numexpr.set_num_threads(os.cpu_count() or 1)
        peers["numexpr"] = numexpr
        lines.append(f"numexpr {numexpr.__version__}, {numexpr.get_num_threads()} threads")
    try:
        import jax
        import jax.numpy as jnp
        import jax.scipy.special
    except ImportError as e:
        peers["JAX"] = None
        lines.append(f"JAX skipped ({e})")
    else:
        jax.config.update("jax_enable_x64", True)
        peers["JAX"] = (jax, jax_namespace(jnp, jax.scipy.special))
        lines.append(f"JAX {jax.__version__} ({jax.default_backend()}), float64")
    try:
        import mpmath
    except ImportError as e:
        peers["mpmath"] = None
        lines.append(f"errors skipped ({e})")
    else:
        mpmath.mp.dps = 50
        peers["mpmath"] = mpmath
    return peers, lines


def numexpr_column(formula, grid, numexpr, out):
    text = re.sub(r"\batan2\(", "arctan2(", spelt_out(formula))
    missing = sorted(set(re.findall(r"\b(\w+)\(", text)) - NUMEXPR_FUNCTIONS)
    if missing:
        return None, f"numexpr has no {', '.join(missing)}"
    params = {"pi": math.pi, **formula.params}

    def run():
        return numexpr.evaluate(text, local_dict={**params, **axis_arrays(grid, np.arange)}, out=out)

    return run, None


def jax_column(formula, grid, jax_ns):
    jax, ns = jax_ns
    jnp = jax.numpy
    compute = evaluator(formula, ns)
    arange = lambda n: jnp.arange(n, dtype=jnp.float64)  # noqa: E731

    def whole():
        return jnp.broadcast_to(compute(axis_arrays(grid, arange)), grid.shape)

    jitted = jax.jit(whole)
    return lambda: jitted().block_until_ready()


# --- measuring ------------------------------------------------------------------------


def sample_points(shape, count, seed):
    rng = np.random.default_rng(seed)
    return [tuple(int(rng.integers(0, n)) for n in shape) for _ in range(count)]


def exact_values(formula, grid, points, mpmath):
    compute = evaluator(formula, mpmath_namespace(mpmath.mp))
    coords = grid.coords
    values = []
    for point in points:
        axes = {name: mpmath.mpf(float(coords[name][i])) for name, i in zip(grid.names, point)}
        params = {name: mpmath.mpf(value) for name, value in formula.params.items()}
        values.append(compute({**params, **axes}))
    return values


def max_error(values, points, exact):
    worst = 0.0
    for point, e in zip(points, exact):
        v = float(values[point])
        if not math.isfinite(v):
            return math.inf
        worst = max(worst, float(abs(v - e) / max(1, abs(e))))
    return worst


def timed(fn):
    t0 = time.perf_counter()
    result = fn()
    return time.perf_counter() - t0, result


def measure(formula, settings, peers, numpy_ns):
    """Times (seconds) by column, the first call, the errors by column and the skips."""
    grid = make_grid(formula, settings["shrink"])
    shape = grid.shape
    out = np.empty(shape)
    points = sample_points(shape, settings["samples"], seed=len(formula.key))
    node = grid.expression(spelt_out(formula), **formula.params)
    first, _ = timed(lambda: grid.evaluate(node, out=out))
    values = {"vemiral": out.copy()}
    methods = {"vemiral": lambda: grid.evaluate(node, out=out)}
    skipped = {}

    numpy_run = numpy_evaluator(formula, numpy_ns)
    if "erf" in formula.text and "erf" not in numpy_ns:
        skipped["NumPy"] = "no SciPy for erf"
    else:
        methods["NumPy"] = lambda: numpy_run(axis_arrays(grid, np.arange))
    if peers["numexpr"] is not None and "numexpr" not in formula.skip:
        methods["numexpr"], skipped["numexpr"] = numexpr_column(formula, grid, peers["numexpr"], out)
    if peers["JAX"] is not None and "JAX" not in formula.skip:
        methods["JAX"] = jax_column(formula, grid, peers["JAX"])
    for peer in PEERS:
        if peer in formula.skip:
            skipped[peer] = formula.skip[peer]
        elif peer != "NumPy" and peers[peer] is None:
            skipped[peer] = "not installed"
    methods = {column: fn for column, fn in methods.items() if fn is not None}
    skipped = {peer: why for peer, why in skipped.items() if why}

    times = {"vemiral": first}
    for column in [c for c in methods if c != "vemiral"]:
        try:
            timed(methods[column])  # compiles where it compiles
            times[column], result = timed(methods[column])
            values[column] = np.broadcast_to(np.asarray(result), shape).copy()
        except Exception as e:  # a peer that cannot take this formula is reported, not fatal
            skipped[column] = f"{type(e).__name__}: {str(e)[:80]}"
            del methods[column]
            times.pop(column, None)

    # As many runs as fit in the budget; a peer's run above already counts, the
    # first call of vemiral does not (it prepares the formula).
    passes = settings["passes"]
    fit = {c: min(settings["repeats"], int(settings["budget"] / max(t, 1e-9))) for c, t in times.items()}
    counts = {c: max(1, n) if c == "vemiral" else max(0, n - 1) for c, n in fit.items()}
    times["vemiral"] = math.inf
    for pass_ in range(passes):
        for column, fn in methods.items():
            n = counts[column]
            for _ in range(n * (pass_ + 1) // passes - n * pass_ // passes):
                seconds, result = timed(fn)
                times[column] = min(times[column], seconds)
                del result
            time.sleep(0.002)

    errors = {}
    if peers["mpmath"] is not None:
        exact = exact_values(formula, grid, points, peers["mpmath"])
        errors = {column: max_error(v, points, exact) for column, v in values.items()}
    return grid, first, times, errors, skipped


# --- report -----------------------------------------------------------------------------


class Tee(io.TextIOBase):
    """Standard output that also keeps what it writes, for --save."""

    def __init__(self, stream):
        self.stream, self.kept = stream, io.StringIO()

    def write(self, text):
        self.kept.write(text)
        return self.stream.write(text)

    def flush(self):
        self.stream.flush()


def version(package):
    try:
        return importlib.metadata.version(package)
    except importlib.metadata.PackageNotFoundError:
        return "not installed"


def header():
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            model = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), model)
    except OSError:
        pass
    usable = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    packages = ", ".join(f"{name} {version(package)}" for name, package in
                         (("NumPy", "numpy"), ("numexpr", "numexpr"), ("JAX", "jax"), ("mpmath", "mpmath"),
                          ("SciPy", "scipy"), ("vemiral", "vemiral")))
    return "\n".join([
        f"formula zoo, {datetime.datetime.now().astimezone():%Y-%m-%d %H:%M %Z}",
        f"machine: {platform.platform()}; {model}; {os.cpu_count()} logical CPUs ({usable} usable)",
        f"versions: Python {platform.python_version()}, {packages}",
        f"vemiral: {vm.get_num_threads() if hasattr(vm, 'get_num_threads') else 'one per core'} threads",
    ])


def save(path, text):
    directory = os.path.dirname(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(dir=directory, prefix=os.path.basename(path) + ".", suffix=".tmp")
    try:
        with os.fdopen(fd, "w") as f:
            f.write(text)
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)  # mkstemp's file is private
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def cell(seconds, points):
    return f"{'skipped':>9}" if seconds is None else f"{seconds * 1e9 / points:>9.2f}"


def ratio(peer, mine):
    return f"{'-':>9}" if peer is None else f"{peer / mine:>8.2f}x"


def arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a short run: 1/16 of the points, few repeats")
    parser.add_argument("--only", help="comma-separated keys or groups of the formulas to run")
    parser.add_argument("--save", metavar="PATH", help="also write the report, with a header, to PATH")
    return parser.parse_args()


def chosen(formulas, only):
    if not only:
        return formulas
    wanted = {word.strip() for word in only.split(",") if word.strip()}
    known = {f.key for f in formulas} | {f.group for f in formulas}
    unknown = wanted - known
    if unknown:
        sys.exit(f"zoo: no formula or group {', '.join(sorted(unknown))}; known: {', '.join(sorted(known))}")
    return [f for f in formulas if f.key in wanted or f.group in wanted]


def main():
    args = arguments()
    tee = Tee(sys.stdout)
    sys.stdout = tee
    started = time.perf_counter()
    settings = dict(QUICK) if args.quick else {"shrink": 1, "repeats": REPEATS, "passes": PASSES,
                                                "budget": BUDGET, "samples": SAMPLES}
    formulas = chosen(zoo(), args.only)
    peers, lines = load_peers()
    numpy_ns = numpy_namespace()
    print(header())
    print("peers: " + "; ".join(lines))
    print(f"best of up to {settings['repeats']} runs in {settings['passes']} interleaved passes, "
          f"{settings['budget']:g} s a column at most; times in ns per point (first: ms); "
          f"ratios peer/vemiral (below 1: vemiral slower); errors at {settings['samples']} points against mpmath"
          + (f"; --quick: 1/{settings['shrink']} of the points" if args.quick else ""))
    Grid(x=(0, 1, 64), y=(0, 1, 64)).evaluate("x*y + 1")  # starts vemiral's threads outside any timing

    names = ["first ms", *COLUMNS, "NumPy/vm", "nexpr/vm", "JAX/vm", "err vm", "err NumPy"]
    title = f"{'formula':<14} {'points':>9} " + " ".join(f"{n:>9}" for n in names)
    rows, skips, disagreements, group = [], [], [], None
    for formula in formulas:
        if formula.group != group:
            group = formula.group
            print(f"\n{group}")
            print(title)
            print("-" * len(title))
        grid, first, times, errors, skipped = measure(formula, settings, peers, numpy_ns)
        mine = times["vemiral"]
        cells = [f"{first * 1e3:>9.2f}"] + [cell(times.get(c), grid.size) for c in COLUMNS]
        cells += [ratio(times.get(c), mine) for c in PEERS]
        cells += [f"{errors[c]:>9.1e}" if c in errors else f"{'-':>9}" for c in ("vemiral", "NumPy")]
        shape = "x".join(map(str, grid.shape))
        print(f"{formula.key:<14} {grid.size:>9} " + " ".join(cells) + f"  {shape}", flush=True)
        rows.append((formula, grid, first, times))
        skips += [f"{formula.key}: {peer} skipped ({why})" for peer, why in skipped.items()]
        disagreements += [f"{formula.key}: {c} off by {e:.2g}" for c, e in errors.items() if not e <= 1e-6]

    print("\nformulas:")
    for formula in formulas:
        params = ", ".join(f"{k}={v:.6g}" for k, v in formula.params.items())
        lets = "; ".join(f"{k} = {v}" for k, v in formula.lets.items())
        text = formula.text if len(formula.text) < 90 else formula.text[:70] + f"... ({len(formula.text)} chars)"
        print(f"{formula.key:<14} {text}" + (f"  [{lets}]" if lets else "") + (f"  with {params}" if params else ""))
    if skips:
        print("\n" + "\n".join(skips))
    if disagreements:
        print("\nmore than 1e-6 from mpmath: " + "; ".join(disagreements))
    summary(rows)
    print(f"\nwhole run {time.perf_counter() - started:.0f} s")
    sys.stdout = tee.stream
    if args.save:
        save(args.save, tee.kept.getvalue())
    return 0


def summary(rows):
    print("\nsummary")
    for peer in ("NumPy", "JAX"):
        quotients = [t[peer] / t["vemiral"] for _, _, _, t in rows if peer in t]
        if quotients:
            mean = math.exp(sum(map(math.log, quotients)) / len(quotients))
            print(f"geometric mean of {peer}/vemiral over {len(quotients)} formulas: {mean:.2f}x")
    for peer in PEERS:
        measured = [t for _, _, _, t in rows if peer in t]
        wins = sum(t["vemiral"] <= t[peer] for t in measured)
        print(f"vemiral at least as fast as {peer}: {wins} of {len(measured)}")
    by_key = {f.key: (grid, first, t) for f, grid, first, t in rows}
    if "W100" in by_key:
        grid, first, t = by_key["W100"]
        numpy = f"; NumPy {t['NumPy'] * 1e3:.3f} ms (NumPy/first {t['NumPy'] / first:.2f}x)" if "NumPy" in t else ""
        print(f"first call of W on {grid.shape[0]}x{grid.shape[1]}: {first * 1e3:.3f} ms{numpy}")
    if "shape_col" in by_key and "shape_row" in by_key:
        column, row = by_key["shape_col"][2]["vemiral"], by_key["shape_row"][2]["vemiral"]
        print(f"exp(x/z)*z: vemiral on N x 1 takes {column / row:.2f}x its time on 1 x N")
    missed = [(f.key, t["NumPy"] / t["vemiral"]) for f, _, _, t in rows if "NumPy" in t and t["NumPy"] < t["vemiral"]]
    for key, q in missed:
        print(f"MISSED {key}: slower than NumPy, NumPy/vemiral {q:.2f}x")
    if not missed:
        print("no formula slower than NumPy")


if __name__ == "__main__":
    sys.exit(main())
