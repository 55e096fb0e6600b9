"""A wider sweep than the zoo: formulas a physicist, a signal engineer or a
data scientist writes, none chosen for this module, against NumPy on the
grid's own coordinates.

Run with `bash scripts/bench.sh sweep` (`--save PATH` to keep the report,
`--only KEY,...` to rerun some formulas). The first set is evaluated on a
1000 x 1000 grid (x from -1.3 to 1.7, y from -1.1 to 0.9, ranges that put no
zero on a grid point); the second on the grid each names: 1-D signals of
10^6 samples, 3-D fields on 100^3 points, statistics, special functions,
conditions and complex formulas (against NumPy's complex arithmetic) on the
plane. Each is evaluated into a reused `out=` array; NumPy evaluates the
same text on `grid.coords` (its functions, SciPy's for the special
functions). Times are the best of several runs in interleaved passes. "agreement" is max |vemiral - NumPy| / max(1, |NumPy|): the default
computes what NumPy computes, so it is 0 or a few ulps (where NumPy's own
loops differ from the kernels the plan chose, such as glibc's vector sine).
The summary says how many formulas are at least as fast as NumPy.
"""

import argparse
import math
import sys
import time

import numpy as np
import scipy.special as special

from vemiral_grid import Grid
from zoo import Tee, header, save

FORMULAS = {
    "gauss2d": "exp(-((x-0.3)**2 + (y+0.2)**2)/(2*0.4**2))",
    "sinc2d": "sinc(x)*sinc(y)",
    "ripple": "sin(10*sqrt(x**2+y**2))/(1+x**2+y**2)",
    "mexhat": "(1 - (x**2+y**2)/0.25)*exp(-(x**2+y**2)/0.5)",
    "himmelblau": "(x**2 + y - 11)**2 + (x + y**2 - 7)**2",
    "rosenbrock": "(1 - x)**2 + 100*(y - x**2)**2",
    "rastrigin": "20 + x**2 - 10*cos(2*pi*x) + y**2 - 10*cos(2*pi*y)",
    "ackley": "-20*exp(-0.2*sqrt(0.5*(x**2+y**2))) - exp(0.5*(cos(2*pi*x)+cos(2*pi*y))) + e + 20",
    "softplus": "log(1 + exp(x*y))",
    "sigmoids": "1/(1+exp(-3*x)) * 1/(1+exp(-3*y))",
    "tanhmix": "tanh(2*x)*tanh(3*y) + 0.1*x",
    "fringes": "cos(20*x)**2 + cos(20*y)**2",
    "planewave": "cos(5*x - 3*y)",
    "bessel": "j0(10*sqrt(x**2+y**2))",
    "erfsurf": "erf(x)*erfc(y)",
    "logpot": "log(sqrt((x-0.1)**2 + y**2) + 0.01)",
    "morse": "(1 - exp(-2*(sqrt(x**2+y**2) - 1)))**2",
    "stepfn": "where(x*x + y*y < 0.5, sin(5*x), cos(5*y))",
    "absmix": "abs(x) + abs(y) - abs(x*y)",
    "powfrac": "(x**2 + y**2 + 1)**1.5",
    "powneg": "(x**2 + y**2 + 0.1)**(-0.5)",
    "cbrt": "cbrt(x*y)",
    "atans": "atan(x) + atan(y)",
    "sinhcosh": "sinh(x)*cosh(y)",
    "decay": "exp(-3*x)*cos(8*y)",
    "damped": "exp(-0.5*x)*sin(12*x)*y",
    "poly5": "x**5 - 3*x**3*y + 2*x*y**4 - y**5",
    "floormod": "floor(5*x) + (y % 0.3)",
    "clip": "clip(x*y, -0.3, 0.3)",
    "log10": "log10(1 + x**2 + y**2)",
    "sqrtabs": "sqrt(abs(x - y))",
    "coshratio": "cosh(x)/cosh(y)",
    "hypotcos": "hypot(x, y)*cos(y)",
    "expm1": "expm1(x*y)/(x*y + 1.5)",
    "tan": "tan(0.5*x*y)",
    "maxmin": "maximum(x, y) - minimum(x, y)",
    "sigmoidgrad": "exp(-x)/(1+exp(-x))**2 * y",
    "fresnel": "cos(pi*x**2/2)*sin(pi*y**2/2)",
    "gammaxy": "gamma(x*y + 2)",
    "lorentz3": "1/(1 + (x/0.2)**2) + 1/(1 + ((x-y)/0.3)**2)",
}

