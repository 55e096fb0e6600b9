"""Grids as Dask arrays: any chunking equals evaluate bit for bit, small tasks, refusals, a real cluster."""

import os
import pickle

import numpy as np
import pytest

import vemiral as vm
from vemiral_grid import Grid
from vemiral_grid.distributed import CHUNK_BYTES, to_dask

da = pytest.importorskip("dask.array")

W = "sin(x*y) + cos(x + y)"


def same_bits(a, b):
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


@pytest.fixture
def grid():
    # Odd extents, so that no chunking divides them evenly.
    return Grid(x=(0.0, 2.0, 301), y=(-1.0, 1.0, 257))


CHUNKINGS = {
    "default": None,
    "regular": (50, 64),
    "uneven": ((100, 100, 101), (7, 250)),
    "one row": ((1, 300), (257,)),
    "single points along y": (301, 1),
    "whole grid": (301, 257),
    "auto": "auto",
    "by bytes": "64 KiB",
}


@pytest.mark.parametrize("chunks", CHUNKINGS.values(), ids=CHUNKINGS.keys())
def test_any_chunking_equals_evaluate_bit_for_bit(grid, chunks):
    array = to_dask(grid, W, chunks=chunks)
    assert array.shape == grid.shape and array.dtype == np.float64
    assert same_bits(array.compute(scheduler="threads"), grid.evaluate(W))


EXPRESSIONS = ["exp(-(x**2 + y**2))", "(x + 1)/(y + 2)", "3*x**2*y - 2*x*y + y**3 - 7", "tan(x*y) + ln(x + 2)", "1.5"]


@pytest.mark.parametrize("expr", EXPRESSIONS)
def test_expressions_of_every_kind(grid, expr):
    assert same_bits(grid.to_dask(expr, chunks=(64, 100)).compute(scheduler="sync"), grid.evaluate(expr))


@pytest.mark.parametrize("tile", [9, 7, (16, 5), (300, 3)], ids=str)
def test_a_given_tile_gives_evaluate_with_that_tile(grid, tile):
    array = grid.to_dask(W, chunks=(40, 90), tile=tile)
    assert same_bits(array.compute(scheduler="threads"), grid.evaluate(W, tile=tile))


def test_three_dimensions_and_one():
    cube = Grid.from_steps(x=(0.0, 0.1, 23), y=(1.0, 0.2, 17), z=(-1.0, 0.05, 31))
    expr = "sin(x*y) * exp(-z) + cos(x + z)"
    assert same_bits(cube.to_dask(expr, chunks=(5, 6, 7)).compute(), cube.evaluate(expr))
    line = Grid.from_steps(i=(0.0, 0.001, 100_003))
    assert same_bits(line.to_dask("sin(i)", chunks=9_999).compute(), line.evaluate("sin(i)"))


def test_reductions_match_numpy_on_evaluate(grid):
    array = grid.to_dask(W, chunks=(64, 64))
    whole = grid.evaluate(W)
    top, mean = da.compute(array.max(), array.mean())
    assert top == whole.max()
    assert mean == pytest.approx(whole.mean(), rel=1e-12)


def test_a_node_works_as_the_expression(grid):
    node = vm.sin(grid.x * grid.y) + vm.cos(grid.x + grid.y)
    assert same_bits(grid.to_dask(node, chunks=100).compute(), grid.evaluate(W))


# --- how the graph is built ---------------------------------------------------


def expression_keys(array):
    graph = dict(array.__dask_graph__())
    return [key for key in graph if isinstance(key, str) and key.startswith("vemiral-expression-")], graph


def test_the_expression_travels_once_per_graph(grid):
    # A large expression: a sum of 2000 terms.
    expr = " + ".join(f"sin({k}*x*y)" for k in range(1, 2001))
    array = grid.to_dask(expr, chunks=(20, 20))
    keys, graph = expression_keys(array)
    assert len(keys) == 1
    blocks = [key for key in graph if key != keys[0]]
    assert len(blocks) == array.npartitions == 16 * 13
    node_bytes = len(pickle.dumps(graph[keys[0]]))
    assert node_bytes > 2000 * 32
    for key in blocks:
        task = graph[key]
        assert keys[0] in task.dependencies
        assert len(pickle.dumps(task)) < 2000, "a block task carries the expression"


def test_the_same_request_builds_the_same_graph(grid):
    a, b = grid.to_dask(W), grid.to_dask(W)
    assert a.name == b.name
    assert grid.to_dask(W, chunks=(10, 10)).name != a.name
    assert grid.to_dask("sin(x*y)").name != a.name
    assert grid.to_dask(W, tile=5).name != a.name


def test_default_chunks_are_whole_tiles_of_about_128_mib():
    big = Grid.from_steps(x=(0.0, 1e-5, 100_000), y=(0.0, 1e-5, 100_000))
    array = big.to_dask(W)
    tile = vm.default_tile(2)
    for dim, sizes in enumerate(array.chunks):
        assert sum(sizes) == 100_000
        assert all(size % tile == 0 for size in sizes[:-1]), f"dimension {dim} cut inside a tile"
    block_bytes = 8 * np.prod(array.chunksize)
    assert CHUNK_BYTES / 2 <= block_bytes <= CHUNK_BYTES
    # A grid under the block size is one block.
    assert Grid(x=(0, 1, 1000), y=(0, 1, 1000)).to_dask(W).npartitions == 1


# --- refusals -----------------------------------------------------------------


@pytest.mark.parametrize(
    "chunks",
    [((100, 100), (257,)), ((301,), (200, 100)), (0, 10), ((0, 301), (257,)), (10, 10, 10)],
    ids=["too short", "too long", "zero", "an empty block", "three dimensions"],
)
def test_chunks_that_do_not_fit_are_refused(grid, chunks):
    with pytest.raises(ValueError):
        grid.to_dask(W, chunks=chunks)


@pytest.mark.parametrize(
    "expr, error",
    [("sin(x", ValueError), ("x + z", ValueError), ("__import__('os')", ValueError), (object(), TypeError)],
    ids=["unbalanced", "unknown axis", "call of a name", "not an expression"],
)
def test_a_refused_expression_builds_nothing(grid, expr, error):
    with pytest.raises(error):
        grid.to_dask(expr)


@pytest.mark.parametrize(
    "tile, error",
    [(0, ValueError), ((4,), ValueError), ((4, 4, 4), ValueError), ((4, -1), ValueError), (2.5, TypeError), ("8", TypeError)],
    ids=["zero", "too few", "too many", "negative", "float", "str"],
)
def test_bad_tiles_are_refused_before_any_task(grid, tile, error):
    with pytest.raises(error):
        grid.to_dask(W, tile=tile)


# --- Dask's distributed scheduler with process workers --------------------------


@pytest.mark.slow
@pytest.mark.skipif(
    bool(os.environ.get("VEMIRAL_UNDER_SANITIZER")), reason="worker processes would need the sanitizer runtime"
)
def test_a_local_cluster_of_two_worker_processes_computes_the_grid(grid, local_cluster):
    distributed = pytest.importorskip("distributed")
    with distributed.Client(local_cluster) as client:
        array = grid.to_dask(W, chunks=(60, 100))
        values = client.compute(array).result()
        # Two workers, each a process other than this one.
        where = client.run(os.getpid)
        assert len(where) == 2 and os.getpid() not in where.values()
        top = client.compute(array.max()).result()
    expected = grid.evaluate(W)
    assert same_bits(values, expected)
    assert top == expected.max()
