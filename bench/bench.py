"""Times vemiral against NumPy, numexpr, numba and the memory floor on the same expressions.

Run with `bash scripts/bench.sh` (sets up .venv and builds first). Every case
evaluates the same expression on the same grid with every method, side by
side in this one process; each time is the best of several runs. The 2-D
cases (P, W, G, T, R) run on 1000 x 1000 points, x over dimension 0 from 0
step 0.001, y over dimension 1 from 1 step 0.002; L is sin(0.001 i) and the
chirp sin(0.001 t + 1e-9 t^2) (t from 0 step 1) over 10^7 points; P100 is P
on 100 x 100, where starting threads costs more than the work.

- creval, crarray: the sequential evaluation (one chain stepped from the
  origin); evaluate: the tiled recurrences at their default tile,
  `node.evaluate(shape, method="recurrence")` (bench/peers.py measures the
  default, accurate method against the peers).
- NumPy written the way one writes it for speed: float64, broadcasting over
  np.ogrid-style axes, sub-expressions of one axis computed on that axis only,
  in-place operations where they save a temporary, no algebraic rewriting
  that would change the rounding. "np+list" is NumPy followed by tolist(),
  the peer of creval (which returns a list).
- numexpr on all cores, the same formula as one string.
- numba loops over the grid, one core (@njit) and all cores (@njit(parallel=
  True), prange over the outer dimension), each writing a fresh array;
  compiled before anything is timed.
- floor: a fresh array of the grid's size allocated and filled with a
  constant, on one core (NumPy) and on all cores (numba prange). Nothing that
  returns a fresh array of values can be faster.

numexpr and numba are optional (`pip install vemiral[bench]`); a missing peer
is reported as skipped. The whole run takes about a minute on a 2-core
machine (less when nothing else runs on it).
"""

import math
import os
import platform
import sys
import time

import numpy as np

import vemiral as vm

N = 1000  # 1000 x 1000 grid for the two-dimensional cases
N_SMALL = 100  # the small-grid line: where starting threads would cost more than the work
LONG = 10**7  # points of the one-dimensional cases

# Best of this many runs: fewer for the long rows, and for the methods that
# build a list of ten million floats (half a second per run).
REPEATS = {"2-D": 15, "small": 210, "long": 6}
LIST_REPEATS = {"2-D": 6, "small": 60, "long": 3}
PASSES = 3

# Agreement with NumPy: max |difference| / max(1, max |NumPy value|).
# The sequential recurrences accumulate rounding step by step from the
# origin; ten million rotations drift the most (L by about 1e-10, the chirp,
# whose angle steps by up to 0.021 and grows to 1.1e5 radians, by 1e-4).
TOLERANCE = {"P": 1e-10, "W": 1e-10, "G": 1e-10, "T": 1e-10, "R": 1e-10,
             "L": 1e-7, "chirp": 1e-3, "P100": 1e-10}
# evaluate reseeds at every tile, so long rows stay near the rounding of
# direct evaluation (the chirp's angle alone carries about 1e-11), and within
# a tile it drifts as crarray does (W by 3e-11). The peers evaluate each
# point directly, the same formula in the same order.
TILED_TOLERANCE = 1e-9
PEER_TOLERANCE = 1e-10


def x():
    return vm.ASTvar(0, 0.0, 0.001)


def y():
    return vm.ASTvar(1, 1.0, 0.002)


def c(value):
    return vm.ASTnum(value)


def b(op, left, right):
    return vm.ASTbin(op, left, right)


def u(op, child):
    return vm.ASTun(op, child)


def tree_p():
    # 3x^2y - 2xy + y^3 - 7
    return b(vm.SUB,
             b(vm.ADD,
               b(vm.SUB, b(vm.MUL, b(vm.MUL, c(3.0), b(vm.POW, x(), c(2.0))), y()),
                 b(vm.MUL, b(vm.MUL, c(2.0), x()), y())),
               b(vm.POW, y(), c(3.0))),
             c(7.0))


