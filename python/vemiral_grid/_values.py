"""Output types: float64 as evaluate computes, or float32 rounded once on the way out.

Every value is computed in double precision. For float32 the block is cut into
runs of at most SLAB_POINTS points, each evaluated into a small float64 scratch
array that stays in the cache and cast from there into the float32 output, so
no float64 array of the whole block ever exists and the memory written is half.
Runs are contiguous stretches of the block in C order cut along whole tiles
where they can be (see _tiles.file_runs), and evaluate gives every point the
same value whatever block it is asked for, so the result is the float64 result
rounded once, bit for bit.
"""

from __future__ import annotations

import math
import os
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, TypeAlias, cast

import numpy as np
import numpy.typing as npt

import vemiral

from ._complex_values import COMPLEX_DTYPES, evaluate_complex, prepare_parts
from ._options import Method
from ._runs import share_runs

if TYPE_CHECKING:
    from ._complex import ComplexNode

# A real tree, or a complex expression (a pair of them).
Node: TypeAlias = "vemiral.ASTnode | ComplexNode"
from ._tiles import file_runs

FloatArray: TypeAlias = npt.NDArray[np.floating[Any]]

DTYPES = (np.dtype(np.float64), np.dtype(np.float32))
ALL_DTYPES = DTYPES + COMPLEX_DTYPES
_NAMES = "float64, float32, complex128 or complex64"
# Points per float64 scratch run (4 MiB per thread, within the last-level
# cache): measured on 4000 x 4000 against runs of 1 and 2 MiB, fewer and longer
# runs save more in seeding (a lowering, a table and the steps down to the
# run's first row inside its tile, per call) than the cache level costs.
SLAB_POINTS = 2**19
# Points of each block of a pass that evaluates several formulas over one grid
# (32 MiB of float64 per formula): long enough that a call's seeding is small beside it.
BLOCK_POINTS = 2**22


def output_dtype(dtype: object) -> np.dtype[Any]:
    """float64, float32, complex128 or complex64 from anything numpy.dtype reads
    as one of them; anything else is a ValueError naming what was given.

    >>> from vemiral_grid._values import output_dtype
    >>> output_dtype("float32"), output_dtype(np.float64)
    (dtype('float32'), dtype('float64'))
    """
    try:
        resolved = np.dtype(dtype)  # type: ignore[call-overload]
    except (TypeError, ValueError):
        raise ValueError(f"dtype must be {_NAMES}, not {dtype!r}") from None
    if resolved not in ALL_DTYPES or dtype is None:
        raise ValueError(f"dtype must be {_NAMES}, not {resolved if dtype is not None else None}")
    return cast(np.dtype[Any], resolved)


def check_storable(points: int, what: str, itemsize: int = 8) -> None:
    """Refuses, before anything is allocated, an array of `points` values of
    `itemsize` bytes (float64 by default) larger than the machine's physical
    memory (MemoryError) or than 64 bits count (OverflowError), as the native
    module refuses such a grid."""
    if points >= 2**64:
        raise OverflowError(f"{what}: the number of grid points overflows 64 bits")
    physical = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    if itemsize * points > physical:
        raise MemoryError(f"{what}: {points} points need more memory than this machine has")


def check_out(out: object, shape: tuple[int, ...], dtype: object = None) -> np.dtype[Any]:
    """The dtype of `out` (a writable C-contiguous array of `shape`, float64,
    float32, complex128 or complex64), checked against `dtype` when one is asked for."""
    if not isinstance(out, np.ndarray):
        raise TypeError(f"out must be a NumPy array, not {type(out).__name__}")
    if out.dtype not in ALL_DTYPES or out.shape != shape or not out.flags.c_contiguous or not out.flags.writeable:
        raise ValueError(
            f"out must be a writable C-contiguous {_NAMES} array of shape {shape}, "
            f"not {'read-only ' if not out.flags.writeable else ''}{out.dtype} of shape {out.shape}"
            f"{'' if out.flags.c_contiguous else ' (not C-contiguous)'}"
        )
    if dtype is not None and output_dtype(dtype) != out.dtype:
        raise ValueError(f"out is {out.dtype} but dtype={output_dtype(dtype)} was asked for")
    return cast(np.dtype[Any], out.dtype)


