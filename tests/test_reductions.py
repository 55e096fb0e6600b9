"""Reductions without the array: every reduction and statistic against NumPy on
the evaluated values (random trees, 1 to 4 dimensions, every axis subset), sums
against math.fsum, variances and products against exact rational arithmetic,
quantiles equal to NumPy's, the same bits on any number of threads and through
Dask, the command line's summary in a capped address space, and the refusals."""

import itertools
import math
import os
import resource
import signal
import subprocess
import sys
import time
import warnings
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from depth import deep, examples
from test_accuracy import trees

from vemiral_grid import Grid, _reduce, _stats
from vemiral_grid._tiles import tile_edges
from vemiral_grid.distributed import reduce

W = "sin(x*y) + cos(x + y)"


def fsum_error(values, result):
    """|result - exact sum| per cell, the exact sum from math.fsum (last axis)."""
    exact = np.array([math.fsum(row) for row in values.reshape(-1, values.shape[-1])]).reshape(values.shape[:-1])
    return np.abs(result - exact), exact


def moved(values, dims):
    """The values with the reduced dimensions last, flattened into one."""
    kept = [d for d in range(values.ndim) if d not in dims]
    moved = np.transpose(values, kept + list(dims))
    return moved.reshape(moved.shape[: len(kept)] + (-1,))


def check_sums(values, hi, skip_nan):
    numbers = np.where(np.isnan(values), 0.0, values) if skip_nan else values
    with np.errstate(all="ignore"):
        numpy = numbers.sum(axis=-1)
    finite = np.isfinite(numpy) & np.all(np.isfinite(numbers), axis=-1)
    # Where a value is not finite, NumPy's IEEE sum is the answer (up to the overflow of finite values).
    assert np.array_equal(np.isnan(hi[~finite]), np.isnan(numpy[~finite]))
    if finite.any():
        ours, exact = fsum_error(numbers[finite], hi[finite])
        theirs, _ = fsum_error(numbers[finite], numpy[finite])
        assert np.all(ours <= theirs), (hi[finite], exact)


def check_weighted(node, values, shape, origin, tiles, dims, reduced):
    """Weighted sums (integrals) against the exact sum of the weighted values,
    the weight the product of one per reduced axis in axis order, as rounded."""
    rng = np.random.default_rng(len(dims))
    weights = [rng.uniform(-2, 2, n) if r else None for n, r in zip(shape, reduced, strict=True)]
    [(hi, _)] = node._reduce(shape, ["weighted"], reduced, origin=origin, tile=tiles, weights=weights)
    w = np.ones(shape)
    for d in dims:
        w = w * weights[d].reshape([-1 if e == d else 1 for e in range(len(shape))])
    flat, wflat = moved(values, dims), moved(w, dims)
    for cell in np.ndindex(flat.shape[:-1]):
        x, v = flat[cell], wflat[cell]
        if np.all(np.isfinite(x)) and np.all(np.isfinite(x * v)):
            exact = sum(Fraction(a) * Fraction(b) for a, b in zip(x, v, strict=True))
            scale = float(sum(abs(Fraction(a) * Fraction(b)) for a, b in zip(x, v, strict=True)))
            assert abs(Fraction(float(hi[cell])) - exact) <= math.ulp(float(exact)) / 2 + scale * 2.0**-100


def statistics(node, shape, origin, tiles, dims, asks, threads=None, hold=True):
    """The statistics `asks` (names or _stats.Asked) of the block, as Grid's methods compute them
    (with `hold`, from the values kept between passes, as for grids that fit in memory)."""
    layout = _stats.Layout(shape, tuple(d in dims for d in range(len(shape))), origin, tile_edges(tiles, len(shape)))
    stats = [_stats.statistic(layout, _stats.Asked(s) if isinstance(s, str) else s, dims, False) for s in asks]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        return _stats.compute(_reduce.Field(node, layout, threads=threads, hold=hold), stats)


def ulps(ours, exact):
    return abs(Fraction(float(ours)) - exact) / Fraction(math.ulp(float(exact)))


