"""Complex formulas against the peers: plane waves, a chirp and a Gaussian beam.

Run with `bash scripts/bench.sh complex` (sets up .venv and builds first);
`--quick` for a short run on grids of a sixteenth of the points, `--only
KEY,...` for some cases, `--save PATH` to write the report, preceded by the
machine and the versions, to PATH (bench/results/complex.txt).

Each case is one formula written once as Python text with `1j` in it:

- waves16, waves16_4k: 16 plane waves sum(exp(1j*(kx*x + ky*y))) on 1000² and
  4000² points (the zoo's 16 wave vectors of length 10);
- chirp: exp(2j*pi*(100*t + 50*t**2)) over 10^7 samples at 48 kHz;
- beam: a Gaussian beam's complex field on an x-z grid of 601 x 801 points,
  w0/w(z) exp(-x²/w(z)²) exp(-i(k z + k x²/(2 R(z)) - atan(z/zR))) with
  w(z) = w0 sqrt(1 + (z/zR)²) and 1/R(z) = z/(z² + zR²), w0 = 2, k = 2 pi/0.8,
  zR = pi w0²/0.8 (lengths in micrometres).

Columns, measured side by side in this one process:

- vemiral: `grid.evaluate(node, out=buf)` into a complex128 array, the node kept;
- NumPy, written for speed: the grid's coordinates as 1-D axis arrays that
  broadcast (a part of one axis is computed on that axis; every column
  computes at the grid's own points), complex128 temporaries allocated once and
  every ufunc writing into them (`out=`); the formula as written, with no
  rewriting that changes rounding (exp(1j*(a + b)) stays one complex exp);
- numexpr on all cores, into the same `out=`;
- numba: a `prange` loop over the points with cmath, compiled once before
  the timing (parallel, no fastmath);
- JAX: `jax.jit` of the formula with the grid built inside it from the
  axes, complex128, `block_until_ready`.

Each time is the best of several runs taken in interleaved passes, so every
column samples the same load. Errors: at 40 random grid points, max
|value - exact| / max(1, |exact|), the exact value from mpmath (50 digits) at
the grid's own coordinates. The targets: at least 3 times NumPy's speed and at
least JAX's on every case.
"""

import argparse
import math
import sys
import time
from dataclasses import dataclass, field

import numpy as np

import zoo
from vemiral_grid import Grid

PASSES = 3
REPEATS = 8
BUDGET = 1.5  # seconds a column may take over a case's passes
SAMPLES = 40
QUICK = {"shrink": 16, "repeats": 2, "passes": 2, "budget": 0.1, "samples": 8}
PEERS = ["NumPy", "numexpr", "numba", "JAX"]
COLUMNS = ["vemiral", *PEERS]
RATE = 48000
TARGETS = {"NumPy": 3.0, "JAX": 1.0}

WAVES = zoo.WAVES
BEAM = {"w0": 2.0, "k": 2 * math.pi / 0.8, "zR": math.pi * 4.0 / 0.8}
WIDTH = "w0*sqrt(1 + (z/zR)**2)"


@dataclass
class Case:
    key: str
    axes: dict  # name: (start, stop, num), a closed range
    text: str
    params: dict = field(default_factory=dict)


def cases():
    waves = " + ".join(f"exp(1j*({kx!r}*x + {ky!r}*y))" for kx, ky in WAVES)
    beam = (f"w0/({WIDTH})*exp(-x**2/({WIDTH})**2)"
            "*exp(-1j*(k*z + k*x**2*z/(2*(z**2 + zR**2)) - atan(z/zR)))")
    n = 10**7
    return [
        Case("waves16", {"x": (-2, 2, 1000), "y": (-2, 2, 1000)}, waves),
        Case("waves16_4k", {"x": (-2, 2, 4000), "y": (-2, 2, 4000)}, waves),
        Case("chirp", {"t": (0.0, (n - 1) / RATE, n)}, "exp(2j*pi*(100*t + 50*t**2))"),
        Case("beam", {"x": (-8, 8, 601), "z": (-40, 40, 801)}, beam, BEAM),
    ]


