"""Complex expressions: a pair of real trees, the real part and the imaginary part.

The native engine computes real values only. A complex formula is held as two
real trees built from the operations written out in real arithmetic (complex
products, Smith's division, exp(a+ib) = e^a (cos b + i sin b), ...), and each
tree goes through the engine as any real formula does: `exp(1j*k*x)` is the
pair cos(k*x), sin(k*x), which the engine steps as recurrences where that pays.

A part that is a constant zero is an exact zero, as in C's arithmetic of a
real and a complex operand (a real operand is not given an imaginary part to
multiply): x*2j has no real part to compute, where NumPy computes 0*x. The
values differ from NumPy's only where that matters, at an infinite or NaN
operand (NumPy's 0*inf is NaN) and in the sign of a zero part computed from
a real zero; a zero written as a constant keeps its sign, so conj(x + 0j)
lies below the negative real axis as in NumPy, and sqrt and log take it
there.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Callable
from typing import Any, TypeAlias, TypeGuard

import vemiral

Part: TypeAlias = "vemiral.ASTnode | float"


class ComplexNode:
    """A complex expression over a grid: `real` and `imag` are real trees.

    Built by formulas that hold a complex number (``"exp(1j*k*x)"``, a complex
    parameter, SymPy's ``I``), by ``complex(a, b)``, or by NumPy's functions
    and the operators on nodes and complex numbers (``np.exp(1j * x)``).

    >>> import numpy as np, vemiral as vm
    >>> x = vm.ASTvar(0, 0.0, 0.5)
    >>> np.exp(2j * x)
    complex(cos(2.0*x0), sin(2.0*x0))
    >>> (x + 1j) * (x - 1j)
    complex(x0*x0 + 1.0, 0.0)
    """

    __slots__ = ("_re", "_im", "_chains")

    def __init__(self, real: Any, imag: Any = 0.0) -> None:
        self._re = _part(real, "real")
        self._im = _part(imag, "imag")

    @property
    def real(self) -> vemiral.ASTnode:
        """The real part, a real tree."""
        return _node(self._re)

    @property
    def imag(self) -> vemiral.ASTnode:
        """The imaginary part, a real tree."""
        return _node(self._im)

    @property
    def parts(self) -> tuple[Part, Part]:
        """(real, imag), each a tree or a float constant."""
        return self._re, self._im

    def __repr__(self) -> str:
        return f"complex({_text(self._re)}, {_text(self._im)})"

    def __reduce__(self) -> tuple[Any, ...]:
        return (ComplexNode, (self._re, self._im))

    def __bool__(self) -> bool:
        raise TypeError("the truth value of an expression node is not defined: use where(c, a, b) for if-else")

    def crinit(self, params: Any) -> None:
        """Builds each part's chain for the grid `params` (see ``ASTnode.crinit``)."""
        self._chains = (as_node(self._re), as_node(self._im))
        for chain in self._chains:
            chain.crinit(params)

    def crgen(self) -> str:
        """A Python program computing the grid of `crinit` as ``ASTnode.crgen``'s
        do: it runs each part's program and leaves in ``results`` the nested
        list of complex numbers."""
        chains = getattr(self, "_chains", None)
        if chains is None:
            raise RuntimeError("crgen needs crinit first")
        real, imag = (chain.crgen() for chain in chains)
        return (
            f"_programs = ({real!r}, {imag!r})\n"
            "_parts = []\n"
            "for _program in _programs:\n"
            "    _namespace = {}\n"
            "    exec(_program, _namespace)\n"
            "    _parts.append(_namespace['results'])\n"
            "def _pair(a, b):\n"
            "    return [_pair(u, v) for u, v in zip(a, b)] if isinstance(a, list) else complex(a, b)\n"
            "results = _pair(*_parts)\n"
        )

    def explain(self, shape: Any) -> str:
        """How each part is computed (see ``ASTnode.explain``)."""
        return f"real part: {self.real.explain(shape)}\nimaginary part: {self.imag.explain(shape)}"

    # --- operators ----------------------------------------------------------

    def __add__(self, other: object) -> Any:
        return _operator(add, self, other)

    def __radd__(self, other: object) -> Any:
        return _operator(add, other, self)

    def __sub__(self, other: object) -> Any:
        return _operator(subtract, self, other)

    def __rsub__(self, other: object) -> Any:
        return _operator(subtract, other, self)

    def __mul__(self, other: object) -> Any:
        return _operator(multiply, self, other)

    def __rmul__(self, other: object) -> Any:
        return _operator(multiply, other, self)

    def __truediv__(self, other: object) -> Any:
        return _operator(divide, self, other)

    def __rtruediv__(self, other: object) -> Any:
        return _operator(divide, other, self)

    def __pow__(self, other: object) -> Any:
        return _operator(power, self, other)

    def __rpow__(self, other: object) -> Any:
        return _operator(power, other, self)

    def __neg__(self) -> ComplexNode:
        return negative(self)

    def __pos__(self) -> ComplexNode:
        return self

    def __abs__(self) -> Part:
        return absolute(self)

    def __lt__(self, other: object) -> Any:
        raise _unordered("<")

    def __le__(self, other: object) -> Any:
        raise _unordered("<=")

    def __gt__(self, other: object) -> Any:
        raise _unordered(">")

    def __ge__(self, other: object) -> Any:
        raise _unordered(">=")

    # --- NumPy's functions ----------------------------------------------------

    def __array_ufunc__(self, ufunc: Any, method: str, *inputs: Any, **kwargs: Any) -> Any:
        return array_ufunc(ufunc, method, inputs, kwargs)

    def __array_function__(self, func: Any, types: Any, args: Any, kwargs: Any) -> Any:
        name = getattr(func, "__name__", "")
        if name in ("real", "imag", "conj", "conjugate") and len(args) == 1 and not kwargs:
            return FUNCTIONS[name](args[0])
        if name == "angle" and len(args) in (1, 2) and set(kwargs) <= {"deg"}:
            deg = args[1] if len(args) == 2 else kwargs.get("deg", False)
            value = angle(args[0])
            return vemiral.rad2deg(value) if deg else value
        if name == "where" and len(args) == 3 and not kwargs:
            return where(*args)
        if name == "iscomplexobj" and len(args) == 1:
            return True
        return NotImplemented


def _unordered(symbol: str) -> TypeError:
    return TypeError(f"complex values have no order: '{symbol}' does not apply (compare real(), imag() or abs())")


def _part(value: object, what: str) -> Part:
    if isinstance(value, vemiral.ASTnode):
        return value
    if isinstance(value, numbers.Real) and not isinstance(value, bool):
        return float(value)
    raise TypeError(f"the {what} part of a complex expression is a real node or number, not {type(value).__name__}")


def as_node(part: Part) -> vemiral.ASTnode:
    """A part as a tree: a constant as a number node."""
    return vemiral.ASTnum(part) if isinstance(part, float) else part


_node = as_node


def _text(part: Part) -> str:
    return repr(as_node(part))


# --- what an operand is -------------------------------------------------------


def is_complex(value: object) -> bool:
    """Whether `value` is complex: a complex expression or a complex number
    (Python's, NumPy's), not a real one."""
    return isinstance(value, ComplexNode) or (
        isinstance(value, numbers.Complex) and not isinstance(value, numbers.Real)
    )


def is_operand(value: object) -> bool:
    """Whether the operators take `value`: a node, a complex expression, a number."""
    return isinstance(value, vemiral.ASTnode | ComplexNode) or (
        isinstance(value, numbers.Complex) and not isinstance(value, bool)
    )


def parts_of(value: object) -> tuple[Part, Part]:
    """(real, imaginary) of any operand; a real one's imaginary part is an exact zero."""
    if isinstance(value, ComplexNode):
        return value.parts
    if isinstance(value, vemiral.ASTnode):
        return value, 0.0
    if isinstance(value, numbers.Real) and not isinstance(value, bool):
        return float(value), 0.0
    if isinstance(value, numbers.Complex):
        number = complex(value)
        return number.real, number.imag
    raise TypeError(f"a complex operation takes nodes and numbers, not {type(value).__name__}")


def lifted(value: object) -> ComplexNode:
    """A complex expression or number as a complex expression."""
    return value if isinstance(value, ComplexNode) else _pair(*parts_of(value))


def _operator(function: Callable[[Any, Any], Any], a: object, b: object) -> Any:
    if not (is_operand(a) and is_operand(b)):
        return NotImplemented
    return function(a, b)


# --- arithmetic of the parts: constants fold, exact zeros drop ----------------------


def _zero(p: Part) -> TypeGuard[float]:
    return isinstance(p, float) and p == 0.0


def _add(a: Part, b: Part) -> Part:
    if isinstance(a, float) and isinstance(b, float):
        return a + b
    if _zero(b):
        return a
    if _zero(a):
        return b
    return a + b


def _sub(a: Part, b: Part) -> Part:
    if isinstance(a, float) and isinstance(b, float):
        return a - b
    if _zero(b):
        return a
    if _zero(a):
        # 0 - b, not -b: +0 where b is +0, as NumPy's subtraction gives it (a -0 stays -b).
        return -b if math.copysign(1.0, a) < 0 else a - b
    return a - b


def _mul(a: Part, b: Part) -> Part:
    if isinstance(a, float) and isinstance(b, float):
        return a * b
    if _zero(a):
        return a
    if _zero(b):
        return b
    if a == 1.0:
        return b
    if b == 1.0:
        return a
    if a == -1.0:
        return -b
    if b == -1.0:
        return -a
    return a * b


def _div(a: Part, b: Part) -> Part:
    if isinstance(a, float) and isinstance(b, float) and b != 0.0:
        return a / b
    if _zero(a) and not isinstance(b, float):
        return a
    if b == 1.0:
        return a
    return _node(a) / b if isinstance(b, float) else a / b


def _where(condition: Part, a: Part, b: Part) -> Part:
    if isinstance(a, float) and isinstance(b, float) and math.copysign(1.0, a) == math.copysign(1.0, b) and (
        a == b or (math.isnan(a) and math.isnan(b))
    ):
        return a
    return vemiral.where(condition, a, b)


def _hypot(a: Part, b: Part) -> Part:
    if _zero(b):
        return a if isinstance(a, float) and a >= 0 else vemiral.abs(a)
    if _zero(a):
        return vemiral.abs(b)
    return vemiral.hypot(a, b)


def _pair(re: Part, im: Part) -> ComplexNode:
    node = ComplexNode.__new__(ComplexNode)
    node._re, node._im = re, im
    return node


# --- operations -----------------------------------------------------------------


def add(a: object, b: object) -> ComplexNode:
    (ar, ai), (br, bi) = parts_of(a), parts_of(b)
    return _pair(_add(ar, br), _add(ai, bi))


def subtract(a: object, b: object) -> ComplexNode:
    (ar, ai), (br, bi) = parts_of(a), parts_of(b)
    return _pair(_sub(ar, br), _sub(ai, bi))


def negative(a: object) -> ComplexNode:
    ar, ai = parts_of(a)
    return _pair(-ar, -ai)


def multiply(a: object, b: object) -> ComplexNode:
    (ar, ai), (br, bi) = parts_of(a), parts_of(b)
    return _pair(_sub(_mul(ar, br), _mul(ai, bi)), _add(_mul(ar, bi), _mul(ai, br)))


def divide(a: object, b: object) -> ComplexNode:
    """Smith's division, the larger part of the divisor dividing the smaller
    (as NumPy divides); a zero divisor divides each part by zero, as NumPy."""
    (ar, ai), (br, bi) = parts_of(a), parts_of(b)
    if _zero(bi):
        return _pair(_div(ar, br), _div(ai, br))
    if _zero(br):
        return _pair(_div(ai, bi), _div(-ar, bi))
    if isinstance(br, float) and isinstance(bi, float):
        if abs(br) >= abs(bi):
            q = bi / br
            e = br + bi * q
            return _pair(_div(_add(ar, _mul(ai, q)), e), _div(_sub(ai, _mul(ar, q)), e))
        q = br / bi
        e = br * q + bi
        return _pair(_div(_add(_mul(ar, q), ai), e), _div(_sub(_mul(ai, q), ar), e))
    wide = vemiral.greater_equal(vemiral.abs(br), vemiral.abs(bi))
    # The ratio of the chosen parts: the bits of either quotient, one division a point.
    r = _div(vemiral.where(wide, bi, br), vemiral.where(wide, br, bi))
    d = vemiral.where(wide, br + bi * r, br * r + bi)
    re = vemiral.where(wide, _add(ar, _mul(ai, r)), _add(_mul(ar, r), ai)) / d
    im = vemiral.where(wide, _sub(ai, _mul(ar, r)), _sub(_mul(ai, r), ar)) / d
    zero = vemiral.logical_and(vemiral.equal(br, 0.0), vemiral.equal(bi, 0.0))
    return _pair(vemiral.where(zero, _div(ar, vemiral.abs(br)), re), vemiral.where(zero, _div(ai, vemiral.abs(bi)), im))


def square(a: object) -> ComplexNode:
    return multiply(a, a)


def reciprocal(a: object) -> ComplexNode:
    return divide(1.0, a)


def exp(a: object) -> ComplexNode:
    ar, ai = parts_of(a)
    if _zero(ai):
        return _pair(vemiral.exp(ar), ai)
    cos, sin = vemiral.cos(ai), vemiral.sin(ai)
    if _zero(ar):
        return _pair(cos, sin)
    scale = vemiral.exp(ar)
    return _pair(scale * cos, scale * sin)


def exp2(a: object) -> ComplexNode:
    return exp(multiply(a, math.log(2.0)))


def log(a: object, base: object = None) -> ComplexNode:
    """log|z| + i arg z, the argument in (-pi, pi] as atan2 gives it (a
    negative real with a -0 imaginary part has -pi); log(z, b) is log z / log b."""
    if base is not None:
        return divide(log(a), log(base) if is_complex(base) else vemiral.log(as_node(parts_of(base)[0])))
    ar, ai = parts_of(a)
    return _pair(vemiral.log(_hypot(ar, ai)), vemiral.atan2(ai, ar))


def log2(a: object) -> ComplexNode:
    return multiply(log(a), 1.0 / math.log(2.0))


def log10(a: object) -> ComplexNode:
    return multiply(log(a), 1.0 / math.log(10.0))


def sqrt(a: object) -> ComplexNode:
    """The principal square root, by the formula that cancels nothing:
    t = sqrt((|a| + |z|)/2) is the larger part, |b|/(2t) the other, the
    imaginary part taking b's sign (a -0 included: the cut along the negative
    reals lies as NumPy has it)."""
    ar, ai = parts_of(a)
    if _zero(ai):
        root = vemiral.sqrt(vemiral.abs(ar))
        outside = vemiral.greater_equal(ar, 0.0)
        imag = vemiral.where(outside, 0.0, root)
        return _pair(vemiral.where(outside, root, 0.0), imag if math.copysign(1.0, ai) > 0 else -imag)
    t = vemiral.sqrt((vemiral.abs(ar) + _hypot(ar, ai)) * 0.5)
    u = vemiral.where(vemiral.equal(t, 0.0), 0.0, vemiral.abs(ai) * 0.5 / t)
    outside = vemiral.greater_equal(ar, 0.0)
    return _pair(vemiral.where(outside, t, u), vemiral.copysign(vemiral.where(outside, u, t), ai))


def sin(a: object) -> ComplexNode:
    ar, ai = parts_of(a)
    if _zero(ai):
        return _pair(vemiral.sin(ar), ai)
    if _zero(ar):
        return _pair(ar, vemiral.sinh(ai))
    return _pair(vemiral.sin(ar) * vemiral.cosh(ai), vemiral.cos(ar) * vemiral.sinh(ai))


def cos(a: object) -> ComplexNode:
    ar, ai = parts_of(a)
    if _zero(ai):
        return _pair(vemiral.cos(ar), -ai)
    if _zero(ar):
        return _pair(vemiral.cosh(ai), -ar)
    return _pair(vemiral.cos(ar) * vemiral.cosh(ai), -(vemiral.sin(ar) * vemiral.sinh(ai)))


def sinh(a: object) -> ComplexNode:
    ar, ai = parts_of(a)
    if _zero(ai):
        return _pair(vemiral.sinh(ar), ai)
    if _zero(ar):
        return _pair(ar, vemiral.sin(ai))
    return _pair(vemiral.sinh(ar) * vemiral.cos(ai), vemiral.cosh(ar) * vemiral.sin(ai))


def cosh(a: object) -> ComplexNode:
    ar, ai = parts_of(a)
    if _zero(ai):
        return _pair(vemiral.cosh(ar), ai)
    if _zero(ar):
        return _pair(vemiral.cos(ai), ar)
    return _pair(vemiral.cosh(ar) * vemiral.cos(ai), vemiral.sinh(ar) * vemiral.sin(ai))


# Beyond this |x|, tanh(x + iy) is copysign(1, x) to the last bit and its
# imaginary part 4 sin y cos y e^(-2|x|) (Kahan's formula would overflow).
_TANH_LARGE = 22.0


def _tanh(x: Part, y: Part) -> tuple[Part, Part]:
    """tanh(x + iy) by Kahan's formula: t = tan y, s = sinh x, the parts
    beta*rho*s/d and t/d with beta = 1 + t^2, rho = sqrt(1 + s^2), d = 1 + beta*s^2."""
    if _zero(y):
        return vemiral.tanh(x), y
    if _zero(x):
        return x, vemiral.tan(y)
    t, s = vemiral.tan(y), vemiral.sinh(x)
    beta = 1.0 + t * t
    d = 1.0 + beta * (s * s)
    re = beta * vemiral.sqrt(1.0 + s * s) * s / d
    im = t / d
    large = vemiral.greater(vemiral.abs(x), _TANH_LARGE)
    tail = 4.0 * vemiral.sin(y) * vemiral.cos(y) * vemiral.exp(-2.0 * vemiral.abs(x))
    return vemiral.where(large, vemiral.copysign(1.0, x), re), vemiral.where(large, tail, im)


def tanh(a: object) -> ComplexNode:
    return _pair(*_tanh(*parts_of(a)))


def tan(a: object) -> ComplexNode:
    # tan z = -i tanh(iz)
    ar, ai = parts_of(a)
    re, im = _tanh(-ai, ar)
    return _pair(im, -re)


def _integer_power(a: object, n: int) -> ComplexNode:
    """z**n by squaring, as NumPy takes an integer power below 100 (n > 0)."""
    result: ComplexNode | None = None
    base = a if isinstance(a, ComplexNode) else _pair(*parts_of(a))
    while n:
        if n & 1:
            result = base if result is None else multiply(result, base)
        n >>= 1
        if n:
            base = multiply(base, base)
    assert result is not None
    return result


def power(a: object, b: object) -> ComplexNode:
    """a**b: an integer power below 100 by products (and 1/z**n), 0.5 as sqrt,
    any other as exp(b log a)."""
    br, bi = parts_of(b)
    if _zero(bi) and isinstance(br, float):
        if br == 0.0:
            return _pair(1.0, 0.0)
        if br == 0.5:
            return sqrt(a)
        if br.is_integer() and abs(br) < 100:
            positive = _integer_power(a, int(abs(br)))
            return positive if br > 0 else reciprocal(positive)
    return exp(multiply(b, log(a)))


def absolute(a: object) -> Part:
    """|z| by hypot: no overflow or underflow of the squares."""
    return _hypot(*parts_of(a))


def angle(a: object) -> Part:
    """The argument, atan2(imag, real), in [-pi, pi]."""
    ar, ai = parts_of(a)
    return vemiral.atan2(ai, ar)


def real(a: object) -> Part:
    return parts_of(a)[0]


def imag(a: object) -> Part:
    return parts_of(a)[1]


def conj(a: object) -> Any:
    if not is_complex(a):
        return a
    ar, ai = parts_of(a)
    return _pair(ar, -ai)


def make(a: object, b: object = 0.0) -> ComplexNode:
    """complex(a, b): a + b*1j, as Python's complex() takes complex parts too."""
    if is_complex(a) or is_complex(b):
        return add(a, multiply(b, 1j))
    return _pair(parts_of(a)[0], parts_of(b)[0])


def equal(a: object, b: object) -> Part:
    (ar, ai), (br, bi) = parts_of(a), parts_of(b)
    return vemiral.logical_and(vemiral.equal(ar, br), vemiral.equal(ai, bi))


def not_equal(a: object, b: object) -> Part:
    (ar, ai), (br, bi) = parts_of(a), parts_of(b)
    return vemiral.logical_or(vemiral.not_equal(ar, br), vemiral.not_equal(ai, bi))


def where(condition: object, a: object, b: object) -> ComplexNode:
    if is_complex(condition):
        raise TypeError("where() takes a real condition, not a complex value (compare abs() or a part)")
    (ar, ai), (br, bi) = parts_of(a), parts_of(b)
    c = condition if isinstance(condition, vemiral.ASTnode) else float(condition)  # type: ignore[arg-type]
    return _pair(_where(c, ar, br), _where(c, ai, bi))


# Each function of a formula with a complex meaning, by the parser's names.
FUNCTIONS: dict[str, Callable[..., Any]] = {
    "exp": exp, "exp2": exp2, "log": log, "ln": log, "log2": log2, "log10": log10, "sqrt": sqrt,
    "sin": sin, "cos": cos, "tan": tan, "sinh": sinh, "cosh": cosh, "tanh": tanh,
    "abs": absolute, "absolute": absolute, "square": square, "power": power, "pow": power,
    "real": real, "imag": imag, "conj": conj, "conjugate": conj, "angle": angle, "arg": angle,
    "complex": make, "where": where, "equal": equal, "not_equal": not_equal,
}
# Functions of a formula that exist for complex values alone (on a real value:
# the value, 0, the value, its angle); they name no reserved word, so an axis or
# a parameter may still be called `real` or `angle`.
NEW_NAMES: dict[str, tuple[int, int]] = {
    "real": (1, 1), "imag": (1, 1), "conj": (1, 1), "conjugate": (1, 1), "angle": (1, 1), "arg": (1, 1),
    "complex": (1, 2),
}


def complex_aware(name: str, native: Callable[..., Any] | None) -> Callable[..., Any]:
    """The formula function `name`: `native` on real arguments, the complex
    operation on complex ones; a function without a complex meaning refuses
    them (ValueError, as the parser refuses a formula)."""
    complex_version = FUNCTIONS.get(name)

    def function(*arguments: Any) -> Any:
        if native is None or any(is_complex(argument) for argument in arguments):
            if complex_version is None:
                raise ValueError(
                    f"{name}() does not take complex values; real(), imag(), abs() and angle() give real ones"
                )
            return complex_version(*arguments)
        return native(*arguments)

    function.__name__ = name
    return function


# --- NumPy's ufuncs ---------------------------------------------------------------------

_UFUNCS: dict[str, Callable[..., Any]] = {
    "add": add, "subtract": subtract, "multiply": multiply, "divide": divide, "true_divide": divide,
    "power": power, "float_power": power, "negative": negative, "positive": lambda a: a, "square": square,
    "reciprocal": reciprocal, "sqrt": sqrt, "exp": exp, "exp2": exp2, "log": log, "log2": log2, "log10": log10,
    "sin": sin, "cos": cos, "tan": tan, "sinh": sinh, "cosh": cosh, "tanh": tanh, "absolute": absolute,
    "conjugate": conj, "equal": equal, "not_equal": not_equal,
}


def array_ufunc(ufunc: Any, method: str, inputs: tuple[Any, ...], kwargs: dict[str, Any]) -> Any:
    """NumPy's ufunc on operands one of which is complex, as the complex operation."""
    name = getattr(ufunc, "__name__", "?")
    if method != "__call__":
        raise TypeError(f"NumPy's {name}.{method} does not apply to expression nodes")
    if kwargs:
        raise TypeError(f"NumPy's {name} on expression nodes takes no keyword arguments, got '{next(iter(kwargs))}'")
    function = _UFUNCS.get(name)
    if function is None:
        raise TypeError(f"NumPy's ufunc '{name}' does not take complex values on expression nodes")
    for value in inputs:
        if not is_operand(value):
            raise TypeError(f"NumPy's {name} on expression nodes takes nodes and numbers, not {type(value).__name__}")
    return function(*inputs)


# --- the real nodes' operators meet complex numbers ------------------------------------------


def _install_operators() -> None:
    """x * 1j, 1j * x, np.exp(1j * x), x + np.complex128(2j): the native nodes'
    operators answer NotImplemented for a complex number, which Python's
    complex answers too; these wrappers build the complex expression then.
    The real operations are the native ones, unchanged."""
    node = vemiral.ASTnode
    if getattr(node, "_complex_operators", False):
        return
    for name, function in (("add", add), ("sub", subtract), ("mul", multiply), ("truediv", divide), ("pow", power)):
        for own, reflected in ((f"__{name}__", False), (f"__r{name}__", True)):
            setattr(node, own, _wrapped(getattr(node, own), function, reflected))
    native_ufunc = node.__array_ufunc__

    def __array_ufunc__(self: Any, ufunc: Any, method: str, *inputs: Any, **kwargs: Any) -> Any:
        if any(is_complex(value) for value in inputs):
            return array_ufunc(ufunc, method, inputs, kwargs)
        return native_ufunc(self, ufunc, method, *inputs, **kwargs)

    __array_ufunc__.__doc__ = native_ufunc.__doc__  # the native signature, which the stub's test reads
    setattr(node, "__array_ufunc__", __array_ufunc__)  # noqa: B010 (a method of the native class)
    setattr(node, "_complex_operators", True)  # noqa: B010


def _wrapped(native: Any, function: Callable[[Any, Any], Any], reflected: bool) -> Callable[[Any, Any], Any]:
    def operator(self: Any, other: Any) -> Any:
        result = native(self, other)
        if result is NotImplemented and is_complex(other):
            return function(other, self) if reflected else function(self, other)
        return result

    operator.__name__ = native.__name__
    operator.__doc__ = native.__doc__
    return operator


_install_operators()
