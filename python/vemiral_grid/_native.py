"""One pass of the native engine over a block (what it computes, over which
dimensions), the joining of blocks' results as the engine joins its own parts,
and the results in NumPy's forms: what the reductions, the statistics and
their Dask tasks share."""

from __future__ import annotations

import warnings
from collections.abc import Callable, Sequence
from typing import Any, NamedTuple

import numpy as np

import vemiral

# What each reduction asks of the native engine.
NATIVE = {
    "sum": "sum", "mean": "sum", "nansum": "nansum", "min": "min", "max": "max",
    "argmin": "min", "argmax": "max", "nanmin": "nanmin", "nanmax": "nanmax",
}
REDUCTIONS = tuple(NATIVE)

SUMS = ("sum", "nansum", "weighted", "count")  # native kinds whose results are double-double sums
NO_POINT = 2**64 - 1  # the index of a cell without a number (nanmin of NaN alone)


class Request(NamedTuple):
    """One pass of the native engine: the kinds it computes and over what."""

    kinds: tuple[str, ...]
    reduced: tuple[bool, ...]
    weights: tuple[np.ndarray | None, ...] | None = None
    edges: np.ndarray | None = None
    uniform: bool = False


def run(
    node: vemiral.ASTnode,
    shape: tuple[int, ...],
    request: Request,
    *,
    origin: Sequence[int] | None = None,
    tile: tuple[int, ...] | None = None,
    threads: int | None = None,
    progress: Callable[[int, int], object] | None = None,
) -> list[Any]:
    """The native pass over the block `shape` at `origin` (default: the grid);
    `progress` is called every 20 ms with the points done and in all."""
    weights = None
    if request.weights is not None:
        at = origin or (0,) * len(shape)
        weights = [None if w is None else w[o : o + s] for w, o, s in zip(request.weights, at, shape, strict=True)]
    return list(
        node._reduce(
            shape, list(request.kinds), list(request.reduced), origin=origin, tile=tile, weights=weights,
            edges=request.edges, uniform=request.uniform, threads=threads, progress=progress,
        )
    )


# --- joining the parts of blocks -------------------------------------------


def _add(hi: np.ndarray, lo: np.ndarray, bhi: np.ndarray, blo: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Double-double sums, as the native engine adds its parts' sums."""
    with np.errstate(invalid="ignore", over="ignore"):
        s = hi + bhi
        bb = s - hi
        e = (hi - (s - bb)) + (bhi - bb)
        t = lo + blo
        tb = t - lo
        f = (lo - (t - tb)) + (blo - tb)
        e = e + t
        h = s + e
        e = e - (h - s)
        e = e + f
        s2 = h + e
        e2 = e - (s2 - h)
        finite = np.isfinite(s)
        return np.where(finite, s2, s), np.where(finite, e2, 0.0)


def _better(v: np.ndarray, i: np.ndarray, w: np.ndarray, k: np.ndarray, is_max: bool) -> np.ndarray:
    """Where the candidate (v, i) beats (w, k) in the native engine's order."""
    with np.errstate(invalid="ignore"):
        vnan, wnan = np.isnan(v), np.isnan(w)
        strict = (v > w) if is_max else (v < w)
        zero_sign = (v == w) & (v == 0) & (np.signbit(v) != np.signbit(w))
        zero_wins = ~np.signbit(v) if is_max else np.signbit(v)
        ordinary = np.where(zero_sign, zero_wins, strict | ((v == w) & (i < k)))
        result = np.where(wnan, vnan & (i < k), np.where(vnan, True, ordinary))
    return np.asarray((i != NO_POINT) & ((k == NO_POINT) | result), dtype=bool)


def join(
    request: Request, grid_shape: tuple[int, ...], parts: Sequence[tuple[Sequence[int], Sequence[int], list[Any]]]
) -> list[Any]:
    """The results of the whole grid from its blocks' (origin, shape, results),
    joined in the order given (sums are double-doubles: the order is part of
    the result's last bits)."""
    kept = [d for d, r in enumerate(request.reduced) if not r]
    reduced = [d for d, r in enumerate(request.reduced) if r]
    kept_shape = tuple(grid_shape[d] for d in kept)
    reduced_shape = tuple(grid_shape[d] for d in reduced)
    joined: list[Any] = []
    for kind in request.kinds:
        if kind == "histogram":
            joined.append(np.zeros(len(request.edges) - 1, dtype=np.int64))  # type: ignore[arg-type]
        elif kind in SUMS:
            joined.append((np.zeros(kept_shape), np.zeros(kept_shape)))
        else:
            joined.append((np.full(kept_shape, np.nan), np.full(kept_shape, NO_POINT, dtype=np.uint64)))
    for origin, shape, results in parts:
        where = tuple(slice(origin[d], origin[d] + shape[d]) for d in kept)
        for k, kind in enumerate(request.kinds):
            if kind == "histogram":
                joined[k] += results[k]
            elif kind in SUMS:
                hi, lo = joined[k]
                hi[where], lo[where] = _add(hi[where], lo[where], *results[k])
            else:
                value, index = results[k]
                # The block's point numbers among its reduced dimensions, as the grid's.
                local = np.asarray(index, dtype=np.uint64)
                empty = local == NO_POINT
                coords = np.unravel_index(np.where(empty, 0, local), tuple(shape[d] for d in reduced))
                moved = [c + origin[d] for c, d in zip(coords, reduced, strict=True)]
                overall = np.ravel_multi_index(moved, reduced_shape).astype(np.uint64) if reduced else local
                overall = np.where(empty, np.uint64(NO_POINT), overall)
                w, i = joined[k]
                take = _better(np.asarray(value), overall, w[where], i[where], kind in ("max", "nanmax"))
                w[where] = np.where(take, value, w[where])
                i[where] = np.where(take, overall, i[where])
    return joined


# --- results in NumPy's forms ------------------------------------------------


def finish(how: str, raw: Any, shape: tuple[int, ...], dims: tuple[int, ...], single: bool, stacklevel: int = 3) -> Any:
    """What the user gets: scalars (np.float64) for a whole grid of `shape`, arrays
    over the kept axes otherwise; arg-reductions as index tuples (see Grid.argmin)."""
    if how in ("sum", "nansum", "mean"):
        value = raw[0]
        if how == "mean":
            count = int(np.prod([shape[d] for d in dims]))
            value = value / count
        return _scalar(value)
    value, index = raw
    if how.startswith("nan") and np.any(index == NO_POINT):
        warnings.warn("All-NaN slice encountered", RuntimeWarning, stacklevel=stacklevel)
    if how in ("min", "max", "nanmin", "nanmax"):
        return _scalar(value)
    coords = np.unravel_index(index.astype(np.intp), tuple(shape[d] for d in dims))
    if len(dims) == len(shape):
        return tuple(int(c) for c in coords)
    if single:
        return coords[0]
    return coords


def _scalar(value: np.ndarray) -> Any:
    return np.float64(value) if value.ndim == 0 else value