def check_variances(flat, ours, numpy, ddof=0, skip_nan=False, root=False):
    """Where NumPy's variance (deviation) is a number, ours is within 2 ulps of
    the exact one of the same values (Fractions); NaN where NumPy's is NaN."""
    assert np.array_equal(np.isnan(ours), np.isnan(numpy))
    for cell in np.ndindex(flat.shape[:-1]):
        x = flat[cell][~np.isnan(flat[cell])] if skip_nan else flat[cell]
        if np.isfinite(numpy[cell]) and len(x) > ddof:
            exact = [Fraction(v) for v in x.tolist()]
            mean = sum(exact) / len(exact)
            variance = sum((v - mean) ** 2 for v in exact) / (len(exact) - ddof)
            if root:  # the exact root to far below an ulp
                variance = Fraction(math.isqrt(variance.numerator * 2**400 // variance.denominator), 2**200)
            assert ulps(ours[cell], variance) <= 2 if variance else ours[cell] == 0, (ours[cell], float(variance))


def check_products(flat, ours):
    """NaN, infinities and zeros by IEEE's rules (sign: the parity of the signs);
    otherwise within an ulp of the exact product (cells of up to 2000 values)."""
    for cell in np.ndindex(flat.shape[:-1]):
        x, p = flat[cell], ours[cell]
        inf, zero = np.isinf(x).any(), (x == 0).any()
        if np.isnan(x).any() or (inf and zero):
            assert np.isnan(p)
        elif inf or zero:
            assert p == (np.inf if inf else 0) * (-1) ** int(np.signbit(x).sum()) and np.signbit(p) == np.signbit(x).sum() % 2
        elif len(x) <= 2000:
            exact = math.prod(Fraction(v) for v in x.tolist())
            try:
                rounded = float(exact)
            except OverflowError:
                rounded = math.inf if exact > 0 else -math.inf
            assert p == rounded or abs(Fraction(float(p)) - exact) <= Fraction(math.ulp(p)), (p, rounded)


@st.composite
def cases(draw):
    dims = draw(st.integers(1, 4))
    longest = {1: 20000, 2: 90, 3: 20, 4: 7}[dims]
    shape = tuple(draw(st.integers(1, longest)) for _ in range(dims))
    origin = tuple(draw(st.sampled_from([0, 0, 5, 10**6])) for _ in range(dims))
    tile = draw(st.sampled_from([None, 3, 8, 64]))
    reduced = draw(st.sets(st.integers(0, dims - 1), min_size=1))
    return draw(trees(dims, jumps=True)), shape, origin, tile, tuple(sorted(reduced))


@settings(max_examples=examples(60), deadline=None, suppress_health_check=list(HealthCheck))
@given(cases(), st.floats(0, 1))
def test_every_reduction_matches_numpy_on_the_evaluated_values(case, q):
    tree, shape, origin, tile, dims = case
    node = tree.native()
    tiles = None if tile is None else (tile,) * len(shape)
    with np.errstate(all="ignore"):
        values = node.evaluate(shape, origin=origin, tile=tiles)
    kinds = ["sum", "nansum", "min", "max", "nanmin", "nanmax"]
    reduced = [d in dims for d in range(len(shape))]
    results = node._reduce(shape, kinds, reduced, origin=origin, tile=tiles)
    # The same bits on one thread.
    again = node._reduce(shape, kinds, reduced, origin=origin, tile=tiles, threads=1)
    for (a, b), (c, d) in zip(results, again, strict=True):
        assert a.tobytes() == c.tobytes() and b.tobytes() == d.tobytes()
    flat = moved(values, dims)
    check_sums(flat, results[0][0], False)
    check_sums(flat, results[1][0], True)
    for (value, index), numpy, arg in [
        (results[2], np.min, np.argmin), (results[3], np.max, np.argmax),
        (results[4], np.nanmin, None), (results[5], np.nanmax, None),
    ]:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            expected = numpy(flat, axis=-1)
        # Bit for bit, but for the sign of a zero (NumPy's depends on its vector lanes).
        assert np.array_equal(value, expected, equal_nan=True)
        numbers = ~np.isnan(expected)
        assert np.array_equal(np.signbit(value)[numbers] | (value[numbers] == 0),
                              np.signbit(expected)[numbers] | (expected[numbers] == 0))
        if arg is not None:
            assert np.array_equal(index, arg(flat, axis=-1))
    check_weighted(node, values, shape, origin, tiles, dims, reduced)
    finite = values[np.isfinite(values)]
    if len(dims) == len(shape) and finite.size and np.isfinite(finite.max() - finite.min()):
        edges = np.linspace(finite.min() - 1, finite.max(), 7)
        if np.all(edges[1:] > edges[:-1]):  # not so for one value too large for min - 1 to move it
            (counts,) = node._reduce(shape, ["histogram"], reduced, origin=origin, tile=tiles, edges=edges, uniform=True)
            assert np.array_equal(counts, np.histogram(values[~np.isnan(values)], edges)[0])
    check_statistics(node, shape, origin, tiles, dims, flat, q)


def check_statistics(node, shape, origin, tiles, dims, flat, q):
    quantile = _stats.Asked("quantile", q=np.array([0.0, q, 0.5, 1.0]))
    asks = ["var", "nanvar", "nanmean", "prod", "count_nonzero", "any", "all", "ptp", "median", quantile,
             _stats.Asked("std", ddof=1)]
    ours = dict(zip(["var", "nanvar", "nanmean", "prod", "count_nonzero", "any", "all", "ptp", "median", "quantile",
                     "std1"], statistics(node, shape, origin, tiles, dims, asks), strict=True))
    # The same bits on one thread, the formula computed again each pass (as for grids beyond memory).
    again = statistics(node, shape, origin, tiles, dims, asks, threads=1, hold=False)
    assert all(np.asarray(a).tobytes() == np.asarray(b).tobytes() for a, b in zip(ours.values(), again, strict=True))
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore", RuntimeWarning)
        numpy = {name: getattr(np, name)(flat, axis=-1)
                 for name in ["var", "nanvar", "nanmean", "count_nonzero", "any", "all", "ptp", "median"]}
        numpy["quantile"] = np.quantile(flat, [0.0, q, 0.5, 1.0], axis=-1)
        numpy["std1"] = np.std(flat, axis=-1, ddof=1)
    for name in ["count_nonzero", "any", "all", "ptp", "median", "quantile"]:  # exactly NumPy's
        assert np.array_equal(ours[name], numpy[name], equal_nan=True), name
        assert np.shape(ours[name]) == np.shape(numpy[name]) and np.asarray(ours[name]).dtype == numpy[name].dtype
    check_variances(flat, ours["var"], numpy["var"])
    check_variances(flat, ours["nanvar"], numpy["nanvar"], skip_nan=True)
    check_variances(flat, ours["std1"], numpy["std1"], ddof=1, root=True)
    assert np.array_equal(np.isnan(ours["nanmean"]), np.isnan(numpy["nanmean"]))
    for cell in np.ndindex(flat.shape[:-1]):  # the sum rounded once over the count: two roundings
        x = flat[cell][~np.isnan(flat[cell])]
        if np.isfinite(numpy["nanmean"][cell]):
            assert ulps(ours["nanmean"][cell], sum(map(Fraction, x.tolist())) / len(x)) <= 1.5
    check_products(flat, np.asarray(ours["prod"]))


def test_sums_of_ten_million_points_are_at_least_as_accurate_as_numpy():
    grid = Grid(x=(0, 30, 4000), y=(-1, 7, 2500))
    values = grid.evaluate(W)
    exact = math.fsum(values.ravel())
    assert abs(grid.sum(W) - exact) <= abs(values.sum() - exact)
    assert grid.sum(W) == exact  # rounded once, from about 100 bits
    assert grid.mean(W) == exact / values.size
    by_row = grid.sum(W, axis="y")
    assert np.array_equal(by_row, [math.fsum(row) for row in values])


def test_axes_by_name_number_and_tuple_and_the_forms_of_results():
    grid = Grid(x=(0, 1, 4), y=(-1, 1, 5), z=(0, 2, 3))
    f = "x*y - z + x*z"
    values = grid.evaluate(f)
    assert np.array_equal(grid.max(f, axis="y"), values.max(axis=1))
    assert np.array_equal(grid.min(f, axis=-1), values.min(axis=2))
    assert np.array_equal(grid.sum(f, axis=("z", 0)), [math.fsum(values[:, j].ravel()) for j in range(5)])
    assert np.allclose(grid.mean(f, axis=(1,)), values.mean(axis=1), rtol=0, atol=1e-15)
    assert grid.argmin(f) == np.unravel_index(values.argmin(), values.shape)
    assert isinstance(grid.argmax(f), tuple) and all(type(i) is int for i in grid.argmax(f))
    assert np.array_equal(grid.argmax(f, axis="y"), values.argmax(axis=1))
    rows, cols = grid.argmin(f, axis=("x", "z"))
    flat = np.transpose(values, (1, 0, 2)).reshape(5, -1).argmin(axis=1)
    assert np.array_equal(rows * 3 + cols, flat)
    assert type(grid.sum(f)) is np.float64
    assert grid.sum("k*x", k=2.0) == 2 * grid.sum("x") == grid.sum("k*x", params={"k": 2.0})
    together = grid.reduce(f, ("mean", "max", "argmin"), axis="z")
    assert all(np.array_equal(a, grid.reduce(f, how, axis="z")) for a, how in zip(together, ("mean", "max", "argmin")))


def test_nan_reductions_and_numpys_warning():
    grid = Grid(x=(-1, 1, 5), y=(0, 1, 2))
    values = grid.evaluate("sqrt(x) + y")
    assert np.isnan(grid.sum("sqrt(x) + y")) and np.isnan(grid.max("sqrt(x) + y"))
    assert grid.nansum("sqrt(x) + y") == np.nansum(values)
    assert grid.argmax("sqrt(x) + y") == (0, 0)  # NaN's first point, as NumPy's
    with pytest.warns(RuntimeWarning, match="All-NaN"):
        low = grid.nanmin("sqrt(x) + y", axis="y")
    assert np.array_equal(low, [np.nan, np.nan, 0.0, math.sqrt(0.5), 1.0], equal_nan=True)


@pytest.mark.parametrize("rule", ["trapezoid", "simpson"])
@pytest.mark.parametrize("num", [2, 3, 4, 7, 10])
def test_integrals_match_numpy_and_scipy(rule, num):
    scipy_integrate = pytest.importorskip("scipy.integrate")
    grid = Grid(x=(0, 2, num), y=(1, -1, 6))
    values = grid.evaluate("exp(x)*cos(y)")
    one = scipy_integrate.simpson if rule == "simpson" else scipy_integrate.trapezoid
    along_y = one(values, dx=grid.axes[1].step, axis=1)
    both = one(along_y, dx=grid.axes[0].step)
    assert np.allclose(grid.integrate("exp(x)*cos(y)", axis="y", rule=rule), along_y, rtol=1e-15, atol=1e-15)
    assert math.isclose(grid.integrate("exp(x)*cos(y)", rule=rule), both, rel_tol=1e-14)


def test_histograms_count_as_numpy():
    grid = Grid(x=(-2, 2, 301), y=(0, 3, 101))
    values = grid.evaluate("sin(x*y)*x")
    for bins, value_range in [(10, None), (7, (-1, 1)), (1, (0, 0.5)), ([-2, -0.5, 0, 0.25, 3], None)]:
        counts, edges = grid.histogram("sin(x*y)*x", bins=bins, range=value_range)
        expected, expected_edges = np.histogram(values, bins=bins, range=value_range)
        assert np.array_equal(counts, expected) and np.array_equal(edges, expected_edges)
    counts, _ = Grid(x=(0, 1, 3)).histogram("1 + 0*x")  # one value: NumPy's range of value +- 0.5
    assert np.array_equal(counts, np.histogram(np.ones(3))[0])


# NaN where x*y < 0, -inf where x*y = 0, inf at x = 0.25, and many repeated values.
NASTY = "where(x < 0, log(x*y), where(y > 0.5, 1/(x - 0.25), floor(4*sin(7*x*y))))"


@pytest.mark.parametrize("budget", [_stats.BUDGET, 64])
def test_quantiles_are_numpys_of_the_evaluated_values_with_nan_and_inf(budget, monkeypatch):
    # A small budget: many passes of few bins, ranges of one key, several ranges per cell.
    monkeypatch.setattr(_stats, "BUDGET", budget)
    grid = Grid.from_steps(x=(-0.5, 1 / 64, 97), y=(-1, 1 / 32, 65))
    q = [0, 0.01, 1 / 3, 0.5, 0.75, 0.999, 1]
    for f in [NASTY, NASTY.replace("log(x*y)", "log(abs(x*y))")]:
        values = grid.evaluate(f)
        for axis, ax in [(None, None), ("x", 0), ("y", 1)]:
            with np.errstate(all="ignore"):  # NumPy's interpolation meets infinities
                quantiles, median = np.quantile(values, q, axis=ax), np.median(values, axis=ax)
            assert np.array_equal(grid.quantile(f, q, axis), quantiles, equal_nan=True)
            assert np.array_equal(grid.median(f, axis), median, equal_nan=True)


def test_statistics_of_millions_of_points_are_numpys():
    # Sixteen million points, four million in a shallow run: either way many
    # runs of the sweep (_stats.RUN_POINTS), whose order the results must not show.
    side = deep(4000, 2000)
    grid = Grid(x=(0, 30, side), y=(-1, 7, side))
    values = grid.evaluate(W)
    assert grid.median(W) == np.median(values)
    assert np.array_equal(grid.quantile(W, [0.1, 0.9], axis="y"), np.quantile(values, [0.1, 0.9], axis=1))
    assert grid.count_nonzero(W, axis="x").tolist() == np.count_nonzero(values, axis=0).tolist()
    assert math.isclose(grid.std(W), np.std(values), rel_tol=1e-14)


@pytest.mark.parametrize("f", ["3.7 + 0*x", "1 + 1e-13*sin(40*x)", "exp(expm1(1e-8*x))"])
def test_variances_of_fields_near_their_own_rounding(f):
    # (f - mean)**2 as a formula would be the engine's, from f's exact values: not the variance of these.
    grid = Grid(x=(0, 3, 2001))
    values = [Fraction(v) for v in grid.evaluate(f).tolist()]
    mean = sum(values) / len(values)
    exact = sum((v - mean) ** 2 for v in values) / len(values)
    ours = grid.var(f)
    assert ours == 0 if exact == 0 else ulps(ours, exact) <= 2


def test_products_where_numpys_running_product_overflows():
    grid = Grid(x=(0, 3, 4))
    for f in ["where(x < 2, 1e200, 1e-200)", "where(x < 2, -1e-200, 1e200)"]:
        values = grid.evaluate(f)
        with np.errstate(all="ignore"):
            assert np.prod(values) in (np.inf, 0.0)  # NumPy's overflow or underflow on the way
        assert grid.prod(f) == float(math.prod(map(Fraction, values.tolist())))
    assert np.signbit(grid.prod("where(x < 1, -0.0, 1)")) and np.isnan(grid.prod("where(x < 1, 1/x, 0*x)"))


def test_the_forms_of_results_and_numpys_warnings():
    grid = Grid(x=(-1, 1, 5), y=(0, 1, 2))
    f = "sqrt(x) + y"
    values = grid.evaluate(f)
    assert type(grid.std(f)) is np.float64 and type(grid.count_nonzero(f)) is np.intp
    assert type(grid.any(f)) is np.bool_ and grid.all(f, axis="y").dtype == bool
    assert type(grid.quantile(f, 0.5)) is np.float64 and grid.quantile(f, [[0.5], [1]], axis="x").shape == (2, 1, 2)
    with pytest.warns(RuntimeWarning, match="Mean of empty slice"):
        means = grid.nanmean(f, axis="y")
    with pytest.warns(RuntimeWarning, match="Mean of empty slice"):
        assert np.array_equal(means, np.nanmean(values, axis=1), equal_nan=True)
    with pytest.warns(RuntimeWarning, match=r"Degrees of freedom <= 0 for slice\."):
        grid.nanstd(f, axis="y")
    with pytest.warns(RuntimeWarning, match="Degrees of freedom <= 0 for slice"):
        assert np.isinf(grid.var("x", ddof=10))
    hows = ("mean", "std", "median", "argmax", "prod")
    together = grid.reduce("x*y", hows, axis="x")  # one native pass, one sweep
    assert all(np.array_equal(a, grid.reduce("x*y", how, axis="x")) for a, how in zip(together, hows, strict=True))
    with np.errstate(over="ignore"):  # squares that overflow, as NumPy's
        assert np.isinf(grid.var("1e300*x")) and np.isinf(np.var(grid.evaluate("1e300*x")))
    with pytest.raises(ValueError, match=r"range \[0, 1\]"):
        grid.quantile("x", 1.5)
    with pytest.raises(TypeError, match="ddof"):
        grid.var("x", ddof=True)


REFUSED = [
    (lambda g: g.reduce("x", "mode"), "unknown reduction 'mode'"),
    (lambda g: g.reduce("x", "quantile"), r"'quantile' \(Grid.quantile takes q\)"),
    (lambda g: g.integrate("x", rule="midpoint"), "unknown rule 'midpoint'"),
    (lambda g: g.sum("x", axis=2), "axis 2 is out of range"),
    (lambda g: g.sum("x", axis=-3), "axis -3 is out of range"),
    (lambda g: g.sum("x", axis=("x", 0)), "is repeated"),
    (lambda g: g.sum("x", axis="z"), "'z' is not an axis"),
    (lambda g: g.sum("x", axis=()), "names no dimension"),
    (lambda g: g.histogram("x", bins=0, range=(0, 1)), "positive number of bins"),
    (lambda g: g.histogram("x", bins=3, range=(1, 1)), "lo must be below hi"),
    (lambda g: g.histogram("x", bins=3, range=(2, 1)), "lo must be below hi"),
    (lambda g: g.histogram("x", bins=[0, 1, 1]), "must be finite and increase"),
    (lambda g: g.histogram("log(x - 1)"), "not finite"),
    (lambda g: g.integrate("x", axis="y"), "axis 'y': it has one point"),
]


@pytest.mark.parametrize("call, message", REFUSED, ids=[m for _, m in REFUSED])
def test_bad_requests_are_refused(call, message):
    with pytest.raises(ValueError, match=message):
        call(Grid(x=(0, 1, 5), y=(0, 1, 1)))


def test_a_reduction_is_interruptible_and_the_node_stays_usable():
    script = (
        "import math, signal, threading, vemiral_grid as g\n"
        "grid = g.Grid(x=(0, 1, 100000), y=(0, 1, 100000))\n"
        "node = grid.expression('sin(x*y)')\n"
        "threading.Timer(0.3, signal.raise_signal, (signal.SIGINT,)).start()\n"
        "try:\n    grid.sum(node)\nexcept KeyboardInterrupt:\n"
        "    print('interrupted', node._reduce((3, 4), ['sum'], [1, 1])[0][0] == math.fsum(node.evaluate((3, 4)).ravel()))\n"
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.stdout.split() == ["interrupted", "True"], done.stderr


LONG = Grid(x=(1000, 2000, 10), y=(1000, 2000, 10)).expression("sin(x*y) + sin(y)")
BEYOND_MEMORY = [
    (lambda: Grid(x=(0, 1, 5)).histogram("x", bins=2**40, range=(0, 1)), r"histogram: bins=1099511627776 "),
    (lambda: Grid.from_steps(t=(0, 1, 2**62)).histogram("t", bins=10**12), r"histogram: bins=1000000000000 "),
    (lambda: LONG._reduce((4, 2**61), ["sum"], [1, 1], tile=2**62), r"tile \(4611686018427387904, 4611686018427387904\)"),
    (lambda: LONG._reduce((4, 2**61), ["min", "max"], [1, 1], tile=(2**40, 2**40)), r"tile \(1099511627776, 1099511627776\)"),
    (lambda: Grid.from_steps(x=(0, 1, 4), y=(0, 1, 2**61)).sum("x*y", tile=(4, 2**61)), r"tile \(4, 2305843009213693952\)"),
    (lambda: Grid.from_steps(x=(0, 1, 2**62), y=(0, 1, 2)).max("x", axis="y"), r"4611686018427387904 cells"),
]


@pytest.mark.parametrize("call, message", BEYOND_MEMORY, ids=[m for _, m in BEYOND_MEMORY])
def test_requests_beyond_memory_are_refused_by_what_was_asked(call, message):
    with pytest.raises(MemoryError, match=message) as refused:
        call()
    assert "std::" not in str(refused.value) and "max_size" not in str(refused.value)


@pytest.mark.parametrize("tile", [2**62, (2**40, 2**40), (3, 2**17)])
def test_a_tile_longer_than_the_grid_tabulates_what_the_block_reaches(tile):
    # Every point's value depends on the tile and the point alone: two halves of
    # the grid, the second tabulating further than the first, are the whole.
    whole = LONG.evaluate((10, 10), tile=tile)
    halves = np.hstack([LONG.evaluate((10, 5), tile=tile), LONG.evaluate((10, 5), origin=(0, 5), tile=tile)])
    assert whole.tobytes() == halves.tobytes()
    assert np.allclose(whole, LONG.evaluate((10, 10)), rtol=1e-13, atol=1e-13)
    [(total, _)] = LONG._reduce((10, 10), ["sum"], [1, 1], tile=tile)
    assert total == math.fsum(whole.ravel())


@pytest.mark.parametrize("threads", [2, 3, 4])
def test_many_batches_of_parts_give_the_same_bits_on_any_number_of_threads(threads):
    # Thousands of parts (tiles of 64 points, of 3 x 7): batches of 32 per
    # thread follow one another, and a histogram of many bins counts into the
    # result from every thread at once.
    for grid, tile, axis in [(Grid(x=(-3, 4, 200_000)), 64, None), (Grid(x=(0, 3, 300), y=(-1, 2, 400)), (3, 7), "x")]:
        f = "sin(40*x) + 1e-3*x" if grid.ndim == 1 else W
        values = grid.evaluate(f, tile=tile)
        hows = ("sum", "max", "argmin", "nansum")
        one = grid.reduce(f, hows, axis=axis, tile=tile, threads=1)
        many = grid.reduce(f, hows, axis=axis, tile=tile, threads=threads)
        assert all(np.asarray(a).tobytes() == np.asarray(b).tobytes() for a, b in zip(one, many, strict=True))
        ax = None if axis is None else 0
        argmin = np.unravel_index(values.argmin(), values.shape) if axis is None else values.argmin(axis=0)
        assert np.array_equal(one[1], values.max(axis=ax)) and np.array_equal(one[2], argmin)
        exact = math.fsum(values.ravel()) if axis is None else [math.fsum(c) for c in values.T]
        assert np.array_equal(one[0], exact)
        for bins in (50, 10_000):
            counts, edges = grid.histogram(f, bins, (-1, 1), tile=tile, threads=threads)
            assert np.array_equal(counts, np.histogram(values, bins, (-1, 1))[0])


STREAMED = {
    "min and max of 2**63 - 1 points": "Grid.from_steps(t=(0, 1e-9, 2**63 - 1)).reduce('t', ('min', 'max'))",
    "sum of 2**62 points (2-D)": "Grid.from_steps(x=(0, 1e-9, 2**31), y=(0, 1e-9, 2**31)).sum('sin(x*y)')",
    "std of 2**62 points": "Grid.from_steps(t=(0, 1e-9, 2**62)).std('t')",
    "histogram of 2**62 points": "Grid.from_steps(t=(0, 1e-9, 2**62)).histogram('t', 10**5, (0, 1))",
    "command line summary of 2**63 - 1 points": "run(['t', '-a', 't=0:1:9223372036854775807', '-q'])",
}


def resident(pid):
    with open(f"/proc/{pid}/status", encoding="ascii") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmRSS:"))


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="reads a process's memory from /proc")
@pytest.mark.skipif(bool(os.environ.get("VEMIRAL_UNDER_SANITIZER")),
                    reason="AddressSanitizer's quarantine holds freed memory: the resident size grows by design")
@pytest.mark.parametrize("program", STREAMED.values(), ids=STREAMED.keys())
def test_a_reduction_of_any_size_runs_in_flat_memory_and_stops_on_ctrl_c(program):
    code = ("from vemiral_grid import Grid\nfrom vemiral_grid._cli import run\nprint('started', flush=True)\n"
            f"try:\n    {program}\nexcept KeyboardInterrupt:\n    print('interrupted')\n")
    with subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True) as child:
        try:
            assert child.stdout.readline() == "started\n"
            time.sleep(1.0)  # past the start of the reduction: whatever it made up front is made
            before = resident(child.pid)
            time.sleep(2.0)
            grown = resident(child.pid) - before
            child.send_signal(signal.SIGINT)
            out, err = child.communicate(timeout=30)  # a liveness check, not a measure of speed
        finally:
            child.kill()
    assert grown < 16 * 2**20, f"grew by {grown / 2**20:.1f} MiB"
    assert "interrupted" in out + err and "std::" not in err and "Traceback" not in err, (out, err)


@pytest.mark.slow
@pytest.mark.skipif(bool(os.environ.get("VEMIRAL_UNDER_SANITIZER")), reason="a capped address space and ASan disagree")
def test_the_command_line_summary_streams_a_grid_larger_than_its_memory(tmp_path):
    cap = 3 * 2**30  # the grid's values would take 8 GB (4 GB in a shallow run)
    rows = deep(40000, 20000)

    def capped():
        resource.setrlimit(resource.RLIMIT_AS, (cap, cap))

    script = os.path.join(os.path.dirname(sys.executable), "vemiral-grid")
    done = subprocess.run(
        [script, "x - y", "-a", f"x=0:1:{rows}", "-a", "y=0:1:25000", "-q"],
        capture_output=True, text=True, timeout=300, preexec_fn=capped, cwd=tmp_path,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith(f"shape ({rows}, 25000), min -1.0, max 1.0, mean ")
    assert float(done.stdout.split("mean ")[1].split()[0]) == pytest.approx(0.0, abs=1e-12)


# --- Dask ------------------------------------------------------------------------


@pytest.mark.parametrize("chunks", [(40, 64), (128, 100), 37])
def test_dask_blocks_join_to_the_native_results(chunks):
    pytest.importorskip("dask")
    grid = Grid(x=(0, 3, 128), y=(-1, 2, 200))
    f = "sin(x*y) + sqrt(x - y)"
    for how, axis in itertools.product(["sum", "nanmax", "argmin", "nansum"], [None, "x", "y"]):
        native = grid.reduce(f, how, axis)
        through = grid.reduce(f, how, axis, chunks=chunks)
        if how == "nansum":  # joined in another grouping: within the rounding of the exact sum
            assert np.allclose(native, through, rtol=2e-16, atol=0)
        else:
            assert np.array_equal(native, through, equal_nan=True), (how, axis)
    assert np.array_equal(grid.histogram(f, 9, (0, 2), chunks=chunks)[0], grid.histogram(f, 9, (0, 2))[0])
    for axis in [None, "x", "y"]:  # statistics: selections combine the blocks' counts, sweeps their states
        for how in ["median", "count_nonzero", "all", "ptp", "std", "nanvar", "prod"]:
            native, through = grid.reduce(f, how, axis), grid.reduce(f, how, axis, chunks=chunks)
            assert np.allclose(native, through, rtol=4e-16, atol=0, equal_nan=True), (how, axis)
            assert np.array_equal(native, through, equal_nan=True) or how in ("std", "nanvar", "prod")
        assert np.array_equal(grid.quantile(f, [0, 0.3, 1], axis, chunks=chunks), grid.quantile(f, [0, 0.3, 1], axis),
                              equal_nan=True)
    array = grid.to_dask(f, chunks=chunks)
    assert np.array_equal(reduce(array, "nanmax", "y"), grid.nanmax(f, axis="y"))
    with pytest.raises(ValueError, match="made by to_dask itself"):
        reduce(array + 1, "sum")


@pytest.mark.slow
@pytest.mark.skipif(
    bool(os.environ.get("VEMIRAL_UNDER_SANITIZER")), reason="worker processes would need the sanitizer runtime"
)
def test_a_local_cluster_of_worker_processes_reduces_block_by_block():
    distributed = pytest.importorskip("distributed")
    grid = Grid(x=(0, 10, 3000), y=(0, 10, 2048))
    with (
        distributed.LocalCluster(
            n_workers=2, processes=True, threads_per_worker=1, dashboard_address=":0", memory_limit=None
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        # Blocks of whole tile rows: the same parts, joined in the same order, as the engine's.
        assert grid.sum(W, client=client, chunks=(256, 2048)) == grid.sum(W)
        assert grid.argmax(W, axis="x", client=client) .tolist() == grid.argmax(W, axis="x").tolist()
        assert np.array_equal(grid.integrate(W, axis="y", client=client, chunks=(500, 2048)), grid.integrate(W, axis="y"))
        assert np.array_equal(grid.quantile(W, [0.2, 0.5], axis="y", client=client), grid.quantile(W, [0.2, 0.5], axis="y"))
