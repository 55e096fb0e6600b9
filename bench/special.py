"""The error of the special functions against mpmath, beside SciPy's (NumPy's for logaddexp).

Run with `bash scripts/bench.sh special` (sets up .venv and builds first).

Every function is evaluated by the default method at a few thousand doubles:
random ones over its range and the hard points, which are where libraries
go wrong: the poles of gamma and the points next to them, its overflow and
underflow, the zeros of lgamma, huge arguments, and the doubles nearest the
zeros of the Bessel functions. The error is |value - exact| in ulp of the
exact value (mpmath, 50 digits). Near a zero of a Bessel function the value
is the small difference of two terms of the function's size, so every
library's relative error grows there without bound; "amplitude ulp" measures
the same error in ulp of the function's envelope (sqrt(J**2 + Y**2) of the
order), and "away from zeros" is the relative error where the value is at
least 1/64 of the envelope. Points where the exact value overflows must give
inf, and poles the values SciPy gives; a value that is not so, or not finite
where the exact value is, counts as a mismatch.
"""

import math
import random
import sys

import numpy as np

import vemiral as vm

RANDOM = 2500  # random points per function, besides the hard points
SEED = 20240601


def ulp(value):
    return math.ulp(value) if value != 0.0 else 5e-324


def exact_functions(mp):
    def log_gamma(x):
        return mp.re(mp.loggamma(x))

    return {
        "gamma": (mp.gamma, None),
        "lgamma": (log_gamma, None),
        "j0": (lambda x: mp.besselj(0, x), lambda x: mp.hypot(mp.besselj(0, x), mp.bessely(0, abs(x)))),
        "j1": (lambda x: mp.besselj(1, x), lambda x: mp.hypot(mp.besselj(1, x), mp.bessely(1, abs(x)))),
        "y0": (lambda x: mp.bessely(0, x), lambda x: mp.hypot(mp.besselj(0, x), mp.bessely(0, x))),
        "y1": (lambda x: mp.bessely(1, x), lambda x: mp.hypot(mp.besselj(1, x), mp.bessely(1, x))),
        "jn": (lambda n, x: mp.besselj(int(n), x),
               lambda n, x: mp.hypot(mp.besselj(int(n), x), mp.bessely(int(n), abs(x)))),
        "logaddexp": (lambda a, b: mp.log(mp.exp(a) + mp.exp(b)), None),
    }


