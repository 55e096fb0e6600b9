"""evaluate: blocks of the infinite grid by tiles, the same bits however the grid is cut, by both methods;
the recurrence method's tiles step as crarray does.

Bit-for-bit comparisons compare the 64-bit patterns of all values, except that
NaN matches any NaN: the sign and payload of a NaN follow the compiler's
choice of operand order inside vectorised code, which may differ between
groups of rows of different sizes.
"""

import _thread
import os
import threading
import time

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vemiral as vm

from depth import examples
from helpers import same_bits_but_nan as same_bits

EXAMPLES = int(os.environ.get("VEMIRAL_FUZZ_EXAMPLES", examples(150)))
FUZZ = settings(max_examples=EXAMPLES, deadline=None, derandomize=True, database=None,
                suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])


# --- random trees over up to four dimensions ---------------------------------

def leaves(dims):
    numbers = st.sampled_from([0.5, 1.0, 2.0, 3.0, -1.5, 0.1]).map(vm.ASTnum)
    variables = st.builds(vm.ASTvar, st.integers(0, dims - 1), st.sampled_from([0.0, 0.5, -1.25, 2.0]),
                          st.sampled_from([0.25, 0.1, -0.5, 1.0, 0.003]))
    return st.one_of(numbers, variables, variables)


def trees(dims):
    def extend(children):
        return st.one_of(
            st.builds(vm.ASTbin, st.sampled_from([vm.ADD, vm.SUB, vm.MUL, vm.DIV]), children, children),
            st.builds(lambda c, e: vm.ASTbin(vm.POW, c, vm.ASTnum(e)), children, st.sampled_from([2.0, 3.0, 0.5])),
            st.builds(vm.ASTun, st.sampled_from([vm.EXP, vm.SIN, vm.COS, vm.LN, vm.TAN, vm.NEG]), children),
            st.builds(vm.ASTfun, st.sampled_from([vm.ft.TANH, vm.ft.FLOOR, vm.ft.ABS, vm.ft.ATAN]), children),
            st.builds(vm.ASTfun, st.sampled_from([vm.ft.HYPOT, vm.ft.LESS, vm.ft.MINIMUM]), children, children),
            st.builds(vm.ASTfun, st.just(vm.ft.WHERE), children, children, children),
        )
    return st.recursive(leaves(dims), extend, max_leaves=6)


@st.composite
def grids(draw, max_extent=40):
    dims = draw(st.integers(1, 4))
    shape = tuple(draw(st.integers(1, max_extent if dims < 3 else 9)) for _ in range(dims))
    return draw(trees(dims)), shape


@st.composite
def cut_grids(draw):
    tree, shape = draw(grids())
    tile = draw(st.one_of(st.integers(1, 12), st.tuples(*[st.integers(1, 12) for _ in shape])))
    origin = tuple(draw(st.integers(0, 30)) for _ in shape)
    return tree, shape, tile, origin


# --- values ------------------------------------------------------------------

METHODS = ["accurate", "recurrence"]


@FUZZ
@given(cut_grids(), st.sampled_from(METHODS), st.data())
def test_every_block_is_the_same_slice_of_the_whole(case, method, data):
    tree, shape, tile, origin = case
    whole = tree.evaluate(shape, origin=origin, tile=tile, method=method)
    for _ in range(3):
        lo = [data.draw(st.integers(0, s - 1)) for s in shape]
        size = [data.draw(st.integers(1, s - o)) for s, o in zip(shape, lo)]
        at = tuple(o + l for o, l in zip(origin, lo))
        part = tree.evaluate(size, origin=at, tile=tile, threads=data.draw(st.sampled_from([None, 1])), method=method)
        assert same_bits(part, whole[tuple(slice(l, l + s) for l, s in zip(lo, size))])
    out = np.full(shape, 7.0)
    assert tree.evaluate(shape, origin=origin, tile=tile, out=out, method=method) is out
    assert same_bits(out, whole)


@FUZZ
@given(case=grids())
def test_a_tile_covering_the_grid_gives_crarray(case, capfd):
    tree, shape = case
    try:
        tree.crinit(list(shape))
    except MemoryError:
        return  # a chain too large to build; evaluate refuses it alike
    expected = tree.crarray()
    capfd.readouterr()
    assert same_bits(tree.evaluate(shape, tile=max(shape), method="recurrence"), expected)
    assert same_bits(tree.evaluate(shape, tile=10**30, method="recurrence"), expected)


