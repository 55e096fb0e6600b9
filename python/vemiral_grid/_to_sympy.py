"""Trees to SymPy expressions: `sympy.sympify(node)`, `Grid.sympy(expr)`.

Each native function becomes the SymPy function of the same meaning, so that
SymPy can simplify, differentiate or print what a formula computes. Where
SymPy has no such function the meaning is written out (trunc, fmod, cbrt,
lgamma); where it cannot be (rint, copysign: their halves and signed zeros
have no SymPy expression) the result is an undefined `sympy.Function` of the
native name, which `lambdify` finds in NumPy's namespace and which
`Grid.evaluate` reads back. SymPy is imported only when an expression is
asked for.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from typing import Any

import vemiral

from . import _complex

# Native functions that SymPy has no expression of, exported as undefined
# functions of these names (and read back by name in _sympy), with their
# numbers of arguments.
UNDEFINED = {"rint": 1, "copysign": 2}


def to_sympy(node: Any, names: Sequence[str] | None = None) -> Any:
    """The SymPy expression of a tree or a complex expression. The axis of
    dimension i is the real Symbol `names[i]`, or `x{i}` as the tree's repr
    names it.

    >>> import numpy as np, sympy, vemiral as vm
    >>> from vemiral_grid import to_sympy
    >>> x = vm.ASTvar(0, 0.0, 0.5)
    >>> sympy.sympify(vm.where(x < 1, vm.sin(x) ** 2, vm.hypot(x, 2.0)))
    Piecewise((sin(x0)**2, x0 < 1), (hypot(x0, 2), True))
    >>> sympy.S(np.exp(1j * x)), to_sympy(x + 1, names=["t"])
    (I*sin(x0) + cos(x0), t + 1)
    """
    if not isinstance(node, vemiral.ASTnode | _complex.ComplexNode):
        raise TypeError(f"a SymPy expression is made of an expression node, not {type(node).__name__}")
    try:
        return _Exporter(names).value(node)
    except RecursionError:
        raise ValueError("the expression is nested too deeply for SymPy") from None


class _Exporter:
    def __init__(self, names: Sequence[str] | None) -> None:
        import sympy

        self.sp = sympy
        self.names = names
        self.symbols: dict[int, Any] = {}
        # Subtrees shared by the tree are exported once (the wrappers are held,
        # so that an id is not reused while exporting).
        self.done: dict[int, tuple[Any, Any]] = {}
        self.functions = _functions(sympy)

    def value(self, root: vemiral.ASTnode | _complex.ComplexNode) -> Any:
        if isinstance(root, _complex.ComplexNode):
            real, imag = (self.value(_complex.as_node(part)) for part in root.parts)
            return real + self.sp.I * imag
        # Post-order over an explicit stack: trees nest deeper than Python recurses.
        # Each node is pushed with its children, and exported once they are.
        stack: list[tuple[Any, list[Any], bool]] = [(root, _children(root), False)]
        while stack:
            node, children, ready = stack.pop()
            if id(node) in self.done:
                continue
            if ready or not children:
                value = self.node(node, [self.done[id(child)][1] for child in children])
                self.done[id(node)] = (node, value)
            else:
                stack.append((node, children, True))
                stack.extend((child, _children(child), False) for child in children if id(child) not in self.done)
        return self.done[id(root)][1]

    def node(self, node: Any, arguments: list[Any]) -> Any:
        sp = self.sp
        if isinstance(node, vemiral.ASTnum):
            return self.number(node.value)
        if isinstance(node, vemiral.ASTvar):
            return self.symbol(node.index)
        if isinstance(node, vemiral.ASTbin):
            a, b = arguments
            if node.op == vemiral.bt.POW:
                return sp.Pow(a, self.exponent(b))
            return _BINARY[node.op.name](a, b)
        name = node.op.name.lower()
        if isinstance(node, vemiral.ASTun):
            return self.functions[name](arguments[0])
        if name in _RELATIONS:
            return _indicator(sp, getattr(sp, _RELATIONS[name])(*arguments))
        if name in ("logical_and", "logical_or", "logical_not"):
            logic = {"logical_and": sp.And, "logical_or": sp.Or, "logical_not": sp.Not}[name]
            return _indicator(sp, logic(*(_truth(sp, argument) for argument in arguments)))
        if name == "where":
            condition, a, b = arguments
            return _choice(sp, _truth(sp, condition), a, b)
        return self.functions[name](*arguments)

    def number(self, value: float) -> Any:
        sp = self.sp
        if math.isnan(value):
            return sp.nan
        if math.isinf(value):
            return sp.oo if value > 0 else -sp.oo
        if value == math.pi:
            return sp.pi
        if value == math.e:
            return sp.E
        if value.is_integer() and abs(value) < 2.0**53:
            return sp.Integer(int(value))
        # The double exactly; 15 digits where they name it, as its shortest repr reads.
        number = sp.Float(value)
        return number if float(str(number)) == value else sp.Float(value, 17)

    def exponent(self, value: Any) -> Any:
        # u**0.5, the tree's sqrt, as SymPy's sqrt.
        sp = self.sp
        if isinstance(value, sp.Float) and abs(value) == 0.5:
            return sp.Rational(int(2 * value), 2)
        return value

    def symbol(self, index: int) -> Any:
        if index not in self.symbols:
            if self.names is None:
                name = f"x{index}"
            elif index < len(self.names):
                name = self.names[index]
            else:
                raise ValueError(f"the expression uses dimension {index}; the grid has {len(self.names)}")
            self.symbols[index] = self.sp.Symbol(name, real=True)
        return self.symbols[index]


def _children(node: Any) -> list[Any]:
    if isinstance(node, vemiral.ASTbin):
        return [node.left, node.right]
    if isinstance(node, vemiral.ASTun):
        return [node.child]
    if isinstance(node, vemiral.ASTfun):
        return list(node.arguments)
    return []


_BINARY: dict[str, Callable[[Any, Any], Any]] = {
    "ADD": lambda a, b: a + b,
    "SUB": lambda a, b: a - b,
    "MUL": lambda a, b: a * b,
    "DIV": lambda a, b: a / b,
}
_RELATIONS = {
    "less": "Lt", "less_equal": "Le", "greater": "Gt", "greater_equal": "Ge", "equal": "Eq", "not_equal": "Ne",
}


def _indicator(sp: Any, condition: Any) -> Any:
    """1 where `condition` holds, else 0: a comparison's value."""
    return sp.Piecewise((sp.Integer(1), condition), (sp.Integer(0), True))


