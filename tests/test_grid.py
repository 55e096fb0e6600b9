"""vemiral_grid.Grid: axes by range, expressions as strings, operators, SymPy, trees or callables; refusals."""

import random

import numpy as np
import pytest
import sympy as sp

import vemiral as vm
import vemiral_grid
from vemiral_grid import MAX_LENGTH, Grid

X, Y = sp.symbols("x y")

FORMS = {
    "sin(x*y) + cos(x+y)": (
        lambda x, y: vm.sin(x * y) + vm.cos(x + y),
        lambda x, y: vm.ASTbin(vm.ADD, vm.ASTun(vm.SIN, vm.ASTbin(vm.MUL, x, y)),
                               vm.ASTun(vm.COS, vm.ASTbin(vm.ADD, x, y))),
        sp.sin(X * Y) + sp.cos(X + Y),
    ),
    "exp(-(x^2 + y^2))": (
        lambda x, y: vm.exp(-(x**2 + y**2)),
        lambda x, y: vm.ASTun(vm.EXP, vm.ASTun(vm.NEG, vm.ASTbin(
            vm.ADD, vm.ASTbin(vm.POW, x, vm.ASTnum(2.0)), vm.ASTbin(vm.POW, y, vm.ASTnum(2.0))))),
        sp.exp(-(X**2 + Y**2)),
    ),
    "(x + 1)/(y + 2)": (
        lambda x, y: (x + 1) / (y + 2),
        lambda x, y: vm.ASTbin(vm.DIV, vm.ASTbin(vm.ADD, x, vm.ASTnum(1.0)), vm.ASTbin(vm.ADD, y, vm.ASTnum(2.0))),
        (X + 1) / (Y + 2),
    ),
    "sqrt(x + y)*pi - e": (
        lambda x, y: (x + y) ** 0.5 * np.pi - np.e,
        lambda x, y: vm.ASTbin(vm.SUB, vm.ASTbin(vm.MUL, vm.ASTbin(vm.POW, vm.ASTbin(vm.ADD, x, y), vm.ASTnum(0.5)),
                                                 vm.ASTnum(np.pi)), vm.ASTnum(np.e)),
        sp.sqrt(X + Y) * sp.pi - sp.E,
    ),
    "x/3 - 2*y": (
        lambda x, y: x / 3 - 2 * y,
        lambda x, y: vm.ASTbin(vm.SUB, vm.ASTbin(vm.DIV, x, vm.ASTnum(3.0)), vm.ASTbin(vm.MUL, vm.ASTnum(2.0), y)),
        X / 3 - 2 * Y,
    ),
    "3*x**2*y - 2*x*y + y**3 - 7": (
        lambda x, y: 3 * x**2 * y - 2 * x * y + y**3 - 7,
        None,
        3 * X**2 * Y - 2 * X * Y + Y**3 - 7,
    ),
}


@pytest.fixture
def grid():
    return Grid(x=(0.0, 1.0, 50), y=(1.0, 3.0, 40))


@pytest.mark.parametrize("text", list(FORMS))
def test_string_operators_tree_and_sympy_give_the_same_array(grid, text):
    operators, tree, symbolic = FORMS[text]
    expected = grid.evaluate(text)
    assert expected.shape == (50, 40) and expected.dtype == np.float64 and expected.flags.c_contiguous
    assert grid.evaluate(operators).tobytes() == expected.tobytes()
    assert grid.evaluate(operators(grid.x, grid.y)).tobytes() == expected.tobytes()
    if tree is not None:
        assert grid.evaluate(tree(grid.x, grid.y)).tobytes() == expected.tobytes()
    # SymPy reorders sums of three or more terms, which changes the rounding.
    from_sympy = grid.evaluate(symbolic)
    if len(sp.Add.make_args(symbolic)) <= 2:
        assert from_sympy.tobytes() == expected.tobytes()
    np.testing.assert_allclose(from_sympy, expected, rtol=0, atol=1e-13 * np.abs(expected).max())


def test_axes_are_closed_ranges_in_keyword_order():
    grid = Grid(t=(1.0, 2.0, 5), s=(-1.0, 1.0, 3))
    assert grid.shape == (5, 3) and grid.names == ("t", "s") and grid.ndim == 2
    assert (grid.t.index, grid.t.start, grid.t.step) == (0, 1.0, 0.25)
    assert (grid.s.index, grid.s.start, grid.s.step) == (1, -1.0, 1.0)
    np.testing.assert_array_equal(grid.coords["t"], np.linspace(1.0, 2.0, 5))
    assert list(grid.coords) == ["t", "s"]
    values = grid.evaluate("t + 10*s")
    np.testing.assert_allclose(values, grid.coords["t"][:, None] + 10 * grid.coords["s"][None, :], rtol=1e-15)


def test_from_steps_and_coordinates_as_start_plus_i_step():
    grid = Grid.from_steps(x=(0.1, 0.3, 7))
    assert grid.x.step == 0.3 and grid.shape == (7,)
    assert grid.coords["x"].tobytes() == (0.1 + np.arange(7) * 0.3).tobytes()
    assert Grid(x=(2.0, 9.0, 1)).coords["x"].tolist() == [2.0]


