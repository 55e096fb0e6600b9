"""Recurrence algebra as seen from Python: the chain each rule builds and the values it yields."""

import math

import pytest

import vemiral as vm

from helpers import add, c_pow, div, grid_points, mul, num, pow_, sub, un, var

E = math.e


def g6(value):
    """A double as the native streams print it by default."""
    return format(value, ".6g")


@pytest.fixture
def lower(native):
    """Runs crinit and creval; returns the printed chain and the values."""

    def run(node, extents):
        node.crinit(extents)
        chain, _ = native()
        values = node.creval()
        native()
        return chain, values

    return run


def top_level_operands(chain):
    """Number of operands of the outermost chain in a printed form."""
    body = chain[chain.index("(") + 1 : -1]
    depth, count = 0, 1 if body else 0
    for ch in body:
        depth += ch in "(["
        depth -= ch in ")]"
        count += ch == "," and depth == 0
    return count


# --- exact chains with exact values -----------------------------------------------

# Each case: the tree, the extents, the printed chain (derived by hand from the
# rules), and the closed form at grid point t (a tuple of indexes).
EXACT = [
    (
        "sum-times-constant",
        lambda: mul(num(3.0), var(0, 2.0, 3.0)),
        [4],
        "CRsum[6](CRnum(6), CRnum(9))",
        lambda t: 3 * (2 + 3 * t[0]),
    ),
    (
        "sum-plus-sum-same-dimension",
        lambda: add(mul(var(0, 1.0, 1.0), var(0, 1.0, 1.0)), var(0, 1.0, 1.0)),
        [4],
        "CRsum[2](CRnum(2), CRnum(4), CRnum(2))",
        lambda t: (1 + t[0]) ** 2 + (1 + t[0]),
    ),
    (
        "sum-times-sum-same-dimension",
        lambda: mul(var(0, 1.0, 2.0), var(0, 3.0, 4.0)),
        [4],
        "CRsum[3](CRnum(3), CRnum(18), CRnum(16))",
        lambda t: (1 + 2 * t[0]) * (3 + 4 * t[0]),
    ),
    (
        "sum-cubed",
        lambda: pow_(var(0, 1.0, 1.0), num(3.0)),
        [5],
        "CRsum[1](CRnum(1), CRnum(7), CRnum(12), CRnum(6))",
        lambda t: (1 + t[0]) ** 3,
    ),
    (
        "sum-squared-equals-product",
        lambda: pow_(var(0, 2.0, 0.5), num(2.0)),
        [4],
        "CRsum[4](CRnum(4), CRnum(2.25), CRnum(0.5))",
        lambda t: (2 + 0.5 * t[0]) ** 2,
    ),
    (
        "sum-to-zero-is-one",
        lambda: pow_(var(0, 5.0, 1.0), num(0.0)),
        [3],
        "CRnum(1)",
        lambda t: 1.0,
    ),
    (
        "negation",
        lambda: un(vm.NEG, var(0, 2.0, 3.0)),
        [3],
        "CRsum[-2](CRnum(-2), CRnum(-3))",
        lambda t: -(2 + 3 * t[0]),
    ),
    (
        "constant-minus-sum",
        lambda: sub(num(10.0), var(0, 2.0, 3.0)),
        [3],
        "CRsum[8](CRnum(8), CRnum(-3))",
        lambda t: 10 - (2 + 3 * t[0]),
    ),
    (
        "sum-minus-same-sum",
        lambda: sub(var(0, 2.0, 3.0), var(0, 2.0, 3.0)),
        [3],
        "CRsum[0](CRnum(0), CRnum(0))",
        lambda t: 0.0,
    ),
    (
        "product-chain-2-6-18",
        lambda: mul(num(2.0), pow_(num(3.0), var(0, 0.0, 1.0))),
        [4],
        "CRprod[2](CRnum(2), CRnum(3))",
        lambda t: 2 * 3 ** t[0],
    ),
    (
        "product-chain-along-other-dimension-is-constant",
        lambda: mul(num(2.0), pow_(num(3.0), var(0, 0.0, 1.0))),
        [3, 2],
        "CRprod[2](CRnum(2), CRnum(3))",
        lambda t: 2 * 3 ** t[0],
    ),
    (
        "product-chain-inner-dimension",
        lambda: mul(num(2.0), pow_(num(3.0), var(1, 0.0, 1.0))),
        [2, 3],
        "CRprod[2](CRnum(2), CRnum(3))",
        lambda t: 2 * 3 ** t[1],
    ),
    (
        "constant-to-sum",
        lambda: pow_(num(2.0), var(0, 3.0, 1.0)),
        [4],
        "CRprod[8](CRnum(8), CRnum(2))",
        lambda t: 2 ** (3 + t[0]),
    ),
    (
        "product-times-product-same-dimension",
        lambda: mul(pow_(num(2.0), var(0, 0.0, 1.0)), pow_(num(3.0), var(0, 0.0, 1.0))),
        [4],
        "CRprod[1](CRnum(1), CRnum(6))",
        lambda t: 6 ** t[0],
    ),
    (
        "product-with-zero-factor-is-not-constant",
        lambda: mul(pow_(num(0.0), var(0, 0.0, 1.0)), pow_(num(2.0), var(0, 0.0, 1.0))),
        [4],
        "CRprod[1](CRnum(1), CRnum(0))",
        lambda t: 0.0 ** t[0] * 2.0 ** t[0],
    ),
    (
        "product-squared",
        lambda: pow_(mul(num(2.0), pow_(num(3.0), var(0, 0.0, 1.0))), num(2.0)),
        [4],
        "CRprod[4](CRnum(4), CRnum(9))",
        lambda t: (2 * 3 ** t[0]) ** 2,
    ),
    (
        "product-to-same-dimension-sum",
        lambda: pow_(mul(num(2.0), pow_(num(3.0), var(0, 0.0, 1.0))), add(var(0, 0.0, 1.0), num(1.0))),
        [3],
        "CRprod[2](CRnum(2), CRnum(18), CRnum(9))",
        lambda t: (2 * 3 ** t[0]) ** (t[0] + 1),
    ),
    (
        "product-plus-constant-is-expression",
        lambda: add(mul(num(2.0), pow_(num(3.0), var(0, 0.0, 1.0))), num(1.0)),
        [3],
        "CRexpr[3](CRprod[2](CRnum(2), CRnum(3)), CRnum(1))",
        lambda t: 2 * 3 ** t[0] + 1,
    ),
    (
        "product-times-same-dimension-sum-is-expression",
        lambda: mul(var(0, 1.0, 1.0), pow_(num(2.0), var(0, 0.0, 1.0))),
        [4],
        "CRexpr[1](CRprod[1](CRnum(1), CRnum(2)), CRsum[1](CRnum(1), CRnum(1)))",
        lambda t: (1 + t[0]) * 2 ** t[0],
    ),
    (
        "sum-to-half-is-expression",
        lambda: pow_(var(0, 4.0, 5.0), num(0.5)),
        [3],
        "CRexpr[2](CRsum[4](CRnum(4), CRnum(5)), CRnum(0.5))",
        lambda t: math.sqrt(4 + 5 * t[0]),
    ),
    (
        "sum-to-minus-one-is-expression",
        lambda: pow_(var(0, 4.0, 4.0), num(-1.0)),
        [3],
        "CRexpr[0.25](CRsum[4](CRnum(4), CRnum(4)), CRnum(-1))",
        lambda t: 1 / (4 + 4 * t[0]),
    ),
    (
        "sum-to-sum-is-expression",
        lambda: pow_(var(0, 2.0, 1.0), var(0, 1.0, 1.0)),
        [3],
        "CRexpr[2](CRsum[2](CRnum(2), CRnum(1)), CRsum[1](CRnum(1), CRnum(1)))",
        lambda t: (2 + t[0]) ** (1 + t[0]),
    ),
    (
        "sum-over-sum",
        lambda: div(var(0, 6.0, 6.0), var(0, 2.0, 2.0)),
        [3],
        "CRexpr[3](CRexpr[0.5](CRsum[2](CRnum(2), CRnum(2)), CRnum(-1)), CRsum[6](CRnum(6), CRnum(6)))",
        lambda t: 3.0,
    ),
]


