"""Grids as Dask arrays: every block is computed by `evaluate` at its own origin.

Needs the package's `dask` extra: dask.array, and distributed for a cluster.
"""

from __future__ import annotations

import hashlib
import pickle
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from ._formula import Expression, parameters_of, prepared
from ._native import join, run
from ._options import Method, by_dimension, method_of
from ._stats import merge_states, sweep_block
from ._tiles import tile_edges, whole_tiles
from ._complex_values import value_dtype
from ._values import Node, evaluate_into, output_dtype

if TYPE_CHECKING:
    import dask.array

    import vemiral

    from ._grid import Grid

# Default block size: whole tiles adding up to at most this many bytes.
CHUNK_BYTES = 128 * 2**20


def to_dask(
    grid: Grid,
    expr: Expression,
    chunks: Any = None,
    tile: int | Sequence[int] | None = None,
    dtype: Any = np.float64,
    method: Method = "accurate",
    params: Mapping[str, float] | None = None,
    **parameters: float,
) -> dask.array.Array:
    """A dask.array.Array of the grid's shape holding the values of `expr`.

    Each block is `evaluate` of the block's own shape at the block's origin,
    on one thread (Dask supplies the parallelism), so any chunking gives
    `grid.evaluate(expr, tile=tile, dtype=dtype, method=method)` bit for bit.
    `chunks` is anything Dask accepts, with a mapping's keys axis names as
    xarray takes them (``{"x": 500}``; a dimension left out is one block), by
    default whole tiles of at most 128 MiB; chunks that leave a block without
    a point (``chunks=0``) are a ValueError. `dtype` is float64 or float32
    (computed in double, rounded once per value). The expression is one key
    of the graph that every block task refers to: it travels to a worker
    once, not once per block. `method` and the formula's parameters are
    given as for `Grid.evaluate`.

    >>> from vemiral_grid import Grid
    >>> from vemiral_grid.distributed import to_dask
    >>> grid = Grid(x=(0, 1, 1000), y=(1, 3, 1000))
    >>> w = to_dask(grid, "sin(x*y) + cos(x + y)", chunks=500)
    >>> w.chunks
    ((500, 500), (500, 500))
    >>> float(w.max().compute()) == float(grid.evaluate("sin(x*y) + cos(x + y)").max())
    True
    >>> to_dask(grid, "x*y", chunks={"y": 250}).chunks
    ((1000,), (250, 250, 250, 250))
    """
    import dask.array as da
    from dask.delayed import delayed

    shape = grid.shape
    values = parameters_of(grid, params, parameters, expr, ("chunks", "tile", "dtype", "method", "params"))
    method = method_of(method)
    edges = tile_edges(tile, grid.ndim, method, shape)
    kind = output_dtype(dtype)
    # The parser's and the algebra's refusals come before any task is built.
    node = prepared(grid, expr, edges, values, method)
    kind = value_dtype(kind, node)  # complex values for a complex formula
    chunks = block_sizes(grid, chunks, edges, kind.itemsize)

    records = pickle.dumps(node, protocol=pickle.HIGHEST_PROTOCOL)
    digest = hashlib.sha256(records).hexdigest()[:32]
    expression = delayed(node, name=f"vemiral-expression-{digest}", pure=True, traverse=False)
    token = hashlib.sha256(repr((digest, shape, chunks, edges, kind.str, method)).encode()).hexdigest()[:32]
    array: dask.array.Array = da.map_blocks(  # type: ignore[no-untyped-call]
        _block,
        expression,
        edges,
        kind.str,
        method,
        chunks=chunks,
        dtype=kind,
        meta=np.empty((0,) * len(shape), dtype=kind),
        name=f"vemiral-{token}",
    )
    if kind == np.float64 and method == "accurate":
        # What `reduce` needs to reduce the blocks without making them (the
        # native reductions run the accurate method).
        array._vemiral_source = (grid, node, edges)  # type: ignore[attr-defined]
    return array


