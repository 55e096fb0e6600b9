"""Reductions without the array: every reduction against NumPy on the evaluated
values (random trees, 1 to 4 dimensions, every axis subset), sums against
math.fsum, the same bits on any number of threads and through Dask, the
command line's summary in a capped address space, and the refusals."""

import itertools
import math
import os
import resource
import subprocess
import sys
import warnings
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from test_accuracy import trees

from vemiral_grid import Grid
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


@st.composite
def cases(draw):
    dims = draw(st.integers(1, 4))
    longest = {1: 20000, 2: 90, 3: 20, 4: 7}[dims]
    shape = tuple(draw(st.integers(1, longest)) for _ in range(dims))
    origin = tuple(draw(st.sampled_from([0, 0, 5, 10**6])) for _ in range(dims))
    tile = draw(st.sampled_from([None, 3, 8, 64]))
    reduced = draw(st.sets(st.integers(0, dims - 1), min_size=1))
    return draw(trees(dims, jumps=True)), shape, origin, tile, tuple(sorted(reduced))


@settings(max_examples=60, deadline=None, suppress_health_check=list(HealthCheck))
@given(cases())
def test_every_reduction_matches_numpy_on_the_evaluated_values(case):
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
        (counts,) = node._reduce(shape, ["histogram"], reduced, origin=origin, tile=tiles, edges=edges, uniform=True)
        assert np.array_equal(counts, np.histogram(values[~np.isnan(values)], edges)[0])


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


REFUSED = [
    (lambda g: g.reduce("x", "median"), "unknown reduction 'median'"),
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


@pytest.mark.skipif(bool(os.environ.get("VEMIRAL_UNDER_SANITIZER")), reason="a capped address space and ASan disagree")
def test_the_command_line_summary_streams_a_grid_larger_than_its_memory(tmp_path):
    cap = 3 * 2**30  # the grid's values would take 8 GB

    def capped():
        resource.setrlimit(resource.RLIMIT_AS, (cap, cap))

    script = os.path.join(os.path.dirname(sys.executable), "vemiral-grid")
    done = subprocess.run(
        [script, "x - y", "-a", "x=0:1:40000", "-a", "y=0:1:25000", "-q"],
        capture_output=True, text=True, timeout=300, preexec_fn=capped, cwd=tmp_path,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("shape (40000, 25000), min -1.0, max 1.0, mean ")
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
    array = grid.to_dask(f, chunks=chunks)
    assert np.array_equal(reduce(array, "nanmax", "y"), grid.nanmax(f, axis="y"))
    with pytest.raises(ValueError, match="made by to_dask itself"):
        reduce(array + 1, "sum")


@pytest.mark.skipif(
    bool(os.environ.get("VEMIRAL_UNDER_SANITIZER")), reason="worker processes would need the sanitizer runtime"
)
def test_a_local_cluster_of_worker_processes_reduces_block_by_block():
    distributed = pytest.importorskip("distributed")
    grid = Grid(x=(0, 10, 3000), y=(0, 10, 2048))
    with (
        distributed.LocalCluster(
            n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None, memory_limit=None
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        # Blocks of whole tile rows: the same parts, joined in the same order, as the engine's.
        assert grid.sum(W, client=client, chunks=(256, 2048)) == grid.sum(W)
        assert grid.argmax(W, axis="x", client=client) .tolist() == grid.argmax(W, axis="x").tolist()
        assert np.array_equal(grid.integrate(W, axis="y", client=client, chunks=(500, 2048)), grid.integrate(W, axis="y"))