@pytest.mark.parametrize(
    "axes, error, words",
    [
        ({}, ValueError, "at least one axis"),
        ({"x": (0, 1, 0)}, ValueError, "num must be at least 1"),
        ({"x": (0, 1, 2.0)}, TypeError, "num must be an int"),
        ({"x": (0, float("inf"), 3)}, ValueError, "stop must be finite"),
        ({"x": (0, 1)}, ValueError, "tuple of three"),
        ({"x": (0, "1", 3)}, TypeError, "stop must be a real number"),
        ({"sin": (0, 1, 3)}, ValueError, "'sin' cannot name an axis"),
        ({"e": (0, 1, 3)}, ValueError, "'e' cannot name an axis"),
        ({"shape": (0, 1, 3)}, ValueError, "'shape' cannot name an axis"),
        ({"_x": (0, 1, 3)}, ValueError, "'_x' cannot name an axis"),
    ],
    ids=["none", "num-0", "num-float", "stop-inf", "pair", "stop-str", "sin", "e", "shape", "underscore"],
)
def test_bad_axes_are_refused(axes, error, words):
    with pytest.raises(error, match=words):
        Grid(**axes)


def test_numpy_integers_count_points():
    assert Grid(x=(0, 1, np.int64(4))).shape == (4,)


REFUSED = [
    ("x.real", "attribute access", 2),
    ("x[0]", "subscript", 2),
    ("x is y", "operator is", 3),
    ("x << y", "operator <<", 3),
    ("lambda: x", "lambda", 1),
    ("sin(x=1)", "keyword argument 'x'", 5),
    ("foo(x)", "call to 'foo'", 1),
    ("x.sin(y)", "call of attribute access", 1),
    ("x // y", "operator //", 3),
    ("True + x", "constant True", 1),
    ("'a'", "constant 'a'", 1),
    ("None*x", "constant None", 1),
    ("(x, y)", "tuple", 1),
    ("[x for x in y]", "list comprehension", 1),
    ("y ^ 2 + x @ y", "operator @", 11),
    ("  x.real", "attribute access", 4),
]


@pytest.mark.parametrize("text, construct, column", REFUSED, ids=[t for t, _, _ in REFUSED])
def test_refused_constructs_are_named_with_their_column(grid, text, construct, column):
    with pytest.raises(ValueError) as info:
        grid.evaluate(text)
    assert construct in str(info.value) and f"column {column}" in str(info.value)