def shrunk(case, shrink):
    if shrink == 1:
        return case.axes
    spread = len(case.axes)
    return {name: (a, b, max(2, round(num / shrink ** (1 / spread)))) for name, (a, b, num) in case.axes.items()}


def axis_arrays(axes, convert=np.asarray):
    """Each axis's coordinates, the grid's own (`grid.coords`), shaped to
    broadcast along its dimension: every column computes at the same points."""
    grid = Grid(**axes)
    result = {}
    for dim, (name, values) in enumerate(grid.coords.items()):
        shape = [1] * grid.ndim
        shape[dim] = values.size
        result[name] = convert(values.reshape(shape))
    return result


# --- NumPy, written for speed ----------------------------------------------------------


def numpy_column(case, axes, out):
    a = axis_arrays(axes)
    shape = out.shape
    if case.key.startswith("waves"):
        x, y = a["x"], a["y"]
        phase = np.empty(shape)
        term = np.empty(shape, dtype=np.complex128)

        def run():
            out[...] = 0
            for kx, ky in WAVES:
                np.add(kx * x, ky * y, out=phase)
                np.multiply(phase, 1j, out=term)
                np.exp(term, out=term)
                np.add(out, term, out=out)
            return out

        return run
    if case.key == "chirp":
        t = a["t"]
        phase = np.empty(shape)

        def run():
            np.multiply(t, t, out=phase)
            np.multiply(phase, 50.0, out=phase)
            np.add(phase, np.multiply(100.0, t, out=out.real), out=phase)  # out.real: a free temporary
            np.multiply(phase, 2j * math.pi, out=out)
            return np.exp(out, out=out)

        return run
    x, z = a["x"], a["z"]
    w0, k, zr = BEAM["w0"], BEAM["k"], BEAM["zR"]
    amplitude = np.empty(shape)

    def run():
        w = w0 * np.sqrt(1 + (z / zr) ** 2)  # along z alone
        inverse_r = z / (2 * (z**2 + zr**2))
        np.multiply(x * x, inverse_r, out=amplitude)  # x²z/(2(z² + zR²)), then the phase
        np.multiply(amplitude, k, out=amplitude)
        np.add(k * z - np.arctan(z / zr), amplitude, out=amplitude)
        np.multiply(amplitude, -1j, out=out)
        np.exp(out, out=out)
        np.divide(-(x * x), w * w, out=amplitude)
        np.exp(amplitude, out=amplitude)
        np.multiply(amplitude, w0 / w, out=amplitude)
        return np.multiply(out, amplitude, out=out)

    return run


# --- numba --------------------------------------------------------------------------------


def numba_columns():
    """The kernels, one per case, or None and why."""
    try:
        import cmath

        import numba
    except ImportError as e:
        return None, f"not installed ({e})"

    waves = np.array(WAVES)

    @numba.njit(parallel=True)
    def plane_waves(x, y, out):
        for i in numba.prange(x.size):
            for j in range(y.size):
                total = 0j
                for w in range(waves.shape[0]):
                    total += cmath.exp(1j * (waves[w, 0] * x[i] + waves[w, 1] * y[j]))
                out[i, j] = total

    @numba.njit(parallel=True)
    def chirp(t, out):
        for i in numba.prange(t.size):
            out[i] = cmath.exp(2j * math.pi * (100 * t[i] + 50 * t[i] ** 2))

    @numba.njit(parallel=True)
    def beam(x, z, w0, k, zr, out):
        for i in numba.prange(x.size):
            for j in range(z.size):
                w = w0 * math.sqrt(1 + (z[j] / zr) ** 2)
                out[i, j] = w0 / w * math.exp(-x[i] ** 2 / w**2) * cmath.exp(
                    -1j * (k * z[j] + k * x[i] ** 2 * z[j] / (2 * (z[j] ** 2 + zr**2)) - math.atan(z[j] / zr))
                )

    return {"waves": plane_waves, "chirp": chirp, "beam": beam}, f"numba {numba.__version__}, {numba.get_num_threads()} threads"