@pytest.mark.parametrize(
    "build, extents, chain, closed", [c[1:] for c in EXACT], ids=[c[0] for c in EXACT]
)
def test_rule_builds_the_expected_chain_and_values(build, extents, chain, closed, lower):
    printed, values = lower(build(), extents)
    assert printed == chain
    assert values == [float(closed(t)) for t in grid_points(extents)]


# --- chains whose values involve transcendental rounding ------------------------------

APPROX = [
    (
        "ln-of-product-is-sum",
        lambda: un(vm.LN, un(vm.EXP, var(0, 1.0, 2.0))),
        [5],
        "CRsum[1](CRnum(1), CRnum(2))",
        lambda t: 1 + 2 * t[0],
    ),
    (
        "exp-of-sum",
        lambda: un(vm.EXP, var(0, 0.0, 1.0)),
        [6],
        "CRprod[1](CRnum(1), CRnum(" + g6(E) + "))",
        lambda t: math.exp(t[0]),
    ),
    (
        "exp-of-quadratic",
        lambda: un(vm.EXP, mul(var(0, 0.5, 0.25), var(0, 0.5, 0.25))),
        [8],
        "CRprod[{}](CRnum({}), CRnum({}), CRnum({}))".format(
            g6(math.exp(0.25)), g6(math.exp(0.25)), g6(math.exp(0.25 + 0.0625)), g6(math.exp(0.125))
        ),
        lambda t: math.exp((0.5 + 0.25 * t[0]) ** 2),
    ),
    (
        "ln-of-sum-is-expression",
        lambda: un(vm.LN, var(0, E, 1.0)),
        [4],
        "CRexpr[1](CRsum[{0}](CRnum({0}), CRnum(1)))".format(g6(E)),
        lambda t: math.log(E + t[0]),
    ),
    (
        "sin-of-sum",
        lambda: un(vm.SIN, var(0, 0.0, 0.5)),
        [20],
        "CRtrig[0]()",
        lambda t: math.sin(0.5 * t[0]),
    ),
    (
        "cos-of-sum",
        lambda: un(vm.COS, var(0, 0.0, 0.5)),
        [20],
        "CRtrig[1]()",
        lambda t: math.cos(0.5 * t[0]),
    ),
    (
        "sin-of-quadratic",
        lambda: un(vm.SIN, mul(var(0, 0.25, 0.5), var(0, 0.25, 0.5))),
        [12],
        "CRtrig[" + g6(math.sin(0.0625)) + "]()",
        lambda t: math.sin((0.25 + 0.5 * t[0]) ** 2),
    ),
    (
        "sin-with-constant-step-is-constant",
        lambda: un(vm.SIN, var(0, 0.7, 0.0)),
        [4],
        "CRtrig[" + g6(math.sin(0.7)) + "]()",
        lambda t: math.sin(0.7),
    ),
    (
        "three-times-sin",
        lambda: mul(num(3.0), un(vm.SIN, var(0, 0.5, 0.5))),
        [10],
        "CRtrig[" + g6(3 * math.sin(0.5)) + "]()",
        lambda t: 3 * math.sin(0.5 + 0.5 * t[0]),
    ),
    (
        "cos-times-three",
        lambda: mul(un(vm.COS, var(0, 0.5, 0.5)), num(3.0)),
        [10],
        "CRtrig[" + g6(3 * math.cos(0.5)) + "]()",
        lambda t: 3 * math.cos(0.5 + 0.5 * t[0]),
    ),
    (
        "sin-times-variable-of-other-dimension",
        lambda: mul(un(vm.SIN, var(1, 0.5, 1.0)), var(0, 2.0, 1.0)),
        [3, 4],
        "CRtrig[" + g6(2 * math.sin(0.5)) + "]()",
        lambda t: math.sin(0.5 + t[1]) * (2.0 + t[0]),
    ),
    (
        "variable-times-cos-of-other-dimension",
        lambda: mul(var(0, 2.0, 1.0), un(vm.COS, var(1, 0.5, 1.0))),
        [3, 4],
        "CRtrig[" + g6(2 * math.cos(0.5)) + "]()",
        lambda t: math.cos(0.5 + t[1]) * (2.0 + t[0]),
    ),
    (
        "exp-times-sin-same-dimension",
        lambda: mul(un(vm.EXP, var(0, 0.5, 0.25)), un(vm.SIN, var(0, 0.5, 0.25))),
        [12],
        "CRtrig[" + g6(math.exp(0.5) * math.sin(0.5)) + "]()",
        lambda t: math.exp(0.5 + 0.25 * t[0]) * math.sin(0.5 + 0.25 * t[0]),
    ),
    (
        "cos-times-exp-same-dimension-is-expression",
        # The product chain receives (tie goes right) and does not absorb a
        # trigonometric chain.
        lambda: mul(un(vm.COS, var(0, 0.5, 0.25)), un(vm.EXP, var(0, 0.5, 0.25))),
        [12],
        "CRexpr[{}](CRprod[{}](CRnum({}), CRnum({})), CRtrig[{}]())".format(
            g6(math.exp(0.5) * math.cos(0.5)),
            g6(math.exp(0.5)),
            g6(math.exp(0.5)),
            g6(math.exp(0.25)),
            g6(math.cos(0.5)),
        ),
        lambda t: math.exp(0.5 + 0.25 * t[0]) * math.cos(0.5 + 0.25 * t[0]),
    ),
    (
        "exp-times-cos-same-dimension",
        lambda: mul(un(vm.EXP, var(0, 0.5, 0.25)), un(vm.COS, var(0, 0.5, 0.25))),
        [12],
        "CRtrig[" + g6(math.exp(0.5) * math.cos(0.5)) + "]()",
        lambda t: math.exp(0.5 + 0.25 * t[0]) * math.cos(0.5 + 0.25 * t[0]),
    ),
    (
        "exp-of-quadratic-times-sin-pads-the-levels",
        lambda: mul(un(vm.EXP, mul(var(0, 0.1, 0.1), var(0, 0.1, 0.1))), un(vm.SIN, var(0, 0.3, 0.2))),
        [15],
        "CRtrig[" + g6(math.exp(0.01) * math.sin(0.3)) + "]()",
        lambda t: math.exp((0.1 + 0.1 * t[0]) ** 2) * math.sin(0.3 + 0.2 * t[0]),
    ),
    (
        "exp-of-quadratic-times-cos-pads-the-levels",
        lambda: mul(un(vm.EXP, mul(var(0, 0.1, 0.1), var(0, 0.1, 0.1))), un(vm.COS, var(0, 0.3, 0.2))),
        [15],
        "CRtrig[" + g6(math.exp(0.01) * math.cos(0.3)) + "]()",
        lambda t: math.exp((0.1 + 0.1 * t[0]) ** 2) * math.cos(0.3 + 0.2 * t[0]),
    ),
    (
        "exp-of-two-dimensions-times-sin",
        # exp(x + y) over dimension 1 carries a product chain over dimension 0
        # as its first factor; the sine chain over dimension 1 absorbs it.
        lambda: mul(un(vm.EXP, add(var(0, 0.2, 0.1), var(1, 0.3, 0.2))), un(vm.SIN, var(1, 0.3, 0.2))),
        [4, 6],
        "CRtrig[" + g6(math.exp(0.5) * math.sin(0.3)) + "]()",
        lambda t: math.exp(0.2 + 0.1 * t[0] + 0.3 + 0.2 * t[1]) * math.sin(0.3 + 0.2 * t[1]),
    ),
    (
        "exp-times-sin-of-quadratic-pads-the-product",
        lambda: mul(un(vm.EXP, var(0, 0.3, 0.2)), un(vm.SIN, mul(var(0, 0.1, 0.1), var(0, 0.1, 0.1)))),
        [15],
        "CRtrig[" + g6(math.exp(0.3) * math.sin(0.01)) + "]()",
        lambda t: math.exp(0.3 + 0.2 * t[0]) * math.sin((0.1 + 0.1 * t[0]) ** 2),
    ),
    (
        "sin-times-cos-same-dimension-is-expression",
        lambda: mul(un(vm.SIN, var(0, 0.5, 0.25)), un(vm.COS, var(0, 0.5, 0.25))),
        [8],
        "CRexpr[{}](CRtrig[{}](), CRtrig[{}]())".format(
            g6(math.sin(0.5) * math.cos(0.5)), g6(math.cos(0.5)), g6(math.sin(0.5))
        ),
        lambda t: math.sin(0.5 + 0.25 * t[0]) * math.cos(0.5 + 0.25 * t[0]),
    ),
    (
        "sin-plus-constant-is-expression",
        lambda: add(un(vm.SIN, var(0, 0.5, 0.25)), num(2.0)),
        [8],
        "CRexpr[{}](CRtrig[{}](), CRnum(2))".format(g6(2 + math.sin(0.5)), g6(math.sin(0.5))),
        lambda t: 2 + math.sin(0.5 + 0.25 * t[0]),
    ),
    (
        "exp-of-product-is-expression",
        lambda: un(vm.EXP, pow_(num(2.0), var(0, 0.0, 0.5))),
        [6],
        "CRexpr[{}](CRprod[1](CRnum(1), CRnum({})))".format(g6(E), g6(math.sqrt(2))),
        lambda t: math.exp(2 ** (0.5 * t[0])),
    ),
    (
        "sin-of-product-is-expression",
        lambda: un(vm.SIN, pow_(num(2.0), var(0, 0.0, 0.5))),
        [6],
        "CRexpr[{}](CRprod[1](CRnum(1), CRnum({})))".format(g6(math.sin(1)), g6(math.sqrt(2))),
        lambda t: math.sin(2 ** (0.5 * t[0])),
    ),
    (
        "exp-of-other-dimension-to-variable",
        lambda: pow_(un(vm.EXP, var(1, 0.5, 0.25)), var(0, 1.0, 0.5)),
        [4, 5],
        "CRprod[{0}](CRprod[{0}](CRnum({0}), CRnum({1})), CRprod[{2}](CRnum({2}), CRnum({3})))".format(
            g6(math.exp(0.5)), g6(math.exp(0.25)), g6(math.exp(0.25)), g6(math.exp(0.125))
        ),
        lambda t: math.exp((0.5 + 0.25 * t[1]) * (1.0 + 0.5 * t[0])),
    ),
    (
        "exp-to-variable-of-larger-dimension-is-expression",
        lambda: pow_(un(vm.EXP, var(0, 0.5, 0.25)), var(1, 1.0, 0.5)),
        [4, 5],
        "CRexpr[{}](CRprod[{}](CRnum({}), CRnum({})), CRsum[1](CRnum(1), CRnum(0.5)))".format(
            g6(math.exp(0.5)), g6(math.exp(0.5)), g6(math.exp(0.5)), g6(math.exp(0.25))
        ),
        lambda t: math.exp((0.5 + 0.25 * t[0]) * (1.0 + 0.5 * t[1])),
    ),
]