def test_each_tile_starts_from_its_own_corner(capfd):
    # sin(x*y) + exp(x)/(y + 2) with tiles of 5 x 3: every tile equals a whole
    # grid of the tile's extents whose variables start at the tile's corner.
    def tree(x0, y0):
        x, y = vm.ASTvar(0, x0, 0.3), vm.ASTvar(1, y0, -0.2)
        return vm.ASTbin(vm.ADD, vm.ASTun(vm.SIN, vm.ASTbin(vm.MUL, x, y)),
                         vm.ASTbin(vm.DIV, vm.ASTun(vm.EXP, x), vm.ASTbin(vm.ADD, y, vm.ASTnum(2.0))))
    values = tree(0.25, 1.5).evaluate((13, 8), origin=(4, 2), tile=(5, 3), method="recurrence")
    for i in range(4, 17):
        for j in range(2, 10):
            ci, cj = i - i % 5, j - j % 3
            piece = tree(0.25 + ci * 0.3 if ci else 0.25, 1.5 + cj * -0.2 if cj else 1.5)
            piece.crinit([5, 3])
            expected = piece.crarray()[i - ci, j - cj]
            assert same_bits(values[i - 4, j - 2], expected), (i, j)
    capfd.readouterr()


@pytest.mark.parametrize("origin, length, tile", [(0, 100_000, 1000), (12_345, 70_001, 1000), (999, 3, 1000),
                                                  (5, 40_000, 1), (3, 65_537, 4096)],
                         ids=["whole tiles", "partial first and last", "inside one tile", "tile of one point",
                              "power-of-two tile, odd length"])
@pytest.mark.parametrize("method", METHODS)
def test_long_rows_of_tiles_side_by_side(origin, length, tile, method):
    if method == "accurate" and tile == 1:
        length = 2_000  # four lowerings in double-double a point: slow, and no other path
    t = vm.ASTvar(0, 0.0, 1.0)
    chirp = vm.ASTun(vm.SIN, vm.ASTbin(vm.ADD, vm.ASTbin(vm.MUL, vm.ASTnum(0.001), t),
                                        vm.ASTbin(vm.MUL, vm.ASTnum(1e-9), vm.ASTbin(vm.POW, t, vm.ASTnum(2.0)))))
    whole = chirp.evaluate((origin + length + 5,), tile=tile, method=method)
    part = chirp.evaluate((length,), origin=(origin,), tile=tile, method=method)
    assert same_bits(part, whole[origin:origin + length])
    part = chirp.evaluate((length,), origin=(origin,), tile=tile, threads=1, method=method)
    assert same_bits(part, whole[origin:origin + length])
    i = np.arange(origin, origin + length, dtype=np.float64)
    np.testing.assert_allclose(whole[origin:origin + length], np.sin(0.001 * i + 1e-9 * i * i), rtol=0, atol=1e-9)


def test_evaluate_needs_no_crinit_and_leaves_it_alone(capfd):
    x, y = vm.ASTvar(0, 0.0, 0.5), vm.ASTvar(1, 1.0, 0.25)
    e = vm.ASTbin(vm.MUL, vm.ASTun(vm.SIN, x), vm.ASTun(vm.EXP, y))
    fresh = e.evaluate((4, 3))
    e.crinit([2, 5])
    before = e.creval()
    capfd.readouterr()
    assert same_bits(e.evaluate((4, 3)), fresh)
    assert capfd.readouterr() == ("", "")
    assert e.creval() == before
    assert e.crarray().shape == (2, 5)


def test_threads_and_concurrent_callers_agree():
    x, y = vm.ASTvar(0, 0.0, 0.001), vm.ASTvar(1, 1.0, 0.002)
    w = vm.ASTbin(vm.ADD, vm.ASTun(vm.SIN, vm.ASTbin(vm.MUL, x, y)), vm.ASTun(vm.COS, vm.ASTbin(vm.ADD, x, y)))
    expected = w.evaluate((300, 700), tile=(64, 200), threads=1)
    results = [None] * 6

    def call(k):
        results[k] = w.evaluate((300, 700), tile=(64, 200), threads=None if k % 2 else 3)

    workers = [threading.Thread(target=call, args=(k,)) for k in range(6)]
    for t in workers:
        t.start()
    for t in workers:
        t.join()
    assert all(same_bits(r, expected) for r in results)


def test_ctrl_c_stops_a_long_evaluate():
    t = vm.ASTvar(0, 0.0, 1e-3)
    slow = vm.ASTbin(vm.POW, vm.ASTun(vm.SIN, t), vm.ASTbin(vm.ADD, t, vm.ASTnum(0.5)))  # a pow per point
    timer = threading.Timer(0.2, _thread.interrupt_main)
    timer.start()
    start = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        slow.evaluate((400_000_000,), tile=10**6)
    assert time.monotonic() - start < 3.0
    assert slow.evaluate((3,))[0] == 0.0