def block_sizes(grid: Grid, chunks: Any, edges: Sequence[int], itemsize: int) -> tuple[tuple[int, ...], ...]:
    """Dask's block sizes of `chunks` (None: whole tiles of at most CHUNK_BYTES of
    values of `itemsize` bytes); a mapping by axis name as xarray takes it. A
    block without a point, or chunks Dask cannot read, are a ValueError naming
    the argument (Dask's own answer to a 0 is a ZeroDivisionError)."""
    import dask.array as da

    if chunks is None:
        chunks = whole_tiles(grid.shape, edges, CHUNK_BYTES // itemsize)
    given = by_dimension(grid, chunks)
    try:
        normal = da.core.normalize_chunks(given, grid.shape, dtype=np.dtype(f"f{itemsize}"))  # type: ignore[no-untyped-call]
    except ZeroDivisionError:
        normal = ((0,),)
    except (ValueError, TypeError) as error:
        reason = str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__
        raise ValueError(
            f"chunks {chunks!r}: not chunks Dask reads (an int, one per dimension, 'auto', or a mapping "
            f"by axis name): {reason}"
        ) from None
    if any(size < 1 for sizes in normal for size in sizes):
        raise ValueError(f"chunks {chunks!r}: every block needs at least one point along every dimension")
    return tuple(tuple(int(size) for size in sizes) for sizes in normal)


def reduce(array: dask.array.Array, how: str | Sequence[str], axis: Any = None, *, client: Any = None) -> Any:
    """`how` (as `Grid.reduce` takes it) of a float64 array made by `to_dask`
    with the accurate method,
    as one native reduction per block of the array's own chunks, no block of
    values made: the results of ``grid.reduce(expr, how, axis, chunks=...)``.
    Dask's own ``array.sum()`` makes every block and reduces it with NumPy.
    Computed on `client`, else on Dask's current scheduler.

    >>> from vemiral_grid import Grid
    >>> from vemiral_grid.distributed import reduce, to_dask
    >>> w = to_dask(Grid(x=(0, 1, 1000), y=(1, 3, 1000)), "x*y", chunks=500)
    >>> reduce(w, ("max", "argmax"))
    (np.float64(3.0), (999, 999))
    """
    source = getattr(array, "_vemiral_source", None)
    if source is None:
        raise ValueError(
            "reduce takes a float64 array made by to_dask itself with the accurate method (not one "
            "derived from it); a grid's formula reduces with Grid.reduce"
        )
    grid, node, tile = source
    return grid.reduce(node, how, axis, tile=tile, chunks=array.chunks, client=client)


def _block(
    node: Node, tile: tuple[int, ...], dtype: str, method: Method, block_info: dict[Any, Any] | None = None
) -> np.ndarray:
    # A pure function of where the block lies: the scheduler cannot change a value.
    assert block_info is not None
    location = block_info[None]["array-location"]
    out = np.empty([stop - start for start, stop in location], dtype=dtype)
    return evaluate_into(node, out, [start for start, _ in location], tile, threads=1, method=method)


def reduce_blocks(
    grid: Grid,
    node: vemiral.ASTnode,
    request: Any,
    *,
    chunks: Any = None,
    tile: tuple[int, ...],
    client: Any = None,
) -> list[Any]:
    """The raw results of a reduction (vemiral_grid._native.Request) of the whole
    grid as one Dask task per block, each a native reduction of its block on
    the worker (no block of values is made or sent), and one task joining them
    in the blocks' order. Computed on `client` (a distributed.Client), else on
    Dask's current scheduler. `chunks` as for `to_dask`."""
    from dask.delayed import delayed

    expression = _expression(node)
    parts = [
        delayed(_reduce_block, pure=True)(expression, block, origin, tile, request)
        for origin, block in _blocks(grid, chunks, tile)
    ]
    joined = delayed(_join, pure=True)(request, grid.shape, parts)
    if client is not None:
        return client.compute(joined).result()  # type: ignore[no-any-return]
    return joined.compute()  # type: ignore[no-any-return]


def sweep_blocks(
    grid: Grid, node: vemiral.ASTnode, layout: Any, passes: Sequence[Any], *, chunks: Any = None, client: Any = None
) -> list[Any]:
    """The states of a sweep of statistics (vemiral_grid._stats) over the whole
    grid as one Dask task per block, each evaluating its block run by run on
    the worker and folding the values into its cells' states (no block of
    values is sent), and tasks joining the states of up to 16 blocks at a time
    in the blocks' order. `chunks` as for `to_dask`."""
    from dask.delayed import delayed

    expression = _expression(node)
    plan = delayed(list(passes), pure=True, traverse=False)  # one key, sent once per worker
    parts = [
        delayed(_sweep_block, pure=True)(expression, layout, origin, block, plan)
        for origin, block in _blocks(grid, chunks, layout.tile)
    ]
    while len(parts) > 1:
        parts = [delayed(_merge, pure=True)(plan, parts[i : i + 16]) for i in range(0, len(parts), 16)]
    (joined,) = parts
    if client is not None:
        return client.compute(joined).result()  # type: ignore[no-any-return]
    return joined.compute()  # type: ignore[no-any-return]


def _expression(node: vemiral.ASTnode) -> Any:
    """The node as one key of the graph that every block task refers to."""
    from dask.delayed import delayed

    records = pickle.dumps(node, protocol=pickle.HIGHEST_PROTOCOL)
    digest = hashlib.sha256(records).hexdigest()[:32]
    return delayed(node, name=f"vemiral-expression-{digest}", pure=True, traverse=False)


def _blocks(grid: Grid, chunks: Any, tile: tuple[int, ...]) -> list[tuple[tuple[int, ...], tuple[int, ...]]]:
    """(origin, shape) of every block of `chunks` (as `to_dask` takes them), in C order."""
    normal = block_sizes(grid, chunks, tile, 8)
    starts = [np.concatenate(([0], np.cumsum(sizes)[:-1])).tolist() for sizes in normal]
    blocks = []
    for index in np.ndindex(*(len(sizes) for sizes in normal)):
        origin = tuple(int(starts[d][i]) for d, i in enumerate(index))
        block = tuple(int(normal[d][i]) for d, i in enumerate(index))
        blocks.append((origin, block))
    return blocks


def _sweep_block(
    node: vemiral.ASTnode, layout: Any, origin: tuple[int, ...], shape: tuple[int, ...], passes: list[Any]
) -> list[Any]:
    return sweep_block(node, layout, origin, shape, passes, threads=1)  # Dask runs blocks side by side


def _merge(passes: list[Any], parts: list[list[Any]]) -> list[Any]:
    return merge_states(passes, parts)


def _reduce_block(
    node: vemiral.ASTnode, shape: tuple[int, ...], origin: tuple[int, ...], tile: tuple[int, ...], request: Any
) -> tuple[tuple[int, ...], tuple[int, ...], list[Any]]:
    # One thread: Dask runs blocks side by side.
    return origin, shape, run(node, shape, request, origin=origin, tile=tile, threads=1)


def _join(request: Any, shape: tuple[int, ...], parts: list[Any]) -> list[Any]:
    return join(request, shape, parts)