@pytest.mark.parametrize(
    "build, extents, chain, closed", [c[1:] for c in APPROX], ids=[c[0] for c in APPROX]
)
def test_rule_builds_the_expected_chain_and_close_values(build, extents, chain, closed, lower):
    printed, values = lower(build(), extents)
    assert printed == chain
    expected = [closed(t) for t in grid_points(extents)]
    # A few dozen recurrence steps: rounding stays within a few ulps per step.
    assert values == pytest.approx(expected, rel=1e-13, abs=1e-13)


def test_three_level_rotation_matches_the_angle_sums(lower):
    # sin of {φ0, +, φ1, +, φ2}: the levels hold the running differences.
    a = var(0, 0.3, 0.2)
    _, values = lower(un(vm.SIN, add(mul(a, a), a)), [30])
    expected = [math.sin((0.3 + 0.2 * t) ** 2 + 0.3 + 0.2 * t) for t in range(30)]
    assert values == pytest.approx(expected, abs=1e-12)


@pytest.mark.parametrize(
    "op, closed",
    [
        (vm.TAN, math.tan),
        (vm.COT, lambda v: 1 / math.tan(v)),
        (vm.NEG, lambda v: -v),
        (vm.EXP, math.exp),
        (vm.LN, math.log),
        (vm.SIN, math.sin),
        (vm.COS, math.cos),
    ],
    ids=["TAN", "COT", "NEG", "EXP", "LN", "SIN", "COS"],
)
@pytest.mark.parametrize(
    "argument, extents, at",
    [
        (lambda: var(0, 0.2, 0.1), [12], lambda t: 0.2 + 0.1 * t[0]),
        (
            lambda: add(mul(var(0, 0.2, 0.05), var(1, 0.5, 0.1)), var(1, 0.5, 0.1)),
            [4, 5],
            lambda t: (0.2 + 0.05 * t[0]) * (0.5 + 0.1 * t[1]) + 0.5 + 0.1 * t[1],
        ),
    ],
    ids=["linear", "two-dimensional"],
)
def test_unary_operations_lower_to_their_function(op, closed, argument, extents, at, lower):
    _, values = lower(un(op, argument()), extents)
    expected = [closed(at(t)) for t in grid_points(extents)]
    assert values == pytest.approx(expected, rel=1e-12, abs=1e-13)


