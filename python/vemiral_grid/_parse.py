"""Expression strings read against an allow-list (never `eval`).

A plain reader takes arithmetic and functions of one argument, without
recursion, so that the length of a sum is no limit; a text it does not take
(conditions, %, functions of several arguments, or a mistake) is read again with
the standard `ast` module, which builds the rest and whose messages name what is
wrong.
"""

from __future__ import annotations

import ast
import keyword
import math
import operator
import re
import unicodedata
from collections.abc import Callable, Mapping
from typing import Any, TypeAlias

import numpy as np

import vemiral

from . import _complex

# Longer strings are refused before they are read.
MAX_LENGTH = 10_000_000
# The native tree's own depth limit: a deeper string is refused here, as a
# ValueError, before any node is built.
MAX_DEPTH = 10_000
# A text up to this long that the plain reader does not take is read again with
# the ast module, which says what is wrong in Python's words; a longer one is
# refused with the plain reader's own message.
AST_LENGTH = 100_000

# A node, a number, a complex number or a complex expression (where a formula
# holds 1j, a complex parameter, complex(a, b); see _complex): Any, for the
# native operators' types know no complex operand.
Value: TypeAlias = Any

# Function names a formula may call, each with the native function it calls;
# aliases are the names NumPy and numexpr users type.
_NATIVE_NAMES: dict[str, str] = {
    "sin": "sin", "cos": "cos", "tan": "tan", "cot": "cot", "exp": "exp", "ln": "ln", "log": "log",
    "abs": "abs", "absolute": "abs", "sign": "sign", "floor": "floor", "ceil": "ceil", "trunc": "trunc",
    "rint": "rint", "round": "rint", "cbrt": "cbrt", "exp2": "exp2", "expm1": "expm1", "log2": "log2",
    "log10": "log10", "log1p": "log1p", "sinh": "sinh", "cosh": "cosh", "tanh": "tanh",
    "asin": "asin", "arcsin": "asin", "acos": "acos", "arccos": "acos", "atan": "atan", "arctan": "atan",
    "asinh": "asinh", "arcsinh": "asinh", "acosh": "acosh", "arccosh": "acosh", "atanh": "atanh",
    "arctanh": "atanh", "sec": "sec", "csc": "csc", "erf": "erf", "erfc": "erfc", "logical_not": "logical_not",
    "atan2": "atan2", "arctan2": "atan2", "hypot": "hypot", "minimum": "minimum", "min": "minimum",
    "maximum": "maximum", "max": "maximum", "fmod": "fmod", "mod": "mod", "copysign": "copysign",
    "heaviside": "heaviside", "power": "power", "pow": "power", "less": "less", "less_equal": "less_equal",
    "greater": "greater", "greater_equal": "greater_equal", "equal": "equal", "not_equal": "not_equal",
    "logical_and": "logical_and", "logical_or": "logical_or", "where": "where", "clip": "clip",
    "remainder": "mod", "sinc": "sinc", "square": "square", "deg2rad": "deg2rad", "radians": "deg2rad",
    "rad2deg": "rad2deg", "degrees": "rad2deg", "logaddexp": "logaddexp", "gamma": "gamma", "lgamma": "lgamma",
    "gammaln": "lgamma", "loggamma": "loggamma", "j0": "j0", "j1": "j1", "y0": "y0", "y1": "y1", "jn": "jn",
    "besselj": "jn",
}
# How many arguments each function takes, fewest and most (None: no limit);
# one unless listed.
_ARGUMENTS: dict[str, tuple[int, int | None]] = {
    "log": (1, 2),
    **dict.fromkeys(
        ["atan2", "arctan2", "hypot", "minimum", "maximum", "fmod", "mod", "remainder", "copysign", "heaviside",
         "power", "pow", "less", "less_equal", "greater", "greater_equal", "equal", "not_equal", "logical_and",
         "logical_or", "logaddexp", "jn", "besselj"],
        (2, 2),
    ),
    "min": (2, None),  # as Python's min and max: any number of values
    "max": (2, None),
    "where": (3, 3),
    "clip": (3, 3),
    **_complex.NEW_NAMES,
}


