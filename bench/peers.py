"""The default `evaluate` against the peers a user would pick instead, and the speed targets.

Run with `bash scripts/bench.sh peers` (sets up .venv and builds first). Cases
and grids are bench.py's (P, W, G, T, R on x = 0.001 i, y = 1 + 0.002 j; L and
the chirp over 10^7 points), measured side by side in this one process in
three settings:

- "1000^2 out=": 1000 x 1000 into one output array reused by every call
  (numexpr and numba write into it too; NumPy and JAX return fresh arrays);
- "4000^2 fresh": 4000 x 4000, every call returning a fresh array;
- "10^7 out=": L and the chirp into a reused array.

Columns: the default method ("accurate"), `method="recurrence"` (the tiled
stepping), NumPy, numexpr on all cores, numba `prange` on all cores, JAX
(`jax.jit`, float64, the grid built inside the jitted function), and the
floor: a two-thread fill of the same array with a constant (numba `prange`),
which nothing writing every point can beat. Each time is the best of several
runs taken in interleaved passes, so every column samples the same load.

The targets printed at the end: the default at least as fast as the fastest
peer in every setting; with `out=` within 2x the floor on P, G, T and R, 4x on
W and 3x on L and the chirp; and never slower than the recurrence method by
more than 25%. Each line says met or MISSED, with the ratio.
"""

import math
import os
import sys
import time

import numpy as np

import bench
import vemiral as vm

REPEATS = {"1000^2 out=": 20, "4000^2 fresh": 4, "10^7 out=": 6}
PASSES = 3
SETTINGS = {
    "1000^2 out=": (["P", "W", "G", "T", "R"], 1000, True),
    "4000^2 fresh": (["P", "W", "G", "T", "R"], 4000, False),
    "10^7 out=": (["L", "chirp"], None, True),
}
FLOOR_LIMIT = {"P": 2.0, "G": 2.0, "T": 2.0, "R": 2.0, "W": 4.0, "L": 3.0, "chirp": 3.0}
COLUMNS = ["accurate", "recurrence", "NumPy", "numexpr", "numba", "JAX", "floor"]
PEERS = ["NumPy", "numexpr", "numba", "JAX"]


def shape_of(case, side):
    return (bench.LONG,) if side is None else (side, side)


# --- peers writing into an array -------------------------------------------------


def numexpr_fns():
    try:
        import numexpr
    except ImportError as e:
        return None, f"numexpr skipped ({e})"
    numexpr.set_num_threads(os.cpu_count() or 1)

    def make(case):
        text = bench.NUMEXPR[case]

        def run(shape, out):
            if len(shape) == 1:
                names = {"t": np.arange(shape[0], dtype=np.float64)}
            else:
                names = dict(zip("xy", bench.axes(shape)))
            return numexpr.evaluate(text, local_dict=names, out=out)

        return run

    return {case: make(case) for case in bench.NUMEXPR}, f"numexpr {numexpr.__version__}"


def numba_fns():
    try:
        import numba
    except ImportError as e:
        return None, None, f"numba skipped ({e})"
    kernels = {case: numba.njit(parallel=True)(source) for case, source in bench.loops(numba.prange).items()}

    def make(kernel):
        return lambda shape, out: kernel(np.empty(shape) if out is None else out)

    fns = {case: make(kernel) for case, kernel in kernels.items()}
    for case, fn in fns.items():
        fn((16,) if case in ("L", "chirp", "floor") else (16, 16), None)  # compiles
    fill = fns.pop("floor")
    floor = lambda shape, out: fill((math.prod(shape),), None if out is None else out.reshape(-1))  # noqa: E731
    return fns, floor, f"numba {numba.__version__}, {numba.get_num_threads()} threads"


def jax_fns():
    try:
        import jax
        import jax.numpy as jnp
    except ImportError as e:
        return None, f"JAX skipped ({e})"
    jax.config.update("jax_enable_x64", True)
    formulas = {
        "P": lambda x, y: 3.0 * x * x * y - 2.0 * x * y + (y**3 - 7.0),
        "W": lambda x, y: jnp.sin(x * y) + jnp.cos(x + y),
        "G": lambda x, y: jnp.exp(-(x * x + y * y)),
        "T": lambda x, y: jnp.sin(x) * jnp.exp(y),
        "R": lambda x, y: (x + 1.0) / (y + 2.0),
        "L": lambda t: jnp.sin(0.001 * t),
        "chirp": lambda t: jnp.sin(0.001 * t + 1e-9 * (t * t)),
    }
    compiled = {}

    def make(case):
        def run(shape, out):
            key = (case, shape)
            if key not in compiled:
                def grid_and_formula():
                    if len(shape) == 1:
                        return formulas[case](jnp.arange(shape[0], dtype=jnp.float64))
                    x = 0.001 * jnp.arange(shape[0], dtype=jnp.float64)[:, None]
                    y = 1.0 + 0.002 * jnp.arange(shape[1], dtype=jnp.float64)[None, :]
                    return formulas[case](x, y)
                compiled[key] = jax.jit(grid_and_formula)
                compiled[key]().block_until_ready()
            return compiled[key]().block_until_ready()

        return run

    return {case: make(case) for case in formulas}, f"JAX {jax.__version__} ({jax.default_backend()})"


