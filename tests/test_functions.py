"""The functions, conditions and parameters of a formula: every way in (vemiral's
functions and operators, strings, SymPy, NumPy's ufuncs on nodes) against NumPy
on the grid's coordinates, edges of the domains included; the refusals."""

import math
import operator
import os
import re
import subprocess
import sys

import mpmath
import numpy as np
import pytest
import scipy.special as sc
import sympy
from sympy.codegen.numpy_nodes import logaddexp

import vemiral as vm
from helpers import FUNCTIONS, arity, same_bits
from vemiral_grid import Grid

UFUNCS = getattr(vm.ASTnode, "__array_ufunc__", None) is not None
erf, erfc = (np.vectorize(f, otypes=[float]) for f in (math.erf, math.erfc))

# Dyadic steps: every coordinate is exact, so a discontinuous function (floor,
# rint, a comparison, mod) is never asked about a point a rounding away from a jump.
QUARTERS, HALVES, UNIT = (-4, 4, 33), (-3, 3, 25), (-1.5, 1.5, 13)  # steps 1/4
LOGS, POSITIVE, HUGE = (-2, 4, 25), (0, 3, 13), (-1100, 1100, 45)  # log at -1 and 0; overflow beyond 710
XY = {"x": (-2, 2, 17), "y": (-2, 2, 9)}


def unary(name, axis, sym=None, ref=None, np_name=None):
    """A function of x, called `name` in vemiral, strings and (unless np_name) NumPy."""
    numpy = getattr(np, np_name or name, None)
    return (name, {"x": axis}, lambda x: getattr(vm, name)(x), f"{name}(x)", sym, numpy if ref is None else None,
            ref or numpy)


def binary(name, sym=None, axes=XY):
    return (name, axes, lambda x, y: getattr(vm, name)(x, y), f"{name}(x, y)", sym, getattr(np, name), None)


def special(name, axis, sym=None, scipy_name=None, label=""):
    """A function of x with SciPy's meaning: scipy.special's ufunc is the NumPy way and the reference."""
    return (name + label, {"x": axis}, lambda x: getattr(vm, name)(x), f"{name}(x)", sym,
            getattr(sc, scipy_name or name), None)


