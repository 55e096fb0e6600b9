"""Grid evaluation: row-major values, refusals that keep the node intact, and a differential check against math."""

import math
import signal
import time

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import vemiral as vm

from depth import examples
from helpers import (
    C_ADD,
    C_COS,
    C_COT,
    C_DIV,
    C_EXP,
    C_LN,
    C_MUL,
    C_NEG,
    C_POW,
    C_SIN,
    C_SUB,
    C_TAN,
    N,
    V,
    add,
    apply,
    bin_,
    cos,
    div,
    exp,
    grid_points,
    mul,
    num,
    pow_,
    shape_id,
    sin,
    sub,
    un,
    var,
)


@pytest.fixture
def run(native):
    def evaluate(node, extents):
        node.crinit(extents)
        values = node.creval()
        native()
        return values

    return evaluate


# --- grid order and simple values ---------------------------------------------------


def test_variable_with_fractional_step(run):
    assert run(vm.ASTvar(0, 2.0, 0.5), [3]) == [2.0, 2.5, 3.0]


def test_two_dimensions_in_row_major_order(run):
    e = vm.ASTbin(vm.ADD, var(0, 0.0, 1.0), var(1, 0.0, 10.0))
    assert run(e, [2, 3]) == [0.0, 10.0, 20.0, 1.0, 11.0, 21.0]


def test_three_dimensions_in_row_major_order(run):
    # 100 i + 10 j + k in every order of operands: the position of each value
    # spells its grid point.
    x, y, z = var(0, 0.0, 100.0), var(1, 0.0, 10.0), var(2, 0.0, 1.0)
    for e in (
        vm.ASTbin(vm.ADD, vm.ASTbin(vm.ADD, x, y), z),
        vm.ASTbin(vm.ADD, z, vm.ASTbin(vm.ADD, y, x)),
        vm.ASTbin(vm.ADD, y, vm.ASTbin(vm.ADD, z, x)),
    ):
        assert run(e, [2, 3, 4]) == [100.0 * i + 10.0 * j + k for i, j, k in grid_points([2, 3, 4])]


@pytest.mark.parametrize(
    "extents",
    [[1], [5], [1, 1], [4, 1], [1, 4], [2, 1, 3], [1, 1, 1, 2]],
    ids=shape_id,
)
def test_extents_of_one_are_fine(extents, run):
    # Depends on the last two dimensions (or the only one).
    last = len(extents) - 1
    e = vm.ASTbin(vm.MUL, var(last, 1.0, 2.0), var(max(last - 1, 0), 3.0, 1.0))
    values = run(e, extents)
    expected = [(1.0 + 2.0 * p[last]) * (3.0 + p[max(last - 1, 0)]) for p in grid_points(extents)]
    assert values == expected


def test_variable_of_a_dimension_beyond_the_grid_stays_at_its_start(run):
    assert run(var(3, 1.5, 1.0), [2, 2]) == [1.5] * 4


@pytest.mark.parametrize(
    "build, value",
    [
        (lambda: num(4.25), 4.25),
        (lambda: vm.ASTbin(vm.MUL, num(3.0), vm.ASTun(vm.SIN, num(0.0))), 0.0),
        (lambda: vm.ASTbin(vm.POW, num(2.0), num(0.5)), math.sqrt(2.0)),
    ],
    ids=["number", "folded-sine", "folded-root"],
)
def test_constant_tree_gives_its_value_everywhere(build, value, run):
    assert run(build(), [2, 3]) == [value] * 6


def test_cosine_values_are_the_cosine_not_the_sine(run):
    values = run(vm.ASTun(vm.COS, var(0, 0.3, 0.4)), [10])
    assert values == pytest.approx([math.cos(0.3 + 0.4 * t) for t in range(10)], abs=1e-14)


def test_repeated_creval_returns_equal_lists(native):
    e = vm.ASTbin(vm.MUL, vm.ASTun(vm.SIN, var(1, 0.1, 0.3)), vm.ASTun(vm.EXP, var(0, 0.2, 0.1)))
    e.crinit([3, 5])
    first = e.creval()
    second = e.creval()
    assert first == second
    assert first is not second
    first[0] = 99.0
    assert e.creval() == second


