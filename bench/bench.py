"""Times creval and crarray against NumPy on six expressions and prints one table.

Run with `bash scripts/bench.sh` (sets up .venv and builds first). Every case
evaluates the same expression on the same grid with vemiral and with NumPy
written the way one writes it for speed: float64, broadcasting over
np.ogrid-style axes, sub-expressions of one axis computed on that axis only,
in-place operations where they save a temporary, and no algebraic rewriting
that would change the rounding. Each time is the best of several runs;
everything is measured side by side in this one process.
"""

import os
import platform
import sys
import time

import numpy as np

import vemiral as vm

N = 1000  # 1000 x 1000 grid for the two-dimensional cases
L_POINTS = 10**7
REPEATS = 20
REPEATS_LARGE = 4

# Values agree within this, relative to the largest magnitude of the case.
# The recurrences accumulate rounding step by step, NumPy rounds each point
# afresh; ten million rotations (case L) drift the most.
TOLERANCE = {"P": 1e-10, "W": 1e-10, "G": 1e-10, "T": 1e-10, "R": 1e-10, "L": 1e-7}


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


def trees():
    return {
        # 3x^2y - 2xy + y^3 - 7
        "P": b(vm.SUB,
               b(vm.ADD,
                 b(vm.SUB, b(vm.MUL, b(vm.MUL, c(3.0), b(vm.POW, x(), c(2.0))), y()),
                   b(vm.MUL, b(vm.MUL, c(2.0), x()), y())),
                 b(vm.POW, y(), c(3.0))),
               c(7.0)),
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
    }


def axes():
    i, j = np.ogrid[0:N, 0:N]
    return 0.001 * i, 1.0 + 0.002 * j


def numpy_p():
    xs, ys = axes()
    r = (3.0 * xs * xs) * ys
    r -= (2.0 * xs) * ys
    r += ys**3 - 7.0
    return r


def numpy_w():
    xs, ys = axes()
    r = xs * ys
    np.sin(r, out=r)
    s = xs + ys
    np.cos(s, out=s)
    r += s
    return r


def numpy_g():
    xs, ys = axes()
    r = xs * xs + ys * ys
    np.negative(r, out=r)
    np.exp(r, out=r)
    return r


def numpy_t():
    xs, ys = axes()
    return np.sin(xs) * np.exp(ys)


def numpy_r():
    xs, ys = axes()
    return (xs + 1.0) / (ys + 2.0)


def numpy_l():
    r = np.arange(L_POINTS, dtype=np.float64)
    r *= 0.001
    np.sin(r, out=r)
    return r


NUMPY = {"P": numpy_p, "W": numpy_w, "G": numpy_g, "T": numpy_t, "R": numpy_r, "L": numpy_l}


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


def best_time(fn, repeats):
    best = float("inf")
    for _ in range(repeats):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
        del result
    return best


def machine():
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return (f"{model}, {os.cpu_count()} logical CPUs; Python {platform.python_version()}, "
            f"NumPy {np.__version__}")


def main():
    print(f"machine: {machine()}")
    print(f"best of {REPEATS} runs ({REPEATS_LARGE} for L); ns per grid point\n")
    header = (f"{'case':<4} {'points':>9} {'creval':>8} {'crarray':>8} {'numpy':>8} {'np+list':>8}"
              f" {'numpy/crarray':>14} {'np+list/creval':>15} {'max rel diff':>13}")
    print(header)
    print("-" * len(header))
    failures = []
    for name, tree in trees().items():
        shape = [L_POINTS] if name == "L" else [N, N]
        points = int(np.prod(shape))
        repeats = REPEATS_LARGE if name == "L" else REPEATS
        with Quiet():
            tree.crinit(shape)
            listed = tree.creval()

        array = tree.crarray()
        reference = NUMPY[name]()
        scale = max(1.0, float(np.max(np.abs(reference))))
        diff = float(np.max(np.abs(array.reshape(reference.shape) - reference))) / scale
        if not diff <= TOLERANCE[name]:
            failures.append(f"{name}: values differ from NumPy by {diff:.3g} > {TOLERANCE[name]:g}")
        if not np.array_equal(np.array(listed).view(np.uint64), array.ravel().view(np.uint64)):
            failures.append(f"{name}: crarray differs from creval")
        del listed, array, reference

        with Quiet():
            t_creval = best_time(tree.creval, repeats)
        t_crarray = best_time(tree.crarray, repeats)
        t_numpy = best_time(NUMPY[name], repeats)
        t_tolist = best_time(lambda: NUMPY[name]().tolist(), repeats)

        ns = [t * 1e9 / points for t in (t_creval, t_crarray, t_numpy, t_tolist)]
        print(f"{name:<4} {points:>9} {ns[0]:>8.2f} {ns[1]:>8.2f} {ns[2]:>8.2f} {ns[3]:>8.2f}"
              f" {t_numpy / t_crarray:>13.2f}x {t_tolist / t_creval:>14.2f}x {diff:>13.2g}",
              flush=True)

    print("\nnumpy/crarray: how many times faster crarray is than NumPy to an array;")
    print("np+list/creval: the same for creval (a list) against NumPy followed by tolist().")
    tolerances = ", ".join(f"{k} {v:g}" for k, v in TOLERANCE.items())
    print(f"agreement with NumPy, max |difference| / max(1, max |value|): {tolerances}")
    if failures:
        print("\n".join(["", "FAILED:"] + failures))
        return 1
    print("all agreement checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