S = sympy
CASES = [
    unary("abs", QUARTERS, S.Abs), unary("sign", QUARTERS, S.sign), unary("floor", HALVES, S.floor),
    unary("ceil", HALVES, S.ceiling), unary("trunc", HALVES), unary("rint", HALVES),
    unary("sqrt", LOGS, S.sqrt), unary("cbrt", (-8, 8, 33)), unary("exp2", HUGE, lambda X: 2**X),
    unary("expm1", (-40, 40, 33)), unary("log2", LOGS, lambda X: S.log(X, 2)), unary("log10", LOGS),
    unary("log1p", LOGS), unary("log", LOGS, S.log), unary("ln", LOGS, S.log, np_name="log"),
    unary("sinh", HUGE, S.sinh), unary("cosh", HUGE, S.cosh), unary("tanh", (-30, 30, 25), S.tanh),
    unary("asin", UNIT, S.asin, np_name="arcsin"), unary("acos", UNIT, S.acos, np_name="arccos"),
    unary("atan", QUARTERS, S.atan, np_name="arctan"), unary("asinh", QUARTERS, S.asinh, np_name="arcsinh"),
    unary("acosh", POSITIVE, S.acosh, np_name="arccosh"), unary("atanh", UNIT, S.atanh, np_name="arctanh"),
    unary("sec", QUARTERS, S.sec, lambda x: 1 / np.cos(x)), unary("csc", QUARTERS, S.csc, lambda x: 1 / np.sin(x)),
    unary("erf", QUARTERS, S.erf, erf), unary("erfc", QUARTERS, S.erfc, erfc), unary("logical_not", QUARTERS),
    binary("arctan2", S.atan2), binary("hypot"), binary("minimum", S.Min), binary("maximum", S.Max),
    binary("fmod"), binary("mod", S.Mod), binary("copysign"), binary("heaviside", S.Heaviside),
    binary("power", operator.pow), binary("logical_and"), binary("logical_or"),
    ("hypot-huge", {"x": (-8e307, 8e307, 5), "y": (-8e307, 8e307, 3)}, vm.hypot, "hypot(x, y)", None, np.hypot, None),
    ("log-base", {"x": LOGS}, lambda x: vm.log(x, 2.0), "log(x, 2)", lambda X: S.log(X, 2),
     lambda x: np.log(x) / np.log(2), None),
    ("max-3", XY, lambda x, y: vm.maximum(vm.maximum(x, y), 1.0), "max(x, y, 1)", lambda X, Y: S.Max(X, Y, 1),
     lambda x, y: np.maximum(np.maximum(x, y), 1), None),
    ("abs-builtin", {"x": QUARTERS}, abs, "abs(x)", S.Abs, np.absolute, None),
    ("round-builtin", {"x": HALVES}, round, "round(x)", None, np.rint, None),
    *[(f"math.{f.__name__}", {"x": HALVES}, f, f"{f.__name__}(x)", None, getattr(np, f.__name__), None)
      for f in (math.floor, math.ceil, math.trunc)],
    # NaN and infinities as arguments: log(x) is NaN below 0 and -inf at 0.
    ("minimum-nan", XY, lambda x, y: vm.minimum(vm.log(x), y), "minimum(log(x), y)",
     lambda X, Y: S.Min(S.log(X), Y), lambda x, y: np.minimum(np.log(x), y), None),
    ("less-nan", XY, lambda x, y: vm.log(x) < y, "log(x) < y", lambda X, Y: S.log(X) < Y,
     lambda x, y: np.less(np.log(x), y), None),
    ("heaviside-nan", {"x": LOGS}, lambda x: vm.heaviside(vm.log(x), 0.5), "heaviside(log(x), 0.5)",
     lambda X: S.Heaviside(S.log(X)), lambda x: np.heaviside(np.log(x), 0.5), None),
    *[(f"{f}-nan", {"x": LOGS}, lambda x, f=f: getattr(vm, f)(vm.log(x)), f"{f}(log(x))", None,
       lambda x, f=f: getattr(np, f)(np.log(x)), None) for f in ("sign", "floor", "logical_not", "tanh")],
    ("where-nan", {"x": LOGS}, lambda x: vm.where(vm.log(x), 1.0, 2.0), "where(log(x), 1, 2)", None,
     lambda x: np.where(np.log(x), 1.0, 2.0), None),
    # Conditions.
    ("and", XY, lambda x, y: (x > 0) & (y < 1), "x > 0 and y < 1", lambda X, Y: S.And(X > 0, Y < 1),
     lambda x, y: np.logical_and(np.greater(x, 0), np.less(y, 1)), None),
    ("bit-or", XY, lambda x, y: (x > 0) | (y < 1), "(x > 0) | (y < 1)", lambda X, Y: S.Or(X > 0, Y < 1),
     lambda x, y: np.logical_or(np.greater(x, 0), np.less(y, 1)), None),
    ("not", XY, lambda x, y: ~(x < y), "not x < y", lambda X, Y: S.Not(X < Y),
     lambda x, y: np.logical_not(np.less(x, y)), None),
    ("invert", XY, lambda x, y: ~x, "~x", None, lambda x, y: np.logical_not(x + 0 * y), None),
    ("chain", XY, lambda x, y: (x < y) & (y <= 1), "x < y <= 1", lambda X, Y: S.And(X < Y, Y <= 1),
     lambda x, y: np.logical_and(np.less(x, y), np.less_equal(y, 1)), None),
    ("where", XY, lambda x, y: vm.where(x > y, x, y), "where(x > y, x, y)",
     lambda X, Y: S.Piecewise((X, X > Y), (Y, True)), lambda x, y: np.where(np.greater(x, y), x, y), None),
    ("if-else", XY, lambda x, y: vm.where(x, y, -y), "y if x else -y", None, lambda x, y: np.where(x, y, -y), None),
    ("piecewise", XY, lambda x, y: vm.where(x < -1, y, vm.where(x < y, x * y, math.nan)),
     "y if x < -1 else (x*y if x < y else 0/0)", lambda X, Y: S.Piecewise((Y, X < -1), (X * Y, X < Y)),
     lambda x, y: np.where(np.less(x, -1), y, np.where(np.less(x, y), x * y, np.nan)), None),
    ("clip", XY, lambda x, y: vm.clip(x, y, 1.0), "clip(x, y, 1)", lambda X, Y: S.Min(S.Max(X, Y), 1),
     lambda x, y: np.clip(x, y, 1), None),
    # NumPy's sinc, 1 at the exact 0; SymPy's is sin(x)/x.
    unary("sinc", QUARTERS, lambda X: S.sinc(S.pi * X)),
    ("sympy-sinc", {"x": QUARTERS}, None, None, S.sinc, None, lambda x: np.where(x == 0, 1, np.sin(x) / x)),
    unary("square", QUARTERS, lambda X: X**2), unary("deg2rad", HUGE, S.rad), unary("rad2deg", HUGE, S.deg),
    binary("logaddexp", logaddexp),
    ("logaddexp-inf", {"x": HUGE, "y": LOGS}, lambda x, y: vm.logaddexp(vm.exp(x), vm.log(y)),
     "logaddexp(exp(x), log(y))", lambda X, Y: logaddexp(S.exp(X), S.log(Y)),
     lambda x, y: np.logaddexp(np.exp(x), np.log(y)), None),
    # The special functions: poles, both signs, large arguments.
    special("gamma", QUARTERS, S.gamma), special("gamma", (-190, 190, 761), label="-wide"),
    special("lgamma", QUARTERS, None, "gammaln"),
    special("lgamma", (-1e6, 1e6, 41), None, "gammaln", "-wide"), special("loggamma", QUARTERS, S.loggamma),
    special("j0", (-40, 40, 33), lambda X: S.besselj(0, X)), special("j1", (-40, 40, 33), lambda X: S.besselj(1, X)),
    special("y0", (-40, 40, 33), lambda X: S.bessely(0, X)), special("y1", (-40, 40, 33), lambda X: S.bessely(1, X)),
    special("j0", (-1e6, 1e6, 41), label="-wide"),
    ("jn", {"n": (-3, 3, 7), "x": (-8, 8, 33)}, vm.jn, "jn(n, x)", S.besselj, sc.jv, None),
    ("jn-orders", {"n": (-2, 2, 9), "x": QUARTERS}, vm.jn, "jn(n, x)", S.besselj, sc.jv, FUNCTIONS[int(vm.ft.JN)][0]),
    # NumPy's functions on nodes, the same call on the coordinates for reference.
    ("np.select", XY, None, None, None, lambda x, y: np.select([x < -1, x < y], [y, x * y], default=-1.0), None),
    # Overlapping conditions: the later one holds, as NumPy fills its pieces in order.
    ("np.piecewise", XY, None, None, None,
     lambda x, y: np.piecewise(x, [x < 0, y > 1], [lambda v: -v, 2.0, lambda v: v / 2]), None),
]
COMPARISONS = [("less", "<", operator.lt, S.Lt), ("less_equal", "<=", operator.le, S.Le),
               ("greater", ">", operator.gt, S.Gt), ("greater_equal", ">=", operator.ge, S.Ge),
               ("equal", "==", None, S.Eq), ("not_equal", "!=", None, S.Ne)]
