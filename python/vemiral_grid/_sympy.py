"""SymPy expressions to trees. SymPy is imported only by whoever already passes a SymPy object."""

from __future__ import annotations

import math
import operator
from collections.abc import Callable, Mapping
from typing import Any, TypeAlias

import vemiral

from . import _complex
from ._parse import FUNCTIONS
from ._parse import _fold as fold
from ._to_sympy import UNDEFINED

Value: TypeAlias = Any  # as the parser's: a node, a number (complex too) or a complex expression

# SymPy's functions by class name, and the native function each becomes
# (a log with a base comes as log(x)/log(b); sqrt, cbrt, exp2 as powers).
_FUNCTIONS: dict[str, str] = {
    "sin": "sin", "cos": "cos", "tan": "tan", "cot": "cot", "sec": "sec", "csc": "csc", "exp": "exp", "log": "log",
    "Abs": "abs", "sign": "sign", "floor": "floor", "ceiling": "ceil",
    "sinh": "sinh", "cosh": "cosh", "tanh": "tanh", "asin": "asin", "acos": "acos", "atan": "atan",
    "asinh": "asinh", "acosh": "acosh", "atanh": "atanh", "erf": "erf", "erfc": "erfc", "atan2": "atan2",
    "Mod": "mod", "Not": "logical_not", "gamma": "gamma", "loggamma": "loggamma", "logaddexp": "logaddexp",
    "StrictLessThan": "less", "LessThan": "less_equal", "StrictGreaterThan": "greater",
    "GreaterThan": "greater_equal", "Equality": "equal", "Unequality": "not_equal",
    "re": "real", "im": "imag", "conjugate": "conj", "arg": "angle",
    # sympy.codegen.cfunctions, which Grid.sympy writes
    "exp2": "exp2", "expm1": "expm1", "log1p": "log1p", "log2": "log2", "log10": "log10", "hypot": "hypot",
}
# n-ary in SymPy, folded pairwise.
_FOLDED: dict[str, str] = {"Min": "minimum", "Max": "maximum", "And": "logical_and", "Or": "logical_or"}


def is_sympy(expr: object) -> bool:
    import sys

    sympy = sys.modules.get("sympy")
    return sympy is not None and isinstance(expr, sympy.Basic)


def translate(
    expr: Any, variables: Mapping[str, vemiral.ASTnode], parameters: Mapping[str, complex] | None = None
) -> vemiral.ASTnode | _complex.ComplexNode:
    """The tree of a SymPy expression whose symbols are named like the grid's axes
    or like `parameters` (checked by the caller), which stand for their numbers."""
    try:
        value = _Translator(variables, parameters or {}).value(expr)
    except RecursionError:
        raise ValueError("the SymPy expression is nested too deeply") from None
    if isinstance(value, complex):
        return _complex.lifted(value)
    return vemiral.ASTnum(value) if isinstance(value, float) else value


