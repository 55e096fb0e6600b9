"""crgen: exact program text, diagnostic lines, and programs that reproduce creval bit for bit."""

import math
import re
import struct

import pytest

import vemiral as vm
from helpers import arity, bin_, num, un, var

ADD, SUB, MUL, DIV, POW = vm.ADD, vm.SUB, vm.MUL, vm.DIV, vm.POW
EXP, LN, SIN, COS = vm.EXP, vm.LN, vm.SIN, vm.COS
INF, NAN = math.inf, math.nan


def lines(*parts):
    return "".join(p + "\n" for p in parts)


def generate(native, node, extents):
    """crinit, then crgen; returns the text and what crgen wrote (stdout, stderr)."""
    node.crinit(extents)
    native()
    text = node.crgen()
    return (text,) + native()


def flatten(values):
    if isinstance(values, list):
        return [x for v in values for x in flatten(v)]
    return [values]


def bits(value):
    return "nan" if math.isnan(value) else struct.pack("<d", value)


def run_program(text):
    ns = {}
    exec(text, ns)
    return flatten(ns["results"])


# ---------------------------------------------------------------------------
# Exact text


def test_worked_one_dimensional_example(native):
    text, out, err = generate(native, var(0, 2.0, 0.5), [3])
    assert text == lines(
        "results = [0 for _ in range(3)]",
        "A1=[2.000000,0.500000]",
        "base = [2.000000,0.500000]",
        "A1 = base[:]",
        "for _0 in range(3):",
        "    results[_0] = A1[0]",
        "    for i in range(1):",
        "        A1[i]+=A1[i+1]",
        "",
    )
    assert out == "0 0\n"
    assert err == "[genCode:class CRsum] len=46 lines=2\n"
    assert run_program(text) == [2.0, 2.5, 3.0]


def test_sum_reports_every_call_even_with_an_empty_fragment(native):
    text, out, err = generate(native, var(0, 2.0, 0.5), [3, 2])
    assert text == lines(
        "results = [[0 for _ in range(2)] for _ in range(3)]",
        "A1=[2.000000,0.500000]",
        "base = [2.000000,0.500000]",
        "A1 = base[:]",
        "for _0 in range(3):",
        "    state0 = [A1[:]]",
        "    for _1 in range(2):",
        "        results[_0][_1] = A1[0]",
        "",
        "    [A1] = state0",
        "    for i in range(1):",
        "        A1[i]+=A1[i+1]",
        "",
    )
    assert out == "0 0\n1 0\n"
    assert err == "[genCode:class CRsum] len=46 lines=2\n[genCode:class CRsum] len=0 lines=0\n"


def test_two_dimensional_sum_visits_its_chain_operand_first(native):
    # {{s0 + s1, +, h0}, +, h1}: root over dimension 1, operand 0 over dimension 0.
    text, out, err = generate(native, bin_(ADD, var(0, 1.0, 0.5), var(1, 2.0, 3.0)), [2, 3])
    assert text == lines(
        "results = [[0 for _ in range(3)] for _ in range(2)]",
        "A2=[3.000000,0.500000]",
        "A1=[3.000000,3.000000]",
        "base = [3.000000,3.000000]",
        "A1 = base[:]",
        "for _0 in range(2):",
        "    state0 = [A1[:],A2[:]]",
        "    for _1 in range(3):",
        "        results[_0][_1] = A1[0]",
        "        for i in range(1):",
        "            A1[i]+=A1[i+1]",
        "",
        "    [A1,A2] = state0",
        "    for i in range(1):",
        "        A2[i]+=A2[i+1]",
        "    A1[0]=A2[0]",
        "",
    )
    assert out == "0 1\n0 0\n1 1\n"
    assert err == (
        "[genCode:class CRsum] len=62 lines=3\n"
        "[genCode:class CRsum] len=62 lines=3\n"
        "[genCode:class CRsum] len=54 lines=2\n"
    )


