"""SymPy expressions to trees. SymPy is imported only by whoever already passes a SymPy object."""

from __future__ import annotations

import math
import operator
from collections.abc import Callable, Mapping
from typing import Any, TypeAlias

import vemiral

from ._parse import _fold as fold

Value: TypeAlias = vemiral.ASTnode | float

_FUNCTIONS: dict[str, Callable[[Value], vemiral.ASTnode]] = {
    "sin": vemiral.sin,
    "cos": vemiral.cos,
    "tan": vemiral.tan,
    "cot": vemiral.cot,
    "exp": vemiral.exp,
    "log": vemiral.log,
}


def is_sympy(expr: object) -> bool:
    import sys

    sympy = sys.modules.get("sympy")
    return sympy is not None and isinstance(expr, sympy.Basic)


def translate(expr: Any, variables: Mapping[str, vemiral.ASTnode]) -> vemiral.ASTnode:
    """The tree of a SymPy expression whose symbols are named like the grid's axes."""
    try:
        value = _Translator(variables).value(expr)
    except RecursionError:
        raise ValueError("the SymPy expression is nested too deeply") from None
    return vemiral.ASTnum(value) if isinstance(value, float) else value


class _Translator:
    def __init__(self, variables: Mapping[str, vemiral.ASTnode]) -> None:
        import sympy

        self.sympy = sympy
        self.variables = variables

    def value(self, expr: Any) -> Value:
        sp = self.sympy
        if isinstance(expr, sp.Symbol):
            if expr.name not in self.variables:
                axes = ", ".join(self.variables)
                raise ValueError(f"SymPy symbol '{expr.name}' is no axis of the grid (axes: {axes})")
            return self.variables[expr.name]
        if expr is sp.pi:
            return math.pi
        if expr is sp.E:
            return math.e
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
        if isinstance(expr, sp.Function) and type(expr).__name__ in _FUNCTIONS and len(expr.args) == 1:
            return _FUNCTIONS[type(expr).__name__](self.value(expr.args[0]))
        raise ValueError(f"SymPy {_name(expr)} is not supported")

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
