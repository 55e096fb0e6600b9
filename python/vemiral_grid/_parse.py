"""Expression strings read with the standard `ast` module against an allow-list (never `eval`)."""

from __future__ import annotations

import ast
import math
import operator
from collections.abc import Callable, Mapping
from typing import TypeAlias

import vemiral

# Longer strings are refused before they reach the parser.
MAX_LENGTH = 100_000
# The native tree's own depth limit: a deeper string is refused here, as a
# ValueError, before any node is built.
MAX_DEPTH = 10_000

Value: TypeAlias = vemiral.ASTnode | float

FUNCTIONS: dict[str, Callable[[Value], Value]] = {
    "sin": vemiral.sin,
    "cos": vemiral.cos,
    "tan": vemiral.tan,
    "cot": vemiral.cot,
    "exp": vemiral.exp,
    "ln": vemiral.ln,
    "log": vemiral.log,
    # sqrt(u) is u ** 0.5: a power the chains close over.
    "sqrt": lambda u: _power(u, 0.5),
}
CONSTANTS: dict[str, float] = {"pi": math.pi, "e": math.e}
RESERVED = frozenset(FUNCTIONS) | frozenset(CONSTANTS)

_BINARY: dict[type[ast.operator], Callable[[Value, Value], Value]] = {
    ast.Add: operator.add,
    ast.Sub: operator.sub,
    ast.Mult: operator.mul,
    ast.Div: operator.truediv,
    ast.Pow: lambda a, b: _power(a, b),
}

# What the refusal calls each construct a user may plausibly write.
_CONSTRUCTS: dict[type[ast.AST], str] = {
    ast.Attribute: "attribute access",
    ast.Subscript: "subscript",
    ast.Slice: "slice",
    ast.Compare: "comparison",
    ast.BoolOp: "boolean operator",
    ast.IfExp: "conditional expression",
    ast.Lambda: "lambda",
    ast.keyword: "keyword argument",
    ast.Starred: "starred argument",
    ast.Tuple: "tuple",
    ast.List: "list",
    ast.Set: "set",
    ast.Dict: "dict",
    ast.ListComp: "list comprehension",
    ast.SetComp: "set comprehension",
    ast.DictComp: "dict comprehension",
    ast.GeneratorExp: "generator expression",
    ast.JoinedStr: "f-string",
    ast.NamedExpr: "assignment expression",
    ast.Await: "await",
    ast.Yield: "yield",
    ast.YieldFrom: "yield",
}
_OPERATORS: dict[type[ast.AST], str] = {
    ast.FloorDiv: "operator //",
    ast.Mod: "operator %",
    ast.MatMult: "operator @",
    ast.LShift: "operator <<",
    ast.RShift: "operator >>",
    ast.BitOr: "operator |",
    ast.BitAnd: "operator &",
    ast.Not: "operator not",
    ast.Invert: "operator ~",
}


def _power(base: Value, exponent: Value) -> Value:
    return base**exponent


class _Columns:
    """Columns of the text as the user wrote it, from offsets in the text that was parsed."""

    def __init__(self, parsed: str, shifts: list[int], indent: int) -> None:
        self.parsed = parsed.encode()
        self.shifts = shifts  # parsed offsets (characters) where a ^ became **
        self.indent = indent  # blanks before the text that was parsed

    def of(self, node: ast.AST) -> int:
        return self.at(int(getattr(node, "col_offset", 0)))

    def after(self, node: ast.AST) -> int:
        """The column of what follows `node` (an operator, a dot, a bracket)."""
        offset = int(getattr(node, "end_col_offset", 0) or 0)
        while offset < len(self.parsed) and self.parsed[offset : offset + 1] in (b" ", b")"):
            offset += 1
        return self.at(offset)

    def at(self, offset: int) -> int:
        # ast counts UTF-8 bytes; people count characters.
        characters = len(self.parsed[:offset].decode(errors="replace"))
        return self.indent + characters - sum(1 for shift in self.shifts if shift < characters) + 1

    def refuse(self, what: str, node: ast.AST, column: int | None = None) -> ValueError:
        where = self.of(node) if column is None else column
        return ValueError(f"{what} is not allowed in an expression (column {where})")


def _caret_as_power(text: str) -> tuple[str, list[int]]:
    """`^` means power in formulas. It becomes `**` in the text itself, so that it also
    binds as tightly as `**` (Python's `^` binds more loosely than `+`). The text holds
    no string literal that a `^` could be part of: constants other than numbers are
    refused anyway."""
    pieces = text.split("^")
    shifts: list[int] = []
    offset = 0
    for piece in pieces[:-1]:
        offset += len(piece)
        shifts.append(offset)
        offset += 2
    return "**".join(pieces), shifts


def _fold(op: Callable[[Value, Value], Value], a: Value, b: Value) -> Value:
    """Numbers combine as Python combines them (what `2*pi*x` gives with the operators);
    anything Python refuses or makes complex (1/0, (-8)**(1/3)) stays a node for the
    native evaluation."""
    if isinstance(a, float) and isinstance(b, float):
        try:
            folded = op(a, b)
        except (ArithmeticError, ValueError):
            return op(vemiral.ASTnum(a), b)
        if isinstance(folded, float):
            return folded
        return op(vemiral.ASTnum(a), b)
    return op(a, b)


