"""The chains' own recursive shift, stepped as the odometer steps it, gives creval's and crarray's values.

vemiral._shift_reference(node) walks the grid with one copy of the chain per
dimension, re-seeding inner copies from outer ones and stepping each copy with
the chain's recursive `shift`: the definition the flattened evaluation must
reproduce. Random trees over every operation (numbers including zeros of both
signs, infinities, NaN and huge values, variables also of dimensions beyond
the grid) on grids of 1 to 5 dimensions must agree bit for bit, NaN where NaN
(a NaN's sign follows the compiler's choice of operand order, see README).
"""

import numpy as np
import pytest
from hypothesis import HealthCheck, given, reject, settings
from hypothesis import strategies as st

import vemiral as vm

from depth import examples
from helpers import N, V, add, bin_, cos, div, exp, mul, pow_, same_bits_but_nan, shape_id, sin, un
from test_dimensions import LARGE, TREES, variables


PROFILE = settings(
    max_examples=examples(150),
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)

SPECIAL = [0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 1e300, -1e-300, float("inf"), float("-inf"), float("nan")]
MODERATE = st.floats(-3.0, 3.0, allow_nan=False).map(lambda v: round(v, 3))
NUMBERS = st.one_of(MODERATE, MODERATE, MODERATE, st.sampled_from(SPECIAL))
BINARY = [vm.ADD, vm.SUB, vm.MUL, vm.DIV, vm.POW]
UNARY = [vm.NEG, vm.EXP, vm.LN, vm.SIN, vm.COS, vm.TAN, vm.COT]


@st.composite
def trees(draw, ndim, depth=4):
    kind = draw(st.sampled_from(["leaf", "bin", "bin", "un"])) if depth > 0 else "leaf"
    if kind == "leaf":
        if draw(st.integers(0, 3)) == 0:
            return N(draw(NUMBERS))
        # Now and then a dimension beyond the grid: its chain never moves.
        dim = draw(st.integers(0, ndim)) if draw(st.integers(0, 9)) == 0 else draw(st.integers(0, ndim - 1))
        return V(dim, draw(NUMBERS), draw(NUMBERS))
    if kind == "bin":
        return bin_(draw(st.sampled_from(BINARY)), draw(trees(ndim, depth - 1)), draw(trees(ndim, depth - 1)))
    return un(draw(st.sampled_from(UNARY)), draw(trees(ndim, depth - 1)))


@st.composite
def grids(draw):
    """1 to 5 dimensions; now and then more rows than a group of 32, or rows longer than a block of 16."""
    ndim = draw(st.integers(1, 5))
    extents = draw(st.lists(st.integers(1, 4), min_size=ndim, max_size=ndim))
    widen = draw(st.sampled_from(["none", "none", "rows", "row length"]))
    if widen == "row length":
        extents[-1] = draw(st.integers(17, 60))
    elif widen == "rows" and ndim > 1:
        extents[0] = draw(st.integers(33, 70))
    return extents


@st.composite
def cases(draw):
    extents = draw(grids())
    return draw(trees(len(extents))), extents


def assert_same(reference, values):
    assert same_bits_but_nan(np.ravel(reference), np.ravel(values))


def lowered(node, extents):
    try:
        node.crinit(extents)
    except MemoryError:
        # A chain over the lowering budget (nested tan doubles at every level).
        reject()


@PROFILE
@given(case=cases())
def test_random_chains_stepped_by_shift_give_creval_and_crarray(case, native):
    tree, extents = case
    node = tree.native()
    lowered(node, extents)
    reference = vm._shift_reference(node)
    assert len(reference) == int(np.prod(extents))
    assert_same(reference, node.creval())
    native()
    assert_same(reference, node.crarray())


@pytest.mark.parametrize("shape", LARGE, ids=shape_id)
@pytest.mark.parametrize("name", TREES)
def test_shift_gives_crarray_where_threads_start_inside_outer_dimensions(name, shape, native):
    node = TREES[name](variables(shape)).native()
    node.crinit(list(shape))
    native()
    assert_same(vm._shift_reference(node), node.crarray())