for name, word, python, sym in COMPARISONS:
    CASES.append(binary(name, sym))
    CASES.append((word, XY, python or getattr(vm, name), f"x {word} y", sym, getattr(np, name), None))


def matches(values, reference):
    """Pointwise within 4e-15 relative (absolute below 1), NaN and infinities in the same places,
    except that at a pole (1/sin x at 0) a recurrence's zero may be a rounding away from 0: a
    value beyond 1e15 there is the pole."""
    reference = np.asarray(reference, dtype=np.float64)
    assert values.shape == reference.shape
    assert np.array_equal(np.isnan(values), np.isnan(reference)), "NaN elsewhere"
    infinite = np.isinf(reference)
    pole = infinite & np.isfinite(values) & (np.abs(values) > 1e15)
    assert np.array_equal(np.isinf(values) | pole, infinite)
    assert np.array_equal(values[infinite & ~pole], reference[infinite & ~pole])
    finite = np.isfinite(reference)
    error = np.abs(values[finite] - reference[finite]) / np.maximum(1, np.abs(reference[finite]))
    assert np.all(error <= 4e-15), f"error {error.max():.3g} at {reference[finite][error.argmax()]!r}"


WAYS = ["vemiral", "string", "sympy", "numpy"]


@pytest.mark.parametrize("case, way", [(c, w) for c in CASES for w, given in zip(WAYS, c[2:6]) if given],
                         ids=[f"{c[0]}-{w}" for c in CASES for w, given in zip(WAYS, c[2:6]) if given])
