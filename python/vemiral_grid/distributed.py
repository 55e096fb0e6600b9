"""Grids as Dask arrays: every block is computed by `evaluate` at its own origin.

Needs the `dask` extra (`pip install vemiral[dask]`): dask.array, and
distributed for a cluster.
"""

from __future__ import annotations

import hashlib
import pickle
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from ._tiles import tile_edges, whole_tiles

if TYPE_CHECKING:
    import dask.array

    import vemiral

    from ._grid import Expression, Grid

# Default block size: whole tiles adding up to at most this many bytes.
CHUNK_BYTES = 128 * 2**20


def to_dask(grid: Grid, expr: Expression, chunks: Any = None, tile: int | Sequence[int] | None = None) -> dask.array.Array:
    """A dask.array.Array of the grid's shape holding the values of `expr`.

    Each block is `evaluate` of the block's own shape at the block's origin,
    on one thread (Dask supplies the parallelism), so any chunking gives
    `grid.evaluate(expr, tile=tile)` bit for bit. `chunks` is anything Dask
    accepts (default: whole tiles of at most 128 MiB). The expression is one key of
    the graph that every block task refers to: it travels to a worker once,
    not once per block.
    """
    import dask.array as da
    from dask.delayed import delayed

    shape = grid.shape
    edges = tile_edges(tile, grid.ndim)
    # The parser's and the algebra's refusals come before any task is built.
    node = grid._prepared(expr, edges)
    if chunks is None:
        chunks = whole_tiles(shape, edges, CHUNK_BYTES // 8)
    try:
        normal = da.core.normalize_chunks(chunks, shape, dtype=np.float64)  # type: ignore[no-untyped-call]
    except ZeroDivisionError:  # Dask's answer to a chunk of size 0
        normal = ((0,),)
    if any(size < 1 for sizes in normal for size in sizes):
        raise ValueError(f"chunks {chunks!r}: every block needs at least one point along every dimension")
    chunks = normal

    records = pickle.dumps(node, protocol=pickle.HIGHEST_PROTOCOL)
    digest = hashlib.sha256(records).hexdigest()[:32]
    expression = delayed(node, name=f"vemiral-expression-{digest}", pure=True, traverse=False)
    token = hashlib.sha256(repr((digest, shape, chunks, edges)).encode()).hexdigest()[:32]
    array: dask.array.Array = da.map_blocks(  # type: ignore[no-untyped-call]
        _block,
        expression,
        edges,
        chunks=chunks,
        dtype=np.float64,
        meta=np.empty((0,) * len(shape), dtype=np.float64),
        name=f"vemiral-{token}",
    )
    return array


def _block(node: vemiral.ASTnode, tile: tuple[int, ...], block_info: dict[Any, Any] | None = None) -> np.ndarray:
    # A pure function of where the block lies: the scheduler cannot change a value.
    assert block_info is not None
    location = block_info[None]["array-location"]
    return node.evaluate(
        [stop - start for start, stop in location],
        origin=[start for start, _ in location],
        tile=tile,
        threads=1,
    )
