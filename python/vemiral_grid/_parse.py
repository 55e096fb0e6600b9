"""Expression strings read against an allow-list (never `eval`).

A plain reader takes the operations a formula may use, without recursion, so
that the length of a sum is no limit; a text it does not take is read again
with the standard `ast` module, whose messages name what is wrong.
"""

from __future__ import annotations

import ast
import keyword
import math
import operator
import re
import unicodedata
from collections.abc import Callable, Mapping
from typing import TypeAlias

import vemiral

# Longer strings are refused before they are read.
MAX_LENGTH = 10_000_000
# The native tree's own depth limit: a deeper string is refused here, as a
# ValueError, before any node is built.
MAX_DEPTH = 10_000
# A text up to this long that the plain reader does not take is read again with
# the ast module, which says what is wrong in Python's words; a longer one is
# refused with the plain reader's own message.
AST_LENGTH = 100_000

Value: TypeAlias = vemiral.ASTnode | float

FUNCTIONS: dict[str, Callable[[Value], Value]] = {
    "sin": vemiral.sin,
    "cos": vemiral.cos,
    "tan": vemiral.tan,
    "cot": vemiral.cot,
    "exp": vemiral.exp,
    "ln": vemiral.ln,
    "log": vemiral.log,
    # sqrt(u) is u ** 0.5: a power the chains close over (folded like one).
    "sqrt": lambda u: _fold(_power, u, 0.5),
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
    fold to what the evaluation of that operation gives (inf, NaN, NaN)."""
    if isinstance(a, float) and isinstance(b, float):
        try:
            folded = op(a, b)
        except (ArithmeticError, ValueError):
            folded = None
        if isinstance(folded, float):
            return folded
        return _evaluated(op(vemiral.ASTnum(a), b))
    return op(a, b)


def _evaluated(node: Value) -> float:
    """The value of a tree without variables, as evaluation computes it."""
    if isinstance(node, float):
        return node
    return float(node.evaluate((1,), threads=1)[0])


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
    parsed, columns = _one_line(text)
    try:
        value = _Reader(parsed, variables, columns).read()
    except _Unread as unread:
        if len(parsed) > AST_LENGTH:
            raise ValueError(str(unread)) from None
        value = _read_with_ast(parsed, variables, columns, str(unread))
    if isinstance(value, float):
        return vemiral.ASTnum(value)
    return value


def _one_line(text: str) -> tuple[str, _Columns]:
    """The text as it is read (one line, `^` as `**`), and its columns as written."""
    # One line, so that a column says where; line breaks are spaces in a formula.
    line = " ".join(text.splitlines())
    body = line.lstrip()  # Python would take leading blanks for an indent
    parsed, shifts = _caret_as_power(body)
    return parsed, _Columns(parsed, shifts, len(line) - len(body))


def _read_with_ast(parsed: str, variables: Mapping[str, vemiral.ASTnode], columns: _Columns, unread: str) -> Value:
    """The value of a text the plain reader did not take, read with the ast module:
    its refusal, or the value where the plain reader is stricter than Python."""
    try:
        tree = ast.parse(parsed, mode="eval")
    except SyntaxError as error:
        column = columns.at_character((error.offset or 1) - 1)
        raise ValueError(f"syntax error: {error.msg} (column {column})") from None
    except (RecursionError, MemoryError):
        # Nested too deeply for Python's parser: the plain reader says why it stopped.
        raise ValueError(unread) from None
    return _build(tree.body, variables, columns)


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


# --- the plain reader ---------------------------------------------------------

# Numbers as Python writes them (the value is Python's own conversion of the
# token), names (with the "(" that makes a call; as in Python, every character
# beyond ASCII counts as part of a name until the name is checked), the
# operators of a formula, and any other character, which stops the reader.
_TOKEN = re.compile(
    r"\*\*|[-+*/()]"
    r"|[A-Za-z_\x80-\U0010ffff][A-Za-z0-9_\x80-\U0010ffff]*(?:[ \t\f]*\()?"
    r"|0[xX](?:_?[0-9a-fA-F])+|0[oO](?:_?[0-7])+|0[bB](?:_?[01])+"
    r"|(?:[0-9](?:_?[0-9])*(?:\.(?:[0-9](?:_?[0-9])*)?)?|\.[0-9](?:_?[0-9])*)(?:[eE][+-]?[0-9](?:_?[0-9])*)?"
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

    def __init__(self, text: str, variables: Mapping[str, vemiral.ASTnode], columns: _Columns) -> None:
        self.text = text
        self.variables = variables
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
                _, opening, _ = operators.pop()
                self.open -= 1
                value = _built(operands.pop())
                operands.append(value if opening == "(" else self._call(opening, value))
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

    def _number(self, word: str, start: int) -> float:
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
        if word in self.variables:
            return self.variables[word]
        if word in CONSTANTS:
            return CONSTANTS[word]
        if word in _KEYWORDS:
            raise self._unexpected(start)
        where = self._column(start)
        if word in FUNCTIONS:
            raise _Unread(f"function '{word}' used without a call (column {where})")
        axes = ", ".join(self.variables) or "none"
        raise _Unread(f"unknown name '{word}' (column {where}); the grid's axes are {axes}")

    def _function(self, word: str, start: int) -> str:
        if not word.isascii():
            word = self._identifier(word, start)
        if word not in FUNCTIONS:
            if word in _KEYWORDS:
                raise self._unexpected(start)
            raise _Unread(f"call to '{word}' is not allowed in an expression (column {self._column(start)})")
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

    @staticmethod
    def _call(function: str, argument: Read) -> Read:
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
    if isinstance(value, float):
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