def _truth(sp: Any, value: Any) -> Any:
    """Where `value` counts as true: a comparison's own condition, or nonzero (NaN too)."""
    if isinstance(value, sp.Piecewise) and len(value.args) == 2:
        (one, condition), (zero, otherwise) = value.args
        if one == 1 and zero == 0 and otherwise is sp.true:
            return condition
    return sp.Ne(value, 0)


def _choice(sp: Any, condition: Any, a: Any, b: Any) -> Any:
    # where(c1, a, where(c2, b, d)) as one Piecewise: the first condition that holds chooses.
    rest = b.args if isinstance(b, sp.Piecewise) else ((b, True),)
    return sp.Piecewise((a, condition), *rest)


def _functions(sp: Any) -> dict[str, Callable[..., Any]]:
    """Each native function (lower-case name) as SymPy's."""
    from sympy.codegen.cfunctions import exp2, expm1, hypot, log1p, log2, log10
    from sympy.codegen.numpy_nodes import logaddexp

    def fmod(a: Any, b: Any) -> Any:
        # C's fmod: the sign of a, the magnitude of |a| mod |b| (exactly that in doubles).
        return sp.nan if b == 0 else sp.sign(a) * sp.Mod(sp.Abs(a), sp.Abs(b))

    def mod(a: Any, b: Any) -> Any:
        return sp.nan if b == 0 else sp.Mod(a, b)  # SymPy refuses a literal zero divisor

    def lgamma(u: Any) -> Any:
        # ln|Γ|: SymPy's loggamma is that for u > 0 (and complex below).
        return sp.Piecewise((sp.loggamma(u), u > 0), (sp.log(sp.Abs(sp.gamma(u))), True))

    functions: dict[str, Callable[..., Any]] = {
        "neg": lambda u: -u, "fac": sp.factorial, "exp": sp.exp, "ln": sp.log, "sin": sp.sin, "cos": sp.cos,
        "tan": sp.tan, "cot": sp.cot, "sec": sp.sec, "csc": sp.csc, "abs": sp.Abs, "sign": sp.sign,
        "floor": sp.floor, "ceil": sp.ceiling, "trunc": lambda u: sp.sign(u) * sp.floor(sp.Abs(u)),
        "cbrt": lambda u: sp.real_root(u, 3), "exp2": exp2, "expm1": expm1, "log2": log2, "log10": log10,
        "log1p": log1p, "sinh": sp.sinh, "cosh": sp.cosh, "tanh": sp.tanh, "asin": sp.asin, "acos": sp.acos,
        "atan": sp.atan, "asinh": sp.asinh, "acosh": sp.acosh, "atanh": sp.atanh, "erf": sp.erf, "erfc": sp.erfc,
        "atan2": sp.atan2, "hypot": hypot, "minimum": sp.Min, "maximum": sp.Max, "fmod": fmod, "mod": mod,
        "heaviside": sp.Heaviside, "gamma": sp.gamma, "lgamma": lgamma, "j0": lambda u: sp.besselj(0, u),
        "j1": lambda u: sp.besselj(1, u), "y0": lambda u: sp.bessely(0, u), "y1": lambda u: sp.bessely(1, u),
        "jn": sp.besselj, "logaddexp": logaddexp,
    }
    functions.update({name: sp.Function(name) for name in UNDEFINED})
    return functions


def _sympy_(self: Any) -> Any:
    """The SymPy expression of this node, the axes as real Symbols x0, x1, ...
    (SymPy's `sympify` calls this)."""
    return to_sympy(self)


def _install() -> None:
    """sympy.sympify(node) and sympy.S(node) for the native nodes and complex expressions."""
    setattr(vemiral.ASTnode, "_sympy_", _sympy_)  # noqa: B010 (a method of the native class)
    _complex.ComplexNode._sympy_ = _sympy_  # type: ignore[attr-defined]


_install()