class _Translator:
    def __init__(self, variables: Mapping[str, vemiral.ASTnode], parameters: Mapping[str, complex]) -> None:
        import sympy

        from sympy.core.function import AppliedUndef

        self.sympy = sympy
        self.undefined = AppliedUndef
        self.variables = variables
        self.parameters = parameters

    def value(self, expr: Any) -> Value:
        sp = self.sympy
        if isinstance(expr, sp.Symbol):
            if expr.name in self.parameters:
                return self.parameters[expr.name]
            if expr.name not in self.variables:
                axes = ", ".join(self.variables)
                parameters = ", ".join(self.parameters) or "none"
                raise ValueError(
                    f"SymPy symbol '{expr.name}' is no axis of the grid (axes: {axes}) and no parameter "
                    f"(parameters: {parameters})"
                )
            return self.variables[expr.name]
        if expr is sp.pi:
            return math.pi
        if expr is sp.E:
            return math.e
        if expr is sp.I:
            return 1j
        if expr is sp.nan:
            return math.nan
        if expr is sp.oo or expr is sp.S.NegativeInfinity:
            return float(expr)
        if expr is sp.true or expr is sp.false:
            return 1.0 if expr is sp.true else 0.0
        if isinstance(expr, sp.Integer | sp.Rational | sp.Float):
            number = float(expr)
            if not math.isfinite(number) and expr.is_finite:
                raise ValueError(f"SymPy number {_short(expr)} is too large for a float")
            return number
        if isinstance(expr, sp.Add):
            return self.sum(expr)
        if isinstance(expr, sp.Mul):
            return self.product(expr)
        if isinstance(expr, sp.Pow):
            if expr.exp.is_number and expr.exp.is_negative:
                return self.product(expr)  # 1/y rather than y**-1
            return self.power(expr.base, expr.exp)
        name = type(expr).__name__
        if name in _FUNCTIONS:
            return self.call(_FUNCTIONS[name], *expr.args)
        if name in _FOLDED:
            value = self.value(expr.args[0])
            for argument in expr.args[1:]:
                value = self.call(_FOLDED[name], value, argument)
            return value
        if name == "sinc":
            # SymPy's sinc is unnormalised: sin(u)/u, and 1 at 0.
            u = self.value(expr.args[0])
            return vemiral.where(vemiral.equal(u, 0.0), 1.0, vemiral.sin(u) / u)
        if name in ("besselj", "bessely"):
            # j0, j1, y0, y1 for the orders 0 and 1 (jn of them is the same value), jn for any other.
            order = self.order(expr)
            if order in (0.0, 1.0):
                return self.call(f"{name[-1]}{order:.0f}", expr.args[1])
            if name == "bessely":
                raise ValueError(f"SymPy {_name(expr)} is supported for the orders 0 and 1 only")
            return self.call("jn", order, expr.args[1])
        if name == "Heaviside":
            # SymPy's value at 0 is 1/2 unless given.
            return self.call("heaviside", expr.args[0], expr.args[1] if len(expr.args) > 1 else 0.5)
        if isinstance(expr, self.undefined) and UNDEFINED.get(name) == len(expr.args):
            return self.call(name, *expr.args)  # a native function SymPy has none of, as Grid.sympy writes it
        if isinstance(expr, sp.Piecewise):
            return self.piecewise(expr)
        raise ValueError(f"SymPy {_name(expr)} is not supported")

    def order(self, expr: Any) -> Value:
        """A Bessel function's order: an integer (jn refuses another number)."""
        order = self.value(expr.args[0])
        if isinstance(order, float) and not order.is_integer():
            raise ValueError(f"SymPy {_name(expr)}: the order must be an integer")
        return order

    def call(self, function: str, *arguments: Any) -> Value:
        values = [argument if isinstance(argument, vemiral.ASTnode | float | complex | _complex.ComplexNode)
                  else self.value(argument) for argument in arguments]
        return FUNCTIONS[function](*values)  # complex values where they have a meaning

    def piecewise(self, expr: Any) -> Value:
        """The first piece whose condition holds: nested wheres, the last one's
        alternative NaN unless the last condition is True (the otherwise)."""
        sp = self.sympy
        value: Value = math.nan
        for piece, condition in reversed(expr.args):
            if condition is sp.true:
                value = self.value(piece)
            elif condition is not sp.false:
                value = self.call("where", condition, piece, value)
        return value

    def sum(self, expr: Any) -> Value:
        # x - y is Add(x, Mul(-1, y)) in SymPy: written back as a subtraction.
        total: Value | None = None
        for term in expr.args:
            negated = self.negated(term)
            if total is None:
                total = -self.value(negated) if negated is not None else self.value(term)
            elif negated is not None:
                total = total - self.value(negated)
            else:
                total = total + self.value(term)
        assert total is not None
        return total

    def negated(self, term: Any) -> Any:
        """u for a term that SymPy holds as -1*u or -c*u, else None."""
        sp = self.sympy
        if isinstance(term, sp.Mul) and term.args and isinstance(term.args[0], sp.Number) and term.args[0] < 0:
            return sp.Mul(-term.args[0], *term.args[1:], evaluate=False) if term.args[0] != -1 else sp.Mul(
                *term.args[1:], evaluate=False
            )
        return None

    def product(self, expr: Any) -> Value:
        # x/y is Mul(x, Pow(y, -1)) and x/3 is Mul(1/3, x) in SymPy: written back as divisions.
        sp = self.sympy
        angle = self.angle(expr)
        if angle is not None:
            return angle
        numerator: list[Value] = []
        denominator: list[Value] = []
        sign = 1.0
        for factor in expr.args if isinstance(expr, sp.Mul) else (expr,):
            if isinstance(factor, sp.Rational) and not isinstance(factor, sp.Integer):
                p, q = int(factor.p), int(factor.q)
                if p < 0:
                    sign, p = -sign, -p
                if p != 1:
                    numerator.append(float(p))
                denominator.append(float(q))
            elif isinstance(factor, sp.Integer) and int(factor) == -1:
                sign = -sign
            elif isinstance(factor, sp.Pow) and factor.exp.is_number and factor.exp.is_negative:
                inverse = -factor.exp
                denominator.append(self.value(factor.base) if inverse == 1 else self.power(factor.base, inverse))
            else:
                numerator.append(self.value(factor))
        # One division by the product of the denominators: 1/(x*y**2) as written.
        result = _product(numerator)
        if denominator:
            result = fold(operator.truediv, result, _product(denominator))
        return -result if sign < 0 else result

    def angle(self, expr: Any) -> Value | None:
        """sympy.rad(u) (pi*u/180) and sympy.deg(u) (180*u/pi) as NumPy's deg2rad and rad2deg,
        which multiply by the ratio rounded once; None for another product."""
        sp = self.sympy
        if not isinstance(expr, sp.Mul):
            return None
        factors = list(expr.args)
        for ratio, function in (((sp.Rational(1, 180), sp.pi), "deg2rad"), ((sp.Integer(180), 1 / sp.pi), "rad2deg")):
            if all(factor in factors for factor in ratio) and len(factors) > 2:
                rest = [factor for factor in factors if factor not in ratio]
                return self.call(function, sp.Mul(*rest))
        return None

    def power(self, base: Any, exponent: Any) -> Value:
        # Numbers fold as the parser folds them: never to a complex number.
        return fold(operator.pow, self.value(base), self.value(exponent))


def _product(factors: list[Value]) -> Value:
    result: Value = factors[0] if factors else 1.0
    for value in factors[1:]:
        result = result * value
    return result


def _short(expr: Any) -> str:
    text = str(expr)
    return text if len(text) <= 60 else text[:57] + "..."


def _name(expr: Any) -> str:
    name = type(expr).__name__
    text = str(expr)
    return name if text == name or len(text) > 60 else f"{name} (in {text})"
