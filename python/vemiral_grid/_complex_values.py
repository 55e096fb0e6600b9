"""Complex values of a grid: the two real trees of a complex expression
evaluated run by run into cache-sized float64 scratch arrays and written into
the real and imaginary parts of a complex128 or complex64 output.

A run is a contiguous stretch of the block in C order cut along whole tiles
where it can be (_tiles.file_runs); every point's value depends on the tree,
the tile and the point alone, so any cut gives the same bits, and threads
that take runs side by side do too."""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any, cast

import numpy as np

import vemiral

from ._complex import ComplexNode, Part, is_complex, parts_of
from ._tiles import file_runs, tile_edges
from ._values import COMPLEX_DTYPES, share_runs

# Points per run: the two float64 scratch arrays of a thread (2 MiB) stay in
# its share of the cache while they are copied into the output.
RUN_POINTS = 2**17


def is_complex_dtype(dtype: object) -> bool:
    """Whether `dtype` names complex128 or complex64 (anything numpy.dtype reads as one)."""
    try:
        return np.dtype(dtype) in COMPLEX_DTYPES  # type: ignore[call-overload]
    except (TypeError, ValueError):
        return False


def value_dtype(kind: np.dtype[Any], node: object) -> np.dtype[Any]:
    """The dtype of the values of `node` asked for as `kind`: the precision is
    the dtype's, the values complex when the formula's are (float32 or
    complex64 for single precision)."""
    if is_complex(node) and kind not in COMPLEX_DTYPES:
        return np.dtype(np.complex64 if kind == np.float32 else np.complex128)
    return kind


def result_dtype(kind: np.dtype[Any], node: object, out: object = None) -> np.dtype[Any]:
    """The dtype `evaluate` fills: `kind` (asked for, or out's), complex for a
    complex formula; a real `out` for complex values is a TypeError."""
    if is_complex(node) and out is not None and kind not in COMPLEX_DTYPES:
        raise TypeError(f"the formula's values are complex: out must be complex128 or complex64, not {kind}")
    return value_dtype(kind, node)


def evaluate_node(
    node: ComplexNode,
    shape: Any,
    *,
    origin: Any = None,
    tile: Any = None,
    out: Any = None,
    threads: int | None = None,
    method: str = "accurate",
) -> Any:
    """ComplexNode.evaluate: the block `shape` at `origin` into `out` or a new complex128 array."""
    dims = (shape,) if isinstance(shape, int) else tuple(shape)
    edges = tile_edges(tile, len(dims), cast(Any, method))
    at = (0,) * len(dims) if origin is None else ((origin,) if isinstance(origin, int) else tuple(origin))
    if out is None:
        out = np.empty(dims, dtype=np.complex128)
    elif not (
        isinstance(out, np.ndarray) and out.dtype in COMPLEX_DTYPES and out.shape == dims
        and out.flags.c_contiguous and out.flags.writeable
    ):
        raise ValueError(f"out must be a writable C-contiguous complex128 or complex64 array of shape {dims}")
    return evaluate_into(node, out, at, edges, threads=threads, method=method)


def prepare_parts(node: object, ndim: int, tile: Sequence[int] | int | None, method: str) -> None:
    """Builds each part's chain at the grid's first point (see _values.prepare)."""
    for part in parts_of(node):
        if isinstance(part, vemiral.ASTnode):
            part.evaluate((1,) * ndim, tile=tile, threads=1, method=method)


def evaluate_into(
    node: object,
    out: np.ndarray,
    origin: Sequence[int],
    tile: Sequence[int],
    threads: int | None = None,
    method: str = "accurate",
) -> np.ndarray:
    """Fills the complex array `out` with the values of the block of out's shape
    at `origin` (a real node's imaginary part is zero) and returns it."""
    if out.dtype not in COMPLEX_DTYPES:
        raise TypeError(f"the values are complex: out must be complex128 or complex64, not {out.dtype}")
    shape = tuple(out.shape)
    flat = out.reshape(-1)
    parts = list(zip((flat.real, flat.imag), parts_of(node), strict=True))
    for target, part in parts:
        if isinstance(part, float):
            target[...] = part
    trees = [(target, part) for target, part in parts if not isinstance(part, float)]
    if not trees or flat.size == 0:
        return out
    runs = list(file_runs(shape, tile, RUN_POINTS))
    workers = min(len(runs), threads if threads is not None else vemiral.get_num_threads())
    if workers <= 1:
        scratch = np.empty(min(RUN_POINTS, flat.size), dtype=np.float64)
        for run in runs:
            _run(trees, scratch, origin, *run, tile, method)
        return out

    share_runs(runs, workers, lambda run, scratch: _run(trees, scratch, origin, *run, tile, method),
               RUN_POINTS, "vemiral-complex")
    return out


def _run(
    trees: list[tuple[np.ndarray, Part]],
    scratch: np.ndarray,
    origin: Sequence[int],
    start: tuple[int, ...],
    block: tuple[int, ...],
    offset: int,
    tile: Sequence[int],
    method: str,
) -> None:
    count = math.prod(block)
    values = scratch[:count].reshape(block)
    at = [o + s for o, s in zip(origin, start, strict=True)]
    for target, tree in trees:
        cast(vemiral.ASTnode, tree).evaluate(block, origin=at, tile=list(tile), out=values, threads=1, method=method)
        np.copyto(target[offset : offset + count], scratch[:count], casting="same_kind")
