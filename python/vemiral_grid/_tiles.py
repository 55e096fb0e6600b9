"""Tile edges and block shapes shared by the Dask and .npy paths."""

from __future__ import annotations

import math
import operator
from collections.abc import Iterator, Sequence

import numpy as np

import vemiral

from ._options import Method


def tile_edges(
    tile: int | Sequence[int] | None, ndim: int, method: Method = "accurate", shape: Sequence[int] | None = None
) -> tuple[int, ...]:
    """One tile edge per dimension, from one int for every dimension or one per
    dimension (None: the method's default), refused as evaluate refuses it, but
    before any work is planned: a bad tile found inside a Dask task would
    surface far from the call that made it.

    With the grid's `shape`, an edge beyond both the grid's points along its
    dimension and every method's default edge is refused too (ValueError):
    such a tile holds no point more, but the engine's tables grow with its
    edge, and an absurd one would fail deep inside it as a failed allocation."""
    default = int(vemiral.default_tile(ndim, method=method))
    if tile is None:
        return (default,) * ndim
    items = int_sequence(tile, "tile")
    if items is None:
        if isinstance(tile, bool) or not hasattr(tile, "__index__"):
            raise TypeError(f"tile must be an int or a sequence of ints, not {type(tile).__name__}")
        edges = (positive_int(tile, "tile"),) * ndim
        names = ["tile"] * ndim
    else:
        if len(items) != ndim:
            raise ValueError(f"tile has {len(items)} entries, the grid has {ndim} dimensions")
        edges = tuple(positive_int(item, f"tile[{i}]") for i, item in enumerate(items))
        names = [f"tile[{i}]" for i in range(ndim)]
    if shape is not None:
        defaults = max(int(vemiral.default_tile(ndim, method=other)) for other in ("accurate", "recurrence"))
        for d, (edge, name) in enumerate(zip(edges, names, strict=True)):
            if edge > max(shape[d], defaults):
                raise ValueError(
                    f"{name} must be at most {max(shape[d], defaults)} for this grid (its {shape[d]} points along "
                    f"dimension {d}, or a default edge, {defaults}; a larger tile holds no more points), not {edge}"
                )
    return edges


def as_int(value: object, what: str) -> int:
    """An int from an int, a NumPy integer or anything else with __index__;
    bools, floats (even integral ones) and everything else are refused with a
    TypeError naming `what`, as the native module refuses them."""
    if isinstance(value, bool | float):
        raise TypeError(f"{what} must be an int, not {type(value).__name__}")
    try:
        return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{what} must be an int, not {type(value).__name__}") from None


def positive_int(value: object, what: str) -> int:
    """An int of at least 1 (as_int), else ValueError."""
    number = as_int(value, what)
    if number < 1:
        raise ValueError(f"{what} must be at least 1, not {number}")
    return number


def int_sequence(value: object, what: str) -> list[object] | None:
    """The items of a sequence meant to hold ints (a list, a tuple, a
    one-dimensional NumPy array, ...), or None for a lone value; text and bytes
    are refused (TypeError), and so are arrays of other shapes."""
    if isinstance(value, str | bytes | bytearray | memoryview):
        raise TypeError(f"{what} must be an int or a sequence of ints, not {type(value).__name__}")
    if isinstance(value, np.ndarray):
        if value.ndim == 0:
            return None
        if value.ndim != 1:
            raise TypeError(f"{what} must be an int or a sequence of ints, not an array of {value.ndim} dimensions")
        return list(value)
    if isinstance(value, Sequence):
        return list(value)
    return None


def whole_tiles(shape: Sequence[int], edges: Sequence[int], points: int) -> tuple[int, ...]:
    """A block shape of whole tiles holding at most about `points` points, cut
    from the outermost dimension inwards so that the innermost dimensions,
    contiguous in memory, stay long; along a cut dimension the blocks are as
    even as whole tiles allow. Where even one tile is larger than `points`
    (three dimensions at the default tile), the outer dimensions are then cut
    inside the tiles: a block that starts inside a tile along an outer
    dimension costs a few steps per row, along the innermost one it would
    compute the points before it."""
    block = list(shape)
    for d in range(len(shape)):
        if math.prod(block) <= points:
            break
        others = math.prod(block[:d]) * math.prod(block[d + 1 :])
        fit = max(1, points // others)  # points along d that fit, whole tiles or not
        tiles = -(-shape[d] // edges[d])
        per_block = max(1, fit // edges[d])
        pieces = -(-tiles // per_block)
        block[d] = min(shape[d], -(-tiles // pieces) * edges[d])
    for d in range(len(shape)):
        if math.prod(block) <= points:
            break
        fit = max(1, points // (math.prod(block) // block[d]))
        block[d] = -(-shape[d] // -(-shape[d] // fit))  # even pieces of at most fit
    return tuple(block)


def file_runs(shape: Sequence[int], edges: Sequence[int], points: int) -> Iterator[tuple[tuple[int, ...], tuple[int, ...], int]]:
    """Blocks of at most about `points` points (at least one row of one tile),
    each one contiguous run of the grid in C order: fixed indices before some
    dimension k, a run of whole tiles along k, everything after k. Yields
    (origin, block shape, offset of the block's first point in points)."""
    ndim = len(shape)
    k, inner = ndim - 1, 1
    while k > 0 and inner * shape[k] <= points:
        inner *= shape[k]
        k -= 1
    run = max(1, points // inner)
    if run >= edges[k]:
        run -= run % edges[k]
    run = min(run, shape[k])
    strides = [math.prod(shape[d + 1 :]) for d in range(ndim)]
    for outer in _indices(shape[:k]):
        for first in range(0, shape[k], run):
            origin = (*outer, first) + (0,) * (ndim - k - 1)
            block = (1,) * k + (min(run, shape[k] - first),) + tuple(shape[k + 1 :])
            yield origin, block, sum(i * s for i, s in zip(origin, strides, strict=True))


def _indices(shape: Sequence[int]) -> Iterator[tuple[int, ...]]:
    # numpy.ndindex in pure Python: extents here may exceed what NumPy indexes.
    index = [0] * len(shape)
    while True:
        yield tuple(index)
        d = len(shape) - 1
        while d >= 0:
            index[d] += 1
            if index[d] < shape[d]:
                break
            index[d] = 0
            d -= 1
        if d < 0:
            return