def trees():
    return {
        "P": tree_p(),
        # sin(x*y) + cos(x + y)
        "W": b(vm.ADD, u(vm.SIN, b(vm.MUL, x(), y())), u(vm.COS, b(vm.ADD, x(), y()))),
        # exp(-(x^2 + y^2))
        "G": u(vm.EXP, u(vm.NEG, b(vm.ADD, b(vm.POW, x(), c(2.0)), b(vm.POW, y(), c(2.0))))),
        # sin(x) * exp(y)
        "T": b(vm.MUL, u(vm.SIN, x()), u(vm.EXP, y())),
        # (x + 1) / (y + 2)
        "R": b(vm.DIV, b(vm.ADD, x(), c(1.0)), b(vm.ADD, y(), c(2.0))),
        # sin(0.001 i) over one dimension
        "L": u(vm.SIN, vm.ASTvar(0, 0.0, 0.001)),
        # sin(0.001 t + 1e-9 t^2), t from 0 step 1 over one dimension
        "chirp": u(vm.SIN, b(vm.ADD, b(vm.MUL, c(0.001), vm.ASTvar(0, 0.0, 1.0)),
                             b(vm.MUL, c(1e-9), b(vm.POW, vm.ASTvar(0, 0.0, 1.0), c(2.0))))),
        "P100": tree_p(),
    }


SHAPES = {"P": (N, N), "W": (N, N), "G": (N, N), "T": (N, N), "R": (N, N),
          "L": (LONG,), "chirp": (LONG,), "P100": (N_SMALL, N_SMALL)}
KIND = {name: "2-D" for name in "PWGTR"} | {"L": "long", "chirp": "long", "P100": "small"}
# The formula each peer computes, by case (the small line is P again).
FORMULA = {name: name for name in SHAPES} | {"P100": "P"}


# --- NumPy ------------------------------------------------------------------------


def axes(shape):
    i, j = np.ogrid[0:shape[0], 0:shape[1]]
    return 0.001 * i, 1.0 + 0.002 * j


def numpy_p(shape):
    xs, ys = axes(shape)
    r = (3.0 * xs * xs) * ys
    r -= (2.0 * xs) * ys
    r += ys**3 - 7.0
    return r


def numpy_w(shape):
    xs, ys = axes(shape)
    r = xs * ys
    np.sin(r, out=r)
    s = xs + ys
    np.cos(s, out=s)
    r += s
    return r


def numpy_g(shape):
    xs, ys = axes(shape)
    r = xs * xs + ys * ys
    np.negative(r, out=r)
    np.exp(r, out=r)
    return r


def numpy_t(shape):
    xs, ys = axes(shape)
    return np.sin(xs) * np.exp(ys)


def numpy_r(shape):
    xs, ys = axes(shape)
    return (xs + 1.0) / (ys + 2.0)


def numpy_l(shape):
    r = np.arange(shape[0], dtype=np.float64)
    r *= 0.001
    np.sin(r, out=r)
    return r


def numpy_chirp(shape):
    t = np.arange(shape[0], dtype=np.float64)
    r = 0.001 * t
    t *= t
    t *= 1e-9
    r += t
    np.sin(r, out=r)
    return r


NUMPY = {"P": numpy_p, "W": numpy_w, "G": numpy_g, "T": numpy_t, "R": numpy_r,
         "L": numpy_l, "chirp": numpy_chirp}


def numpy_floor(shape):
    return np.full(shape, 1.0)


# --- numexpr ----------------------------------------------------------------------

NUMEXPR = {
    "P": "3.0*x*x*y - 2.0*x*y + y**3 - 7.0",
    "W": "sin(x*y) + cos(x + y)",
    "G": "exp(-(x*x + y*y))",
    "T": "sin(x)*exp(y)",
    "R": "(x + 1.0)/(y + 2.0)",
    "L": "sin(0.001*t)",
    "chirp": "sin(0.001*t + 1e-9*(t*t))",
}


def numexpr_peers():
    """Functions of the shape by formula, or the reason numexpr is skipped."""
    try:
        import numexpr
    except ImportError as e:
        return None, f"numexpr skipped ({e})"
    numexpr.set_num_threads(os.cpu_count() or 1)

    def make(formula):
        text = NUMEXPR[formula]
        if formula in ("L", "chirp"):
            return lambda shape: numexpr.evaluate(text, local_dict={"t": np.arange(shape[0], dtype=np.float64)})
        return lambda shape: numexpr.evaluate(text, local_dict=dict(zip("xy", axes(shape))))

    return {f: make(f) for f in NUMEXPR}, f"numexpr {numexpr.__version__}, {numexpr.get_num_threads()} threads"