def test_every_way_in_gives_what_numpy_gives(case, way):
    _, axes, built, text, sym, numpy, ref = case
    grid = Grid(**axes)
    if way == "numpy" and not UFUNCS:
        pytest.skip("vemiral.ASTnode takes no NumPy ufuncs in this build")
    function = built if way == "vemiral" else numpy
    expr = {"string": text, "sympy": sym(*sympy.symbols(list(axes))) if way == "sympy" else None}.get(
        way, lambda **nodes: function(*nodes.values()))
    with np.errstate(all="ignore"):
        reference = (ref or numpy)(*np.meshgrid(*grid.coords.values(), indexing="ij"))
    matches(grid.evaluate(expr), reference)


@pytest.mark.parametrize("name", ["square", "deg2rad", "rad2deg", "logaddexp"])
def test_numpys_own_operations_give_numpys_bits(name):
    # On points that are doubles: x*x, x times the ratio rounded once; NumPy's logaddexp, to an ulp of
    # 1 (its steps are vector passes where, as here, an absolute error stays one), its bits under floor.
    grid, count = Grid(x=(-1100, 1100, 45), y=(-4, 4, 33)), 2 if name == "logaddexp" else 1
    expected = getattr(np, name)(*np.meshgrid(*grid.coords.values(), indexing="ij")[:count])
    for expr in (f"{name}({', '.join('xy'[:count])})", lambda x, y: getattr(vm, name)(*(x, y)[:count]),
                 lambda x, y: getattr(np, name)(*(x, y)[:count])):
        values = grid.evaluate(expr)
        if name == "logaddexp":
            assert np.all(np.abs(values - expected) <= 2.0**-52 * np.maximum(1, np.abs(expected)))
            assert same_bits(grid.evaluate(f"floor(1e9*{name}(x, y))"), np.floor(1e9 * expected))
        else:
            assert values.tobytes() == np.broadcast_to(expected, grid.shape).tobytes()


ALIASES = [("arctan(x)", "atan(x)"), ("arcsin(x)", "asin(x)"), ("arccos(x)", "acos(x)"), ("arcsinh(x)", "asinh(x)"),
           ("arccosh(x)", "acosh(x)"), ("arctanh(x)", "atanh(x)"), ("arctan2(x, y)", "atan2(x, y)"),
           ("min(x, y)", "minimum(x, y)"), ("max(x, y)", "maximum(x, y)"), ("pow(x, y)", "power(x, y)"),
           ("absolute(x)", "abs(x)"), ("round(x)", "rint(x)"), ("x % y", "mod(x, y)"), ("x & y", "logical_and(x, y)"),
           ("x or y", "logical_or(x, y)"), ("x if y else 1", "where(y, x, 1)"), ("x != y", "not_equal(x, y)"),
           ("gammaln(x)", "lgamma(x)"), ("besselj(2, x)", "jn(2, x)"), ("radians(x)", "deg2rad(x)"),
           ("degrees(x)", "rad2deg(x)")]


