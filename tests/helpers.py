"""Tree builders, grid points, bit comparisons, the direct-evaluation oracle and
the files of stores shared by the test files.

The builders make native nodes from native operands and Python twins (Expr)
from twins: a twin knows its own shape, so it can build its native tree, name
itself in a test id and evaluate itself directly, point by point in C
semantics (the oracle) or over a whole grid with NumPy.
"""

import math

import numpy as np

import vemiral as vm

# --- grids and bits ------------------------------------------------------------------


def grid_points(extents):
    """Every index tuple of the grid, in row-major order (the order of creval's list)."""
    points = [()]
    for e in extents:
        points = [p + (i,) for p in points for i in range(e)]
    return points


def shape_id(shape):
    """A parametrize id for a grid: 3x19x4."""
    return "x".join(map(str, shape))


def doubles(a):
    """The doubles of an array: a complex one's parts side by side along a last axis."""
    a = np.asarray(a)
    if np.iscomplexobj(a):
        return np.ascontiguousarray(a, dtype=np.complex128).view(np.float64).reshape(a.shape + (2,))
    return np.asarray(a, dtype=np.float64)


def same_bits(a, b):
    """True when two sequences of doubles hold the same bits (NaN payloads and signs included)."""
    a = doubles(a).ravel()
    b = doubles(b).ravel()
    return np.array_equal(a.view(np.uint64), b.view(np.uint64))


def same_bits_but_nan(a, b):
    """Like same_bits for arrays of one shape, except that a NaN matches any NaN: the sign and
    payload of a NaN follow the compiler's choice of operand order, which may differ between
    code paths (README)."""
    a, b = doubles(a), doubles(b)
    if a.shape != b.shape:
        return False
    nan = np.isnan(a)
    if not np.array_equal(nan, np.isnan(b)):
        return False
    return bool(np.array_equal(a[~nan].view(np.uint64), b[~nan].view(np.uint64)))


# --- the C library's results, without Python's exceptions ------------------------------


def odd_integer(y):
    return y == math.floor(y) and abs(y) < 2**53 and int(y) % 2 == 1


def c_pow(x, y):
    if y == 2.0:
        return x * x  # NumPy squares
    try:
        return math.pow(x, y)
    except OverflowError:
        return -math.inf if (x < 0 and odd_integer(y)) else math.inf
    except ValueError:
        if x == 0.0:
            return math.copysign(math.inf, x) if odd_integer(y) else math.inf
        return math.nan


def c_div(a, b):
    try:
        return a / b
    except ZeroDivisionError:
        return math.nan if a == 0 or math.isnan(a) else math.copysign(math.inf, a) * math.copysign(1.0, b)


def c_exp(x):
    try:
        return math.exp(x)
    except OverflowError:
        return math.inf


def c_log(x):
    if math.isnan(x) or x < 0:
        return math.nan
    if x == 0:
        return -math.inf
    return math.log(x)


def c_sin(x):
    return math.nan if math.isinf(x) else math.sin(x)


def c_cos(x):
    return math.nan if math.isinf(x) else math.cos(x)


# Operation codes as plain ints: comparing enum members is slow in the
# reference loops.
C_ADD = int(vm.ADD)
C_SUB = int(vm.SUB)
C_MUL = int(vm.MUL)
C_DIV = int(vm.DIV)
C_POW = int(vm.POW)
C_NEG = int(vm.NEG)
C_EXP = int(vm.EXP)
C_LN = int(vm.LN)
C_SIN = int(vm.SIN)
C_COS = int(vm.COS)
C_TAN = int(vm.TAN)
C_COT = int(vm.COT)


def apply(node, args):
    """The operation of an Expr node on double arguments, as NumPy computes it (cot = cos / sin)."""
    op = node.code
    if node.kind == "bin":
        a, b = args
        if op == C_ADD:
            return a + b
        if op == C_SUB:
            return a - b
        if op == C_MUL:
            return a * b
        if op == C_DIV:
            return c_div(a, b)
        return c_pow(a, b)
    (a,) = args
    if op == C_NEG:
        return -a
    if op == C_EXP:
        return c_exp(a)
    if op == C_LN:
        return c_log(a)
    if op == C_SIN:
        return c_sin(a)
    if op == C_COS:
        return c_cos(a)
    if op == C_TAN:
        return math.nan if math.isinf(a) else math.tan(a)
    return c_div(c_cos(a), c_sin(a))


NUMPY_BIN = {C_ADD: np.add, C_SUB: np.subtract, C_MUL: np.multiply, C_DIV: np.divide, C_POW: np.power}
NUMPY_UN = {
    C_NEG: np.negative,
    C_EXP: np.exp,
    C_LN: np.log,
    C_SIN: np.sin,
    C_COS: np.cos,
    C_TAN: lambda a: np.sin(a) / np.cos(a),
    C_COT: lambda a: np.cos(a) / np.sin(a),
}