# --- measuring --------------------------------------------------------------------


def measure(case, shape, reuse, peers, floor):
    tree = bench.trees()[case]
    out = np.empty(shape) if reuse else None
    methods = {
        "accurate": lambda: tree.evaluate(shape, out=out),
        "recurrence": lambda: tree.evaluate(shape, out=out, method="recurrence"),
        "NumPy": lambda: bench.NUMPY[case](shape),
        "floor": (lambda: floor(shape, out)) if floor else None,
    }
    for column, fns in peers.items():
        methods[column] = None if fns is None else (lambda fns=fns: fns[case](shape, out))
    reference = bench.NUMPY[case](shape)
    agreement = {}
    for column in ("accurate", "recurrence", "numexpr", "numba", "JAX"):
        if methods.get(column) is not None:
            agreement[column] = bench.rel_diff(np.asarray(methods[column]()), reference)
    del reference
    repeats = REPEATS[setting_of(shape, reuse)]
    times = {column: float("inf") for column, fn in methods.items() if fn is not None}
    for pass_ in range(PASSES):
        for column, fn in methods.items():
            if fn is None:
                continue
            for _ in range(repeats * (pass_ + 1) // PASSES - repeats * pass_ // PASSES):
                t0 = time.perf_counter()
                result = fn()
                times[column] = min(times[column], time.perf_counter() - t0)
                del result
            time.sleep(0.002)
    return times, agreement


def setting_of(shape, reuse):
    if len(shape) == 1:
        return "10^7 out="
    return "1000^2 out=" if reuse else "4000^2 fresh"


def targets(setting, case, times):
    """(description, ratio, limit) of each target that applies to this case."""
    measured = {p: times[p] for p in PEERS if p in times}
    fastest = min(measured, key=measured.get)
    result = [(f"accurate vs fastest peer ({fastest})", times["accurate"] / measured[fastest], 1.0),
              ("accurate vs recurrence", times["accurate"] / times["recurrence"], 1.25)]
    if setting != "4000^2 fresh" and "floor" in times:
        result.append(("accurate vs floor", times["accurate"] / times["floor"], FLOOR_LIMIT[case]))
    return result


def main():
    started = time.perf_counter()
    numexpr_peer, numexpr_text = numexpr_fns()
    numba_peer, floor, numba_text = numba_fns()
    jax_peer, jax_text = jax_fns()
    peers = {"numexpr": numexpr_peer, "numba": numba_peer, "JAX": jax_peer}
    print(bench.machine([numexpr_text, numba_text, jax_text]))
    print(f"best of {REPEATS} runs, in {PASSES} interleaved passes; ns per grid point\n")
    header = f"{'setting':<13} {'case':<6} " + " ".join(f"{c:>10}" for c in COLUMNS)
    print(header)
    print("-" * len(header))
    report = []
    agreements = []
    for setting, (cases, side, reuse) in SETTINGS.items():
        for case in cases:
            shape = shape_of(case, side)
            times, agreement = measure(case, shape, reuse, peers, floor)
            points = math.prod(shape)
            cells = [f"{times[c] * 1e9 / points:>10.2f}" if c in times else f"{'skipped':>10}" for c in COLUMNS]
            print(f"{setting:<13} {case:<6} " + " ".join(cells), flush=True)
            report += [(setting, case, *t) for t in targets(setting, case, times)]
            agreements.append((setting, case, agreement))

    print("\nagreement with NumPy: max |difference| / max(1, max |NumPy value|)")
    for setting, case, agreement in agreements:
        print(f"{setting:<13} {case:<6} " + " ".join(f"{c} {v:.2g}" for c, v in agreement.items()))

    print("\ntargets (ratio of times; met when at most the limit)")
    missed = 0
    for setting, case, what, value, limit in report:
        verdict = "met" if value <= limit else "MISSED"
        missed += verdict == "MISSED"
        print(f"{setting:<13} {case:<6} {what:<40} {value:>6.2f}x  limit {limit:.2f}x  {verdict}")
    print(f"\n{len(report) - missed} of {len(report)} targets met; whole run {time.perf_counter() - started:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