def prepare(node: Node, ndim: int, tile: Sequence[int] | int | None, method: Method = "accurate") -> None:
    """Builds the chain of `node` for the tile at the grid's first point, so that
    an expression the algebra refuses (MemoryError for a chain too large) is
    refused there, before any block is planned, written or sent to a worker."""
    if not isinstance(node, vemiral.ASTnode):
        return prepare_parts(node, ndim, tile, method)
    node.evaluate((1,) * ndim, tile=tile, threads=1, method=method)


def evaluate_into(
    node: Node,
    out: FloatArray,
    origin: Sequence[int],
    tile: Sequence[int],
    threads: int | None = None,
    method: Method = "accurate",
) -> FloatArray:
    """Fills `out` (C-contiguous; complex: see _complex_values) with the values of the block
    of out's shape at `origin` by `method`, and returns it.

    float64, and float32 by the default method, is one evaluate. float32 by the
    recurrence method is run by run through a scratch array per
    thread; `threads` (default: vemiral.get_num_threads()) Python threads each
    take runs and evaluate them on their own thread (threads=1 inside), the
    caller among them, so the casts run in parallel too.
    """
    if out.dtype in COMPLEX_DTYPES or not isinstance(node, vemiral.ASTnode):
        return evaluate_complex(node, out, origin, tile, threads, method)
    shape = tuple(out.shape)
    # The default method writes float32 itself, rounding each double once.
    if out.dtype == np.float64 or method == "accurate":
        return node.evaluate(shape, origin=list(origin), tile=list(tile), out=out, threads=threads, method=method)
    runs = list(file_runs(shape, tile, SLAB_POINTS))
    flat = out.reshape(-1)
    workers = min(len(runs), threads if threads is not None else vemiral.get_num_threads())
    if workers <= 1 or math.prod(shape) < 2 * SLAB_POINTS:
        scratch = np.empty(min(SLAB_POINTS, math.prod(shape)), dtype=np.float64)
        for start, block, offset in runs:
            _cast_run(node, flat, scratch, origin, start, block, offset, tile, method)
        return out

    def cast_run(run: tuple[tuple[int, ...], tuple[int, ...], int], scratch: npt.NDArray[np.float64]) -> None:
        _cast_run(node, flat, scratch, origin, *run, tile, method)

    share_runs(runs, workers, cast_run, SLAB_POINTS, "vemiral-float32")
    return out


def evaluate_each(
    nodes: Sequence[Node], outs: Sequence[FloatArray], tile: Sequence[int], method: Method = "accurate"
) -> None:
    """Fills each of `outs` (C-contiguous arrays of one shape and dtype) with the
    values of its node in one pass over the grid: block by block, every node
    evaluated over a block before the next block. A tile is computed the same
    whatever block it falls in, so each array holds what one evaluate gives,
    bit for bit."""
    flats = [out.reshape(-1) for out in outs]
    for origin, block, offset in file_runs(outs[0].shape, tile, BLOCK_POINTS):
        count = math.prod(block)
        for node, flat in zip(nodes, flats, strict=True):
            evaluate_into(node, flat[offset : offset + count].reshape(block), origin, tile, method=method)


def _cast_run(
    node: vemiral.ASTnode,
    flat: FloatArray,
    scratch: npt.NDArray[np.float64],
    origin: Sequence[int],
    start: tuple[int, ...],
    block: tuple[int, ...],
    offset: int,
    tile: Sequence[int],
    method: Method,
) -> None:
    count = math.prod(block)
    values = scratch[:count].reshape(block)
    node.evaluate(
        block,
        origin=[o + s for o, s in zip(origin, start, strict=True)],
        tile=list(tile),
        out=values,
        threads=1,
        method=method,
    )
    np.copyto(flat[offset : offset + count], scratch[:count], casting="same_kind")