# --- numba ------------------------------------------------------------------------
# One source per formula, with prange over the outer dimension: compiled once
# with @njit (prange runs as range, one core) and once with parallel=True.
# The axes are computed as NumPy's: x = 0.001 i, y = 1 + 0.002 j. Each loop
# fills the array it is given (a fresh one here; bench/peers.py reuses one).


def loops(prange):
    def p(out):
        n0, n1 = out.shape
        for i in prange(n0):
            x = 0.001 * i
            for j in range(n1):
                y = 1.0 + 0.002 * j
                out[i, j] = 3.0 * x * x * y - 2.0 * x * y + (y * y * y - 7.0)
        return out

    def w(out):
        n0, n1 = out.shape
        for i in prange(n0):
            x = 0.001 * i
            for j in range(n1):
                y = 1.0 + 0.002 * j
                out[i, j] = math.sin(x * y) + math.cos(x + y)
        return out

    def g(out):
        n0, n1 = out.shape
        for i in prange(n0):
            x = 0.001 * i
            for j in range(n1):
                y = 1.0 + 0.002 * j
                out[i, j] = math.exp(-(x * x + y * y))
        return out

    def t(out):
        n0, n1 = out.shape
        for i in prange(n0):
            x = 0.001 * i
            for j in range(n1):
                y = 1.0 + 0.002 * j
                out[i, j] = math.sin(x) * math.exp(y)
        return out

    def r(out):
        n0, n1 = out.shape
        for i in prange(n0):
            x = 0.001 * i
            for j in range(n1):
                y = 1.0 + 0.002 * j
                out[i, j] = (x + 1.0) / (y + 2.0)
        return out

    def line(out):
        for i in prange(out.shape[0]):
            out[i] = math.sin(0.001 * i)
        return out

    def chirp(out):
        for i in prange(out.shape[0]):
            t = float(i)
            out[i] = math.sin(0.001 * t + 1e-9 * (t * t))
        return out

    def fill(out):
        for i in prange(out.shape[0]):
            out[i] = 1.0
        return out

    return {"P": p, "W": w, "G": g, "T": t, "R": r, "L": line, "chirp": chirp, "floor": fill}


def numba_peers():
    """(one core, all cores) dicts of functions of the shape, or None, and a description."""
    try:
        import numba
    except ImportError as e:
        return None, None, f"numba skipped ({e})"
    compiled = []
    for options in ({}, {"parallel": True}):
        kernels = {}
        for name, fn in loops(numba.prange).items():
            kernel = numba.njit(**options)(fn)

            def call(shape, kernel=kernel, name=name):
                if name == "floor":
                    return kernel(np.empty(math.prod(shape))).reshape(shape)
                return kernel(np.empty(shape))

            call(SHAPES["P100"] if name in "PWGTR" else (16,))  # compiles
            kernels[name] = call
        compiled.append(kernels)
    return compiled[0], compiled[1], f"numba {numba.__version__}, {numba.get_num_threads()} threads"


# --- measuring --------------------------------------------------------------------


class Quiet:
    """Sends file descriptor 1 to /dev/null: the native chain print and timing report."""

    def __enter__(self):
        sys.stdout.flush()
        self.saved = os.dup(1)
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        os.close(devnull)

    def __exit__(self, *exc):
        os.dup2(self.saved, 1)
        os.close(self.saved)


def machine(descriptions):
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    load = ", load average %.2f %.2f %.2f" % os.getloadavg() if hasattr(os, "getloadavg") else ""
    threads = f"{vm.get_num_threads()} threads" if hasattr(vm, "get_num_threads") else "threads: one per core"
    if hasattr(vm, "default_tile"):
        tile = (f"default tile {vm.default_tile(1)} in 1-D, {vm.default_tile(2)} in 2-D "
                f"({vm.default_tile(1, 'recurrence')} and {vm.default_tile(2, 'recurrence')} for the recurrences)")
    else:
        tile = "evaluate n/a"
    lines = [f"machine: {model}, {os.cpu_count()} logical CPUs ({cores} usable){load}",
             f"Python {platform.python_version()}, NumPy {np.__version__}, vemiral ({threads}, {tile})"]
    lines += [f"peers: {d}" for d in descriptions]
    return "\n".join(lines)