def test_product_fragment_writes_back_into_its_parent_slot_silently(native):
    # sin(x2) * exp(x1): the rotation over dimension 2 holds product chains over
    # dimension 1 in positions 0 and n = 2 (ids 2 and 3 under the root's 1).
    text, out, err = generate(native, bin_(MUL, un(SIN, var(2, 0.0, 0.5)), un(EXP, var(1, 0.0, 0.25))), [2, 2, 2])
    fragment = lines(
        "        for i in range(1):",
        "            A3[i]*=A3[i+1]",
        "        A1[2]=A3[0]",
    )
    assert len(fragment) == 74
    assert lines(
        "        [A1,A2,A3] = state1",
        "        for i in range(1):",
        "            A2[i]*=A2[i+1]",
        "        A1[0]=A2[0]",
    ) + fragment + "\n" in text
    assert (out, err) == ("", "")


def test_nested_cosine_rotation_and_its_write_back_of_element_n(native):
    # cos(x*x) + x: the cosine chain has n = 3 levels and keeps its value in A3[3].
    x = lambda: var(0, 0.0, 1.0)
    text, out, err = generate(native, bin_(ADD, un(COS, bin_(MUL, x(), x())), x()), [4])
    assert text == lines(
        "results = [0 for _ in range(4)]",
        "A2=[0.000000,1.000000]",
        "A3=[0.000000,0.8414709848078965,0.9092974268256817,1.000000,0.5403023058681398,-0.4161468365471424]",
        "A1=[0.000000,1.000000]",
        "base = [0.000000,1.000000]",
        "A1 = base[:]",
        "for _0 in range(4):",
        "    results[_0] = A1[0] + A1[1]",
        "    for i in range(1):",
        "        A2[i]+=A2[i+1]",
        "    A1[0]=A2[0]",
        "    for j in range(2):",
        "        r1 = A3[j] * A3[j+3+1]",
        "        r2 = A3[j+3] * A3[j+1]",
        "        z  = r1 + r2",
        "        r3 = A3[j+3] * A3[j+3+1]",
        "        r4 = A3[j] * A3[j+1]",
        "        A3[j+3] = r3 - r4",
        "        A3[j] = z",
        "    A1[1]=A3[3]",
        "",
    )
    # Only the sum reports itself.
    assert out == "0 0\n"
    assert err == "[genCode:class CRsum] len=62 lines=3\n"


def test_single_level_rotation_root_loops_over_nothing(native):
    # sin of a one-operand sum (ln of a one-operand product) has n = 1.
    angle = un(LN, un(EXP, bin_(ADD, bin_(MUL, var(0, 0.5, 1.0), num(0.0)), num(0.75))))
    text, out, err = generate(native, un(SIN, angle), [3])
    assert text.endswith(lines(
        "for _0 in range(3):",
        "    results[_0] = A1[0]",
        "    for j in range(0):",
        "        r1 = A1[j] * A1[j+1+1]",
        "        r2 = A1[j+1] * A1[j+1]",
        "        z  = r1 + r2",
        "        r3 = A1[j+1] * A1[j+1+1]",
        "        r4 = A1[j] * A1[j+1]",
        "        A1[j+1] = r3 - r4",
        "        A1[j] = z",
        "",
    ))
    assert (out, err) == ("", "")


def test_single_operand_product_under_a_parent_loops_over_nothing_and_writes_back(native):
    text, _, _ = generate(native, bin_(ADD, un(EXP, bin_(MUL, var(0, 0.5, 1.0), num(0.0))), var(0, 0.0, 1.0)), [3])
    assert lines(
        "    for i in range(0):",
        "        A3[i]*=A3[i+1]",
        "    A1[1]=A3[0]",
    ) in text
    assert "A3=[1.000000]\n" in text