# Rows of one short recurrence (a sum of 2 to 4 registers, a product of 2 or
# 3, a rotation of 2 or 3 levels) run specialised code for a full group of 32
# rows and for a lone row, the general step walker for the other group sizes:
# on 40 rows the first 32 take the one and the last 8 the other, so both must
# step as shift does, also through overflow, infinities and NaN.
def short_recurrences(t, s):
    quadratic = add(mul(mul(t, t), N(0.01)), s)
    return {
        "sum-of-2": add(mul(t, N(3.0)), s),
        "sum-of-3": add(mul(t, t), s),
        "sum-of-4": add(mul(mul(t, t), t), s),
        "product-of-2": exp(add(t, s)),
        "product-of-3": exp(quadratic),
        "sine-of-2": sin(add(t, s)),
        "cosine-of-2": cos(add(t, s)),
        "sine-of-3": sin(quadratic),
        "cosine-of-3": cos(quadratic),
    }


STARTS_AND_STEPS = {
    "finite": (0.5, 0.125),
    "overflowing": (1e300, 1e300),
    "infinite-start": (float("inf"), 1.0),
    "nan-step": (0.5, float("nan")),
}


@pytest.mark.parametrize("shape", [[100], [40, 100]], ids=shape_id)
@pytest.mark.parametrize("values", STARTS_AND_STEPS)
@pytest.mark.parametrize("name", short_recurrences(N(0.0), N(0.0)))
def test_short_recurrences_step_as_shift(name, values, shape, native):
    start, step = STARTS_AND_STEPS[values]
    t = V(len(shape) - 1, start, step)
    s = V(0, 0.25, 0.5) if len(shape) > 1 else N(0.0)
    node = short_recurrences(t, s)[name].native()
    node.crinit(shape)
    reference = vm._shift_reference(node)
    assert_same(reference, node.creval())
    native()
    assert_same(reference, node.crarray())
    assert_same(reference, node.evaluate(shape, tile=max(shape), method="recurrence"))


# Rows whose value is one operation between a table of the inner dimension
# and a number steady along the row run along the row without lanes (+ and *
# inline, the other operations as an expression node applies them).
def table_rows(outer, inner):
    steady = add(outer, N(1.0))
    return {
        "steady-times-table": div(steady, add(inner, N(2.0))),
        "table-times-steady": mul(pow_(add(inner, N(2.0)), N(-1.0)), steady),
        "steady-plus-table": add(steady, un(vm.LN, add(inner, N(2.0)))),
        "steady-to-the-table": pow_(add(outer, N(2.0)), div(N(1.0), add(inner, N(3.0)))),
    }


INNER_STARTS_AND_STEPS = {
    "finite": (1.0, 0.125),
    "through-a-pole": (-3.0, 0.125),
    "nan-step": (1.0, float("nan")),
    "infinite-start": (float("-inf"), 1.0),
}


@pytest.mark.parametrize("shape", [[40, 100], [3, 5, 60]], ids=shape_id)
@pytest.mark.parametrize("values", INNER_STARTS_AND_STEPS)
@pytest.mark.parametrize("name", table_rows(N(0.0), N(0.0)))
def test_rows_of_a_table_and_a_steady_number_step_as_shift(name, values, shape, native):
    start, step = INNER_STARTS_AND_STEPS[values]
    outer = add(V(0, 0.5, 0.25), V(len(shape) - 2, -1.0, 0.5))
    node = table_rows(outer, V(len(shape) - 1, start, step))[name].native()
    node.crinit(shape)
    reference = vm._shift_reference(node)
    assert_same(reference, node.creval())
    native()
    assert_same(reference, node.crarray())
    assert_same(reference, node.evaluate(shape, tile=max(shape), method="recurrence"))