def numba_column(case, axes, out, kernels):
    a = {name: np.ravel(v) for name, v in axis_arrays(axes).items()}
    if case.key.startswith("waves"):
        return lambda: kernels["waves"](a["x"], a["y"], out)
    if case.key == "chirp":
        return lambda: kernels["chirp"](a["t"], out)
    return lambda: kernels["beam"](a["x"], a["z"], BEAM["w0"], BEAM["k"], BEAM["zR"], out)


# --- numexpr and JAX ------------------------------------------------------------------------


def numexpr_column(case, axes, out, numexpr):
    text = case.text.replace("atan(", "arctan(")
    local = {"pi": math.pi, **case.params, **axis_arrays(axes)}
    return lambda: numexpr.evaluate(text, local_dict=local, out=out)


def jax_column(case, axes, jax):
    jnp = jax.numpy
    namespace = {"exp": jnp.exp, "sqrt": jnp.sqrt, "atan": jnp.arctan, "pi": math.pi, **case.params}
    code = compile(case.text, case.key, "eval")
    shape = Grid(**axes).shape

    def whole():
        values = axis_arrays(axes, jnp.asarray)
        return jnp.broadcast_to(eval(code, {**namespace, **values}), shape).astype(jnp.complex128)

    jitted = jax.jit(whole)
    return lambda: jitted().block_until_ready()


# --- errors -------------------------------------------------------------------------------


def max_error(case, grid, values, points, mpmath):
    mp = mpmath.mp
    namespace = {"exp": mp.exp, "sqrt": mp.sqrt, "atan": mp.atan, "pi": mp.pi,
                 **{k: mp.mpf(v) for k, v in case.params.items()}}
    code = compile(case.text, case.key, "eval")
    coords = grid.coords
    worst = 0.0
    for point in points:
        env = {name: mp.mpf(float(coords[name][i])) for name, i in zip(grid.names, point, strict=True)}
        exact = mp.mpc(eval(code, {**namespace, **env}))
        value = complex(values[point])
        if not (math.isfinite(value.real) and math.isfinite(value.imag)):
            return math.inf
        worst = max(worst, float(abs(mp.mpc(value) - exact) / max(1, abs(exact))))
    return worst


# --- measuring ------------------------------------------------------------------------------