def parse(text: str, variables: Mapping[str, vemiral.ASTnode]) -> vemiral.ASTnode:
    """The tree of `text`, an expression in Python syntax over `variables` (axis name to node).

    >>> import vemiral as vm
    >>> from vemiral_grid import parse
    >>> parse("2*sin(t)^2 + pi", {"t": vm.ASTvar(0, 0.0, 0.1)})
    2.0*sin(x0)**2.0 + 3.141592653589793
    """
    if not isinstance(text, str):
        raise TypeError(f"an expression string is needed, not {type(text).__name__}")
    if len(text) > MAX_LENGTH:
        raise ValueError(f"expression of {len(text)} characters is longer than the limit of {MAX_LENGTH}")
    if not text.strip():
        raise ValueError("the expression is empty")
    # One line, so that a column says where; line breaks are spaces in a formula.
    line = " ".join(text.splitlines())
    body = line.lstrip()  # Python would take leading blanks for an indent
    parsed, shifts = _caret_as_power(body)
    columns = _Columns(parsed, shifts, len(line) - len(body))
    try:
        tree = ast.parse(parsed, mode="eval")
    except SyntaxError as error:
        raise ValueError(f"syntax error: {error.msg} (column {columns.at((error.offset or 1) - 1)})") from None
    except (RecursionError, MemoryError):
        raise ValueError("the expression is nested too deeply for Python's parser") from None
    value = _build(tree.body, variables, columns)
    if isinstance(value, float):
        return vemiral.ASTnum(value)
    return value


def _build(root: ast.expr, variables: Mapping[str, vemiral.ASTnode], columns: _Columns) -> Value:
    # Iterative, children before parents: no Python recursion, whatever the depth.
    todo: list[tuple[ast.AST, bool, int]] = [(root, False, 1)]
    done: list[Value] = []
    while todo:
        node, ready, depth = todo.pop()
        if depth > MAX_DEPTH:
            raise ValueError(f"the expression is nested deeper than {MAX_DEPTH} levels")
        if not ready:
            children = _children(node, columns)
            if children is None:
                done.append(_leaf(node, variables, columns))
                continue
            todo.append((node, True, depth))
            todo.extend((child, False, depth + 1) for child in reversed(children))
            continue
        if isinstance(node, ast.BinOp):
            right, left = done.pop(), done.pop()
            done.append(_fold(_BINARY[type(node.op)], left, right))
        elif isinstance(node, ast.UnaryOp):
            operand = done.pop()
            if isinstance(node.op, ast.USub):
                done.append(-operand)
            else:
                done.append(operand)
        else:
            assert isinstance(node, ast.Call) and isinstance(node.func, ast.Name)
            done.append(FUNCTIONS[node.func.id](done.pop()))
    return done.pop()


def _children(node: ast.AST, columns: _Columns) -> list[ast.expr] | None:
    """The operands of an allowed operation, None for an allowed leaf; refuses the rest."""
    if isinstance(node, ast.BinOp):
        if type(node.op) not in _BINARY:
            what = _OPERATORS.get(type(node.op), type(node.op).__name__)
            raise columns.refuse(what, node, columns.after(node.left))
        return [node.left, node.right]
    if isinstance(node, ast.UnaryOp):
        if not isinstance(node.op, ast.USub | ast.UAdd):
            raise columns.refuse(_OPERATORS.get(type(node.op), type(node.op).__name__), node)
        return [node.operand]
    if isinstance(node, ast.Call):
        if not isinstance(node.func, ast.Name):
            raise columns.refuse("call of " + _CONSTRUCTS.get(type(node.func), type(node.func).__name__), node)
        name = node.func.id
        if name not in FUNCTIONS:
            raise columns.refuse(f"call to '{name}'", node)
        if node.keywords:
            raise columns.refuse(f"keyword argument '{node.keywords[0].arg}'", node.keywords[0])
        for argument in node.args:
            if isinstance(argument, ast.Starred):
                raise columns.refuse("starred argument", argument)
        if len(node.args) != 1:
            raise ValueError(f"{name}() takes one argument, {len(node.args)} given (column {columns.of(node)})")
        return [node.args[0]]
    if isinstance(node, ast.Constant | ast.Name):
        return None
    what = _CONSTRUCTS.get(type(node), type(node).__name__)
    if isinstance(node, ast.Attribute | ast.Subscript):
        raise columns.refuse(what, node, columns.after(node.value))
    if isinstance(node, ast.Compare):
        raise columns.refuse(what, node, columns.after(node.left))
    raise columns.refuse(what, node)


def _leaf(node: ast.AST, variables: Mapping[str, vemiral.ASTnode], columns: _Columns) -> Value:
    if isinstance(node, ast.Constant):
        value = node.value
        if isinstance(value, bool) or not isinstance(value, int | float):
            raise columns.refuse(f"constant {value!r}", node)
        try:
            return float(value)
        except OverflowError:
            raise ValueError(f"number too large for a float (column {columns.of(node)})") from None
    assert isinstance(node, ast.Name)
    if node.id in variables:
        return variables[node.id]
    if node.id in CONSTANTS:
        return CONSTANTS[node.id]
    if node.id in FUNCTIONS:
        raise ValueError(f"function '{node.id}' used without a call (column {columns.of(node)})")
    axes = ", ".join(variables) or "none"
    raise ValueError(f"unknown name '{node.id}' (column {columns.of(node)}); the grid's axes are {axes}")
