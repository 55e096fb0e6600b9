"""Reductions without the array against the ways a user would compute them instead.

Run with `bash scripts/bench.sh reductions` (sets up .venv and builds first).

The sum and the maximum of W = sin(xy) + cos(x + y) and G = exp(-(x² + y²))
on 4000 x 4000 points (x = 0.001 i, y = 1 + 0.002 j, as in bench.py) and of
the chirp sin(0.001 t + 1e-9 t²) on 10^8 points (t = 0, 1, ...), by:

- vemiral: `grid.sum` / `grid.max` (all cores, no array);
- evaluate + NumPy: `grid.evaluate` into a fresh array, then NumPy's sum or max;
- NumPy: the formula with broadcasting (1-D parts on the axes), then the reduction;
- numexpr: its own reduction, `numexpr.evaluate("sum(...)")` (numexpr
  reduces on one thread);
- JAX: `jnp.sum` / `jnp.max` of the formula inside one `jax.jit`, float64.

Each time is the best of several runs taken in interleaved passes; the sums
of every column are shown against vemiral's (relative difference). The
targets printed after the table: vemiral at least 1.5x faster than evaluate +
NumPy, and at least 3x faster than NumPy, numexpr and JAX.
"""

import time

import numpy as np

import bench
from vemiral_grid import Grid

SIDE = 4000
LONG = 10**8
PASSES = 3
REPEATS = {"W": 3, "G": 5, "chirp": 1}
COLUMNS = ["vemiral", "evaluate + NumPy", "NumPy", "numexpr", "JAX"]
TEXT = {"W": "sin(x*y) + cos(x + y)", "G": "exp(-(x*x + y*y))", "chirp": "sin(0.001*t + 1e-9*t**2)"}
GRIDS = {
    "W": Grid.from_steps(x=(0.0, 0.001, SIDE), y=(1.0, 0.002, SIDE)),
    "G": Grid.from_steps(x=(0.0, 0.001, SIDE), y=(1.0, 0.002, SIDE)),
    "chirp": Grid.from_steps(t=(0.0, 1.0, LONG)),
}
TARGETS = {"evaluate + NumPy": 1.5, "NumPy": 3.0, "numexpr": 3.0, "JAX": 3.0}


def numexpr_columns():
    try:
        import numexpr
    except ImportError as e:
        return None, f"numexpr skipped ({e})"

    def run(case, how):
        shape = GRIDS[case].shape
        if case == "chirp":
            names = {"t": np.arange(LONG, dtype=np.float64)}
        else:
            xs, ys = bench.axes(shape)
            names = {"x": xs, "y": ys}
        return numexpr.evaluate(f"{how}({TEXT[case].replace('**2', '**2.0')})", local_dict=names)

    return run, f"numexpr {numexpr.__version__}"


def jax_columns():
    try:
        import jax
        import jax.numpy as jnp
    except ImportError as e:
        return None, f"JAX skipped ({e})"
    jax.config.update("jax_enable_x64", True)
    formulas = {
        "W": lambda x, y: jnp.sin(x * y) + jnp.cos(x + y),
        "G": lambda x, y: jnp.exp(-(x * x + y * y)),
        "chirp": lambda t: jnp.sin(0.001 * t + 1e-9 * (t * t)),
    }
    compiled = {}

    def run(case, how):
        key = (case, how)
        if key not in compiled:
            reduce = jnp.sum if how == "sum" else jnp.max

            def grid_and_formula():
                if case == "chirp":
                    return reduce(formulas[case](jnp.arange(LONG, dtype=jnp.float64)))
                x = 0.001 * jnp.arange(SIDE, dtype=jnp.float64)[:, None]
                y = 1.0 + 0.002 * jnp.arange(SIDE, dtype=jnp.float64)[None, :]
                return reduce(formulas[case](x, y))

            compiled[key] = jax.jit(grid_and_formula)
            compiled[key]().block_until_ready()
        return compiled[key]().block_until_ready()

    return run, f"JAX {jax.__version__} ({jax.default_backend()})"


def columns(numexpr_run, jax_run):
    def vemiral(case, how):
        return getattr(GRIDS[case], how)(TEXT[case])

    def evaluated(case, how):
        values = GRIDS[case].evaluate(TEXT[case], progress=False)
        return getattr(values, how)()

    def numpy(case, how):
        return getattr(bench.NUMPY[case](GRIDS[case].shape), how)()

    runs = {"vemiral": vemiral, "evaluate + NumPy": evaluated, "NumPy": numpy}
    if numexpr_run:
        runs["numexpr"] = numexpr_run
    if jax_run:
        runs["JAX"] = jax_run
    return runs