@pytest.mark.parametrize("op", [vm.TAN, vm.COT], ids=["TAN", "COT"])
def test_tan_and_cot_are_built_from_sine_and_cosine_chains(op, lower):
    # tan K = sin K * (cos K)^-1: the inverse (an expression node of the same
    # dimension) receives the product, on the tie; cot swaps sine and cosine.
    s, c = math.sin(0.5), math.cos(0.5)
    top, bottom = (s, c) if op == vm.TAN else (c, s)
    printed, _ = lower(un(op, var(0, 0.5, 0.25)), [3])
    assert printed == "CRexpr[{}](CRexpr[{}](CRtrig[{}](), CRnum(-1)), CRtrig[{}]())".format(
        g6(top / bottom), g6(1 / bottom), g6(bottom), g6(top)
    )


# --- caps on the closed rules ----------------------------------------------------------


def test_huge_integral_power_falls_back_quickly(lower):
    x = var(0, 1.0, 1e-9)
    printed, values = lower(pow_(x, num(1e9)), [50])
    assert printed == "CRexpr[1](CRsum[1](CRnum(1), CRnum(1e-09)), CRnum(1e+09))"
    # (1 + t/1e9)^1e9 taken exactly. The base is accumulated by t additions
    # whose rounding (at most t ulps of 1.0) is amplified 1e9 times:
    # relative error below 1e9 * 49 * 2**-53, about 5.4e-6.
    expected = [math.exp(1e9 * math.log1p(t * 1e-9)) for t in range(50)]
    assert values == pytest.approx(expected, rel=1e-5)