@pytest.mark.parametrize("alias, name", ALIASES, ids=[a for a, _ in ALIASES])
def test_aliases_build_the_same_tree(alias, name):
    grid = Grid(**XY)
    assert repr(grid.expression(alias)) == repr(grid.expression(name))


# numexpr's kind of formula, each against NumPy evaluating the same text (or the
# NumPy form after "|", for what NumPy's arrays cannot take: if-else, and, or, not).
NUMEXPR = """2*a+3*b; a*b+a/b; a-b; -a; +a; a**2; a**3 - b**2; a**-1; b**-2; 1/(a+b); (a+1)*(b-1); a*a+b*b; a/2.5
; 3.0*a - 2*b + 1; a**0.5; b**1.5; 2**a; a**b; (a*b)**2; -a**2; a - -b; 2e-3*a; a%b; a % 2; -a % 1.5; fmod(a, b)
; fmod(a, 0.75); a<b; a<=b; a>b; a>=b; a==b; a!=b; a>0; b<1; a==0; (a>0) & (b<1); (a<0) | (b>2); ~(a<b)
; (a>b) & (a>0) | (b<0); ~((a>0) & (b>0)); (a<b) * a; (a>=b)*b + (a<b)*a; where(a>b, a, b); where(a<0, -a, a)
; where(a>0, sqrt(a), 0); where((a>0) & (b>0), a*b, -1); where(a, b, 2); sin(a)**2+cos(b)**2; sin(a)*cos(b)
; tan(a/4); arcsin(a/2); arccos(b/3); arctan(a*b); arctan2(a, b); arctan2(b, a); sinh(a); cosh(b); tanh(a+b)
; arcsinh(a); arccosh(b+2); arctanh(a/2); log(b); log10(b); log1p(a); exp(a); expm1(b); sqrt(a*a+b*b); sqrt(b)
; abs(a); abs(a-b); ceil(a); floor(b); ceil(a*b); floor(a - b/2); maximum(a, b); minimum(a,b); hypot(a, b)
; copysign(a, b); exp(-a*a); log(abs(a)+1); sqrt(abs(a)); sin(2*pi*a); cos(a)*exp(-b); exp(a)*sin(b)+cos(a)
; a*b*(a>b); (a+b)/2; a**2+2*a*b+b**2; (a-b)**2; 1/(1+exp(-a)); tanh(a)*b; log(exp(a)); arctan(b/a); exp(log(b))
; sinh(a)/cosh(a); power(a, 2); power(b, a); sign(a)*b; floor(a) + ceil(b); a*(a>0); maximum(a, 0)
; where(a > b, a - b, b - a); log2(b); exp2(a); cbrt(a); trunc(a*1.5); rint(a*1.5); a if a>b else b : where(a>b, a, b)
; 1 if a > 0 else -1 : where(a>0, 1, -1); a > 0 and b > 0 : (a>0) & (b>0); a < 0 or b < 0 : (a<0) | (b<0)
; not a > b : ~(a>b); -1 < a < 1 : (-1 < a) & (a < 1); a < b < 2 : (a<b) & (b<2)"""
NUMEXPR_CASES = [[part.strip() for part in (item + ":" + item).split(":")[:2]] for item in NUMEXPR.split(";")]
NUMPY = {name: getattr(np, name) for name in ["where", "sin", "cos", "tan", "arcsin", "arccos", "arctan", "arctan2",
         "sinh", "cosh", "tanh", "arcsinh", "arccosh", "arctanh", "log", "log10", "log1p", "log2", "exp", "expm1",
         "exp2", "sqrt", "cbrt", "abs", "fmod", "ceil", "floor", "trunc", "rint", "maximum", "minimum", "hypot",
         "copysign", "power", "sign", "pi"]}