def measure(case, settings, peers):
    axes = shrunk(case, settings["shrink"])
    grid = Grid(**axes)
    out = np.empty(grid.shape, dtype=np.complex128)
    node = grid.expression(case.text, **case.params)
    methods = {"vemiral": lambda: grid.evaluate(node, out=out), "NumPy": numpy_column(case, axes, out)}
    skipped = {}
    if peers["numexpr"] is not None:
        methods["numexpr"] = numexpr_column(case, axes, out, peers["numexpr"])
    if peers["numba"] is not None:
        methods["numba"] = numba_column(case, axes, out, peers["numba"])
    if peers["JAX"] is not None:
        methods["JAX"] = jax_column(case, axes, peers["JAX"])
    times, values = {}, {}
    for column, fn in list(methods.items()):
        try:
            fn()  # compiles where it compiles
            times[column], result = zoo.timed(fn)
            values[column] = np.asarray(result if result is not None else out).copy()
        except Exception as e:  # a peer that cannot take this case is reported, not fatal
            skipped[column] = f"{type(e).__name__}: {str(e)[:80]}"
            del methods[column]
    passes = settings["passes"]
    counts = {c: max(1, min(settings["repeats"], int(settings["budget"] / max(t, 1e-9)))) for c, t in times.items()}
    for pass_ in range(passes):
        for column, fn in methods.items():
            n = counts[column]
            for _ in range(n * (pass_ + 1) // passes - n * pass_ // passes):
                seconds, result = zoo.timed(fn)
                times[column] = min(times[column], seconds)
                del result
            time.sleep(0.002)
    errors = {}
    if peers["mpmath"] is not None:
        points = zoo.sample_points(grid.shape, settings["samples"], seed=len(case.key))
        errors = {c: max_error(case, grid, values[c], points, peers["mpmath"]) for c in ("vemiral", "NumPy")
                  if c in values}
    return grid, times, errors, skipped


def load_peers():
    """The zoo's peers (numexpr, JAX with 64-bit values, mpmath) and numba."""
    peers, lines = zoo.load_peers()
    lines = [line.replace("float64", "complex128") for line in lines]
    if peers["JAX"] is not None:
        peers["JAX"] = peers["JAX"][0]  # the module: the formulas here take their own namespace
    peers["numba"], line = numba_columns()
    lines.insert(1, line if peers["numba"] is not None else f"numba skipped ({line})")
    return peers, lines


def arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a short run: 1/16 of the points, few repeats")
    parser.add_argument("--only", help="comma-separated keys of the cases to run")
    parser.add_argument("--save", metavar="PATH", help="also write the report, with a header, to PATH")
    return parser.parse_args()


def main():
    args = arguments()
    tee = zoo.Tee(sys.stdout)
    sys.stdout = tee
    started = time.perf_counter()
    settings = dict(QUICK) if args.quick else {"shrink": 1, "repeats": REPEATS, "passes": PASSES,
                                                "budget": BUDGET, "samples": SAMPLES}
    chosen = cases()
    if args.only:
        wanted = {word.strip() for word in args.only.split(",") if word.strip()}
        unknown = wanted - {c.key for c in chosen}
        if unknown:
            sys.exit(f"complex: no case {', '.join(sorted(unknown))}; known: {', '.join(c.key for c in chosen)}")
        chosen = [c for c in chosen if c.key in wanted]
    peers, lines = load_peers()
    print(zoo.header().replace("formula zoo", "complex formulas", 1))
    print("peers: " + "; ".join(lines))
    print(f"best of up to {settings['repeats']} runs in {settings['passes']} interleaved passes, "
          f"{settings['budget']:g} s a column at most; times in ns per point; ratios peer/vemiral "
          f"(below 1: vemiral slower); errors at {settings['samples']} points against mpmath, relative to "
          "max(1, |exact|)" + (f"; --quick: 1/{settings['shrink']} of the points" if args.quick else ""))
    Grid(x=(0, 1, 64), y=(0, 1, 64)).evaluate("exp(1j*x*y)")  # starts vemiral's threads outside any timing

    names = [*COLUMNS, *(f"{p[:5]}/vm" for p in PEERS), "err vm", "err NumPy"]
    title = f"{'case':<11} {'points':>9} " + " ".join(f"{n:>9}" for n in names)
    print("\n" + title + "\n" + "-" * len(title))
    rows, skips = [], []
    for case in chosen:
        grid, times, errors, skipped = measure(case, settings, peers)
        mine = times["vemiral"]
        cells = [zoo.cell(times.get(c), grid.size) for c in COLUMNS]
        cells += [zoo.ratio(times.get(c), mine) for c in PEERS]
        cells += [f"{errors[c]:>9.1e}" if c in errors else f"{'-':>9}" for c in ("vemiral", "NumPy")]
        shape = "x".join(map(str, grid.shape))
        print(f"{case.key:<11} {grid.size:>9} " + " ".join(cells) + f"  {shape}", flush=True)
        rows.append((case, times))
        skips += [f"{case.key}: {peer} skipped ({why})" for peer, why in skipped.items()]

    print("\ncases:")
    for case in chosen:
        text = case.text if len(case.text) < 100 else case.text[:80] + f"... ({len(case.text)} chars)"
        params = ", ".join(f"{k}={v:.6g}" for k, v in case.params.items())
        print(f"{case.key:<11} {text}" + (f"  with {params}" if params else ""))
    if skips:
        print("\n" + "\n".join(skips))
    print("\ntargets (peer/vemiral): " + ", ".join(f"{p} at least {q:g}x" for p, q in TARGETS.items()))
    for case, times in rows:
        for peer, target in TARGETS.items():
            if peer in times:
                q = times[peer] / times["vemiral"]
                print(f"{'met   ' if q >= target else 'MISSED'} {case.key} against {peer}: {q:.2f}x")
    print(f"\nwhole run {time.perf_counter() - started:.0f} s")
    sys.stdout = tee.stream
    if args.save:
        zoo.save(args.save, tee.kept.getvalue())
    return 0


if __name__ == "__main__":
    sys.exit(main())