@pytest.mark.parametrize(
    "exponent, kind, operands",
    [(100.0, "CRsum[", 101), (1024.0, "CRexpr[", 2), (2.0**40, "CRexpr[", 2)],
    ids=["100-closed", "1024-falls-back", "2**40-falls-back"],
)
def test_power_of_constant_chain_is_capped(exponent, kind, operands, lower):
    printed, values = lower(pow_(var(0, 1.0, 1e-3), num(exponent)), [6])
    assert printed.startswith(kind)
    assert top_level_operands(printed) == operands
    expected = [c_pow(1 + 1e-3 * t, exponent) for t in range(6)]
    assert values == pytest.approx(expected, rel=1e-9)


@pytest.mark.parametrize(
    "exponent, kind", [(31.0, "CRsum["), (32.0, "CRexpr[")], ids=["31-closed", "32-falls-back"]
)
def test_power_of_chain_with_chain_operands_is_capped_at_32(exponent, kind, lower):
    # x + y over dims 0, 1: the dim-1 chain has a chain operand.
    e = pow_(add(var(0, 0.5, 0.01), var(1, 0.5, 0.01)), num(exponent))
    printed, values = lower(e, [3, 3])
    assert printed.startswith(kind)
    if kind == "CRsum[":
        assert top_level_operands(printed) == 32
    expected = [(1.0 + 0.01 * (i + j)) ** exponent for i in range(3) for j in range(3)]
    assert values == pytest.approx(expected, rel=1e-10)