def points(mp):
    """Arguments (tuples) by function: random, then the hard points."""
    rng = random.Random(SEED)
    uniform = lambda lo, hi: [(rng.uniform(lo, hi),) for _ in range(RANDOM)]  # noqa: E731

    def logs(lo, hi, count):
        return [math.exp(rng.uniform(math.log(lo), math.log(hi))) for _ in range(count)]

    def near(centres, offsets=(0,)):
        """The doubles at and around each centre, `offsets` ulps away."""
        out = []
        for c in centres:
            for k in offsets:
                v = c
                for _ in range(abs(k)):
                    v = math.nextafter(v, math.inf if k > 0 else -math.inf)
                out.append((v,))
        return out

    steps = (-2, -1, 0, 1, 2)
    gamma_hard = near([-k for k in range(1, 171)], (-1, 1)) + near([-k - 1e-9 for k in range(1, 40)]) + near(
        [171.6243769563027, 2**-1022, 5e-324, 1e-300, 0.5, 1.5, 2.5, -0.5, -171.5, -177.5,
         -182.5, -184.25], steps) + [(float(k),) for k in range(1, 30)]
    lgamma_zeros = [float(z) for z in (mp.findroot(lambda t: mp.re(mp.loggamma(t)), g)
                                        for g in (-2.457, -2.747, -3.143, -3.955, -4.039, -4.991))]
    lgamma_hard = near([1.0, 2.0] + lgamma_zeros, (-3, -2, -1, 0, 1, 2, 3)) + near(
        [2.55e305, 1e300, 5e-324, 1e-300, -1e-300, -0.5, -170.5], steps)
    zeros = {"j0": [mp.besseljzero(0, k) for k in range(1, 61)],
             "j1": [mp.besseljzero(1, k) for k in range(1, 61)],
             "y0": [mp.besselyzero(0, k) for k in range(1, 61)],
             "y1": [mp.besselyzero(1, k) for k in range(1, 61)]}
    huge = [(x,) for x in logs(1e3, 1e300, 200)] + [(1e22,), (1e300,), (1.7e308,)]
    tiny = [(x,) for x in logs(1e-300, 1e-3, 100)]
    bessel = {name: uniform(0, 100) + huge + tiny + near([float(z) for z in zs], steps)
              for name, zs in zeros.items()}
    for name in ("j0", "j1"):
        bessel[name] += [(-x,) for (x,) in uniform(0, 100)[:300]]
    orders = [2, 3, 5, 10, 20, 50, 100, -3, -10]
    jn = [(float(rng.choice(orders)), rng.uniform(-120, 120)) for _ in range(RANDOM)]
    jn += [(float(n), float(mp.besseljzero(abs(n), k)) * (1 if n > 0 else -1)) for n in (2, 5, 10, -3)
           for k in range(1, 16)]
    jn += [(float(n), f * n) for n in (10, 50, 100, 500) for f in (0.5, 0.9, 0.99, 1.0, 1.01, 1.1, 2.0)]
    jn += [(2.0, 1e300), (5.0, 1e22), (3.0, 1e5), (1500.0, 100.0), (1500.0, 1400.0)]
    logaddexp = [(rng.uniform(-800, 800), rng.uniform(-800, 800)) for _ in range(RANDOM // 2)]
    logaddexp += [(a, a + rng.uniform(-40, 40)) for a in (rng.uniform(-700, 700) for _ in range(RANDOM // 2))]
    logaddexp += [(1e308, 1e308), (-1e308, -1e308), (0.0, -40.0), (-745.0, -745.0), (709.0, 709.0), (1e-300, 0.0)]
    return {
        "gamma": uniform(-180, 180) + gamma_hard,
        "lgamma": [(x,) for x in logs(1e-300, 1e300, RANDOM // 2)] + uniform(-60, 60)[: RANDOM // 2] + lgamma_hard,
        **bessel,
        "jn": jn,
        "logaddexp": logaddexp,
    }


def ours(name, args):
    """The default method's value at the point: a one-point grid per argument."""
    variables = [vm.ASTvar(i, a, 1.0) for i, a in enumerate(args)]
    node = getattr(vm, name)(*variables)
    return float(node.evaluate((1,) * len(args)).ravel()[0])


def theirs(name, args):
    import scipy.special as special

    with np.errstate(all="ignore"):
        if name == "logaddexp":
            return float(np.logaddexp(*args))
        if name == "lgamma":
            return float(special.gammaln(*args))
        if name == "jn":
            return float(special.jv(*args))
        return float(getattr(special, name)(*args))


def main():
    import mpmath

    mpmath.mp.dps = 50
    mp = mpmath.mp
    exact = exact_functions(mp)
    print(__doc__.split("\n\n")[0])
    header = (f"{'function':<10} {'points':>6} {'ulp':>9} {'SciPy':>9} {'amplitude ulp':>14} {'SciPy':>9} "
              f"{'away from zeros':>16} {'SciPy':>9} {'mismatches':>10} {'SciPy':>6}  worst points (ours; SciPy's)")
    print(header)
    print("-" * len(header))
    for name, arguments in points(mp).items():
        value, envelope = exact[name]
        worst = {"ulp": [0.0, 0.0], "amplitude": [0.0, 0.0], "away": [0.0, 0.0]}
        at, mismatches = [None, None], [0, 0]
        for args in arguments:
            try:
                e = value(*(mp.mpf(a) for a in args))
            except (ValueError, ZeroDivisionError):  # a pole
                e = None
            mine, other = ours(name, args), theirs(name, args)
            if e is None or isinstance(e, mp.mpc) or not mp.isfinite(e) or not math.isfinite(float(e)):
                # A pole, a point outside the domain or an overflow: SciPy's value, or inf beyond the range.
                if e is not None and mp.isfinite(e) and not isinstance(e, mp.mpc):
                    expected = float(e)
                    mismatches[0] += mine != expected
                    mismatches[1] += other != expected
                else:
                    mismatches[0] += not (mine == other or (math.isnan(mine) and math.isnan(other)))
                continue
            size = ulp(float(e))
            scale = ulp(float(envelope(*(mp.mpf(a) for a in args)))) if envelope else size
            small = envelope is not None and abs(e) < envelope(*(mp.mpf(a) for a in args)) / 64
            for i, v in enumerate((mine, other)):
                if not math.isfinite(v):  # NaN or an infinity for a finite value
                    mismatches[i] += 1
                    continue
                error = float(abs(mp.mpf(v) - e))
                if error / size > worst["ulp"][i]:
                    at[i] = args
                worst["ulp"][i] = max(worst["ulp"][i], error / size)
                worst["amplitude"][i] = max(worst["amplitude"][i], error / scale)
                if not small:
                    worst["away"][i] = max(worst["away"][i], error / size)
        cells = [f"{worst['ulp'][0]:>9.3g}", f"{worst['ulp'][1]:>9.3g}"]
        if envelope:
            cells += [f"{worst['amplitude'][0]:>14.3g}", f"{worst['amplitude'][1]:>9.3g}",
                      f"{worst['away'][0]:>16.3g}", f"{worst['away'][1]:>9.3g}"]
        else:
            cells += [f"{'':>14}", f"{'':>9}", f"{'':>16}", f"{'':>9}"]
        print(f"{name:<10} {len(arguments):>6} " + " ".join(cells)
              + f" {mismatches[0]:>10} {mismatches[1]:>6}  {at[0]}; {at[1]}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
