"""Reading formulas: the plain reader against Python's own reading, long sums and
products against NumPy, constants folded as evaluation folds them, columns."""

import functools
import operator
import os
import random

import numpy as np
import pytest
import sympy as sp
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vemiral as vm
from vemiral_grid import Grid, _parse

from depth import examples
from helpers import same_bits_but_nan

GRID = Grid(x=(0.1, 0.9, 5), y=(-0.7, 1.3, 4))
X, Y = np.meshgrid(GRID.coords["x"], GRID.coords["y"], indexing="ij")

# --- the plain reader gives the tree Python's reading gives ------------------------

NUMBERS = ["3", "3.0", ".5", "2.", "1e-3", "2.5E+2", "1_000", "1_0.2_5", "0x1F", "0o17", "0b101", "0", "00",
           "007", "1e400", "9" * 400, "1j", "0x", "1__0", "1e", "1.5.2"]
NAMES = ["x", "y", "pi", "e", "z", "sin", "None", "lambda", "ｘ", "é", "€", "ﬁ", "ｌａｍｂｄａ", "x·y"]
FUNCTIONS = ["sin", "cos", "tan", "cot", "exp", "ln", "log", "sqrt", "foo", "x"]
OPERATORS = ["+", "-", "*", "/", "**", "^", "//", "%", ""]


def _blank(draw):
    return draw(st.sampled_from(["", "", " ", "  ", "\t"]))


@st.composite
def formulas(draw, depth=4):
    """Texts in (and a little beyond) the grammar of a formula, with odd spacing."""
    if depth == 0 or draw(st.integers(0, 3)) == 0:
        return draw(st.sampled_from(NUMBERS + NAMES))
    kind = draw(st.integers(0, 4))
    if kind == 0:
        return draw(st.sampled_from(["-", "+", "--", "-+"])) + _blank(draw) + draw(formulas(depth - 1))
    if kind == 1:
        return f"{draw(st.sampled_from(FUNCTIONS))}{_blank(draw)}({draw(formulas(depth - 1))})"
    if kind == 2:
        return f"({_blank(draw)}{draw(formulas(depth - 1))}{_blank(draw)})"
    items = [draw(formulas(depth - 1)) for _ in range(draw(st.integers(2, 5)))]
    text = items[0]
    for item in items[1:]:
        text += _blank(draw) + draw(st.sampled_from(OPERATORS)) + _blank(draw) + item
    return text


def outcome(read, text):
    """("tree", repr, values) or ("error", message, None)."""
    try:
        value = read(text)
    except ValueError as error:
        return ("error", str(error), None)
    if isinstance(value, float | complex):  # a number: the tree the public reading makes of it
        value = GRID.expression(value)
    return ("tree", repr(value), GRID.evaluate(value))


def read_plain(text):
    parsed, columns = _parse._one_line(text)
    try:
        return _parse._Reader(parsed, GRID.variables, columns).read()
    except _parse._Unread as unread:
        raise ValueError(str(unread)) from None


def read_with_ast(text):
    parsed, columns = _parse._one_line(text)
    return _parse._read_with_ast(parsed, GRID.variables, columns, "")


@settings(max_examples=examples(400), derandomize=True, deadline=None, database=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much])
@given(formulas())
def test_the_plain_reader_takes_what_python_takes_and_builds_the_same_tree(text):
    """Python's reading is the reference: the same tree, or the same refusal in
    the same words; the plain reader takes every ASCII formula Python takes
    but those with a modulo, which it leaves to Python's reading."""
    python = outcome(read_with_ast, text)
    public = outcome(GRID.expression, text)
    assert public[:2] == python[:2], text
    plain = outcome(read_plain, text)
    if plain[0] == "tree":
        assert plain[1] == python[1], text
        assert same_bits_but_nan(plain[2], python[2]), text
    else:
        assert python[0] == "error" or not text.isascii() or "%" in text, text


# --- long sums and products --------------------------------------------------------

TERMS = {
    "sin(k*x*y)": (lambda k, x, y: vm.sin(k * x * y), lambda k: np.sin(k * X * Y)),
    "sin(k*x)*y": (lambda k, x, y: vm.sin(k * x) * y, lambda k: np.sin(k * X) * Y),
}


def left(op, terms):
    return functools.reduce(op, terms)


def right(op, terms):
    return functools.reduce(lambda acc, term: op(term, acc), reversed(terms))


def balanced(op, terms):
    while len(terms) > 1:
        terms = [op(*terms[i : i + 2]) if i + 1 < len(terms) else terms[i] for i in range(0, len(terms), 2)]
    return terms[0]