def main():
    numexpr_run, numexpr_text = numexpr_columns()
    jax_run, jax_text = jax_columns()
    print(bench.machine([numexpr_text, jax_text]))
    runs = columns(numexpr_run, jax_run)
    rows = [(case, how) for case in ("W", "G", "chirp") for how in ("sum", "max")]
    best = {row: {} for row in rows}
    values = {row: {} for row in rows}
    for _ in range(PASSES):
        for row in rows:
            for name, run in runs.items():
                for _ in range(REPEATS[row[0]]):
                    start = time.perf_counter()
                    values[row][name] = float(run(*row))
                    elapsed = time.perf_counter() - start
                    best[row][name] = min(best[row].get(name, np.inf), elapsed)

    print(f"\nms per reduction (best of {PASSES} passes); ratio = peer time / vemiral time")
    print(f"{'case':10}" + "".join(f"{name:>18}" for name in COLUMNS))
    missed = []
    for row in rows:
        times = best[row]
        cells = []
        for name in COLUMNS:
            if name not in times:
                cells.append(f"{'-':>18}")
                continue
            ratio = times[name] / times["vemiral"]
            cells.append(f"{times[name] * 1e3:9.1f}" + (f" ({ratio:4.1f}x)" if name != "vemiral" else " " * 8))
            if name in TARGETS and ratio < TARGETS[name]:
                missed.append(f"{row[0]} {row[1]} vs {name}: {ratio:.2f}x (target {TARGETS[name]}x)")
        print(f"{row[0] + ' ' + row[1]:10}" + "".join(cells))
    print("\nrelative difference of each column's sum from vemiral's (compensated, rounded once)")
    for row in rows:
        if row[1] == "sum":
            ours = values[row]["vemiral"]
            print(f"{row[0]:10}" + "".join(
                f"{abs(values[row][n] - ours) / abs(ours):18.1e}" if n in values[row] else f"{'-':>18}"
                for n in COLUMNS))
    met = len(rows) * len(TARGETS) - len(missed)
    print(f"\ntargets: {met} of {len(rows) * len(TARGETS)} met" + ("" if not missed else "; missed:"))
    for line in missed:
        print("  " + line)


# Statistics of W: (vemiral's call, NumPy's function of an array).
STATISTICS = {
    "std": (lambda g, f: g.std(f), np.std),
    "var along y": (lambda g, f: g.var(f, axis="y"), lambda a: np.var(a, axis=1)),
    "median": (lambda g, f: g.median(f), np.median),
    "quantiles": (lambda g, f: g.quantile(f, [0.1, 0.9]), lambda a: np.quantile(a, [0.1, 0.9])),
    "prod": (lambda g, f: g.prod(f"1 + ({f})/1e4"), lambda a: np.prod(1 + a / 1e4)),
    "nanmean": (lambda g, f: g.nanmean(f), np.nanmean),
    "ptp": (lambda g, f: g.ptp(f), np.ptp),
}


def statistics():
    grid, text = GRIDS["W"], TEXT["W"]
    runs = {
        "vemiral": lambda name: STATISTICS[name][0](grid, text),
        "evaluate + NumPy": lambda name: STATISTICS[name][1](grid.evaluate(text, progress=False)),
        "NumPy": lambda name: STATISTICS[name][1](bench.NUMPY["W"](grid.shape)),
    }
    best = {name: {} for name in STATISTICS}
    for _ in range(PASSES):
        for name in STATISTICS:
            for column, run in runs.items():
                start = time.perf_counter()
                run(name)
                best[name][column] = min(best[name].get(column, np.inf), time.perf_counter() - start)
    print(f"\nstatistics of W on {SIDE} x {SIDE}, ms (best of {PASSES} passes); ratio = peer time / vemiral time")
    print(f"{'statistic':12}" + "".join(f"{column:>22}" for column in runs))
    slower = []
    for name, times in best.items():
        cells = [f"{times['vemiral'] * 1e3:13.1f}" + " " * 9]
        for column in list(runs)[1:]:
            ratio = times[column] / times["vemiral"]
            cells.append(f"{times[column] * 1e3:13.1f} ({ratio:5.2f}x)")
            if column == "NumPy" and ratio < 1:
                slower.append(name)
        print(f"{name:12}" + "".join(cells))
    print("statistics slower than NumPy: " + (", ".join(slower) if slower else "none"))


if __name__ == "__main__":
    main()
    statistics()
