"""A wider sweep than the zoo: formulas a physicist, a signal engineer or a
data scientist writes, none chosen for this module, against NumPy on the
grid's own coordinates.

Run with `bash scripts/bench.sh sweep` (`--save PATH` to keep the report).
Each formula is evaluated on a 1000 x 1000 grid (x from -1.3 to 1.7, y from
-1.1 to 0.9, ranges that put no zero on a grid point) into a reused `out=`
array; NumPy evaluates the same text on `grid.coords` (its functions, SciPy's
for j0, erf and erfc). Times are the best of several runs in interleaved
passes. "agreement" is max |vemiral - NumPy| / max(1, |NumPy|): the default
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

NUMPY = {"exp": np.exp, "sqrt": np.sqrt, "sin": np.sin, "cos": np.cos, "log": np.log, "tanh": np.tanh,
         "pi": np.pi, "e": np.e, "sinc": np.sinc, "where": np.where, "abs": np.abs, "cbrt": np.cbrt,
         "atan": np.arctan, "sinh": np.sinh, "cosh": np.cosh, "floor": np.floor, "clip": np.clip,
         "log10": np.log10, "hypot": np.hypot, "expm1": np.expm1, "tan": np.tan, "maximum": np.maximum,
         "minimum": np.minimum, "j0": special.j0, "erf": special.erf, "erfc": special.erfc,
         "gamma": special.gamma}


def best(run, repeats):
    fastest = math.inf
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        fastest = min(fastest, time.perf_counter() - start)
    return fastest


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--save", metavar="PATH", help="also write the report, with a header, to PATH")
    args = parser.parse_args()
    out = Tee(sys.stdout)
    sys.stdout = out
    print(header().replace("formula zoo", "formula sweep"))
    grid = Grid(x=(-1.3, 1.7, 1000), y=(-1.1, 0.9, 1000))
    x, y = np.meshgrid(*grid.coords.values(), indexing="ij")
    print(f"grid {grid.shape[0]} x {grid.shape[1]}; best of 5 runs in 3 interleaved passes; ms a formula\n")
    print(f"{'formula':<12} {'vemiral':>9} {'NumPy':>9} {'NumPy/vm':>9} {'agreement':>10}  text")
    nodes = {key: grid.expression(text) for key, text in FORMULAS.items()}
    target = np.empty(grid.shape)
    times = {key: [math.inf, math.inf] for key in FORMULAS}
    with np.errstate(all="ignore"):
        for _ in range(3):
            for key, text in FORMULAS.items():
                env = dict(NUMPY, x=x, y=y)
                times[key][0] = min(times[key][0], best(lambda: nodes[key].evaluate(grid.shape, out=target), 5))
                times[key][1] = min(times[key][1], best(lambda: eval(text, env), 5))
        faster = 0
        for key, text in FORMULAS.items():
            mine, theirs = nodes[key].evaluate(grid.shape), eval(text, dict(NUMPY, x=x, y=y))
            agreement = np.nanmax(np.abs(mine - theirs) / np.maximum(1, np.abs(theirs)))
            ours, numpy_time = times[key]
            faster += numpy_time >= ours
            print(f"{key:<12} {ours * 1e3:>9.2f} {numpy_time * 1e3:>9.2f} {numpy_time / ours:>8.2f}x "
                  f"{agreement:>10.1e}  {text}")
    ratios = [t[1] / t[0] for t in times.values()]
    print(f"\ngeometric mean of NumPy/vemiral over {len(ratios)} formulas: "
          f"{math.exp(sum(map(math.log, ratios)) / len(ratios)):.2f}x")
    print(f"vemiral at least as fast as NumPy: {faster} of {len(ratios)}; slowest ratio {min(ratios):.2f}x")
    sys.stdout = out.stream
    if args.save:
        save(args.save, out.kept.getvalue())


if __name__ == "__main__":
    main()