# Function nodes (vm.ASTfun): code -> (the operation on doubles as NumPy computes it, the
# name of its mpmath twin or a function of mpf arguments).
def _real_cbrt(a):
    import mpmath

    return mpmath.sign(a) * mpmath.cbrt(abs(a))


def _mpmath():
    import mpmath

    return mpmath


def _special(name):
    """scipy.special's ufunc `name`, imported when first called: only the tests of the special
    functions need SciPy."""

    def call(*args):
        import scipy.special

        return getattr(scipy.special, name)(*args)

    return call


FUNCTIONS = {
    int(vm.ft.ABS): (np.abs, "fabs"),
    int(vm.ft.TANH): (np.tanh, "tanh"),
    int(vm.ft.ATAN): (np.arctan, "atan"),
    int(vm.ft.ASINH): (np.arcsinh, "asinh"),
    int(vm.ft.CBRT): (np.cbrt, _real_cbrt),
    int(vm.ft.ERF): (np.vectorize(math.erf, otypes=[float]), "erf"),
    int(vm.ft.ERFC): (np.vectorize(math.erfc, otypes=[float]), "erfc"),
    int(vm.ft.SINH): (np.sinh, "sinh"),
    int(vm.ft.COSH): (np.cosh, "cosh"),
    int(vm.ft.EXPM1): (np.expm1, "expm1"),
    int(vm.ft.LOG1P): (np.log1p, "log1p"),
    int(vm.ft.EXP2): (np.exp2, lambda a: 2**a),
    int(vm.ft.ATAN2): (np.arctan2, "atan2"),
    int(vm.ft.HYPOT): (np.hypot, "hypot"),
    int(vm.ft.MINIMUM): (np.minimum, min),
    int(vm.ft.MAXIMUM): (np.maximum, max),
    # Discontinuous: their twins decide as double evaluation does.
    int(vm.ft.FLOOR): (np.floor, "floor"),
    int(vm.ft.LESS): (lambda a, b: np.less(a, b).astype(float), lambda a, b: float(a < b)),
    int(vm.ft.WHERE): (lambda c, a, b: np.where(c, a, b), lambda c, a, b: a if c != 0 else b),
    # SciPy's meaning; mpmath's twins are complex outside the real domain (ValueError in exact()).
    int(vm.ft.GAMMA): (_special("gamma"), "gamma"),
    int(vm.ft.LGAMMA): (_special("gammaln"), lambda a: _mpmath().re(_mpmath().loggamma(a))),
    int(vm.ft.J0): (_special("j0"), lambda a: _mpmath().besselj(0, a)),
    int(vm.ft.J1): (_special("j1"), lambda a: _mpmath().besselj(1, a)),
    int(vm.ft.Y0): (_special("y0"), lambda a: _mpmath().bessely(0, a)),
    int(vm.ft.Y1): (_special("y1"), lambda a: _mpmath().bessely(1, a)),
    # jv of an integer order, NaN at any other.
    int(vm.ft.JN): (lambda n, a: np.where(np.trunc(n) == n, _special("jv")(n, a), np.nan),
                    lambda n, a: _mpmath().besselj(n, a) if n == int(n) else _mpmath().nan),
    int(vm.ft.LOGADDEXP): (np.logaddexp, lambda a, b: _mpmath().log(_mpmath().exp(a) + _mpmath().exp(b))),
}


def arity(op):
    """How many arguments the function node `op` takes."""
    for count in (1, 2, 3):
        try:
            vm.ASTfun(op, *[vm.ASTnum(0.0)] * count)
            return count
        except (TypeError, ValueError):
            pass
    raise AssertionError(f"{op} takes no 1, 2 or 3 arguments")


# --- the Python twin ----------------------------------------------------------------------