def test_expression_node_emits_only_when_an_operand_changed(native):
    # ln(x0) + ln(x1): along dimension 1 the logarithm of x0 has nothing to do.
    text, out, err = generate(native, bin_(ADD, un(LN, var(0, 1.0, 1.0)), un(LN, var(1, 2.0, 1.0))), [2, 3])
    assert text == lines(
        "import math",
        "",
        "def _log(x):",
        "    try:",
        "        return math.log(x)",
        "    except ValueError:",
        "        return -math.inf if x == 0.0 else math.nan",
        "",
        "results = [[0 for _ in range(3)] for _ in range(2)]",
        "A3=[2.000000,1.000000]",
        "A2=[2.000000]",
        "A5=[1.000000,1.000000]",
        "A4=[1.000000]",
        "A1=[0.6931471805599453,0.000000]",
        "base = [0.6931471805599453,0.000000]",
        "A1 = base[:]",
        "for _0 in range(2):",
        "    state0 = [A1[:],A2[:],A3[:],A4[:],A5[:]]",
        "    for _1 in range(3):",
        "        results[_0][_1] = A1[0] + A1[1]",
        "        for i in range(1):",
        "            A3[i]+=A3[i+1]",
        "        A2[0]=A3[0]",
        "        A1[0]=_log(A2[0])",
        "",
        "    [A1,A2,A3,A4,A5] = state0",
        "    for i in range(1):",
        "        A5[i]+=A5[i+1]",
        "    A4[0]=A5[0]",
        "    A1[1]=_log(A4[0])",
        "",
    )
    assert out == "0 1\n0 0\n1 1\n1 0\n"
    assert err.count("\n") == 4


def test_constant_root_stores_its_number(native):
    text, out, err = generate(native, num(2.5), [3])
    assert text == lines(
        "results = [0 for _ in range(3)]",
        "base = []",
        "A1 = base[:]",
        "for _0 in range(3):",
        "    results[_0] = 2.500000",
        "",
    )
    assert (out, err) == ("", "")


def test_no_extents_gives_declarations_only(native):
    text, out, _ = generate(native, var(0, 1.0, 2.0), [])
    assert text == lines("results = 0", "A1=[1.000000,2.000000]", "base = [1.000000,2.000000]")
    assert out == ""


@pytest.mark.parametrize(
    "value, literal",
    [
        (2.5, "2.500000"),
        (12.5, "12.500000"),
        (0.1, "0.100000"),
        (-0.5, "-0.500000"),
        (-0.0, "-0.000000"),
        (1e22, "10000000000000000000000.000000"),
        (1e-7, "1e-07"),
        (1 / 3, "0.3333333333333333"),
        (-2.0000001, "-2.0000001"),
        (5e-324, "5e-324"),
        (INF, "float('inf')"),
        (-INF, "float('-inf')"),
        (NAN, "float('nan')"),
    ],
)
def test_numbers_read_back_exactly(native, value, literal):
    text, _, _ = generate(native, num(value), [1])
    assert f"    results[_0] = {literal}\n" in text
    assert [bits(v) for v in run_program(text)] == [bits(value)]


@pytest.mark.parametrize(
    "build, helpers",
    [
        (lambda: bin_(MUL, var(0), var(0, 1.0, 2.0)), set()),
        (lambda: un(SIN, var(0)), set()),
        (lambda: un(LN, var(0, 1.0)), {"_log"}),
        (lambda: bin_(POW, var(0, 1.0), var(1)), {"_pow"}),
        (lambda: un(EXP, un(SIN, var(0))), {"_exp"}),
        (lambda: bin_(ADD, un(SIN, un(EXP, un(EXP, var(0)))), un(COS, un(LN, var(0, 1.0)))),
         {"_sin", "_cos", "_exp", "_log"}),
    ],
    ids=["product-of-sums", "sine", "log", "pow", "exp-of-sine", "every-helper"],
)
def test_helpers_are_emitted_only_when_called(native, build, helpers):
    text, _, _ = generate(native, build(), [2, 2])
    assert set(re.findall(r"^def (_\w+)\(", text, re.M)) == helpers
    assert text.startswith("import math\n") == bool(helpers)


# ---------------------------------------------------------------------------
# Calling protocol


def test_crgen_before_crinit_is_refused():
    with pytest.raises(RuntimeError, match="crinit must come first"):
        var(0).crgen()


def test_crgen_after_a_refused_crinit_is_refused(native):
    node = un(vm.FAC, var(0))
    with pytest.raises(ValueError):
        node.crinit([2])
    with pytest.raises(RuntimeError, match="crinit must come first"):
        node.crgen()


def shift_ids(text, by):
    return re.sub(r"\bA(\d+)", lambda m: f"A{int(m.group(1)) + by}", text)