def test_new_crinit_changes_the_length_and_values(run):
    e = vm.ASTbin(vm.ADD, var(0, 1.0, 1.0), var(1, 0.0, 0.5))
    assert len(run(e, [2, 3])) == 6
    values = run(e, [3, 2, 2])
    assert values == [1.0 + i + 0.5 * j for i, j, _ in grid_points([3, 2, 2])]
    assert run(e, [1]) == [1.0]


# --- refusals -------------------------------------------------------------------------


def test_creval_before_crinit_is_refused(native):
    node = vm.ASTbin(vm.ADD, var(0), num(1.0))
    with pytest.raises(RuntimeError, match="crinit"):
        node.creval()
    assert native() == ("", "")


def test_creval_after_empty_extents_is_refused(native):
    node = var(0, 1.0, 1.0)
    assert node.crinit([]) is None
    assert native()[0] == "CRsum[1](CRnum(1), CRnum(1))"
    with pytest.raises(ValueError):
        node.creval()
    node.crinit([2])
    assert node.creval() == [1.0, 2.0]


BAD_EXTENTS = [
    ([0], ValueError, "zero"),
    ([3, 0], ValueError, "zero-inner"),
    ([0, 2**64 - 1, 2**64 - 1], ValueError, "zero-before-huge"),
    ([2**32, 2**32], OverflowError, "2^64-points"),
    ([2**63, 2, 1], OverflowError, "2^64-points-in-three"),
    ([2**64 - 1, 2**64 - 1], OverflowError, "2^128-points"),
    ([10**6, 10**6, 10**3], MemoryError, "10^15-points"),
    ([2**61], MemoryError, "2^61-points"),
    ([-1], TypeError, "negative"),
    ([2**64], TypeError, "2^64-extent"),
]


@pytest.mark.parametrize(
    "extents, error",
    [case[:2] for case in BAD_EXTENTS],
    ids=[f"{error.__name__}-{name}" for _, error, name in BAD_EXTENTS],
)
def test_refused_crinit_keeps_the_previous_grid(extents, error, native):
    e = vm.ASTbin(vm.MUL, var(0, 1.0, 1.0), var(1, 0.5, 0.5))
    e.crinit([2, 2])
    before = e.creval()
    assert before == [0.5, 1.0, 1.0, 2.0]
    native()
    with pytest.raises(error):
        e.crinit(extents)
    assert native()[0] == ""
    assert e.creval() == before


def test_refused_lowering_keeps_the_previous_state_of_every_node(native):
    x = var(0, 1.0, 1.0)
    bad = vm.ASTun(vm.FAC, x)
    x.crinit([2])
    with pytest.raises(ValueError, match="FAC"):
        bad.crinit([3])
    with pytest.raises(RuntimeError):
        bad.creval()
    assert x.creval() == [1.0, 2.0]


def test_long_evaluation_can_be_interrupted(native):
    # 16 million points of several transcendental calls each: seconds of work
    # even on a fast machine. The alarm fires after 20 ms; the evaluation must
    # stop at the next row instead of finishing the grid (a handler run only
    # after creval returned would raise too, but late).
    x, y = var(0, 1.0, 0.001), var(1, 1.0, 0.001)
    s = vm.ASTbin(vm.ADD, x, y)
    e = vm.ASTbin(
        vm.ADD,
        vm.ASTun(vm.LN, vm.ASTbin(vm.POW, s, vm.ASTun(vm.SIN, y))),
        vm.ASTun(vm.EXP, vm.ASTun(vm.SIN, vm.ASTun(vm.LN, s))),
    )
    e.crinit([4000, 4000])

    def on_alarm(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, on_alarm)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.02)
        started = time.perf_counter()
        with pytest.raises(KeyboardInterrupt):
            e.creval()
        assert time.perf_counter() - started < 1.0
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    native()
    # The node stays usable.
    e.crinit([2, 2])
    values = e.creval()
    expected = []
    for i, j in grid_points([2, 2]):
        xs_, ys_ = 1.0 + 0.001 * i, 1.0 + 0.001 * j
        expected.append(math.log((xs_ + ys_) ** math.sin(ys_)) + math.exp(math.sin(math.log(xs_ + ys_))))
    assert values == pytest.approx(expected, rel=1e-14)