# Left- or right-nested, a run of sums is as deep as it is long: 9,990 terms
# of depth 4 fill the tree's 10,000 levels.
@pytest.mark.parametrize("shape", [left, right, balanced], ids=lambda f: f.__name__)
@pytest.mark.parametrize("term", list(TERMS))
@pytest.mark.parametrize("op, n", [(operator.add, 9_990), (operator.mul, 9_990)], ids=["sum", "product"])
def test_long_sums_and_products_lower_at_once_and_match_numpy(term, shape, op, n):
    build, direct = TERMS[term]
    if term == "sin(k*x)*y" and op is operator.mul:
        n = 12  # a polynomial in y of degree n: its closed form doubles with every factor
    elif os.environ.get("VEMIRAL_UNDER_SANITIZER"):
        n = 2_000  # the sanitizers check memory, not scale (the depth limit's tests go deep)
    tree = shape(op, [build(k, GRID.x, GRID.y) for k in range(1, n + 1)])
    values = GRID.evaluate(tree)  # about two seconds: a lowering that went quadratic would show in the run's time
    expected = functools.reduce(op, [direct(k) for k in range(1, n + 1)])
    scale = np.abs(expected).max() if op is operator.mul else n
    np.testing.assert_allclose(values, expected, rtol=1e-9, atol=1e-11 * scale)


def depth(node):
    deepest, stack = 0, [(node, 1)]
    while stack:
        node, level = stack.pop()
        deepest = max(deepest, level)
        if isinstance(node, vm.ASTbin):
            stack += [(node.left, level + 1), (node.right, level + 1)]
        elif isinstance(node, vm.ASTun):
            stack.append((node.child, level + 1))
    return deepest


def test_a_flat_sum_of_100000_terms_is_read_balanced_and_a_short_one_as_python_reads_it():
    n = 100_000
    text = " - ".join(f"{k}*x" for k in range(n))
    node = GRID.expression(text)  # about 2 s on an idle machine
    assert depth(node) <= 20
    np.testing.assert_allclose(GRID.evaluate(node), -(n - 1) * n / 2 * X, rtol=1e-12)
    short = " - ".join(f"{k}*x" for k in range(2000))
    assert repr(GRID.expression(short)) == repr(functools.reduce(operator.sub, [k * GRID.x for k in range(2000)]))


@pytest.mark.parametrize("seed", range(3))
def test_runs_beyond_the_depth_limit_keep_every_sign(seed):
    """Balanced halves subtract (divide) the half after a minus (division sign)
    with its operators inverted. Every partial result here is exact."""
    rng = random.Random(seed)
    words = rng.choices("+-", k=20_000)
    text = "x" + "".join(f" {w} {k}*x" for k, w in enumerate(words, 2))
    grid = Grid(x=(1.0, 4.0, 4))
    total = 1 + sum(k if w == "+" else -k for k, w in enumerate(words, 2))
    assert grid.evaluate(text).tolist() == [total * x for x in (1.0, 2.0, 3.0, 4.0)]
    words = rng.choices("*/", k=20_000)
    power = 1 + words.count("*") - words.count("/")
    assert Grid(x=(2.0, 2.0, 1)).evaluate("x" + "".join(f" {w} x" for w in words)).tolist() == [2.0**power]


# --- constants fold as evaluation folds them -------------------------------------------


@pytest.mark.parametrize(
    "text, same_as",
    [("sqrt(-1)", "(-1)**0.5"), ("x + sqrt(-4)", "x + nan"), ("1/0", "inf"), ("(-8)**(1/3)", "nan"),
     ("10.0**400 - x", "inf - x"), ("sqrt(4) * x", "2.0 * x"),
     (sp.Pow(-4, sp.Rational(1, 2), evaluate=False) + sp.Symbol("x"), "x + nan")],
    ids=["sqrt(-1)", "x+sqrt(-4)", "1/0", "cube-root", "overflow", "sqrt(4)", "sympy-sqrt(-4)"],
)
def test_constants_fold_to_what_evaluation_gives_never_to_complex_numbers(text, same_as):
    values, expected = GRID.evaluate(text), GRID.evaluate(same_as.replace("nan", "(0/0)").replace("inf", "(1/0)"))
    assert same_bits_but_nan(values, expected)


# --- columns --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "text, column",
    [("ééé + )", 7), ("x + )", 5), ("é*(x", 3), ("ééé.real", 4), ("  ü + y.imag", 8), ("x^y ^ )", 7),
     ("ééé + " + " + ".join(["x"] * 40_000) + " + )", 7 + 4 * 40_000), ("θ + ) " + "+ θ" * 40_000, 5)],
    ids=["accents", "ascii", "never-closed", "attribute", "indent", "carets", "long", "long-unmatched"],
)
def test_errors_give_the_column_in_characters(text, column):
    grid = Grid(x=(0.1, 0.9, 5), y=(-0.7, 1.3, 4), ééé=(0, 1, 2), θ=(0, 1, 2), ü=(0, 1, 2))
    with pytest.raises(ValueError, match=rf"\(column {column}\)"):
        grid.expression(text)