# The second set: (grid, text), each grid a name in GRIDS.
GRIDS = {
    "signal": {"t": (-0.5, 0.5, 10**6)},
    "cube": {"x": (-1.3, 1.7, 100), "y": (-1.1, 0.9, 100), "z": (-0.9, 1.1, 100)},
    "plane": {"x": (-1.3, 1.7, 1000), "y": (-1.1, 0.9, 1000)},
    "line": {"u": (0.05, 8.05, 10**6)},
    "option": {"S": (50, 150, 1000), "v": (0.1, 0.6, 1000)},
}
BLACK_SCHOLES = ("S*0.5*(1 + erf((log(S/100) + (0.05 + v**2/2))/(v*sqrt(2))))"
                 " - 100*exp(-0.05)*0.5*(1 + erf((log(S/100) + (0.05 - v**2/2))/(v*sqrt(2))))")
SECOND = {
    "saw": ("signal", "2*(440*t - floor(440*t + 0.5))"),
    "sawmod": ("signal", "(440*t) % 1.0 - 0.5"),
    "triangle": ("signal", "2*abs(2*((100*t) % 1.0) - 1) - 1"),
    "square": ("signal", "sign(sin(2*pi*50*t))"),
    "squarewhere": ("signal", "where(sin(2*pi*50*t) >= 0, 1.0, -1.0)"),
    "pwm": ("signal", "where((50*t) % 1.0 < 0.3, 1.0, 0.0)"),
    "expdecay": ("signal", "exp(-5*abs(t))*cos(2*pi*300*t)"),
    "dampchirp": ("signal", "exp(-3*t**2)*sin(2*pi*(200*t + 400*t**2))"),
    "winsinc": ("signal", "sin(200*t)/(200*t)*(0.54 + 0.46*cos(2*pi*t))"),
    "gaussd1": ("signal", "-t/0.01*exp(-t**2/(2*0.01))"),
    "gaussd2": ("signal", "(t**2/0.0001 - 1/0.01)*exp(-t**2/0.02)"),
    "clipsig": ("signal", "clip(3*sin(2*pi*100*t), -1, 1)"),
    "halfwave": ("signal", "maximum(sin(2*pi*60*t), 0)"),
    "fullwave": ("signal", "abs(sin(2*pi*60*t))"),
    "am_dsb": ("signal", "cos(2*pi*30*t)*cos(2*pi*1000*t)"),
    "pm_saw": ("signal", "sin(2*pi*1000*t + 2*((5*t) % 1.0))"),
    "fm_tri": ("signal", "cos(2*pi*800*t + 30*abs(2*((3*t) % 1.0) - 1))"),
    "envelope": ("signal", "minimum(1, 20*(t + 0.5))*exp(-2*(t + 0.5))*sin(2*pi*440*t)"),
    "softclip": ("signal", "tanh(3*sin(2*pi*100*t))"),
    "dipole2": ("cube", "1/sqrt((x-0.2)**2 + y**2 + z**2) - 1/sqrt((x+0.2)**2 + y**2 + z**2)"),
    "blobs": ("cube", "exp(-((x-0.3)**2 + y**2 + z**2)/0.1) + 0.5*exp(-(x**2 + (y-0.4)**2 + (z+0.2)**2)/0.05)"),
    "kernel3": ("cube", "1/(x**2 + y**2 + z**2)**1.5"),
    "quadrupole": ("cube", "(3*z**2 - (x**2 + y**2 + z**2))/(x**2 + y**2 + z**2)**2.5"),
    "trilinear": ("cube", "1 + 2*x + 3*y - z + 0.5*x*y - 0.7*y*z + 0.2*x*z + 0.1*x*y*z"),
    "poly3d": ("cube", "x**3 - 3*x*y**2 + z**4 - 2*x*y*z"),
    "boxmode": ("cube", "sin(pi*x)*sin(2*pi*y)*sin(3*pi*z)"),
    "orbital2p": ("cube", "z*exp(-sqrt(x**2 + y**2 + z**2)/2)"),
    "gyroid": ("cube", "sin(4*x)*cos(4*y) + sin(4*y)*cos(4*z) + sin(4*z)*cos(4*x)"),
    "normpdf": ("plane", "exp(-0.5*((x - y)/0.7)**2)/(0.7*sqrt(2*pi))"),
    "normcdf": ("plane", "0.5*(1 + erf((x - y)/sqrt(2)))"),
    "cauchypdf": ("plane", "1/(pi*0.5*(1 + ((x - y)/0.5)**2))"),
    "cauchycdf": ("plane", "0.5 + atan((x - y)/0.5)/pi"),
    "logisticpdf": ("plane", "exp(-(x - y)/0.3)/(0.3*(1 + exp(-(x - y)/0.3))**2)"),
    "softplus_lae": ("plane", "logaddexp(0, 4*x*y)"),
    "logsumexp": ("plane", "logaddexp(3*x, 2*y)"),
    "gelu_tanh": ("plane", "0.5*(x + y)*(1 + tanh(sqrt(2/pi)*((x + y) + 0.044715*(x + y)**3)))"),
    "gelu_erf": ("plane", "0.5*(x + y)*(1 + erf((x + y)/sqrt(2)))"),
    "silu": ("plane", "x*y/(1 + exp(-x*y))"),
    "elu": ("plane", "where(x*y > 0, x*y, expm1(x*y))"),
    "blackscholes": ("option", BLACK_SCHOLES),
    "gamma1d": ("line", "gamma(u)"),
    "lgamma": ("plane", "lgamma(1 + 10*(x**2 + y**2))"),
    "jn3": ("plane", "jn(3, 10*x*y)"),
    "y0": ("line", "y0(1 + 5*u)"),
    "y1": ("plane", "y1(x**2 + y**2 + 0.5)"),
    "expm1neg": ("plane", "expm1(-x**2 - y**2)"),
    "log1pabs": ("plane", "log1p(abs(x*y))"),
    "deg2rad": ("plane", "sin(deg2rad(90*x))*cos(deg2rad(60*y))"),
    "squares": ("plane", "square(x - y) + square(x + 2*y)"),
    "hypot": ("plane", "hypot(x, y)"),
    "hypotshift": ("plane", "hypot(x - 0.3, 2*y)"),
    "wherenest": ("plane", "where(x < -0.5, -1.0, where(x < 0.5, x*y, where(y > 0, 1.0, 0.5)))"),
    "minmaxclip": ("plane", "minimum(maximum(x, y), 0.5) + clip(x - y, -0.2, 0.7)"),
    "signsqrt": ("plane", "sign(x*y)*sqrt(abs(x*y))"),
    "heaviside": ("plane", "heaviside(x - 0.25, 0.5)*heaviside(y, 0.5)*exp(-x*y)"),
    "relus": ("plane", "maximum(x + y, 0) - 0.5*maximum(x - y, 0)"),
    "absabs": ("plane", "abs(abs(x) - 0.5) + abs(abs(y) - 0.3)"),
    "cexpabs": ("plane", "abs(exp(1j*x*y))"),
    "ccube": ("plane", "(x + 1j*y)**3"),
    "cinverse": ("plane", "1/(x + 1j*y + 0.5)"),
    "clog": ("plane", "log(x + 1j*y)"),
    "csqrt": ("plane", "sqrt(x + 1j*y)"),
    "cangle": ("plane", "angle((x + 1j*y)**2 + 0.3)"),
    "cexpreal": ("plane", "real(exp((0.3+2j)*x)*exp(1j*y))"),
    "cfresnel": ("plane", "exp(1j*(x**2 + y**2)/0.01)"),
}