@pytest.mark.parametrize(
    "build, nodes",
    [
        (lambda: bin_(ADD, un(LN, var(0, 1.0)), un(LN, var(1, 2.0))), 5),
        (lambda: bin_(MUL, un(SIN, var(2, 0.0, 0.5)), un(EXP, var(1))), 3),
        (lambda: num(2.0), 1),
    ],
    ids=["sum-of-logs", "sine-times-product", "constant"],
)
def test_repeated_crgen_continues_numbering_and_ignores_creval(native, build, nodes):
    node = build()
    node.crinit([2, 2, 2])
    first = node.crgen()
    second = node.crgen()
    node.creval()
    third = node.crgen()
    assert second == shift_ids(first, nodes)
    assert third == shift_ids(first, 2 * nodes)
    node.crinit([2, 2, 2])
    assert node.crgen() == first


# ---------------------------------------------------------------------------
# The program computes what creval returns


def vars_for(ndim):
    """v(k): a loop variable over dimension k folded into the grid's dimensions."""
    settings = [(0.25, 0.5), (-1.0, 0.75), (0.5, -0.25)]

    def v(k):
        start, step = settings[k % 3]
        return var(k % ndim, start, step)

    return v


# name -> (tree over v, printed kind of the root on a 3-D grid)
TREES = {
    "constant": (lambda v: bin_(MUL, num(2.5), un(SIN, num(1.0))), "CRnum"),
    "sum": (lambda v: bin_(ADD, bin_(MUL, v(0), v(1)), v(2)), "CRsum"),
    "sum_cubed": (lambda v: bin_(POW, bin_(ADD, v(0), bin_(SUB, v(1), v(2))), num(3.0)), "CRsum"),
    "sum_tiny_step": (lambda v: bin_(ADD, var(0, 0.0, 1e-7), bin_(MUL, v(1), num(1e-7))), "CRsum"),
    "product": (lambda v: un(EXP, bin_(ADD, v(0), bin_(MUL, v(1), v(2)))), "CRprod"),
    "product_over_chains": (lambda v: bin_(MUL, bin_(POW, num(2.0), v(2)), bin_(ADD, v(0), v(1))), "CRprod"),
    "sine": (lambda v: bin_(MUL, un(SIN, v(2)), bin_(ADD, v(0), v(1))), "CRtrig"),
    "cosine": (lambda v: un(COS, bin_(ADD, bin_(MUL, v(0), v(1)), bin_(MUL, v(2), v(2)))), "CRtrig"),
    "cosine_scaled_by_product": (lambda v: bin_(MUL, un(COS, v(2)), un(EXP, v(0))), "CRtrig"),
    "sine_times_same_product": (lambda v: bin_(MUL, un(EXP, v(2)), un(SIN, v(2))), "CRtrig"),
    "expression": (lambda v: bin_(DIV, un(SIN, v(0)), bin_(ADD, v(2), num(3.0))), "CRexpr"),
    "expression_functions": (
        lambda v: bin_(ADD, un(LN, bin_(ADD, v(1), num(2.0))), un(COS, un(EXP, v(2)))), "CRexpr"),
    "expression_power": (lambda v: bin_(POW, bin_(ADD, v(0), num(2.0)), un(SIN, v(2))), "CRexpr"),
    "mixture": (
        lambda v: bin_(SUB,
                       bin_(MUL, un(SIN, bin_(MUL, v(0), v(1))), un(EXP, bin_(DIV, v(2), num(4.0)))),
                       un(LN, bin_(ADD, un(COS, v(1)), bin_(POW, num(1.5), v(0))))),
        "CRexpr"),
}

GRIDS = [[7], [3, 4], [2, 3, 4]]


@pytest.mark.parametrize("extents", GRIDS, ids=lambda e: f"{len(e)}d")
@pytest.mark.parametrize("name", list(TREES))
def test_program_reproduces_creval(native, name, extents):
    build, kind = TREES[name]
    node = build(vars_for(len(extents)))
    node.crinit(extents)
    printed, _ = native()
    if len(extents) == 3:
        assert printed.startswith(kind + "[") or printed.startswith(kind + "(")
    expected = node.creval()
    assert [bits(v) for v in run_program(node.crgen())] == [bits(v) for v in expected]


def kinds(values):
    return {"nan" if math.isnan(v) else "inf" if v == INF else "-inf" if v == -INF else "finite" for v in values}


