"""Grids of four and five dimensions, and thread splits that start inside outer dimensions.

Every outer dimension keeps its own copy of the chain, re-seeded from the next
outer one whenever that one steps; with extents above 1 at every level each
re-seed is exercised. crarray shares rows among threads, and a thread whose
first row lies inside an outer dimension other than the first must seek there
through every level. Each grid is compared bit for bit between creval and
crarray, and with direct evaluation of the same formula: within 1e-10 of
max(1, |value|) (the recurrences here drift by 1e-11 at most, over 30000 steps; a chain copy
re-seeded from the wrong state is off by the size of a step, 1e-3 or more).
"""

import math

import numpy as np
import pytest

import vemiral as vm

from helpers import N, V, add, cos, div, exp, grid_points, mul, pow_, same_bits, shape_id, sin, sub, un

TOLERANCE = 1e-10


def variables(shape):
    """One variable per dimension, each spanning about 0.7 over its extent, starting apart."""
    return [V(d, 0.25 + 0.125 * d, 0.7 / extent) for d, extent in enumerate(shape)]


def polynomial(xs):
    # A sum chain whose every level has operands of the levels inside it.
    e = mul(xs[0], xs[0])
    for a, b in zip(xs, xs[1:]):
        e = add(e, mul(a, b))
    return sub(mul(e, xs[-1]), pow_(xs[len(xs) // 2], N(3)))


def product(xs):
    arg = mul(xs[0], xs[-1])
    for x in xs[1:-1]:
        arg = sub(arg, mul(N(0.5), x))
    return exp(arg)


def rotation(xs):
    arg = mul(xs[0], xs[-1])
    for a, b in zip(xs[1:], xs[2:]):
        arg = add(arg, mul(a, b))
    return add(sin(arg), cos(add(xs[-1], mul(N(2.0), xs[1]))))


def expression(xs):
    top = N(2.0)
    for x in xs[::2]:
        top = add(top, x)
    return add(div(top, add(mul(xs[1], xs[-1]), N(1.0))), un(vm.LN, add(xs[-2], N(1.0))))


def mixed(xs):
    wave = mul(sin(add(xs[0], xs[-1])), exp(mul(xs[1], xs[2])))
    return add(wave, mul(pow_(add(xs[-2], N(1.0)), N(-1.0)), pow_(xs[-1], N(2.0))))


TREES = {f.__name__: f for f in (polynomial, product, rotation, expression, mixed)}

# Small grids run on the calling thread. crarray cuts a grid of 65536 points
# or more into ranges of whole groups of rows (32 rows for chains this small),
# several per thread; in the large grids the range boundaries fall inside
# outer dimensions other than the first: 41x3x1100 at row 32 = (10, 2),
# 7x5x30000 at (6, 2), 3x5x7x1300 at (0, 4, 4), 2x3x5x7x640 at (0, 2, 3, 5).
SMALL = [[3, 2, 4, 5], [2, 3, 3, 2], [2, 3, 2, 3, 4], [3, 2, 2, 2, 5]]
LARGE = [[41, 3, 1100], [7, 5, 30000], [3, 5, 7, 1300], [2, 3, 5, 7, 640]]


def evaluate(tree, shape, native):
    node = tree.native()
    node.crinit(list(shape))
    listed = node.creval()
    native()
    return listed, node.crarray()


def worst(got, want):
    return float(np.max(np.abs(got - want) / np.maximum(1.0, np.abs(want))))


@pytest.mark.parametrize("shape", SMALL, ids=shape_id)
@pytest.mark.parametrize("name", TREES)
def test_every_level_is_re_seeded_on_small_grids(name, shape, native):
    tree = TREES[name](variables(shape))
    listed, array = evaluate(tree, shape, native)
    assert same_bits(listed, array)
    want = np.array([tree.at(p) for p in grid_points(shape)]).reshape(shape)
    assert worst(array, want) <= TOLERANCE


@pytest.fixture
def restore_threads():
    saved = vm.get_num_threads()
    yield
    vm.set_num_threads(saved)


@pytest.mark.parametrize("shape", LARGE, ids=shape_id)
@pytest.mark.parametrize("name", TREES)
def test_threads_start_inside_outer_dimensions(name, shape, native, restore_threads):
    tree = TREES[name](variables(shape))
    node = tree.native()
    node.crinit(list(shape))
    listed = node.creval()
    native()
    assert worst(np.reshape(listed, shape), tree.on_grid(shape)) <= TOLERANCE
    for threads in (1, 2, 3):
        vm.set_num_threads(threads)
        assert same_bits(listed, node.crarray()), threads


@pytest.mark.parametrize("shape", SMALL + LARGE, ids=shape_id)
def test_evaluate_over_one_tile_is_crarray_and_over_default_tiles_is_accurate(shape, native):
    tree = mixed(variables(shape))
    node = tree.native()
    node.crinit(list(shape))
    native()
    array = node.crarray()
    assert same_bits(node.evaluate(shape, tile=max(shape), method="recurrence"), array)
    for threads in (1, 2):
        for method in ("accurate", "recurrence"):
            tiled = node.evaluate(shape, threads=threads, method=method)
            assert worst(tiled, tree.on_grid(shape)) <= TOLERANCE


def test_an_outer_variable_alone_steps_once_per_row_at_every_level(native):
    # x0 + 10 x1 + 100 x2 + 1000 x3 + 10000 x4 on integers: every value is
    # exact and spells its grid point, so a copy seeded from the wrong level
    # shows as a wrong digit.
    shape = [2, 3, 2, 3, 4]
    xs = [V(d, 0.0, 10.0 ** (len(shape) - 1 - d)) for d in range(len(shape))]
    tree = xs[0]
    for x in xs[1:]:
        tree = add(tree, x)
    listed, array = evaluate(tree, shape, native)
    assert same_bits(listed, array)
    digits = [sum(i * 10 ** (len(shape) - 1 - d) for d, i in enumerate(p)) for p in grid_points(shape)]
    assert listed == [float(v) for v in digits]
    assert math.prod(shape) == len(set(listed))