# --- refusals: a clear exception, nothing written ----------------------------

X = vm.ASTbin(vm.ADD, vm.ASTvar(0, 0.0, 1.0), vm.ASTvar(1, 0.0, 1.0))
READ_ONLY = np.zeros((2, 3))
READ_ONLY.flags.writeable = False


@pytest.mark.parametrize("kwargs, error", [
    (dict(shape=(0, 3)), ValueError),
    (dict(shape=(2, -3)), ValueError),
    (dict(shape=()), ValueError),
    (dict(shape=(2.0, 3)), TypeError),
    (dict(shape=(2, 3), origin=(1,)), ValueError),
    (dict(shape=(2, 3), origin=(1, -1)), ValueError),
    (dict(shape=(2, 3), origin=(2**63 - 1, 0)), OverflowError),
    (dict(shape=(2, 3), tile=0), ValueError),
    (dict(shape=(2, 3), tile=(4, 0)), ValueError),
    (dict(shape=(2, 3), tile=(4, 4, 4)), ValueError),
    (dict(shape=(2, 3), threads=0), ValueError),
    (dict(shape=(2, 3), out=[[0.0] * 3] * 2), TypeError),
    (dict(shape=(2, 3), out=np.zeros((2, 3), np.float32), method="recurrence"), ValueError),
    (dict(shape=(2, 3), out=np.zeros((2, 3), np.int64)), ValueError),
    (dict(shape=(2, 3), out=np.zeros((3, 2)).T), ValueError),
    (dict(shape=(2, 3), out=READ_ONLY), ValueError),
    (dict(shape=(2, 3), out=np.zeros((3, 2))), ValueError),
    (dict(shape=(2**40, 2**20)), MemoryError),
    (dict(shape=(2**40, 2**30)), OverflowError),
    (dict(shape=(2, 3), method="exact"), ValueError),
    (dict(shape=(2, 3), method=None), ValueError),
], ids=["zero extent", "negative extent", "no dimension", "float extent", "origin too short",
        "negative origin", "past 2**63", "tile 0", "tile 0 along one", "tile of another length", "no thread",
        "out a list", "out float32 by the recurrences", "out int64", "out Fortran order", "out read-only", "out of another shape",
        "larger than memory", "points overflow", "unknown method", "method None"])
def test_bad_arguments_are_refused(kwargs, error):
    out = kwargs.get("out")
    before = None if not isinstance(out, np.ndarray) else out.copy()
    with pytest.raises(error):
        X.evaluate(**kwargs)
    if before is not None:
        assert same_bits(out, before)


def test_an_operation_without_a_rule_is_refused_before_writing():
    out = np.full((2, 2), 9.0)
    with pytest.raises(ValueError, match="FAC"):
        vm.ASTun(vm.FAC, X).evaluate((2, 2), out=out)
    assert (out == 9.0).all()


def test_crarray_fills_out_in_place(capfd):
    X.crinit([2, 3])
    out = np.full((2, 3), np.nan)
    assert X.crarray(out=out) is out
    assert same_bits(out, X.creval() and X.crarray())
    with pytest.raises(ValueError):
        X.crarray(out=np.zeros((3, 2)))
    with pytest.raises(TypeError):
        X.crarray(out="no")


@pytest.mark.parametrize("method", METHODS)
def test_default_tile_is_what_evaluate_uses(method):
    t = vm.ASTvar(0, 0.0, 1.0)
    wave = vm.ASTun(vm.SIN, vm.ASTbin(vm.MUL, vm.ASTnum(0.01), t))
    for dims in (1, 2):
        tile = vm.default_tile(dims, method=method)
        shape = (3 * tile + 7,) + (2,) * (dims - 1)
        default = wave.evaluate(shape, method=method)
        assert same_bits(default, wave.evaluate(shape, tile=tile, method=method))
        if method == "recurrence":  # the accurate method's values barely depend on the tile at all
            assert not same_bits(default, wave.evaluate(shape, tile=tile + 1, method=method))
    assert vm.default_tile(2) == vm.default_tile(2, method="accurate")
    with pytest.raises(ValueError):
        vm.default_tile(0)


def test_thread_setting():
    before = vm.get_num_threads()
    try:
        vm.set_num_threads(1)
        assert vm.get_num_threads() == 1
        with pytest.raises(ValueError):
            vm.set_num_threads(0)
        assert vm.get_num_threads() == 1
    finally:
        vm.set_num_threads(before)