class Expr:
    """An expression with a native twin and a direct evaluation."""

    def __init__(self, kind, op=None, children=(), value=None, index=None, start=None, step=None):
        self.kind, self.op, self.children = kind, op, list(children)
        self.code = None if op is None else int(op)
        self.value, self.index, self.start, self.step = value, index, start, step

    def __repr__(self):
        if self.kind == "num":
            return repr(self.value)
        if self.kind == "var":
            return f"v{self.index}({self.start!r}, {self.step!r})"
        return f"{self.op.name}({', '.join(map(repr, self.children))})"

    def native(self):
        if self.kind == "num":
            return vm.ASTnum(self.value)
        if self.kind == "var":
            return vm.ASTvar(self.index, self.start, self.step)
        kids = [c.native() for c in self.children]
        return {"bin": vm.ASTbin, "un": vm.ASTun, "fun": vm.ASTfun}[self.kind](self.op, *kids)

    def nodes(self):
        """Every node, children before parents."""
        for c in self.children:
            yield from c.nodes()
        yield self

    def at(self, point):
        """The value at a grid point (a tuple of indexes), each operation rounded to double."""
        if self.kind == "num":
            return self.value
        if self.kind == "var":
            return self.start + (point[self.index] if self.index < len(point) else 0) * self.step
        if self.kind == "fun":
            with np.errstate(all="ignore"):
                return float(FUNCTIONS[self.code][0](*[np.float64(c.at(point)) for c in self.children]))
        return apply(self, [c.at(point) for c in self.children])

    def exact(self, point, coordinates=False):
        """The value at a grid point in mpmath's precision (set by the caller), the variable
        being the real number start + index * step with the double step it holds, or with
        `coordinates` the grid's coordinate there (start + index * step rounded as NumPy does)."""
        import mpmath

        if self.kind == "num":
            return mpmath.mpf(self.value)
        if self.kind == "var":
            i = point[self.index] if self.index < len(point) else 0
            if coordinates:
                return mpmath.mpf(self.at(point))
            return mpmath.mpf(self.start) + i * mpmath.mpf(self.step)
        args = [c.exact(point, coordinates) for c in self.children]
        op = self.code
        if self.kind == "fun":
            twin = FUNCTIONS[op][1]
            value = (getattr(mpmath, twin) if isinstance(twin, str) else twin)(*args)
            if isinstance(value, mpmath.mpc):
                raise ValueError("outside the function's real domain")
            return mpmath.mpf(value)
        if self.kind == "bin":
            a, b = args
            if op == C_ADD:
                return a + b
            if op == C_SUB:
                return a - b
            if op == C_MUL:
                return a * b
            return a / b if op == C_DIV else a**b
        (a,) = args
        if op == C_NEG:
            return -a
        functions = {C_EXP: mpmath.exp, C_LN: mpmath.log, C_SIN: mpmath.sin, C_COS: mpmath.cos,
                     C_TAN: mpmath.tan, C_COT: mpmath.cot}
        return functions[op](a)

    def on_grid(self, shape):
        """The values over a whole grid by NumPy, shaped like it: the oracle for grids too
        large for at(). NumPy's transcendental functions may differ from the C library's
        by an ulp."""
        with np.errstate(all="ignore"):
            return np.broadcast_to(self._on_grid(tuple(shape)), shape).copy()

    def _on_grid(self, shape):
        if self.kind == "num":
            return np.float64(self.value)
        if self.kind == "var":
            if self.index >= len(shape):
                return np.float64(self.start + 0 * self.step)
            axis = [1] * len(shape)
            axis[self.index] = shape[self.index]
            i = np.arange(shape[self.index], dtype=np.float64).reshape(axis)
            return self.start + i * self.step
        args = [c._on_grid(shape) for c in self.children]
        if self.kind == "fun":
            return FUNCTIONS[self.code][0](*args)
        table = NUMPY_BIN if self.kind == "bin" else NUMPY_UN
        return table[self.code](*args)


def fun(op, *children):
    return Expr("fun", op, children)


def N(value):
    return Expr("num", value=float(value))


def V(index, start, step):
    return Expr("var", index=index, start=float(start), step=float(step))


# --- builders: native nodes from native operands, twins from twins ------------------------


def var(index, start=0.0, step=1.0):
    return vm.ASTvar(index, start, step)


def num(value):
    return vm.ASTnum(value)


def bin_(op, left, right):
    if isinstance(left, Expr):
        return Expr("bin", op, (left, right))
    return vm.ASTbin(op, left, right)


def un(op, child):
    if isinstance(child, Expr):
        return Expr("un", op, (child,))
    return vm.ASTun(op, child)


def add(a, b):
    return bin_(vm.ADD, a, b)


def sub(a, b):
    return bin_(vm.SUB, a, b)


def mul(a, b):
    return bin_(vm.MUL, a, b)


def div(a, b):
    return bin_(vm.DIV, a, b)


def pow_(a, b):
    return bin_(vm.POW, a, b)


def exp(a):
    return un(vm.EXP, a)


def sin(a):
    return un(vm.SIN, a)


def cos(a):
    return un(vm.COS, a)


# --- stores -------------------------------------------------------------------------------


def store_files(path):
    """Every file below `path` and its bytes, by relative path."""
    return {str(p.relative_to(path)): p.read_bytes() for p in sorted(path.rglob("*")) if p.is_file()}


def interrupt_after(chunks):
    """A progress callable that interrupts a writer (as Ctrl-C would) at its `chunks`-th report."""
    seen = []

    def progress(done, total):
        seen.append(done)
        if len(seen) >= chunks:
            raise KeyboardInterrupt

    return progress