_REAL_FUNCTIONS: dict[str, Callable[..., Value] | None] = {
    **{name: getattr(vemiral, native) for name, native in _NATIVE_NAMES.items()},
    # sqrt(u) is u ** 0.5: a power the chains close over (folded like one).
    "sqrt": lambda u: _fold(_power, u, 0.5),
    **dict.fromkeys(_complex.NEW_NAMES),
}
# Each takes complex values where it has a complex meaning, and refuses them elsewhere.
FUNCTIONS: dict[str, Callable[..., Value]] = {
    name: _complex.complex_aware(name, real) for name, real in _REAL_FUNCTIONS.items()
}
CONSTANTS: dict[str, float] = {"pi": math.pi, "e": math.e}
# NumPy's scalar types as their repr writes them, np.float64(0.06): a number
# printed by NumPy and pasted into a formula is that number.
_NUMPY_SCALARS = frozenset(
    ["float64", "float32", "float16", "int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64"]
)
RESERVED = (frozenset(FUNCTIONS) - frozenset(_complex.NEW_NAMES)) | frozenset(CONSTANTS)
_FUNCTION_LIST = ", ".join(sorted(FUNCTIONS))


_BINARY: dict[type[ast.operator], Callable[[Value, Value], Value]] = {
    ast.Add: operator.add,
    ast.Sub: operator.sub,
    ast.Mult: operator.mul,
    ast.Div: operator.truediv,
    ast.Pow: lambda a, b: _power(a, b),
}
# Operators that call a function: comparisons give 1.0 or 0.0, and & | ~
# (as and, or, not) are logical on such conditions, as in numexpr.
_OPERATOR_FUNCTIONS: dict[type[ast.AST], str] = {
    ast.Mod: "mod",
    ast.BitAnd: "logical_and",
    ast.BitOr: "logical_or",
    ast.Invert: "logical_not",
    ast.Not: "logical_not",
    ast.And: "logical_and",
    ast.Or: "logical_or",
    ast.Lt: "less",
    ast.LtE: "less_equal",
    ast.Gt: "greater",
    ast.GtE: "greater_equal",
    ast.Eq: "equal",
    ast.NotEq: "not_equal",
}