def rel_diff(values, reference):
    scale = max(1.0, float(np.max(np.abs(reference))))
    return float(np.max(np.abs(values.reshape(reference.shape) - reference))) / scale


def same_bits(a, b):
    return np.array_equal(np.asarray(a).ravel().view(np.uint64), np.asarray(b).ravel().view(np.uint64))


def fmt(seconds, points, width=8):
    if seconds is None:
        return f"{'n/a':>{width}}"
    if seconds == "skipped":
        return f"{'skipped':>{width}}"
    return f"{seconds * 1e9 / points:>{width}.2f}"


def ratio(numerator, denominator, width=8):
    if not isinstance(numerator, float) or not isinstance(denominator, float):
        return f"{'-':>{width}}"
    return f"{numerator / denominator:>{width - 1}.2f}x"


def measure(name, tree, peers, failures):
    """Times every method on one case; returns (times by column, agreement by column)."""
    shape = SHAPES[name]
    formula = FORMULA[name]
    points = math.prod(shape)
    repeats, list_repeats = REPEATS[KIND[name]], LIST_REPEATS[KIND[name]]
    has_evaluate = hasattr(tree, "evaluate")

    # Agreement first, on one result of each method.
    with Quiet():
        tree.crinit(list(shape))
        listed = tree.creval()
    array = tree.crarray()
    reference = NUMPY[formula](shape)
    diffs = {"crarray": rel_diff(array, reference)}
    if not diffs["crarray"] <= TOLERANCE[name]:
        failures.append(f"{name}: crarray differs from NumPy by {diffs['crarray']:.3g} > {TOLERANCE[name]:g}")
    if not same_bits(listed, array):
        failures.append(f"{name}: crarray differs from creval")
    del listed
    if has_evaluate:
        tiled = tree.evaluate(shape, method="recurrence")
        diffs["evaluate"] = rel_diff(tiled, reference)
        if not diffs["evaluate"] <= TILED_TOLERANCE:
            failures.append(f"{name}: evaluate differs from NumPy by {diffs['evaluate']:.3g} > {TILED_TOLERANCE:g}")
        # One tile covering the grid: the sequential evaluation's values.
        if not same_bits(tree.evaluate(shape, tile=max(shape), method="recurrence"), array):
            failures.append(f"{name}: evaluate with one tile over the grid differs from crarray")
        del tiled
    del array
    for column, fns in peers.items():
        if fns is None:
            continue
        diffs[column] = rel_diff(fns[formula](shape), reference)
        if not diffs[column] <= PEER_TOLERANCE:
            failures.append(f"{name}: {column} differs from NumPy by {diffs[column]:.3g} > {PEER_TOLERANCE:g}")
    del reference

    # Each method runs its repeats in three passes, and every method takes its
    # turn in each pass, so that all of them sample the machine's load over
    # the same stretch of time (other work on a 2-core machine stalls a method
    # that splits its work in two for a whole time slice). Within a pass a
    # method runs back to back, so its fresh arrays reuse the pages it just
    # freed, as a program calling it in a loop would; the short pause between
    # methods lets worker threads that spin after a call go idle.
    methods = {
        "creval": (tree.creval, list_repeats),
        "crarray": (tree.crarray, repeats),
        "evaluate": ((lambda: tree.evaluate(shape, method="recurrence")), repeats) if has_evaluate else None,
        "NumPy": ((lambda: NUMPY[formula](shape)), repeats),
        "np+list": ((lambda: NUMPY[formula](shape).tolist()), list_repeats),
        "floor 1": ((lambda: numpy_floor(shape)), repeats),
    }
    for column, fns in peers.items():
        methods[column] = None if fns is None else ((lambda fns=fns: fns[formula](shape)), repeats)
    numba_all = peers.get("numba N")
    methods["floor N"] = None if numba_all is None else ((lambda: numba_all["floor"](shape)), repeats)
    times = {column: float("inf") for column, method in methods.items() if method is not None}
    with Quiet():
        for pass_ in range(PASSES):
            for column, method in methods.items():
                if method is None:
                    continue
                fn, count = method
                for _ in range(count * (pass_ + 1) // PASSES - count * pass_ // PASSES):
                    t0 = time.perf_counter()
                    result = fn()
                    times[column] = min(times[column], time.perf_counter() - t0)
                    del result
                time.sleep(0.002)
    for column, method in methods.items():
        if method is None:
            times[column] = None if column == "evaluate" else "skipped"
    return times, diffs


PEERS = ["NumPy", "numexpr", "numba 1", "numba N"]


def main():
    started = time.perf_counter()
    numexpr_fns, numexpr_text = numexpr_peers()
    numba_one, numba_all, numba_text = numba_peers()
    peers = {"numexpr": numexpr_fns, "numba 1": numba_one, "numba N": numba_all}
    print(machine([numexpr_text, numba_text]))
    print(f"best of {REPEATS['2-D']} runs on 1000x1000, {REPEATS['long']} on 10^7 points, "
          f"{REPEATS['small']} on 100x100 ({LIST_REPEATS['2-D']}, {LIST_REPEATS['long']} and "
          f"{LIST_REPEATS['small']} for creval and np+list); ns per grid point\n")

    columns = ["creval", "crarray", "evaluate", "NumPy", "np+list", "numexpr", "numba 1", "numba N",
               "floor 1", "floor N"]
    header = f"{'case':<6} {'grid':>9} " + " ".join(f"{col:>8}" for col in columns)
    print(header)
    print("-" * len(header))
    failures = []
    results = {}
    for name, tree in trees().items():
        times, diffs = measure(name, tree, peers, failures)
        results[name] = (times, diffs)
        points = math.prod(SHAPES[name])
        grid = "x".join(map(str, SHAPES[name])) if name != "L" and name != "chirp" else "10^7"
        print(f"{name:<6} {grid:>9} " + " ".join(fmt(times[col], points) for col in columns), flush=True)

    print()
    header = (f"{'case':<6} {'fastest peer':>12} {'peer/crarray':>13} {'peer/evaluate':>14}"
              f" {'crarray/floor':>14} {'evaluate/floor':>15} {'crarray/evaluate':>17}"
              f" {'NumPy/crarray':>14} {'np+list/creval':>15}")
    print(header)
    print("-" * len(header))
    for name, (times, _) in results.items():
        measured = {p: times[p] for p in PEERS if isinstance(times[p], float)}
        fastest = min(measured, key=measured.get)
        floors = [times[f] for f in ("floor 1", "floor N") if isinstance(times[f], float)]
        floor = min(floors)
        print(f"{name:<6} {fastest:>12} {ratio(times[fastest], times['crarray'], 13)}"
              f" {ratio(times[fastest], times['evaluate'], 14)}"
              f" {ratio(times['crarray'], floor, 14)} {ratio(times['evaluate'], floor, 15)}"
              f" {ratio(times['crarray'], times['evaluate'], 17)}"
              f" {ratio(times['NumPy'], times['crarray'], 14)} {ratio(times['np+list'], times['creval'], 15)}")

    print()
    agreement = ["crarray", "evaluate", "numexpr", "numba 1", "numba N"]
    header = f"{'case':<6} {'tolerance':>9} " + " ".join(f"{col:>9}" for col in agreement)
    print("agreement with NumPy: max |difference| / max(1, max |NumPy value|)")
    print(header)
    print("-" * len(header))
    for name, (_, diffs) in results.items():
        cells = [f"{diffs[col]:>9.2g}" if col in diffs else f"{'-':>9}" for col in agreement]
        print(f"{name:<6} {TOLERANCE[name]:>9g} " + " ".join(cells))

    print("\npeer/X: how many times faster X is than the fastest of NumPy, numexpr and numba;")
    print("X/floor: how many times the fastest fresh filled array X takes (1.00x is the floor);")
    print("np+list/creval: creval (a list) against NumPy followed by tolist().")
    print(f"tolerance: crarray's, per case; evaluate within {TILED_TOLERANCE:g}, numexpr and numba "
          f"within {PEER_TOLERANCE:g}. crarray must equal creval bit for bit, and evaluate with one "
          "tile over the grid must equal crarray bit for bit.")
    print(f"whole run: {time.perf_counter() - started:.0f} s")
    if failures:
        print("\n".join(["", "FAILED:"] + failures))
        return 1
    print("all agreement checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