@pytest.mark.parametrize("text, numpy_text", NUMEXPR_CASES, ids=[t for t, _ in NUMEXPR_CASES])
def test_numexpr_style_formulas_are_read_and_match_numpy(text, numpy_text):
    grid = Grid(a=(-2, 2, 9), b=(-1.75, 2.25, 9))
    a, b = np.meshgrid(*grid.coords.values(), indexing="ij")
    with np.errstate(all="ignore"):
        reference = eval(numpy_text, {"__builtins__": {}}, NUMPY | {"a": a, "b": b})
    matches(grid.evaluate(text), np.broadcast_to(reference, grid.shape))


REFUSED = [
    ("1 + where(x, y)", {}, "where() takes three arguments, 2 given (column 5)"),
    ("log(x, 2, 3)", {}, "log() takes one or two arguments, 3 given"),
    ("max(x)", {}, "max() takes two or more arguments, 1 given"),
    ("hypot(x, y=1)", {}, "keyword argument 'y' is not allowed"),
    ("x // y", {}, "operator // is not allowed in an expression (column 3)"),
    ("x + w", {"params": {"k": 1}}, "unknown name 'w' (column 5); the grid's axes are x, y; parameters: k"),
    ("x*w", {"w": float("nan")}, "parameter 'w' must be a finite real number, not nan"),
    ("x*w", {"w": -math.inf}, "parameter 'w' must be a finite real number, not -inf"),
    ("x*w", {"w": np.array([1.0])}, "parameter 'w' must be a finite real number, not ndarray"),
    ("x*w", {"w": "1"}, "parameter 'w' must be a finite real number, not str"),
    ("x*w", {"w": True}, "parameter 'w' must be a finite real number, not bool"),
    ("x", {"y": 1.0}, "'y' cannot name a parameter: it is an axis of the grid"),
    ("x", {"sin": 1.0}, "'sin' cannot name a parameter: it is taken by a function or constant"),
    ("x", {"pi": 3.0}, "'pi' cannot name a parameter"),
    ("x", {"1w": 1.0}, "'1w' cannot name a parameter: it is not a Python name"),
    ("x*w", {"params": {"w": 1.0}, "w": 2.0}, "parameter 'w' is given twice"),
    ("jn(0.5, x)", {}, "jn() takes an integer order n, not 0.5"),
    (S.bessely(2, S.Symbol("x")), {}, "bessely (in bessely(2, x)) is supported for the orders 0 and 1 only"),
    (S.besselj(S.Rational(1, 2), S.Symbol("x")), {}, "the order must be an integer"),
]


@pytest.mark.parametrize("text, keywords, words", REFUSED, ids=[w[:40] for _, _, w in REFUSED])
def test_refusals_say_what_and_where(text, keywords, words):
    with pytest.raises(ValueError, match=re.escape(words)):
        Grid(**XY).evaluate(text, **keywords)


def test_a_keyword_the_formula_does_not_name_is_a_misspelt_option():
    with pytest.raises(TypeError, match="unexpected keyword argument 'tiles'"):
        Grid(**XY).evaluate("x*y", tiles=4)
    assert Grid(**XY).evaluate("x*y", params={"tiles": 4.0}).shape == (17, 9)  # a shared mapping may hold more


def test_an_unknown_function_is_refused_with_the_list_of_functions():
    with pytest.raises(ValueError) as info:
        Grid(**XY).evaluate("2*foo(x)")
    head, listed = str(info.value).split("; the functions are ")
    names = listed.split(", ")
    assert head == "call to 'foo' is not allowed in an expression (column 3)"
    assert names == sorted(names) and {"arctan2", "atan2", "where", "clip", "min", "round", "sqrt", "ln"} <= set(names)


PARAMETERS = Grid(x=(0, 1, 7), y=(-1, 1, 5)), "exp(-x/0.3) + 2.5*y"