# What the refusal calls each construct a user may plausibly write.
_CONSTRUCTS: dict[type[ast.AST], str] = {
    ast.Attribute: "attribute access",
    ast.Subscript: "subscript",
    ast.Slice: "slice",
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
    ast.MatMult: "operator @",
    ast.LShift: "operator <<",
    ast.RShift: "operator >>",
    ast.Is: "operator is",
    ast.IsNot: "operator is not",
    ast.In: "operator in",
    ast.NotIn: "operator not in",
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
        # The offsets of ast's nodes count UTF-8 bytes; people count characters.
        return self.at_character(len(self.parsed[:offset].decode(errors="replace")))

    def at_character(self, characters: int) -> int:
        """The column of what is `characters` characters into the parsed text
        (where syntax errors and the plain reader count)."""
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
    where Python refuses or gives a complex number (1/0, sqrt(-1), (-8)**(1/3)), they
    fold to what the evaluation of that operation gives (inf, NaN, NaN).
    Complex numbers combine as Python's complex numbers do, or where Python
    refuses (a division by zero), as the complex operation evaluates."""
    if isinstance(a, float | complex) and isinstance(b, float | complex) and (
        isinstance(a, complex) or isinstance(b, complex)
    ):
        try:
            return op(a, b)
        except (ArithmeticError, ValueError):
            return op(_complex.lifted(a), b)
    if isinstance(a, float) and isinstance(b, float):
        try:
            folded = op(a, b)
        except (ArithmeticError, ValueError):
            folded = None
        if isinstance(folded, float):
            return folded
        return _evaluated(op(vemiral.ASTnum(a), b))
    return op(a, b)


def _apply(name: str, *arguments: Value) -> Value:
    """An operator's function of `arguments`; of numbers alone, the number that
    evaluation gives for it."""
    value = FUNCTIONS[name](*arguments)
    if all(isinstance(argument, float) for argument in arguments):
        return _evaluated(value)
    return value


def _evaluated(node: Value) -> float:
    """The value of a tree without variables, as evaluation computes it."""
    if isinstance(node, float):
        return node
    return float(node.evaluate((1,), threads=1)[0])


def parse(
    text: str, variables: Mapping[str, vemiral.ASTnode], parameters: Mapping[str, complex] | None = None
) -> vemiral.ASTnode | _complex.ComplexNode:
    """The tree of `text`, an expression in Python syntax over `variables` (axis name
    to node) and `parameters` (name to number, checked by the caller).

    >>> import vemiral as vm
    >>> from vemiral_grid import parse
    >>> parse("2*sin(t)^2 + pi", {"t": vm.ASTvar(0, 0.0, 0.1)})
    2.0*sin(x0)**2.0 + 3.141592653589793
    >>> parse("t/w", {"t": vm.ASTvar(0, 0.0, 0.1)}, {"w": 4.0})
    x0/4.0
    """
    if not isinstance(text, str):
        raise TypeError(f"an expression string is needed, not {type(text).__name__}")
    if len(text) > MAX_LENGTH:
        raise ValueError(f"expression of {len(text)} characters is longer than the limit of {MAX_LENGTH}")
    if not text.strip():
        raise ValueError("the expression is empty")
    parsed, columns = _one_line(text)
    try:
        value = _Reader(parsed, variables, columns, parameters).read()
    except _Unread as unread:
        if len(parsed) > AST_LENGTH:
            raise ValueError(str(unread)) from None
        value = _read_with_ast(parsed, variables, columns, str(unread), parameters)
    if isinstance(value, float):
        return vemiral.ASTnum(value)
    if isinstance(value, complex):
        return _complex.lifted(value)
    return value  # type: ignore[no-any-return]


class _Names:
    """What a name in a formula may stand for: an axis's node, a parameter's number,
    a constant; and the refusal of any other name."""

    def __init__(self, variables: Mapping[str, vemiral.ASTnode], parameters: Mapping[str, complex] | None) -> None:
        self.variables = variables
        self.parameters = parameters or {}

    def get(self, name: str) -> Value | None:
        if name in self.variables:
            return self.variables[name]
        if name in self.parameters:
            return self.parameters[name]
        return CONSTANTS.get(name)

    def unknown(self, name: str, column: int) -> str:
        if name in FUNCTIONS:
            return f"function '{name}' used without a call (column {column})"
        axes = ", ".join(self.variables) or "none"
        parameters = ", ".join(self.parameters) or "none"
        return f"unknown name '{name}' (column {column}); the grid's axes are {axes}; parameters: {parameters}"


def _unknown_function(name: str, column: int) -> str:
    return f"call to '{name}' is not allowed in an expression (column {column}); the functions are {_FUNCTION_LIST}"


def _arguments_problem(name: str, given: int, column: int) -> str | None:
    """Why `name` cannot take `given` arguments, or None."""
    fewest, most = _ARGUMENTS.get(name, (1, 1))
    if fewest <= given and (most is None or given <= most):
        return None
    words = {1: "one", 2: "two", 3: "three"}
    if most is None:
        count = f"{words[fewest]} or more arguments"
    elif fewest == most:
        count = f"{words[fewest]} argument{'s' if fewest > 1 else ''}"
    else:
        count = f"{words[fewest]} or {words[most]} arguments"
    return f"{name}() takes {count}, {given} given (column {column})"


def _call(name: str, arguments: list[Value]) -> Value:
    function = FUNCTIONS[name]
    if name in ("min", "max"):
        value = arguments[0]
        for argument in arguments[1:]:
            value = function(value, argument)
        return value
    return function(*arguments)


def _one_line(text: str) -> tuple[str, _Columns]:
    """The text as it is read (one line, `^` as `**`), and its columns as written."""
    # One line, so that a column says where; line breaks are spaces in a formula.
    line = " ".join(text.splitlines())
    body = line.lstrip()  # Python would take leading blanks for an indent
    parsed, shifts = _caret_as_power(body)
    return parsed, _Columns(parsed, shifts, len(line) - len(body))


def _read_with_ast(
    parsed: str,
    variables: Mapping[str, vemiral.ASTnode],
    columns: _Columns,
    unread: str,
    parameters: Mapping[str, complex] | None = None,
) -> Value:
    """The value of a text the plain reader did not take, read with the ast module:
    its refusal, or the value where the plain reader is stricter than Python."""
    try:
        tree = ast.parse(parsed, mode="eval")
    except SyntaxError as error:
        column = columns.at_character((error.offset or 1) - 1)
        raise ValueError(f"syntax error: {error.msg} (column {column})") from None
    except (RecursionError, MemoryError):
        # Nested too deeply for Python's parser (some 200 levels of `not` or
        # brackets): say so, beside where the plain reader stopped.
        raise ValueError(f"the formula nests deeper than Python's parser reads; {unread}") from None
    return _build(tree.body, _Names(variables, parameters), columns)


def _build(root: ast.expr, names: _Names, columns: _Columns) -> Value:
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
                done.append(_leaf(node, names, columns))
                continue
            todo.append((node, True, depth))
            todo.extend((child, False, depth + 1) for child in reversed(children))
            continue
        if isinstance(node, ast.BinOp):
            right, left = done.pop(), done.pop()
            if type(node.op) in _BINARY:
                done.append(_fold(_BINARY[type(node.op)], left, right))
            else:
                done.append(_apply(_OPERATOR_FUNCTIONS[type(node.op)], left, right))
        elif isinstance(node, ast.UnaryOp):
            operand = done.pop()
            if isinstance(node.op, ast.USub):
                done.append(-operand)
            elif isinstance(node.op, ast.UAdd):
                done.append(operand)
            else:
                done.append(_apply(_OPERATOR_FUNCTIONS[type(node.op)], operand))
        elif isinstance(node, ast.Compare):
            # Python's chain: a < b <= c is (a < b) and (b <= c), b read once.
            operands = done[-len(node.comparators) - 1 :]
            del done[-len(node.comparators) - 1 :]
            links = [
                _apply(_OPERATOR_FUNCTIONS[type(op)], a, b)
                for op, a, b in zip(node.ops, operands, operands[1:], strict=False)
            ]
            chain = links[0]
            for link in links[1:]:
                chain = _apply("logical_and", chain, link)
            done.append(chain)
        elif isinstance(node, ast.BoolOp):
            operands = done[-len(node.values) :]
            del done[-len(node.values) :]
            joined = operands[0]
            for operand in operands[1:]:
                joined = _apply(_OPERATOR_FUNCTIONS[type(node.op)], joined, operand)
            done.append(joined)
        elif isinstance(node, ast.IfExp):
            otherwise, then, condition = done.pop(), done.pop(), done.pop()
            done.append(FUNCTIONS["where"](condition, then, otherwise))
        else:
            assert isinstance(node, ast.Call) and isinstance(node.func, ast.Name)
            arguments = done[-len(node.args) :]
            del done[-len(node.args) :]
            done.append(_call(node.func.id, arguments))
    return done.pop()


def _children(node: ast.AST, columns: _Columns) -> list[ast.expr] | None:
    """The operands of an allowed operation, None for an allowed leaf; refuses the rest."""
    if isinstance(node, ast.BinOp):
        if type(node.op) not in _BINARY and type(node.op) not in _OPERATOR_FUNCTIONS:
            what = _OPERATORS.get(type(node.op), type(node.op).__name__)
            raise columns.refuse(what, node, columns.after(node.left))
        return [node.left, node.right]
    if isinstance(node, ast.UnaryOp):
        return [node.operand]
    if isinstance(node, ast.Compare):
        for op in node.ops:
            if type(op) not in _OPERATOR_FUNCTIONS:
                raise columns.refuse(_OPERATORS.get(type(op), type(op).__name__), node, columns.after(node.left))
        return [node.left, *node.comparators]
    if isinstance(node, ast.BoolOp):
        return list(node.values)
    if isinstance(node, ast.IfExp):
        return [node.test, node.body, node.orelse]
    if isinstance(node, ast.Call):
        if _numpy_literal(node) is not None:
            return None
        if not isinstance(node.func, ast.Name):
            raise columns.refuse("call of " + _CONSTRUCTS.get(type(node.func), type(node.func).__name__), node)
        name = node.func.id
        if name not in FUNCTIONS:
            raise ValueError(_unknown_function(name, columns.of(node)))
        if node.keywords:
            raise columns.refuse(f"keyword argument '{node.keywords[0].arg}'", node.keywords[0])
        for argument in node.args:
            if isinstance(argument, ast.Starred):
                raise columns.refuse("starred argument", argument)
        problem = _arguments_problem(name, len(node.args), columns.of(node))
        if problem:
            raise ValueError(problem)
        return list(node.args)
    if isinstance(node, ast.Constant | ast.Name):
        return None
    what = _CONSTRUCTS.get(type(node), type(node).__name__)
    if isinstance(node, ast.Attribute | ast.Subscript):
        raise columns.refuse(what, node, columns.after(node.value))
    raise columns.refuse(what, node)


def _numpy_literal(node: ast.Call) -> tuple[str, int | float] | None:
    """(type, number) of `np.float64(0.06)`, `numpy.float32(-2)` or `np.float64(nan)`
    as NumPy's repr writes a scalar; None for any other call."""
    function = node.func
    if not (
        isinstance(function, ast.Attribute) and isinstance(function.value, ast.Name)
        and function.value.id in ("np", "numpy") and function.attr in _NUMPY_SCALARS
        and len(node.args) == 1 and not node.keywords
    ):
        return None
    argument, negative = node.args[0], False
    if isinstance(argument, ast.UnaryOp) and isinstance(argument.op, ast.USub | ast.UAdd):
        negative = isinstance(argument.op, ast.USub)
        argument = argument.operand
    number: int | float
    if isinstance(argument, ast.Constant) and isinstance(argument.value, int | float) and not isinstance(
        argument.value, bool
    ):
        number = argument.value
    elif isinstance(argument, ast.Name) and argument.id in ("nan", "inf"):
        number = float(argument.id)
    else:
        return None
    return function.attr, -number if negative else number


def _leaf(node: ast.AST, names: _Names, columns: _Columns) -> Value:
    if isinstance(node, ast.Call):
        kind, number = _numpy_literal(node)  # type: ignore[misc]  # _children lets no other call through
        try:
            # The scalar's own value: np.float32(0.1) is the float32 nearest to 0.1.
            return float(getattr(np, kind)(number))
        except (OverflowError, ValueError):
            raise ValueError(f"{number!r} is out of range for numpy.{kind} (column {columns.of(node)})") from None
    if isinstance(node, ast.Constant):
        value = node.value
        if isinstance(value, complex):
            return value  # an imaginary literal, 2.5j
        if isinstance(value, bool) or not isinstance(value, int | float):
            raise columns.refuse(f"constant {value!r}", node)
        try:
            return float(value)
        except OverflowError:
            raise ValueError(f"number too large for a float (column {columns.of(node)})") from None
    assert isinstance(node, ast.Name)
    found = names.get(node.id)
    if found is None:
        raise ValueError(names.unknown(node.id, columns.of(node)))
    return found


# --- the plain reader ---------------------------------------------------------

# Numbers as Python writes them (the value is Python's own conversion of the
# token), names (with the "(" that makes a call; as in Python, every character
# beyond ASCII counts as part of a name until the name is checked), the
# operators of a formula, and any other character, which stops the reader.
_TOKEN = re.compile(
    r"\*\*|[-+*/()]"
    r"|[A-Za-z_\x80-\U0010ffff][A-Za-z0-9_\x80-\U0010ffff]*(?:[ \t\f]*\()?"
    r"|0[xX](?:_?[0-9a-fA-F])+|0[oO](?:_?[0-7])+|0[bB](?:_?[01])+"
    r"|(?:[0-9](?:_?[0-9])*(?:\.(?:[0-9](?:_?[0-9])*)?)?|\.[0-9](?:_?[0-9])*)(?:[eE][+-]?[0-9](?:_?[0-9])*)?[jJ]?"
    r"|[^ \t\f]"
)
_NAME_START = frozenset("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz_")
_NUMBER_START = frozenset("0123456789.")
_MAX_PARENTHESES = 199
_KEYWORDS = frozenset(keyword.kwlist)

# Binding strength as Python reads it; a sign binds between products and
# powers, and an opening parenthesis or call (0) holds everything after it.
_STRENGTH = {"+": 1, "-": 1, "*": 2, "/": 2, "**": 4}
_SIGN = 3
_FAMILY = {"+": "sum", "-": "sum", "*": "product", "/": "product"}
_INVERSE = {"+": "-", "-": "+", "*": "/", "/": "*"}

# A value being read and the depth of its tree (1 for a number).
Read: TypeAlias = tuple[Value, int]


class _Unread(Exception):
    """The plain reader stops at the first thing it does not take; the message
    says what, for a text too long to be read again with the ast module."""


class _Run:
    """Operands joined by + and - (or by * and /) at one level. They are built
    in Python's order as they come (`value`, `depth`), unless that order would
    nest the tree deeper than MAX_DEPTH: then `value` is None, and the whole run
    is built as a balanced tree once it is complete (`_balanced`)."""

    __slots__ = ("family", "items", "value", "depth")

    def __init__(self, family: str, first: Read) -> None:
        self.family = family
        self.items: list[tuple[str, Read]] = [("", first)]
        self.value: Value | None = first[0]
        self.depth = first[1]

    def add(self, word: str, operand: Read) -> None:
        self.items.append((word, operand))
        if self.value is None:
            return
        depth = 1 + max(self.depth, operand[1])
        if depth > MAX_DEPTH:
            self.value = None
            return
        self.value, self.depth = _combined(_fold(_OPERATIONS[word], self.value, operand[0]), depth)

    def built(self) -> Read:
        if self.value is None:
            return _balanced(self.items, 0, len(self.items), False)
        return self.value, self.depth


class _Reader:
    """Operator precedence over explicit stacks: no recursion, whatever the
    length or nesting of the text. The tree is the one the ast module's reading
    gives (Python's binding and left-to-right order, numbers folded by
    `_fold`), except for a run of sums or products so long that Python's order
    would nest it deeper than MAX_DEPTH: that run is a balanced tree (`_Run`)."""

    def __init__(
        self,
        text: str,
        variables: Mapping[str, vemiral.ASTnode],
        columns: _Columns,
        parameters: Mapping[str, complex] | None = None,
    ) -> None:
        self.text = text
        self.names = _Names(variables, parameters)
        self.columns = columns
        self.open = 0  # parentheses open

    def read(self) -> Value:
        try:
            return self._read()
        except RecursionError:  # a node deeper than the tree allows
            raise _Unread(f"the expression is nested deeper than {MAX_DEPTH} levels") from None

    def _read(self) -> Value:
        text = self.text
        # Values read, and runs still open.
        operands: list[Read | _Run] = []
        # (strength, operator, where): a binary operator or a sign ("+x", "-x"),
        # or "(" or a call (the function's name), both of strength 0 and the
        # only ones whose place is kept (for a message).
        operators: list[tuple[int, str, int]] = []
        operand_next = True
        for token in _TOKEN.finditer(text):
            word = token.group()
            if operand_next:
                first = word[0]
                if first in _NAME_START or first >= "\x80":
                    if word[-1] == "(":
                        name = word[:-1].rstrip(" \t\f")
                        operators.append((0, self._function(name, token.start()), token.start()))
                        self._nest(operators)
                    else:
                        operands.append((self._name(word, token.start()), 1))
                        operand_next = False
                elif first in _NUMBER_START and word != ".":
                    operands.append((self._number(word, token.start()), 1))
                    operand_next = False
                elif word == "(":
                    operators.append((0, word, token.start()))
                    self._nest(operators)
                elif word == "-" or word == "+":
                    operators.append((_SIGN, word + "x", 0))
                else:
                    raise self._unexpected(token.start())
            elif word in _STRENGTH:
                strength = _STRENGTH[word]
                if operators and operators[-1][0] >= strength:
                    self._reduce(operands, operators, strength, word == "**")
                operators.append((strength, word, 0))
                operand_next = True
            elif word == ")":
                self._reduce(operands, operators, 1, False)
                if not operators:
                    raise _Unread(f"syntax error: unmatched ')' (column {self._column(token.start())})")
                _, opening, where = operators.pop()
                self.open -= 1
                value = _built(operands.pop())
                operands.append(value if opening == "(" else self._call(opening, value, where))
            else:
                raise self._unexpected(token.start())
        if operand_next:
            raise self._unexpected(len(text))
        self._reduce(operands, operators, 1, False)
        if operators:
            raise _Unread(f"syntax error: '(' was never closed (column {self._column(operators[-1][2])})")
        return _built(operands.pop())[0]

    def _nest(self, operators: list[tuple[int, str, int]]) -> None:
        # Python's own limit, kept so that every text refused before still is.
        self.open += 1
        if self.open > _MAX_PARENTHESES:
            where = self._column(operators[-1][2])
            raise _Unread(f"syntax error: too many nested parentheses (column {where})")

    # --- tokens ---------------------------------------------------------------

    def _column(self, offset: int) -> int:
        return self.columns.at_character(offset)

    def _unexpected(self, offset: int) -> _Unread:
        what = "the end of the expression" if offset >= len(self.text) else repr(self.text[offset])
        return _Unread(f"syntax error: unexpected {what} (column {self._column(offset)})")

    def _number(self, word: str, start: int) -> float | complex:
        if word[-1] in "jJ":  # an imaginary literal: any decimal digits, as Python reads them
            return complex(0.0, float(word[:-1]))
        if word.isdigit() and (word[0] != "0" or len(word) == 1) and len(word) < 300:
            return float(word)  # correctly rounded, as float(int(word)) is
        try:
            if word[:2].lower() in ("0x", "0o", "0b") or not any(c in word for c in ".eE"):
                number: int | float = int(word, 0)  # refuses 0777, as Python does
            else:
                number = float(word)
        except ValueError:
            raise self._unexpected(start) from None
        try:
            return float(number)
        except OverflowError:
            raise _Unread(f"number too large for a float (column {self._column(start)})") from None

    def _name(self, word: str, start: int) -> Value:
        if not word.isascii():
            word = self._identifier(word, start)
        found = self.names.get(word)
        if found is not None:
            return found
        if word in _KEYWORDS:
            raise self._unexpected(start)
        raise _Unread(self.names.unknown(word, self._column(start)))

    def _function(self, word: str, start: int) -> str:
        if not word.isascii():
            word = self._identifier(word, start)
        if word not in FUNCTIONS:
            if word in _KEYWORDS:
                raise self._unexpected(start)
            raise _Unread(_unknown_function(word, self._column(start)))
        return word

    def _identifier(self, word: str, start: int) -> str:
        """A name with letters beyond ASCII, checked and normalised (NFKC) as
        Python checks and normalises it."""
        if not word.isidentifier():
            raise self._unexpected(start)
        return unicodedata.normalize("NFKC", word)

    # --- building ---------------------------------------------------------------

    @staticmethod
    def _reduce(operands: list[Read | _Run], operators: list[tuple[int, str, int]], strength: int, right: bool) -> None:
        """Applies the operators on the stack that bind at least as tightly as an
        operator of `strength` that comes next (more tightly, for the
        right-associative power)."""
        while operators:
            bound, word, _ = operators[-1]
            if bound < strength or (bound == strength and right):
                return
            operators.pop()
            if bound == _SIGN:
                value, depth = _built(operands.pop())
                operands.append(_combined(-value, depth + 1) if word == "-x" else (value, depth))
            elif word == "**":
                exponent, base = _built(operands.pop()), _built(operands.pop())
                operands.append(_combined(_fold(_power, base[0], exponent[0]), 1 + max(base[1], exponent[1])))
            else:
                second = _built(operands.pop())
                first = operands[-1]
                if not isinstance(first, _Run) or first.family != _FAMILY[word]:
                    first = operands[-1] = _Run(_FAMILY[word], _built(first))
                first.add(word, second)

    def _call(self, function: str, argument: Read, start: int) -> Read:
        # A function of more arguments is read by the ast module, which counts them.
        problem = _arguments_problem(function, 1, self._column(start))
        if problem:
            raise _Unread(problem)
        return _combined(FUNCTIONS[function](argument[0]), argument[1] + 1)


_OPERATIONS: dict[str, Callable[[Value, Value], Value]] = {
    "+": operator.add,
    "-": operator.sub,
    "*": operator.mul,
    "/": operator.truediv,
}


def _built(operand: Read | _Run) -> Read:
    return operand.built() if isinstance(operand, _Run) else operand


def _combined(value: Value, depth: int) -> Read:
    """A value just built and its depth: a number is a leaf, and a node deeper
    than the tree allows is refused before anything is built on it."""
    if isinstance(value, float | complex):
        return value, 1
    if depth > MAX_DEPTH:
        raise _Unread(f"the expression is nested deeper than {MAX_DEPTH} levels")
    return value, depth


def _balanced(items: list[tuple[str, Read]], lo: int, hi: int, flip: bool) -> Read:
    """items[lo:hi] of a run as a balanced tree: the first half, joined to the
    second by the operator between them, each half built the same way. The first
    item counts as added (multiplied); `flip` inverts every operator of the
    range, for a half that is subtracted (divided): a - b - c + d is
    (a - b) - (c - d), a / b * c is a / (b / c)."""
    if hi - lo == 1:
        return items[lo][1]
    mid = (lo + hi) // 2
    first = _balanced(items, lo, mid, flip)
    word = _INVERSE[items[mid][0]] if flip else items[mid][0]
    second = _balanced(items, mid, hi, flip != (word in ("-", "/")))
    return _combined(_fold(_OPERATIONS[word], first[0], second[0]), 1 + max(first[1], second[1]))