# --- differential check against math ------------------------------------------------------
#
# Tolerance. The recurrences are exact in real arithmetic but accumulate
# rounding: sums of forward differences, running products, and sine/cosine
# rotations whose amplitude drifts. Every tree node is therefore allowed an
# error of TOL times its own magnitude scale (its largest absolute value over
# the grid; its value itself for exponentials, whose product chains err
# relatively; 1 for the bounded trigonometric functions), and these errors are
# propagated upward by first-order bounds (|a|eb + |b|ea for a product,
# ea / a for a logarithm, e^a ea for an exponential, and so on). A grid point
# is compared only where that bound is finite, i.e. away from poles, from the
# edge of a logarithm's or a fractional power's domain, and from overflow;
# there |creval - math| must stay below the bound. Where math gives a
# non-finite value whose domain verdict is certain, creval must give a
# non-finite value too. TOL = 1e-9 is several orders above the rounding the
# recurrences accumulate on these grids (up to 10^5 points) and far below
# anything a wrong rule would produce.

TOL = 1e-9
INF = math.inf


def propagate(node, v, args, errs):
    """First-order bound on the error of v from the errors of its arguments."""
    op = node.code
    if node.kind == "bin":
        (a, b), (ea, eb) = args, errs
        if op in (C_ADD, C_SUB):
            return ea + eb
        if op == C_MUL:
            return abs(a) * eb + abs(b) * ea + ea * eb
        if op == C_DIV:
            if abs(b) <= 2 * eb:
                return INF
            return (ea + abs(v) * eb) / (abs(b) - eb)
        # pow
        if eb == 0 and b.is_integer():
            if b >= 0 and abs(a) <= ea:
                return abs(b) * (abs(a) + ea) ** max(b - 1, 0) * 2 * ea if b > 0 else 0.0
            if abs(a) <= 2 * ea:
                return INF
            return abs(v) * math.expm1(abs(b) * ea / (abs(a) - ea))
        if a <= ea:
            return INF
        return abs(v) * math.expm1(abs(b) * ea / (a - ea) + abs(math.log(a)) * eb + ea * eb / (a - ea))
    (a,), (ea,) = args, errs
    if op == C_NEG:
        return ea
    if op == C_EXP:
        return abs(v) * math.expm1(ea)
    if op == C_LN:
        if a <= 2 * ea:
            return INF
        return -math.log1p(-ea / a)
    if op in (C_SIN, C_COS):
        return min(ea, 2.0)
    if op == C_TAN:
        d = abs(math.cos(a)) - ea
        return INF if d <= 0.5 * abs(math.cos(a)) or d <= 1e-3 else ea / (d * d)
    if op == C_COT:
        d = abs(math.sin(a)) - ea
        return INF if d <= 0.5 * abs(math.sin(a)) or d <= 1e-3 else ea / (d * d)
    raise AssertionError(op)


def certain_non_finite(node, args, errs):
    """True when a non-finite result cannot depend on rounding of the arguments."""
    if any(math.isinf(e) or math.isnan(e) for e in errs):
        return False
    if node.kind == "un" and node.code == C_LN:
        (a,), (ea,) = args, errs
        return math.isnan(a) or a < -2 * ea
    if node.kind == "bin" and node.code == C_POW:
        (a, b), (ea, eb) = args, errs
        if math.isnan(a) or math.isnan(b):
            return True
        return eb == 0 and not b.is_integer() and a < -2 * ea
    return any(math.isnan(x) for x in args)