NUMPY = {"exp": np.exp, "sqrt": np.sqrt, "sin": np.sin, "cos": np.cos, "log": np.log, "tanh": np.tanh,
         "pi": np.pi, "e": np.e, "sinc": np.sinc, "where": np.where, "abs": np.abs, "cbrt": np.cbrt,
         "atan": np.arctan, "sinh": np.sinh, "cosh": np.cosh, "floor": np.floor, "clip": np.clip,
         "log10": np.log10, "hypot": np.hypot, "expm1": np.expm1, "tan": np.tan, "maximum": np.maximum,
         "minimum": np.minimum, "j0": special.j0, "erf": special.erf, "erfc": special.erfc,
         "gamma": special.gamma, "lgamma": special.gammaln, "jn": special.jv, "y0": special.y0,
         "y1": special.y1, "log1p": np.log1p, "deg2rad": np.deg2rad, "square": np.square, "sign": np.sign,
         "heaviside": np.heaviside, "logaddexp": np.logaddexp, "angle": np.angle, "real": np.real}


def best(run, repeats):
    fastest = math.inf
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        fastest = min(fastest, time.perf_counter() - start)
    return fastest


class Case:
    """A formula on its grid: vemiral's node and output, NumPy's coordinates."""

    def __init__(self, key, axes, text):
        self.key, self.text = key, text
        self.grid = Grid(**axes)
        coords = np.meshgrid(*self.grid.coords.values(), indexing="ij")
        self.env = dict(NUMPY, **dict(zip(self.grid.names, coords)))
        self.node = self.grid.expression(text)
        self.native = hasattr(self.node, "evaluate")  # a ComplexNode is evaluated by its grid
        self.out = np.empty(self.grid.shape, float if self.native else complex)
        self.times = [math.inf, math.inf]

    def vemiral(self):
        if self.native:
            return self.node.evaluate(self.grid.shape, out=self.out)
        return self.grid.evaluate(self.node, out=self.out)

    def numpy(self):
        return eval(self.text, self.env)

    def agreement(self):
        mine, theirs = self.vemiral().copy(), self.numpy()
        return np.nanmax(np.abs(mine - theirs) / np.maximum(1, np.abs(theirs)))


