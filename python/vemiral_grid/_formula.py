"""A formula on a grid: what a user may pass as one (Expression), the numbers it
names (its parameters), its tree, and the tree prepared for evaluation.

Every entry point reads a formula through here: the grid's methods, its
writers and its reductions, which take the grid as an argument and know
nothing else of it but its axes and variables.
"""

from __future__ import annotations

import cmath
import keyword
import re
import unicodedata
from collections import OrderedDict
from collections.abc import Callable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, TypeAlias

import numpy as np

import vemiral

from . import _complex, _options, _parse, _sympy
from ._options import Method
from ._values import Node, prepare

if TYPE_CHECKING:
    from ._grid import Grid

# SymPy expressions too (SymPy has no annotations: they type as Any); a
# formula with a complex number in it is a ComplexNode, a pair of real trees.
# Parameters are typed complex, which takes floats and ints too.
Expression: TypeAlias = "str | vemiral.ASTnode | _complex.ComplexNode | complex | Callable[..., Any]"
Tile: TypeAlias = "int | Sequence[int] | None"


def name_problem(name: str) -> str | None:
    """Why a formula could never use `name` (for an axis or a parameter), or None."""
    if not name.isidentifier() or keyword.iskeyword(name):
        return "it is not a Python name"
    if unicodedata.normalize("NFKC", name) != name:
        return f"Python reads it as '{unicodedata.normalize('NFKC', name)}'"
    if name in _parse.RESERVED:
        return "it is taken by a function or constant"
    return None


def parameters_of(
    grid: Grid,
    params: Mapping[str, object] | None,
    keywords: Mapping[str, object],
    expr: object = None,
    options: Sequence[str] = ("params",),
) -> dict[str, Any]:
    """The parameters of a formula, given as a mapping, as keywords or both: each a
    finite real or complex number (NumPy's and SymPy's too) under a name a formula can use
    and no axis or function takes; anything else is a ValueError naming it. A
    keyword that `expr` (a string, SymPy expression or node; or a mapping of
    names to formulas, which share the parameters) does not name is the
    TypeError of a misspelt option (`options` are the entry point's, listed in
    the message), found before any value is read (a mapping of parameters may
    hold more, to be shared by formulas)."""
    named = list(expr.values()) if isinstance(expr, Mapping) else [expr]
    for name in keywords:
        _check_name(grid, name)
        if not any(_names(each, name) for each in named):
            raise _options.unexpected(name, options)
    if params is not None and not isinstance(params, Mapping):
        raise ValueError(f"params must be a mapping of names to numbers, not {type(params).__name__}")
    given = dict(params or {})
    for name in keywords:
        if name in given:
            raise ValueError(f"parameter '{name}' is given twice, in params and as a keyword")
    given.update(keywords)
    checked = {}
    for name, value in given.items():
        _check_name(grid, name)
        try:
            number = scalar(value)
        except TypeError:
            raise ValueError(f"parameter '{name}' must be a finite real number, not {type(value).__name__}") from None
        except ValueError:
            raise ValueError(f"parameter '{name}' is too large for a float") from None
        if not cmath.isfinite(number):
            kind = "complex" if isinstance(number, complex) else "real"
            raise ValueError(f"parameter '{name}' must be a finite {kind} number, not {number}")
        checked[name] = number
    return checked


def scalar(value: object) -> float | complex:
    """A parameter's number: a real one as _options.real reads it, else a
    complex number (Python's, NumPy's, SymPy's); TypeError for anything else."""
    try:
        return _options.real(value)
    except TypeError:
        number: Any = value
        if _complex.is_complex(value) or (_sympy.is_sympy(value) and number.is_number):
            try:
                return complex(number)
            except OverflowError:
                raise ValueError("too large for a float") from None
        raise


def _check_name(grid: Grid, name: object) -> None:
    if not isinstance(name, str):
        raise ValueError(f"a parameter's name is a string, not {type(name).__name__} {name!r}")
    if name in grid.names:
        raise ValueError(f"'{name}' cannot name a parameter: it is an axis of the grid")
    problem = name_problem(name)
    if problem:
        raise ValueError(f"'{name}' cannot name a parameter: {problem}")


def _names(expr: object, name: str) -> bool:
    """Whether `expr` may name `name` (a callable is asked when it is called)."""
    if isinstance(expr, str):
        return re.search(rf"(?<![\w.]){re.escape(name)}(?!\w)", expr) is not None
    if _sympy.is_sympy(expr):
        return any(getattr(s, "name", None) == name for s in expr.free_symbols)  # type: ignore[attr-defined]
    return callable(expr) and not isinstance(expr, vemiral.ASTnode)