def reference(tree, extents):
    """Values by math at every point, with an error bound for each (inf: not comparable)."""
    points = grid_points(extents)
    order = list(tree.nodes())
    values = {}
    for node in order:
        if node.kind == "num":
            column = [node.value] * len(points)
        elif node.kind == "var":
            d, s0, h = node.index, node.start, node.step
            column = [s0 + (p[d] if d < len(p) else 0) * h for p in points]
        else:
            column = [apply(node, args) for args in zip(*(values[id(c)] for c in node.children))]
        values[id(node)] = column
    errors = {}
    for node in order:
        column = values[id(node)]
        if node.kind == "num":
            errors[id(node)] = [0.0] * len(column)
            continue
        if node.kind == "var":
            # The chains' start + i*step errs by ulps of its terms, not of its value
            # (a point next to 0 of a grid that crosses it).
            d, s0, h = node.index, node.start, node.step
            errors[id(node)] = [TOL * (abs(s0) + abs((p[d] if d < len(p) else 0) * h)) for p in points]
            continue
        scale = max((abs(v) for v in column if math.isfinite(v)), default=0.0)
        if node.kind == "un" and node.code in (C_SIN, C_COS, C_TAN, C_COT, C_LN):
            own = lambda v: TOL * max(scale, 1.0)  # noqa: E731
        elif node.kind == "un" and node.code == C_EXP:
            own = lambda v: TOL * abs(v)  # noqa: E731
        else:
            own = lambda v: TOL * scale  # noqa: E731
        isfinite = math.isfinite
        out = []
        for v, args, errs in zip(
            column,
            zip(*(values[id(c)] for c in node.children)),
            zip(*(errors[id(c)] for c in node.children)),
        ):
            if not isfinite(v):
                out.append(0.0 if certain_non_finite(node, args, errs) else INF)
            elif not (all(map(isfinite, args)) and all(map(isfinite, errs))):
                out.append(INF)
            else:
                try:
                    out.append(propagate(node, v, args, errs) + own(v))
                except OverflowError:  # a bound beyond the doubles: nothing to compare
                    out.append(INF)
        errors[id(node)] = out
    return values[id(tree)], errors[id(tree)]


def compare(tree, extents, native):
    """Evaluates tree natively and by math; returns how many points were compared."""
    node = tree.native()
    node.crinit(extents)
    got = node.creval()
    native()
    want, bound = reference(tree, extents)
    assert len(got) == len(want)
    compared = 0
    for k, (g, w, e) in enumerate(zip(got, want, bound)):
        if math.isinf(e) or math.isnan(e):
            continue
        compared += 1
        if not math.isfinite(w):
            assert not math.isfinite(g), (tree, extents, k, g, w)
            continue
        assert abs(g - w) <= e + 4e-16 * abs(w), (tree, extents, k, g, w, e)
    return compared


X, Y, Z = V(0, 1.0, 1.0), V(1, 1.0, 1.0), V(2, 1.0, 1.0)
x, y, z = V(0, 0.3, 0.25), V(1, -0.7, 0.15), V(2, 0.45, -0.05)
xs, ys = V(0, 0.05, 0.003), V(1, -0.4, 0.0025)


