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
import threading
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, TypeAlias, cast

import numpy as np
import numpy.typing as npt

import vemiral

from ._options import Method

if TYPE_CHECKING:
    from ._complex import ComplexNode

# A real tree, or a complex expression (a pair of them).
Node: TypeAlias = "vemiral.ASTnode | ComplexNode"
from ._tiles import file_runs

FloatArray: TypeAlias = npt.NDArray[np.floating[Any]]

DTYPES = (np.dtype(np.float64), np.dtype(np.float32))
# Complex values: each part computed as a real tree (_complex_values).
COMPLEX_DTYPES = (np.dtype(np.complex128), np.dtype(np.complex64))
ALL_DTYPES = DTYPES + COMPLEX_DTYPES
_NAMES = "float64, float32, complex128 or complex64"
# Points per float64 scratch run (4 MiB per thread, within the last-level
# cache): measured on 4000 x 4000 against runs of 1 and 2 MiB, fewer and longer
# runs save more in seeding (a lowering, a table and the steps down to the
# run's first row inside its tile, per call) than the cache level costs.
SLAB_POINTS = 2**19


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
        from ._complex_values import prepare_parts

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
        from . import _complex_values

        return _complex_values.evaluate_into(node, out, origin, tile, threads, method)
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


def share_runs(
    runs: Sequence[Any], workers: int, do: Callable[[Any, npt.NDArray[np.float64]], None], points: int, name: str
) -> None:
    """Calls do(run, scratch) for every run, on `workers` threads that take runs
    in turn (the caller among them), each with a float64 scratch array of
    `points` values; the first error of any is raised once all have stopped."""
    next_run = iter(runs)
    lock = threading.Lock()
    stop = threading.Event()
    errors: list[BaseException] = []

    def work() -> None:
        scratch = np.empty(points, dtype=np.float64)
        try:
            while not stop.is_set():
                with lock:
                    run = next(next_run, None)
                if run is None:
                    return
                do(run, scratch)
        except BaseException as error:  # handed to the caller, which raises it
            errors.append(error)
            stop.set()

    helpers = [threading.Thread(target=work, name=f"{name}-{i}", daemon=True) for i in range(workers - 1)]
    for helper in helpers:
        helper.start()
    try:
        work()  # the caller takes runs too
    finally:
        for helper in helpers:
            _join(helper, stop)
    if errors:
        raise errors[0]


def _join(thread: threading.Thread, stop: threading.Event) -> None:
    # A Ctrl-C while waiting stops the helpers after their current run (a few
    # milliseconds) and is raised once they are done: nothing writes into the
    # output after the call has returned.
    while True:
        try:
            thread.join()
            return
        except BaseException:
            stop.set()
            thread.join()
            raise


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