def test_parameters_in_every_form_and_output(tmp_path):
    grid, text = PARAMETERS
    w, k = 0.3, np.float32(2.5)
    expected = grid.evaluate(text)
    X, Y, W, K = sympy.symbols("x y w k")
    for values in [grid.evaluate("exp(-x/w) + k*y", w=w, k=k),
                   grid.evaluate("exp(-x/w) + k*y", params={"w": w, "k": k}),
                   grid.evaluate(lambda x, y, w, k: vm.exp(-x / w) + k * y, w=w, params={"k": k}),
                   grid.evaluate(sympy.exp(-X / W) + K * Y, w=w, k=k),
                   grid.to_dask("exp(-x/w) + k*y", chunks=3, w=w, k=k).compute(),
                   np.load(grid.to_npy("exp(-x/w) + k*y", tmp_path / "v.npy", w=w, k=k))]:
        assert values.tobytes() == expected.tobytes()
    assert grid.to_xarray("exp(-x/w) + k*y", w=w, params={"k": k}).attrs["parameters"] == "k=2.5, w=0.3"


@pytest.mark.skipif(bool(os.environ.get("VEMIRAL_UNDER_SANITIZER")), reason="starts a process")
def test_the_command_line_takes_parameters(tmp_path):
    grid, text = PARAMETERS
    done = subprocess.run([sys.executable, "-m", "vemiral_grid", "exp(-x/w) + k*y", "-a", "x=0:1:7", "-a", "y=-1:1:5",
                           "-p", "w=0.3", "--param", "k=5/2", "-o", str(tmp_path / "cli.npy"), "-q"],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert np.load(tmp_path / "cli.npy").tobytes() == grid.evaluate(text).tobytes()


@pytest.mark.parametrize("name", list(vm.ft.__members__))
def test_function_nodes_print_parse_back_and_pickle(name):
    import pickle

    from vemiral_grid import parse

    op = vm.ft.__members__[name]
    count = arity(op)
    x0, x1 = vm.ASTvar(0, -1.0, 0.25), vm.ASTvar(1, 0.5, 0.5)
    node = -vm.ASTfun(op, *[x0 + 1, x1 < x0, x0 % 2][:count]) ** 2
    text = repr(node)
    assert repr(parse(text, {"x0": x0, "x1": x1})) == text
    copy = pickle.loads(pickle.dumps(node))
    assert repr(copy) == text
    assert np.array_equal(copy.evaluate((9, 5)), node.evaluate((9, 5)), equal_nan=True)


@pytest.mark.parametrize("call, error", [
    (lambda x: np.spacing(x), "ufunc 'spacing' has no counterpart"),
    (lambda x: np.add.reduce(x), "add.reduce does not apply"),
    (lambda x: np.exp(x, out=np.empty(3)), "takes no keyword arguments"),
    (lambda x: vm.ASTfun(vm.ft.HYPOT, x), "hypot() takes 2 arguments, 1 given"),
    (lambda x: vm.ASTfun(vm.ft.ABS, 1.0), "must be expression nodes"),
    (lambda x: round(x, 2), "takes no number of digits"),
    (lambda x: vm.where(x, "a", 1), "where() takes an expression node or a real number, not str"),
    (lambda x: np.select([x > 0], [x, 1]), "list of cases must be same length as list of conditions"),
    (lambda x: np.piecewise(x, [x > 0], [1, 2, 3]), "with 1 condition(s), either 1 or 2 functions are expected"),
    (lambda x: sc.jv(2.5, x), "jn() takes an integer order n, not 2.5"),
    (lambda x: sc.yn(2, x), "ufunc 'yn' has no counterpart"),
])
def test_node_functions_refuse_what_has_no_meaning(call, error):
    with pytest.raises((TypeError, ValueError), match=re.escape(error)):
        call(vm.ASTvar(0, 0.0, 1.0))


# Where libraries go wrong: gamma's poles (SciPy's values, exactly) and the doubles next to
# them, its overflow and underflow, lgamma's zeros, huge arguments, the doubles nearest the
# zeros of the Bessel functions (marked "zero": there a value is a cancellation, and its
# error counts in ulp of the function's amplitude sqrt(J**2 + Y**2)).
below, above = (lambda x: math.nextafter(x, -math.inf)), (lambda x: math.nextafter(x, math.inf))
POLES = [("gamma", x) for x in (0.0, -0.0, -1.0, -170.0, -1e300, -math.inf, math.inf, math.nan, 5e-324)] + [
    ("lgamma", x) for x in (0.0, -0.0, -2.0, -math.inf, math.inf)] + [
    (f, x) for f in ("j0", "j1", "y0", "y1") for x in (math.inf, -math.inf, 0.0, -0.0)] + [("y0", -1.0), ("y1", -1.0)]
HARD = [("gamma", (x,), "") for x in (above(-1.0), below(-1.0), -20 + 1e-10, -20 - 1e-10, above(-170.0), 0.5,
                                      -30.5, 1e-300, 171.6243769563027, -171.5, -184.25)] + [
    ("lgamma", (x,), "") for x in (above(1.0), below(1.0), below(2.0), -2.4570247382208006, -2.7476826467274127,
                                   2.55e305, 5e-324, -0.5)] + [
    (f, (x,), "") for f in ("j0", "j1", "y0", "y1") for x in (1e22, 1e300, 1e-300, 1e5)] + [
    ("j0", (x,), "zero") for x in (2.404825557695773, 5.520078110286311, 30.634606468431976, -8.653727912911013)] + [
    ("j1", (x,), "zero") for x in (3.8317059702075125, 7.015586669815619)] + [
    ("y0", (x,), "zero") for x in (0.8935769662791675, 3.957678419314858)] + [
    ("y1", (x,), "zero") for x in (2.197141326031017, 5.429681040794135)] + [
    ("jn", (2.0, 1e300), ""), ("jn", (-5.0, 1e22), ""), ("jn", (1500.0, 100.0), ""),
    ("jn", (2.0, 5.135622301840683), "zero")]


def at_point(name, args):
    """The value at one point, as every method computes it (CRexpr::apply, where constants fold)."""
    return float(getattr(vm, name)(*args).evaluate((1,))[0])


@pytest.mark.parametrize("name, x", POLES, ids=[f"{f}({x!r})" for f, x in POLES])
def test_poles_and_infinities_are_scipys(name, x):
    expected = float(getattr(sc, {"lgamma": "gammaln"}.get(name, name))(x))
    assert str(at_point(name, (x,))) == str(expected)  # inf, -inf, nan with their signs


@pytest.mark.parametrize("name, args, zero", HARD, ids=[f"{f}{a!r}" for f, a, _ in HARD])
def test_hard_points_within_2_ulp_of_scipy_or_of_the_exact_value(name, args, zero):
    op = int(vm.ft.__members__[name.upper()])
    numpy_way, twin = FUNCTIONS[op]
    value, scipy_value = at_point(name, args), float(numpy_way(*args))
    with mpmath.workdps(40):
        exact = (getattr(mpmath, twin) if isinstance(twin, str) else twin)(*map(mpmath.mpf, args))
        n, x = args if name == "jn" else (int(name[-1]), args[0]) if zero else (0, 0)
        size = float(mpmath.hypot(mpmath.besselj(n, x), mpmath.bessely(n, abs(x)))) if zero else float(exact)
        ours, theirs = abs(value - exact), abs(scipy_value - exact) if math.isfinite(scipy_value) else math.inf
    unit = math.ulp(size) if size else 5e-324
    # SciPy's value where it is the more accurate, else the exact one.
    error = abs(value - scipy_value) if theirs <= ours else float(ours)
    assert error <= 2 * unit, f"{error / unit:.3g} ulp; SciPy's error {float(theirs) / unit:.3g} ulp"