FIXED = [
    ("x*y+y", add(mul(X, Y), Y), [4, 5]),
    ("x*y+y-fractional", add(mul(x, y), y), [6, 7]),
    ("1/z+x*y", add(div(N(1), Z), mul(X, Y)), [2, 3, 4]),
    ("1/z+x*y-fractional", add(div(N(1), z), mul(x, y)), [3, 4, 5]),
    ("2^(x*y)", pow_(N(2), mul(x, y)), [6, 7]),
    ("exp(x*y)", exp(mul(x, y)), [6, 7]),
    ("sin(x*y+x)", sin(add(mul(x, y), x)), [6, 7]),
    ("cos(x+y)*y", mul(cos(add(x, y)), y), [6, 7]),
    ("exp(y)*exp(x*y)", mul(exp(y), exp(mul(x, y))), [6, 7]),
    ("(e^y)^(y+x)", pow_(exp(y), add(y, x)), [6, 7]),
    ("(e^x)^y", pow_(exp(x), y), [6, 7]),
    ("exp(z)+x*cos(y)", add(exp(z), mul(x, cos(y))), [3, 4, 5]),
    ("x*y*z-quotient", div(mul(mul(x, y), z), add(mul(z, z), N(1.5))), [3, 4, 5]),
    ("x^3-y^2*x", sub(pow_(x, N(3)), mul(pow_(y, N(2)), x)), [5, 6]),
    ("(x+y+z)^4", pow_(add(add(x, y), z), N(4)), [3, 3, 3]),
    ("sqrt(x^2+y^2+1)", pow_(add(add(mul(x, x), mul(y, y)), N(1)), N(0.5)), [5, 6]),
    ("(x+2)^(y)", pow_(add(x, N(2)), y), [5, 6]),
    ("y^(x+2)", pow_(add(y, N(3)), add(x, N(2))), [5, 6]),
    ("ln(x*x+1)*exp(-y)", mul(un(vm.LN, add(mul(x, x), N(1))), exp(un(vm.NEG, y))), [5, 6]),
    ("tan(x*0.3+y)", un(vm.TAN, add(mul(x, N(0.3)), y)), [5, 6]),
    ("cot(x+2)", un(vm.COT, add(x, N(2))), [12]),
    ("exp(x)*sin(x)", mul(exp(x), sin(x)), [20]),
    ("exp(x*x)*cos(y*x)", mul(exp(mul(x, x)), cos(mul(y, x))), [6, 7]),
    ("sin(x)*y", mul(sin(x), y), [6, 7]),
    ("sin(y)*x*z", mul(mul(sin(y), x), z), [3, 4, 5]),
    ("ln(exp(x*y))", un(vm.LN, exp(mul(x, y))), [6, 7]),
    # The last factor of this product chain is an expression node that reads
    # exp(0) = 1 before initialisation; it varies and must not be dropped.
    ("exp(y*2^x)", exp(mul(y, pow_(N(2), x))), [5, 6]),
    ("3^(x*y+z)*sin(z)", mul(pow_(N(3), add(mul(x, y), z)), sin(z)), [3, 4, 5]),
    # Long runs, up to 10^5 points.
    ("long-1d-sin-exp", mul(sin(xs), exp(xs)), [100_000]),
    ("long-2d-x*y+y", add(mul(xs, ys), ys), [100, 200]),
    ("long-2d-sin(x*y+x)", sin(add(mul(xs, ys), xs)), [100, 200]),
    ("long-3d-exp(z)+x*cos(y)", add(exp(V(2, 0.1, 0.02)), mul(xs, cos(ys))), [40, 50, 50]),
    ("long-3d-2^(x*y)/z", div(pow_(N(2), mul(xs, ys)), V(2, 1.0, 0.02)), [20, 25, 40]),
]


@pytest.mark.parametrize("tree, extents", [c[1:] for c in FIXED], ids=[c[0] for c in FIXED])
def test_fixed_expressions_agree_with_math(tree, extents, native):
    compared = compare(tree, extents, native)
    # These cases are well conditioned: all, or nearly all, points compare.
    assert compared >= 0.9 * math.prod(extents)


def test_integral_grid_fixes_x_times_y_plus_y_exactly(run):
    xn, yn = var(0, 0.0, 1.0), var(1, 0.0, 1.0)
    e = vm.ASTbin(vm.ADD, vm.ASTbin(vm.MUL, xn, yn), yn)
    assert run(e, [3, 4]) == [float((i + 1) * j) for i, j in grid_points([3, 4])]


def test_reciprocal_of_inner_dimension_keeps_the_outer_terms(run):
    X_, Y_, Z_ = var(0, 1.0, 1.0), var(1, 1.0, 1.0), var(2, 1.0, 1.0)
    e = vm.ASTbin(vm.ADD, vm.ASTbin(vm.DIV, num(1.0), Z_), vm.ASTbin(vm.MUL, X_, Y_))
    values = run(e, [2, 3, 4])
    expected = [1.0 / (1 + k) + (1 + i) * (1 + j) for i, j, k in grid_points([2, 3, 4])]
    assert values == pytest.approx(expected, rel=1e-15)


# Random trees. Leaves keep moderate magnitudes; powers with a non-constant
# exponent get a positive base (a negative base with such exponents has no
# real value, and its recurrence and closed form need not agree on where the
# exponent happens to be integral).

DIMS = 3
NUMBERS = st.floats(-2.0, 2.0, allow_nan=False).map(lambda v: round(v, 3))
STEPS = st.floats(-0.6, 0.6, allow_nan=False).map(lambda v: round(v, 3))
POLY_POWERS = [0, 2, 3, -1, 0.5, 1.5, -0.5]
ALL_POWERS = [0, 1, 2, 3, -1, -2, 0.5, -0.5, 1.5]
POSITIVE_BASES = [0.5, 1.5, 2.0, 3.0]
ARITHMETIC = [vm.ADD, vm.SUB, vm.MUL, vm.DIV]
FUNCTIONS = [vm.NEG, vm.EXP, vm.LN, vm.SIN, vm.COS, vm.TAN, vm.COT]