# name -> (tree, extents, non-finite kinds the grid must contain)
NON_FINITE = {
    "pow_of_zero_and_negative_bases": (
        lambda: bin_(POW, var(0, -2.0, 1.0), var(1, -3.0, 0.5)), [5, 13], {"nan", "inf"}),
    "pow_of_negative_zero": (lambda: bin_(POW, var(0, -0.0, 1.0), var(1, -3.0, 1.0)), [2, 5], {"inf", "-inf"}),
    "pow_overflow": (lambda: bin_(POW, var(0, -1e10, 2e10), var(1, 30.0, 1.0)), [2, 3], {"inf", "-inf"}),
    "pow_by_infinities": (
        lambda: bin_(ADD, bin_(POW, var(0, -2.0, 0.5), num(INF)), bin_(POW, var(0, -2.0, 0.5), num(-INF))),
        [9], {"inf", "finite"}),
    "pow_by_nan": (lambda: bin_(POW, var(0, -2.0, 0.5), num(NAN)), [9], {"nan", "finite"}),
    "exp_overflow": (lambda: un(EXP, un(EXP, var(0, 5.0, 1.0))), [4], {"inf"}),
    "product_register_overflow": (lambda: un(EXP, bin_(MUL, var(0, 700.0, 5.0), var(1, 1.0, 0.5))), [3, 3], {"inf"}),
    "sin_and_cos_of_infinity": (
        lambda: bin_(MUL, un(SIN, un(EXP, un(EXP, var(0, 5.0, 1.0)))), un(COS, un(EXP, un(EXP, var(1, 6.0, 1.0))))),
        [4, 3], {"nan"}),
    "ln_of_zero_and_negative": (lambda: un(LN, var(0, -1.0, 1.0)), [4], {"nan", "-inf"}),
    "ln_inside_a_sum": (lambda: bin_(ADD, un(LN, var(1, -1.0, 1.0)), var(0, 0.0, 1.0)), [2, 3], {"nan", "-inf"}),
    "non_finite_constants": (
        lambda: bin_(ADD, bin_(MUL, var(0, 0.0, 1.0), num(INF)), un(LN, num(-1.0))), [2, 2, 2], {"nan"}),
    # SciPy's values where the C library's differ: lgamma(-inf), Bessel functions of infinities.
    "special_functions_of_infinities": (
        lambda: bin_(ADD, vm.lgamma(un(LN, var(0, 0.0, 1.0))), vm.j0(un(EXP, var(1, 709.0, 1.0)))), [3, 2],
        {"nan", "-inf", "finite"}),
    # Orders beyond 1000 with the value rounding to +-0 at once, orders beyond an int, non-integer orders.
    "jn_of_large_and_odd_orders": (lambda: vm.jn(var(0, -1001.5, 0.5), var(1, -2.0, 1.0)), [6, 5], {"nan", "finite"}),
    "jn_of_orders_beyond_an_int": (lambda: vm.jn(var(0, 3e9, 1e9), var(1, 1e8, 1e9)), [2, 2], {"nan", "finite"}),
}


@pytest.mark.parametrize("name", list(NON_FINITE))
def test_program_reproduces_non_finite_values(native, name):
    build, extents, expected_kinds = NON_FINITE[name]
    node = build()
    node.crinit(extents)
    expected = node.creval()
    assert expected_kinds <= kinds(expected)
    assert [bits(v) for v in run_program(node.crgen())] == [bits(v) for v in expected]


@pytest.mark.parametrize("name", list(vm.ft.__members__))
def test_program_and_crarray_reproduce_creval_for_every_function(native, name):
    # Arguments crossing 0, -1 and 1 (poles and domain edges), and a sum that
    # keeps stepping under the function.
    op = vm.ft.__members__[name]
    count = arity(op)
    x, y = var(0, -2.5, 0.75), var(1, -1.5, 0.5)
    node = bin_(ADD, vm.ASTfun(op, *[x, y, bin_(MUL, x, y)][:count]), x)
    node.crinit([8, 7])
    native()
    expected = node.creval()
    assert [bits(v) for v in run_program(node.crgen())] == [bits(v) for v in expected]
    assert [bits(v) for v in node.crarray().ravel()] == [bits(v) for v in expected]