def tree(grid: Grid, expr: object, values: Mapping[str, complex]) -> Node:
    """The tree of `expr` on `grid` with the checked parameter `values` (see
    Grid.expression for what `expr` may be)."""
    variables = grid.variables
    node: Node
    if isinstance(expr, str):
        return _parse.parse(expr, variables, values)
    if isinstance(expr, vemiral.ASTnode):
        node = expr
    elif _sympy.is_sympy(expr):
        return _sympy.translate(expr, variables, values)
    elif isinstance(expr, int | float | np.integer | np.floating) and not isinstance(expr, bool):
        node = vemiral.ASTnum(float(expr))
    elif _complex.is_complex(expr):
        node = _complex.lifted(expr)
    elif callable(expr):
        result = expr(**variables, **values)
        if isinstance(result, vemiral.ASTnode):
            node = result
        elif _sympy.is_sympy(result):
            return _sympy.translate(result, variables, values)
        elif isinstance(result, int | float | np.integer | np.floating) and not isinstance(result, bool):
            node = vemiral.ASTnum(float(result))
        elif _complex.is_complex(result):
            node = _complex.lifted(result)
        else:
            raise ValueError(f"the callable returned {type(result).__name__}, not an expression node")
    else:
        raise TypeError(
            "an expression is a string, a vemiral node, a SymPy expression, a number or a callable, "
            f"not {type(expr).__name__}"
        )
    _check_dimensions(grid, node)
    return node


# Trees of strings that evaluate parsed lately, by text, axes and parameters:
# a formula evaluated again and again (a small grid in a loop) is read once.
_PARSED: OrderedDict[tuple[Any, ...], Node] = OrderedDict()
# The highest dimension each tree checked lately uses, by the tree's identity
# (the tree kept with it, so that the identity stays its own).
_HIGHEST: OrderedDict[int, tuple[Node, int]] = OrderedDict()
_KEPT = 64


def _kept(cache: OrderedDict[Any, Any], key: Any, value: Any) -> None:
    cache[key] = value
    if len(cache) > _KEPT:
        cache.popitem(last=False)


def evaluated_tree(grid: Grid, expr: object, values: Mapping[str, complex]) -> Node:
    """`tree`, for evaluating only: the tree of a string comes from the last
    ones read when the text, the axes and the parameters are the same (trees
    are never changed by an evaluation; a tree handed to a user may be, by
    crinit, so `expression` reads the text anew)."""
    if not isinstance(expr, str):
        return tree(grid, expr, values)
    key = (expr, grid.axes, tuple(values.items()))
    node = _PARSED.get(key)
    if node is None:
        node = tree(grid, expr, values)
        _kept(_PARSED, key, node)
    return node


def _check_dimensions(grid: Grid, root: Node) -> None:
    kept = _HIGHEST.get(id(root))
    highest = kept[1] if kept is not None and kept[0] is root else _highest_dimension(root)
    if kept is None:
        _kept(_HIGHEST, id(root), (root, highest))
    # A variable beyond the grid's dimensions would silently stand still.
    if highest >= grid.ndim:
        raise ValueError(
            f"the expression uses dimension {highest}, but the grid has {grid.ndim} ({', '.join(grid.names)})"
        )


def _highest_dimension(root: Node) -> int:
    highest = -1
    seen: set[int] = set()
    stack = [part for part in _complex.parts_of(root) if isinstance(part, vemiral.ASTnode)]
    while stack:
        node = stack.pop()
        if id(node) in seen:
            continue
        seen.add(id(node))
        if isinstance(node, vemiral.ASTvar):
            highest = max(highest, node.index)
        # Through the class: a user's own attribute named left or child may
        # shadow the field on an instance.
        elif isinstance(node, vemiral.ASTbin):
            stack += [vemiral.ASTbin.left.__get__(node), vemiral.ASTbin.right.__get__(node)]
        elif isinstance(node, vemiral.ASTun):
            stack.append(vemiral.ASTun.child.__get__(node))
        elif isinstance(node, vemiral.ASTfun):
            stack += vemiral.ASTfun.arguments.__get__(node)
    return highest


def prepared(
    grid: Grid, expr: object, tile: Tile, values: Mapping[str, complex] | None, method: Method = "accurate"
) -> Node:
    """The tree of `expr`, once its chain has been built for the tile at the
    grid's first point: an expression the algebra refuses (MemoryError for
    one whose chain would be too large) is refused here, before any block
    is planned, written or sent to a worker."""
    node = tree(grid, expr, parameters_of(grid, values, {}, expr))
    prepare(node, grid.ndim, tile, method)
    return node