def tree_strategy(transcendental):
    if transcendental:
        shapes = ["leaf", "arith", "arith", "power", "function", "function", "chain-power"]
    else:
        shapes = ["leaf", "arith", "arith", "arith", "power", "neg"]

    @st.composite
    def trees(draw, dims, depth=3, top=True):
        """A random tree over the given dimensions (a list of indexes)."""
        shape = draw(st.sampled_from(shapes[1:] if top else shapes)) if depth > 0 else "leaf"
        if shape == "leaf":
            if draw(st.integers(0, 2)) == 0:
                return N(draw(NUMBERS))
            return V(draw(st.sampled_from(dims)), draw(NUMBERS), draw(STEPS))
        below = trees(dims, depth - 1, False)
        if shape == "arith":
            return bin_(draw(st.sampled_from(ARITHMETIC)), draw(below), draw(below))
        if shape == "power":
            powers = ALL_POWERS if transcendental else POLY_POWERS
            return pow_(draw(below), N(draw(st.sampled_from(powers))))
        if shape == "neg":
            return un(vm.NEG, draw(below))
        if shape == "function":
            return un(draw(st.sampled_from(FUNCTIONS)), draw(below))
        # Powers with a non-constant exponent, on a positive base.
        if draw(st.booleans()):
            return pow_(N(draw(st.sampled_from(POSITIVE_BASES))), draw(below))
        return pow_(exp(draw(below)), draw(below))

    return trees


polynomial_trees = tree_strategy(transcendental=False)
mixed_trees = tree_strategy(transcendental=True)


def small_grids(dims):
    return st.lists(st.integers(1, 6), min_size=dims, max_size=dims)


def many_row_grids(dims):
    # Rows run in groups of up to 32 and leave in blocks of 16 points: more
    # than a group of rows, rows shorter and longer than a block.
    if dims == 1:
        return st.lists(st.integers(1, 100), min_size=1, max_size=1)
    outer = [st.integers(1, 3)] * (dims - 2) + [st.integers(33, 70)]
    return st.tuples(*outer, st.integers(1, 40)).map(list)


@st.composite
def cases(draw, trees, grids=small_grids):
    """A tree and a grid. Half the trees join a part over the outer (or all)
    dimensions with a part over the inner ones, so that chains of every
    dimension meet and sums with chain operands are added and multiplied."""
    dims = draw(st.integers(1, DIMS))
    extents = draw(grids(dims))
    everywhere = list(range(dims))
    if dims == 1 or draw(st.booleans()):
        return draw(trees(everywhere)), extents
    cut = draw(st.integers(1, dims - 1))
    outer = draw(trees(everywhere if draw(st.booleans()) else everywhere[:cut], depth=2))
    inner = draw(trees(everywhere[cut:], depth=2, top=False))
    if draw(st.booleans()):
        outer, inner = inner, outer
    join = draw(st.sampled_from(["add", "sub", "mul", "div", "exp-pow"]))
    if join == "exp-pow":
        return pow_(exp(outer), inner), extents
    return bin_({"add": vm.ADD, "sub": vm.SUB, "mul": vm.MUL, "div": vm.DIV}[join], outer, inner), extents


PROFILE = settings(
    max_examples=examples(300),
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)


@PROFILE
@given(case=cases(polynomial_trees))
def test_random_polynomial_and_rational_trees_agree_with_math(case, native):
    tree, extents = case
    compared = compare(tree, extents, native)
    assume(compared * 2 >= math.prod(extents))


@PROFILE
@given(case=cases(mixed_trees))
def test_random_transcendental_trees_agree_with_math(case, native):
    tree, extents = case
    compared = compare(tree, extents, native)
    assume(compared * 2 >= math.prod(extents))


@settings(PROFILE, max_examples=examples(60))
@given(case=cases(mixed_trees, grids=many_row_grids))
def test_random_trees_on_grids_of_many_rows_agree_with_math(case, native):
    tree, extents = case
    compared = compare(tree, extents, native)
    assume(compared * 2 >= math.prod(extents))