def cases(only):
    plane = {"x": (-1.3, 1.7, 1000), "y": (-1.1, 0.9, 1000)}
    first = [Case(key, plane, text) for key, text in FORMULAS.items()]
    second = [Case(key, GRIDS[grid], text) for key, (grid, text) in SECOND.items()]
    keep = set(only.split(",")) if only else None
    unknown = keep - set(FORMULAS) - set(SECOND) if keep else set()
    if unknown:
        raise SystemExit(f"unknown formulas: {', '.join(sorted(unknown))}")
    return [[case for case in group if keep is None or case.key in keep] for group in (first, second)]


def table(title, group):
    if not group:
        return
    print(f"\n{title}\n")
    print(f"{'formula':<12} {'grid':>14} {'vemiral':>9} {'NumPy':>9} {'NumPy/vm':>9} {'agreement':>10}  text")
    for case in group:
        ours, theirs = case.times
        shape = " x ".join(map(str, case.grid.shape))
        print(f"{case.key:<12} {shape:>14} {ours * 1e3:>9.2f} {theirs * 1e3:>9.2f} {theirs / ours:>8.2f}x "
              f"{case.agreement():>10.1e}  {case.text}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--save", metavar="PATH", help="also write the report, with a header, to PATH")
    parser.add_argument("--only", metavar="KEY,...", help="only these formulas")
    args = parser.parse_args()
    out = Tee(sys.stdout)
    sys.stdout = out
    print(header().replace("formula zoo", "formula sweep"))
    groups = cases(args.only)
    every = [case for group in groups for case in group]
    print("best of 5 runs in 3 interleaved passes; ms a formula")
    with np.errstate(all="ignore"):
        for _ in range(3):
            for case in every:
                case.times[0] = min(case.times[0], best(case.vemiral, 5))
                case.times[1] = min(case.times[1], best(case.numpy, 5))
        table("first set: the plane, 1000 x 1000", groups[0])
        table("second set: signals, 3-D fields, statistics, special functions, conditions, complex", groups[1])
    ratios = [case.times[1] / case.times[0] for case in every]
    close = [f"{case.key} {case.times[1] / case.times[0]:.2f}x" for case in every
             if case.times[1] < 1.3 * case.times[0]]
    print(f"\ngeometric mean of NumPy/vemiral over {len(ratios)} formulas: "
          f"{math.exp(sum(map(math.log, ratios)) / len(ratios)):.2f}x")
    print(f"vemiral at least as fast as NumPy: {sum(r >= 1 for r in ratios)} of {len(ratios)}; "
          f"slowest ratio {min(ratios):.2f}x")
    print(f"within 1.3x of NumPy or slower: {', '.join(close) or 'none'}")
    sys.stdout = out.stream
    if args.save:
        save(args.save, out.kept.getvalue())


if __name__ == "__main__":
    main()