@pytest.mark.parametrize(
    "text, words",
    [
        ("z + 1", "unknown name 'z' (column 1); the grid's axes are x, y"),
        ("x + ", "syntax error"),
        ("", "empty"),
        ("sin", "function 'sin' used without a call"),
        ("sin(x, y)", "sin() takes one argument, 2 given"),
        ("(" * 300 + "x" + ")" * 300, "syntax error"),
        ("-" * 20_000 + "x", "nested deeper than 10000 levels"),
        ("x" + "**x" * 20_000, "nested deeper than 10000 levels"),
        ("x+" * (MAX_LENGTH // 2) + "x", f"longer than the limit of {MAX_LENGTH}"),
        ("1" * 5000, "syntax error"),
    ],
    ids=["unknown", "syntax", "empty", "bare-function", "two-args", "parentheses", "signs", "power-tower",
         "too-long", "huge-literal"],
)
def test_bad_strings_are_value_errors_never_recursion_errors(grid, text, words):
    with pytest.raises(ValueError) as info:
        grid.expression(text)
    assert words in str(info.value)


def test_sympy_divides_as_people_write_it(grid):
    assert repr(grid.expression(1 / (X * Y**2))) == "1.0/(x0*x1**2.0)"
    assert grid.evaluate(1 / (X * Y**2)).tobytes() == grid.evaluate("1/(x*y**2)").tobytes()


def test_caret_is_power_and_binds_like_it(grid):
    assert repr(grid.expression("x^2 + 1")) == "x0**2.0 + 1.0"
    assert repr(grid.expression("2^-x^y")) == "2.0**-x0**x1"
    assert repr(grid.expression("-2*x/3 + 2*pi")) == "-2.0*x0/3.0 + 6.283185307179586"


@pytest.mark.parametrize(
    "expr, words",
    [
        (sp.zeta(X), "zeta"),
        (sp.Xor(X > 0, Y > 0), "Xor"),
        (sp.Function("f")(X), "SymPy f"),
        (X + sp.Symbol("z"), "symbol 'z' is no axis of the grid (axes: x, y)"),
        (sp.zoo * X, "ComplexInfinity"),
        (sp.frac(X), "frac"),
        (sp.Integer(10**400) * X, "too large for a float"),
    ],
    ids=["zeta", "Xor", "undefined", "free-symbol", "zoo", "frac", "huge"],
)
def test_sympy_constructs_without_a_translation_are_named(grid, expr, words):
    with pytest.raises(ValueError, match=words.replace("(", r"\(").replace(")", r"\)")):
        grid.evaluate(expr)


def test_other_inputs(grid):
    assert grid.evaluate(2).tolist() == np.full((50, 40), 2.0).tolist()
    with pytest.raises(TypeError, match="not list"):
        grid.evaluate([1])
    with pytest.raises(ValueError, match="returned str"):
        grid.evaluate(lambda x, y: "x")
    with pytest.raises(ValueError, match="uses dimension 2, but the grid has 2"):
        grid.evaluate(grid.x + vm.ASTvar(2, 0.0, 1.0))


def test_out_is_filled_and_returned(grid):
    out = np.full((50, 40), np.nan)
    assert grid.evaluate("x*y", out=out) is out
    assert out.tobytes() == grid.evaluate("x*y").tobytes()


def test_progress_bar_on_stderr_fills_the_same_array(grid, capfd, monkeypatch):
    # Slabs of whole tiles give what one call with the same tiles gives.
    quiet = grid.evaluate("sin(x*y)", progress=False, tile=8)
    assert capfd.readouterr() == ("", "")
    shown = grid.evaluate("sin(x*y)", progress=True, tile=8)
    out, err = capfd.readouterr()
    assert out == "" and "vemiral evaluate:" in err and "/2.00k [" in err  # points done of 2000
    assert shown.tobytes() == quiet.tobytes()
    # Large grids show it unasked on a terminal only; small ones stay silent.
    monkeypatch.setattr(vemiral_grid._progress, "PROGRESS_THRESHOLD", 50 * 40 - 1)
    grid.evaluate("x")
    assert capfd.readouterr() == ("", "")
    monkeypatch.setattr(vemiral_grid._progress, "on_terminal", lambda: True)
    grid.evaluate("x")
    assert "vemiral evaluate" in capfd.readouterr().err
    monkeypatch.setattr(vemiral_grid._progress, "PROGRESS_THRESHOLD", 50 * 40)
    grid.evaluate("x")
    assert capfd.readouterr() == ("", "")


# --- random strings against NumPy -------------------------------------------------

# Each generator returns (text, NumPy value) over arguments kept away from poles
# and from the edges of the functions' domains.
def _random_expression(rng, x, y, depth):
    if depth == 0 or rng.random() < 0.25:
        choice = rng.randrange(4)
        if choice == 0:
            return "x", x
        if choice == 1:
            return "y", y
        if choice == 2:
            return "pi", np.pi + 0 * x
        value = round(rng.uniform(0.1, 3.0), 3)
        return repr(value), value + 0 * x
    a_text, a = _random_expression(rng, x, y, depth - 1)
    b_text, b = _random_expression(rng, x, y, depth - 1)
    kind = rng.randrange(10)
    if kind == 0:
        return f"({a_text}) + ({b_text})", a + b
    if kind == 1:
        return f"({a_text}) - ({b_text})", a - b
    if kind == 2:
        return f"({a_text})*({b_text})", a * b
    if kind == 3:
        return f"({a_text})/(2 + sin({b_text}))", a / (2 + np.sin(b))
    if kind == 4:
        return f"sin({a_text})", np.sin(a)
    if kind == 5:
        return f"cos({a_text}) {rng.choice(['^', '**'])} 2", np.cos(a) ** 2
    if kind == 6:
        return f"exp(-({a_text})^2)", np.exp(-(a**2))
    if kind == 7:
        return f"ln(1 + ({a_text})**2)", np.log(1 + a**2)
    if kind == 8:
        return f"sqrt(e + cos({a_text}))", np.sqrt(np.e + np.cos(a))
    return f"-{a_text}", -a


@pytest.mark.parametrize("seed", range(40))
def test_random_strings_against_numpy(seed):
    rng = random.Random(seed)
    grid = Grid(x=(0.1, 1.3, 23), y=(-0.7, 0.9, 17))
    c = grid.coords
    text, expected = _random_expression(rng, c["x"][:, None], c["y"][None, :], 4)
    expected = np.broadcast_to(expected, grid.shape)
    values = grid.evaluate(text)
    # The chains step by additions and multiplications along each axis: a few
    # hundred roundings at most between them and NumPy's direct evaluation.
    np.testing.assert_allclose(values, expected, rtol=1e-10, atol=1e-10, err_msg=text)


def test_a_formula_read_again_takes_each_calls_axes_and_parameters():
    """Evaluating keeps the trees of recent strings: a grid of other axes, other
    parameters or fewer dimensions must still get its own values or refusal."""
    one, other = Grid(x=(0, 1, 5)), Grid(x=(0, 2, 5))
    for _ in range(2):
        for grid, k in [(one, 2.0), (other, 2.0), (one, 3.0)]:
            assert np.array_equal(grid.evaluate("k*x", k=k), k * grid.coords["x"])
    node = Grid(x=(0, 1, 3), y=(0, 1, 3)).expression("x*y")
    for _ in range(2):
        with pytest.raises(ValueError, match="uses dimension 1, but the grid has 1"):
            one.evaluate(node)