@pytest.mark.parametrize(
    "a, b, kind", [(20, 11, "CRsum["), (20, 12, "CRexpr[")], ids=["32-operands", "33-operands"]
)
def test_product_of_long_chains_with_chain_operands_is_capped(a, b, kind, lower):
    base = add(var(0, 0.5, 0.01), var(1, 0.5, 0.01))
    e = mul(pow_(base, num(float(a))), pow_(base, num(float(b))))
    printed, values = lower(e, [2, 3])
    assert printed.startswith(kind)
    expected = [(1.0 + 0.01 * (i + j)) ** (a + b) for i in range(2) for j in range(3)]
    assert values == pytest.approx(expected, rel=1e-10)


def test_constant_algebra_folds_to_one_number(lower):
    e = div(sub(pow_(num(2.0), num(10.0)), num(24.0)), mul(num(4.0), num(2.5)))
    printed, values = lower(un(vm.NEG, e), [2, 2])
    assert printed == "CRnum(-100)"
    assert values == [-100.0] * 4


@pytest.mark.parametrize(
    "build, value",
    [
        (lambda: un(vm.EXP, num(0.0)), 1.0),
        (lambda: un(vm.LN, num(1.0)), 0.0),
        (lambda: un(vm.LN, num(0.0)), -math.inf),
        (lambda: un(vm.SIN, num(0.0)), 0.0),
        (lambda: un(vm.COS, num(0.0)), 1.0),
        (lambda: pow_(num(0.0), num(0.0)), 1.0),
        (lambda: pow_(num(0.0), num(-1.0)), math.inf),
    ],
    ids=["exp0", "ln1", "ln0", "sin0", "cos0", "zero-to-zero", "zero-to-minus-one"],
)
def test_constant_functions(build, value, lower):
    _, values = lower(build(), [2])
    assert values == [value, value]


def test_negative_constant_to_fractional_power_is_nan(lower):
    _, values = lower(pow_(num(-2.0), num(0.5)), [2])
    assert all(math.isnan(v) for v in values)
