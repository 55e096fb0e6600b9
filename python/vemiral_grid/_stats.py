"""Statistics of a formula over a grid without its array: variances and
standard deviations, NaN-skipping means, products, counts of nonzero values,
ranges, medians and quantiles, in NumPy's meanings and forms.

What a statistic needs of sums, counts and extrema of the values comes from
one native pass (vemiral_grid._native). What it needs of a function of the
values (the squares of their deviations, their product, their order) comes
from a sweep: the values `evaluate` gives, computed run by run into a buffer
of RUN_POINTS and folded into a few numbers per cell, so memory stays bounded
whatever the grid. A formula built on the field, such as (f - mean)**2, would
not do: the engine evaluates it as a formula of its own, to within a few ulps
of its exact value, from f's exact values rather than from the rounded ones
`evaluate` gives, and so would give the statistic of other numbers.

Every sweep visits the runs of a block in a fixed order and a Dask reduction
joins its blocks' states in theirs, so the results do not depend on threads.
"""

from __future__ import annotations

import itertools
import math
import threading
import warnings
from collections import deque
from collections.abc import Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any, NamedTuple, Protocol

import numpy as np

import vemiral

from ._native import NATIVE, _add, finish
from ._tiles import file_runs
from ._values import SLAB_POINTS

# Statistics grid.reduce takes by name (besides the native reductions).
NAMES = ("std", "var", "nanmean", "nanstd", "nanvar", "prod", "any", "all", "count_nonzero", "ptp", "median")
RUN_POINTS = SLAB_POINTS
# Counts and kept values of a selection pass, over all its cells (16 MiB).
BUDGET = 2**21
SPLIT = 134217729.0  # 2**27 + 1, Dekker's splitter
SIGN = np.int64(0x7FFFFFFFFFFFFFFF)


class Asked(NamedTuple):
    """A statistic and its parameters (ddof of a variance, q of a quantile)."""

    name: str
    ddof: float = 0.0
    q: np.ndarray | None = None


# --- where the values come from ------------------------------------------------


class Layout(NamedTuple):
    """A field of `shape` values at `origin` of its grid, reduced over the
    dimensions marked in `reduced`, evaluated with `tile`."""

    shape: tuple[int, ...]
    reduced: tuple[bool, ...]
    origin: tuple[int, ...]
    tile: tuple[int, ...]

    @property
    def kept(self) -> list[int]:
        return [d for d, r in enumerate(self.reduced) if not r]

    @property
    def kept_shape(self) -> tuple[int, ...]:
        return tuple(self.shape[d] for d in self.kept)

    @property
    def per_cell(self) -> int:
        """Values per cell."""
        return math.prod(n for n, r in zip(self.shape, self.reduced, strict=True) if r)

    def cells(self, start: Sequence[int], shape: Sequence[int]) -> np.ndarray:
        """The flat numbers of the cells the block (start, shape) touches, increasing."""
        kept = self.kept
        if not kept:
            return np.zeros(1, dtype=np.intp)
        ranges = np.ix_(*[np.arange(start[d], start[d] + shape[d]) for d in kept])
        return np.ravel_multi_index(ranges, self.kept_shape).ravel()

    def rows(self, values: np.ndarray) -> np.ndarray:
        """A block's values as one row per cell (kept dimensions first, C order)."""
        kept = self.kept
        cells = math.prod(values.shape[d] for d in kept)
        order = kept + [d for d, r in enumerate(self.reduced) if r]
        return np.transpose(values, order).reshape(cells, -1)


def sweep_block(
    node: vemiral.ASTnode, layout: Layout, start: Sequence[int], shape: Sequence[int], passes: Sequence[Any],
    threads: int | None = None,
    held: np.ndarray | None = None,
) -> list[Any]:
    """The states of `passes` after the values of the block (start, shape) of
    the field. Each run of the block is evaluated (or read from `held`, the
    block's values) and folded into partial results on one of `threads`
    threads (default: vemiral.get_num_threads()), and the partials join the
    block's states in the runs' order: the same bits on any number of threads."""
    ids = layout.cells(start, shape)
    states = [p.state(ids) for p in passes]
    # The runs one at a time, never a list of them: a grid may have more than memory holds.
    runs = file_runs(tuple(shape), layout.tile, RUN_POINTS)
    first_two = list(itertools.islice(runs, 2))
    runs = itertools.chain(first_two, runs)
    local = threading.local()

    def fold(run: tuple[tuple[int, ...], tuple[int, ...], int]) -> list[Any]:
        first, block, _ = run
        at = [s + f for s, f in zip(start, first, strict=True)]
        if held is not None:
            values = held[tuple(slice(f, f + n) for f, n in zip(first, block, strict=True))]
        else:
            if getattr(local, "buffer", None) is None:
                local.buffer = np.empty(min(RUN_POINTS, math.prod(shape)))
            values = local.buffer[: math.prod(block)].reshape(block)
            node.evaluate(
                block, origin=[o + a for o, a in zip(layout.origin, at, strict=True)], tile=list(layout.tile),
                out=values, threads=1, method="accurate",
            )
        run_ids = layout.cells(at, block)
        rows = layout.rows(values)
        where = np.searchsorted(ids, run_ids)
        with np.errstate(all="ignore"):
            return [p.fold(state, run_ids, where, rows) for p, state in zip(passes, states, strict=True)]

    def absorb(partials: list[Any]) -> None:
        with np.errstate(all="ignore"):
            for p, state, partial in zip(passes, states, partials, strict=True):
                p.absorb(state, partial)

    workers = 1 if len(first_two) < 2 else threads if threads is not None else vemiral.get_num_threads()
    if workers <= 1:
        for run in runs:
            absorb(fold(run))
        return states
    with ThreadPoolExecutor(workers, thread_name_prefix="vemiral-sweep") as pool:
        pending: deque[Future[list[Any]]] = deque()
        try:
            for run in runs:
                pending.append(pool.submit(fold, run))
                if len(pending) > 2 * workers:  # a bounded window of partials waiting for their turn
                    absorb(pending.popleft().result())
            while pending:
                absorb(pending.popleft().result())
        finally:
            for future in pending:
                future.cancel()
    return states


def merge_states(passes: Sequence[Any], parts: Sequence[list[Any]]) -> list[Any]:
    """The states of blocks joined in the order given (sums and products are
    rounded: the order is part of their last bits)."""
    ids = np.unique(np.concatenate([part[0].ids for part in parts]))
    totals = [p.state(ids) for p in passes]
    with np.errstate(all="ignore"):
        for part in parts:
            where = np.searchsorted(ids, part[0].ids)
            for p, total, state in zip(passes, totals, part, strict=True):
                p.merge(total, state, where)
    return totals


# --- exact arithmetic on arrays ---------------------------------------------------


def _two_sum(a: np.ndarray, b: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    s = a + b
    bb = s - a
    return s, (a - (s - bb)) + (b - bb)


def _two_prod(a: np.ndarray, b: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """a*b = p + e exactly (Dekker), for |a|, |b| far below the overflow."""
    p = a * b
    c = SPLIT * a
    ah = c - (c - a)
    al = a - ah
    c = SPLIT * b
    bh = c - (c - b)
    bl = b - bh
    return p, ((ah * bh - p) + ah * bl + al * bh) + al * bl


def _dd_mul(
    ah: np.ndarray, al: np.ndarray, bh: np.ndarray, bl: np.ndarray
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(ah + al)(bh + bl) for factors in (2**-64, 1], as a double-double with
    the power of two taken out of it, leaving a mantissa in [0.5, 1)."""
    p, e = _two_prod(ah, bh)
    h, t = _two_sum(p, e + (ah * bl + al * bh))
    h, k = np.frexp(h)
    return h, np.ldexp(t, -k), k.astype(np.int64)


def _mean(hi: np.ndarray, lo: np.ndarray, n: np.ndarray) -> np.ndarray:
    """(hi + lo) / n rounded once (n > 0, hi finite)."""
    m = hi / n
    p, e = _two_prod(m, n)
    correction = ((hi - p) - e + lo) / n
    return np.asarray(np.where(np.isfinite(correction), m + correction, m))


# --- keys: the order of doubles as integers -----------------------------------


def keys(values: np.ndarray) -> np.ndarray:
    """int64 keys in the order of the values (NaN excluded), -0.0 and 0.0 one key:
    a negative value's key is minus the bits of its magnitude."""
    bits = values.view(np.int64)
    sign = bits >> 63
    out = sign & SIGN
    out ^= bits
    out -= sign
    return out


def values_of(k: np.ndarray) -> np.ndarray:
    """The values of keys (0.0 for the key of both zeros)."""
    k = np.asarray(k, dtype=np.int64)
    bits = np.where(k < 0, (-k) | np.int64(-(2**63)), k)
    return bits.view(np.float64)


def _bit_length(x: np.ndarray) -> np.ndarray:
    """Bits of each uint64."""
    x = x.copy()
    length = np.zeros(x.shape, dtype=np.int64)
    for shift in (32, 16, 8, 4, 2, 1):
        high = x >> np.uint64(shift) != 0
        length += np.where(high, shift, 0)
        x = np.where(high, x >> np.uint64(shift), x)
    return np.asarray(length + (x != 0))


# --- passes: what a sweep folds the values into ----------------------------------


class State:
    """A pass's numbers for the cells `ids` (increasing flat cell numbers)."""

    def __init__(self, ids: np.ndarray, **arrays: Any) -> None:
        self.ids = ids
        self.__dict__.update(arrays)

    # Its arrays are each pass's own: typed as Any.
    def __getattr__(self, name: str) -> Any:
        raise AttributeError(name)

    def __setattr__(self, name: str, value: Any) -> None:
        object.__setattr__(self, name, value)


# A pass folds the values of a run into a partial result (on any thread,
# reading its block's state but not changing it), absorbs partials into the
# block's state in the runs' order, and merges the states of blocks.


class Squares:
    """Per cell, the compensated sum of (value - mean)**2 over the values (the
    numbers among them with `skip_nan`); `mean` per cell, 0 where unused."""

    def __init__(self, mean: np.ndarray, skip_nan: bool) -> None:
        self.mean, self.skip_nan = mean, skip_nan

    def state(self, ids: np.ndarray) -> State:
        return State(ids, hi=np.zeros(len(ids)), lo=np.zeros(len(ids)))

    def fold(self, state: Any, ids: np.ndarray, where: np.ndarray, rows: np.ndarray) -> Any:
        return (where, *vemiral._squares(rows, self.mean[ids], self.skip_nan))

    def absorb(self, state: Any, partial: Any) -> None:
        where, hi, lo = partial
        state.hi[where], state.lo[where] = _add(state.hi[where], state.lo[where], hi, lo)

    def merge(self, total: Any, part: Any, where: np.ndarray) -> None:
        self.absorb(total, (where, part.hi, part.lo))


class Products:
    """Per cell, the product of the values as a sign, a power of two and a
    double-double mantissa, with counts of NaN, infinities and zeros: the
    finite nonzero values' mantissas (frexp's, in [0.5, 1)) are multiplied
    pairwise in double-double and their exponents added as integers, so no
    product overflows or underflows on the way."""

    COUNTS = ("nan", "inf", "zero", "negative", "exponent")

    def state(self, ids: np.ndarray) -> State:
        n = len(ids)
        return State(ids, high=np.ones(n), low=np.zeros(n), **{c: np.zeros(n, dtype=np.int64) for c in self.COUNTS})

    def fold(self, state: Any, ids: np.ndarray, where: np.ndarray, rows: np.ndarray) -> Any:
        *counts, high, low = vemiral._products(rows)
        return where, counts, high, low

    def absorb(self, state: Any, partial: Any) -> None:
        where, counts, high, low = partial
        for name, count in zip(self.COUNTS, counts, strict=True):
            getattr(state, name)[where] += count
        h, t, k = _dd_mul(state.high[where], state.low[where], high, low)
        state.high[where], state.low[where] = h, t
        state.exponent[where] += k

    def merge(self, total: Any, part: Any, where: np.ndarray) -> None:
        self.absorb(total, (where, [getattr(part, c) for c in self.COUNTS], part.high, part.low))


class Zeros:
    """Per cell, the values equal to zero."""

    def state(self, ids: np.ndarray) -> State:
        return State(ids, zeros=np.zeros(len(ids), dtype=np.int64))

    def fold(self, state: Any, ids: np.ndarray, where: np.ndarray, rows: np.ndarray) -> Any:
        return where, (rows == 0).sum(axis=1)

    def absorb(self, state: Any, partial: Any) -> None:
        where, zeros = partial
        state.zeros[where] += zeros

    def merge(self, total: Any, part: Any, where: np.ndarray) -> None:
        total.zeros[where] += part.zeros


class Counts:
    """One pass of a selection: per active cell, up to G disjoint ranges of
    keys [lo, hi] (increasing; empty slots have lo > hi), each either counted
    in bins of 2**shift keys (split) or kept whole (collect)."""

    def __init__(self, active: np.ndarray, lo: np.ndarray, hi: np.ndarray, shift: np.ndarray,
                 collect: np.ndarray, bins: int) -> None:
        # active[cell]: the cell's number among the active cells, -1 if it has no range
        self.active, self.lo, self.hi, self.shift, self.collect, self.bins = active, lo, hi, shift, collect, bins
        # The ranges as values: comparing doubles finds the values inside faster
        # than keys; NaN bounds of empty slots compare false with every value.
        empty = lo > hi
        self.low = np.where(empty, np.nan, values_of(np.where(empty, 0, lo)))
        self.high = np.where(empty, np.nan, values_of(np.where(empty, 0, hi)))

    def state(self, ids: np.ndarray) -> State:
        mine = self.active[ids]
        mine = mine[mine >= 0]
        counts = np.zeros((len(mine), self.lo.shape[1], self.bins), dtype=np.int64)
        return State(ids, mine=mine, counts=counts, slots=[], kept=[])

    def fold(self, state: Any, ids: np.ndarray, where: np.ndarray, rows: np.ndarray) -> Any:
        """(positions in the state's counts, one per value counted; slots and values kept)."""
        nothing = (None, None, None)
        a = self.active[ids]
        take = a >= 0
        if not take.all():
            if not take.any():
                return nothing
            a, rows = a[take], rows[take]
        low, high = self.low[a], self.high[a]
        slots = low.shape[1]
        if slots == 1:
            inside = (rows >= low) & (rows <= high)
        elif len(rows) == 1:  # one cell: a binary search among its ranges
            starts = np.searchsorted(low[0], rows[0], side="right")[None, :]
            inside = (starts > 0) & (rows <= high[0][np.maximum(starts - 1, 0)])
        else:  # ranges are disjoint and increasing: inside the last one starting at or below the value
            starts = np.zeros(rows.shape, dtype=np.int16)
            ends = np.zeros(rows.shape, dtype=np.int16)
            for g in range(slots):
                starts += rows >= low[:, g : g + 1]
                ends += rows > high[:, g : g + 1]
            inside = (starts > 0) & (ends == starts - 1)
        per_row = inside.sum(axis=1)
        if not per_row.any():
            return nothing
        values = rows[inside]
        # Per value, its slot's entry in this run's (cells, slots) tables.
        if slots == 1:
            def table(t: np.ndarray) -> np.ndarray:
                column = t[:, 0]
                return column if len(column) == 1 else np.repeat(column, per_row)
        else:
            slot = np.repeat(np.arange(len(a)) * slots, per_row) + (starts[inside] - 1)

            def table(t: np.ndarray) -> np.ndarray:
                return np.asarray(np.take(t.reshape(-1), slot))

        flags = self.collect[a]
        collect: Any = flags.all() if flags.all() or not flags.any() else table(flags)
        index = None
        if not np.all(collect):
            split = ~collect
            base = (np.searchsorted(state.mine, a)[:, None] * slots + np.arange(slots)) * self.bins
            shift = self.shift[a].astype(np.uint64)
            if np.all(split):
                v, lo, sh, b = values, table(self.lo[a]), table(shift), table(base)
            else:
                v, lo, sh, b = values[split], table(self.lo[a])[split], table(shift)[split], table(base)[split]
            offset = keys(v)
            offset -= lo
            index = (offset.view(np.uint64) >> sh).view(np.intp)
            index += b
        if np.any(collect):
            ids_ = table(a[:, None] * slots + np.arange(slots))
            if np.all(collect):
                return index, np.broadcast_to(ids_, values.shape).copy(), values
            return index, ids_[collect], values[collect]
        return index, None, None

    def absorb(self, state: Any, partial: Any) -> None:
        index, slots, kept = partial
        if index is not None:
            flat = state.counts.reshape(-1)
            if index.size * 4 >= flat.size:
                flat += np.bincount(index, minlength=flat.size)
            else:
                np.add.at(flat, index, 1)
        if slots is not None:
            state.slots.append(slots)
            state.kept.append(kept)

    def merge(self, total: Any, part: Any, where: np.ndarray) -> None:
        total.counts[np.searchsorted(total.mine, part.mine)] += part.counts
        total.slots += part.slots
        total.kept += part.kept


def _sort(values: np.ndarray) -> None:
    """Sorts in place, -0.0 before 0.0: one order whatever order the values came in."""
    values.sort()
    zero = np.flatnonzero(values == 0)
    if zero.size:
        values[zero] = np.where(np.arange(zero.size) < np.signbit(values[zero]).sum(), -0.0, 0.0)


class Selection:
    """The values of ranks `ranks` (0-based, increasing, the same in every cell)
    among the `n` values of each active cell, by passes that narrow a range of
    keys around each rank: counts in bins of keys find the bin that holds it,
    until its range is one key (one value, up to the sign of a zero) or holds
    few enough values to keep and sort."""

    def __init__(self, ranks: np.ndarray, cells: np.ndarray, n: np.ndarray, low: np.ndarray, high: np.ndarray,
                 total_cells: int) -> None:
        self.cells = cells  # flat numbers of the active cells
        self.active = np.full(total_cells, -1, dtype=np.intp)
        self.active[cells] = np.arange(len(cells))
        shape = (len(cells), len(ranks))
        self.rank = np.broadcast_to(ranks, shape).astype(np.int64)
        self.lo = np.broadcast_to(keys(low)[:, None], shape).copy()
        self.hi = np.broadcast_to(keys(high)[:, None], shape).copy()
        self.below = np.zeros(shape, dtype=np.int64)  # values of the cell below lo
        self.inside = np.broadcast_to(n[:, None], shape).astype(np.int64)
        self.found = np.full(shape, np.nan)
        self.done = np.zeros(shape, dtype=bool)
        self.pass_: Counts | None = None

    def next_pass(self) -> Counts | None:
        """The next counting pass, or None when every rank has its value."""
        single = ~self.done & (self.lo == self.hi)
        self.found[single] = values_of(self.lo[single])
        self.done |= single
        todo = ~self.done
        if not todo.any():
            return None
        # Ranks sharing a range share a slot: ranges are equal or disjoint, and increase with the rank.
        fresh = todo.copy()
        fresh[:, 1:] &= ~(todo[:, :-1] & (self.lo[:, 1:] == self.lo[:, :-1]) & (self.hi[:, 1:] == self.hi[:, :-1]))
        slot = np.cumsum(fresh, axis=1) - 1
        slots = int(fresh.sum(axis=1).max())
        busy = np.flatnonzero(todo.any(axis=1))
        cells = len(busy)
        per = max(1, BUDGET // (cells * slots))
        bins = 1 << min(16, max(4, per.bit_length() - 1))
        limit = max(64, per)
        lo = np.full((len(self.cells), slots), np.iinfo(np.int64).max)
        hi = np.full((len(self.cells), slots), np.iinfo(np.int64).min)
        r, c = np.nonzero(fresh)
        lo[r, slot[r, c]], hi[r, slot[r, c]] = self.lo[r, c], self.hi[r, c]
        inside = np.zeros(lo.shape, dtype=np.int64)
        inside[r, slot[r, c]] = self.inside[r, c]
        span = (hi - lo).view(np.uint64)  # keys in the range, less one
        shift = np.maximum(_bit_length(span) - (bins.bit_length() - 1), 0)
        collect = (inside <= limit) & (lo <= hi)
        active = np.full(len(self.active), -1, dtype=np.intp)
        active[self.cells] = np.where(todo.any(axis=1), np.arange(len(self.cells)), -1)
        self.slot = slot
        self.pass_ = Counts(active, lo, hi, shift, collect, bins)
        return self.pass_

    def absorb(self, state: State) -> None:
        p = self.pass_
        assert p is not None
        todo = ~self.done
        r, c = np.nonzero(todo)
        g = self.slot[r, c]
        local = self.rank[r, c] - self.below[r, c]
        kept = p.collect[r, g]
        # Kept ranges: the values grouped by slot, each group sorted.
        if kept.any():
            slots = np.concatenate(state.slots) if state.slots else np.zeros(0, dtype=np.intp)
            values = np.concatenate(state.kept) if state.kept else np.zeros(0)
            if slots.size and np.any(slots != slots[0]):
                order = np.argsort(slots, kind="stable")  # fast: a run's values arrive grouped by cell
                slots, values = slots[order], values[order]
                bounds = [0, *(np.flatnonzero(slots[1:] != slots[:-1]) + 1).tolist(), len(slots)]
                for first, last in zip(bounds[:-1], bounds[1:], strict=False):
                    _sort(values[first:last])
            else:
                _sort(values)
            rk, ck = r[kept], c[kept]
            first = np.searchsorted(slots, rk * p.lo.shape[1] + g[kept])
            self.found[rk, ck] = values[first + local[kept]]
            self.done[rk, ck] = True
        # Split ranges: the bin holding the rank becomes its range.
        split = ~kept
        if split.any():
            rs, cs, gs = r[split], c[split], g[split]
            row = np.searchsorted(state.mine, rs)
            cumulative = np.cumsum(state.counts, axis=2, out=state.counts)
            j = np.empty(len(rs), dtype=np.intp)
            step = max(1, 2**20 // p.bins)  # ranks at a time: a bounded temporary
            for at in range(0, len(rs), step):
                part = slice(at, at + step)
                j[part] = (cumulative[row[part], gs[part]] <= local[split][part, None]).sum(axis=1)
            before = np.where(j > 0, cumulative[row, gs, np.maximum(j - 1, 0)], 0)
            shift = p.shift[rs, gs].astype(np.uint64)
            start = (j.astype(np.uint64) << shift)
            width = (np.uint64(1) << shift) - np.uint64(1)
            last = (self.hi[rs, cs] - self.lo[rs, cs]).view(np.uint64)
            end = np.minimum(start + width, last)
            base = self.lo[rs, cs].view(np.uint64)
            self.lo[rs, cs] = (base + start).view(np.int64)
            self.hi[rs, cs] = (base + end).view(np.int64)
            self.below[rs, cs] += before
            self.inside[rs, cs] = cumulative[row, gs, j] - before
        self.pass_ = None


# --- statistics -----------------------------------------------------------------


class Statistic:
    """A statistic over a field: the native kinds it needs, then the passes of
    sweeps until it has its result."""

    kinds: tuple[str, ...] = ()

    def __init__(self, layout: Layout) -> None:
        self.layout = layout

    def start(self, raw: dict[str, Any]) -> list[Any]:
        return []

    def absorb(self, states: list[Any]) -> list[Any]:
        return []

    def result(self) -> Any:
        raise NotImplementedError

    def shaped(self, values: np.ndarray) -> Any:
        values = np.asarray(values).reshape(self.layout.kept_shape)
        return values[()] if values.ndim == 0 else values


class Native(Statistic):
    """A reduction the engine computes (sum, mean, min, argmin, ...)."""

    def __init__(self, layout: Layout, name: str, dims: tuple[int, ...], single: bool) -> None:
        super().__init__(layout)
        self.name, self.dims, self.single = name, dims, single
        self.kinds = (NATIVE[name],)

    def start(self, raw: dict[str, Any]) -> list[Any]:
        self.raw = raw[self.kinds[0]]
        return []

    def result(self) -> Any:
        return finish(self.name, self.raw, self.layout.shape, self.dims, self.single, stacklevel=5)


class NanMean(Statistic):
    kinds = ("nansum", "count")

    def start(self, raw: dict[str, Any]) -> list[Any]:
        total, count = raw["nansum"][0], raw["count"][0]
        if np.any(count == 0):
            warnings.warn("Mean of empty slice", RuntimeWarning, stacklevel=5)
        with np.errstate(all="ignore"):
            self.value = total / count
        return []

    def result(self) -> Any:
        return np.float64(self.value) if self.value.ndim == 0 else self.value


class Range(Statistic):
    kinds = ("max", "min")

    def start(self, raw: dict[str, Any]) -> list[Any]:
        with np.errstate(all="ignore"):
            self.value = raw["max"][0] - raw["min"][0]
        return []

    def result(self) -> Any:
        return np.float64(self.value) if self.value.ndim == 0 else self.value


class Variance(Statistic):
    """The variance (its root with `root`): the mean from the native
    compensated sum, then the compensated sum of the squared deviations from
    it, corrected for the mean's rounding: sum((x - m)**2) - (sum(x) - n m)**2 / n.
    NaN where a value (a number, with `skip_nan`) is NaN or infinite; inf
    where the values are finite but their sum overflows, as NumPy's mean and
    so its deviations are then infinite."""

    def __init__(self, layout: Layout, ddof: float, skip_nan: bool, root: bool) -> None:
        super().__init__(layout)
        self.ddof, self.skip_nan, self.root = ddof, skip_nan, root
        self.kinds = ("nansum", "count", "nanmin", "nanmax") if skip_nan else ("sum", "min", "max")

    def start(self, raw: dict[str, Any]) -> list[Any]:
        nan = "nan" if self.skip_nan else ""
        self.hi, self.lo = raw[nan + "sum"]
        self.n = raw["count"][0] if self.skip_nan else np.full(self.hi.shape, float(self.layout.per_cell))
        self.numbers = np.isfinite(raw[nan + "min"][0]) & np.isfinite(raw[nan + "max"][0])
        self.finite = np.isfinite(self.hi) & self.numbers
        with np.errstate(all="ignore"):
            self.mean = np.where(self.finite, _mean(self.hi, self.lo, self.n), 0.0)
        dof = self.n - self.ddof
        if np.any(dof <= 0):
            message = "Degrees of freedom <= 0 for slice"
            warnings.warn(message + "." if self.skip_nan else message, RuntimeWarning, stacklevel=5)
        return [Squares(self.mean.reshape(-1), self.skip_nan)]

    def absorb(self, states: list[Any]) -> list[Any]:
        (squares,) = states
        self.sq_hi = squares.hi.reshape(self.hi.shape)
        self.sq_lo = squares.lo.reshape(self.hi.shape)
        return []

    def result(self) -> Any:
        with np.errstate(all="ignore"):
            p, e = _two_prod(self.n, self.mean)
            residue = ((self.hi - p) - e) + self.lo  # sum(x) - n m
            residue = np.where(np.isfinite(residue), residue, 0.0)
            deviations = np.maximum((self.sq_hi - residue * (residue / self.n)) + self.sq_lo, 0.0)
            deviations = np.where(np.isinf(self.sq_hi), np.inf, deviations)  # squares past the overflow, as NumPy's
            deviations = np.where(self.finite, deviations, np.where(self.numbers, np.inf, np.nan))
            if self.skip_nan:
                dof = self.n - self.ddof
                value = np.where(dof > 0, deviations / dof, np.nan)
            else:
                value = deviations / max(self.layout.per_cell - self.ddof, 0)
            if self.root:
                value = np.sqrt(value)
        return np.float64(value) if value.ndim == 0 else value


class Product(Statistic):
    """The true product rounded once (NumPy's IEEE rules for NaN, infinities and
    zeros; a running product that overflows or underflows on the way does not
    decide it)."""

    def start(self, raw: dict[str, Any]) -> list[Any]:
        return [Products()]

    def absorb(self, states: list[Any]) -> list[Any]:
        (self.state,) = states
        return []

    def result(self) -> Any:
        s = self.state
        sign = np.where(s.negative % 2 == 1, -1.0, 1.0)
        exponent = np.clip(s.exponent, -5000, 5000).astype(np.int32)
        with np.errstate(all="ignore"):
            value = sign * np.ldexp(s.high, exponent)
            value = np.where(s.zero > 0, sign * 0.0, value)
            value = np.where(s.inf > 0, sign * np.inf, value)
            value = np.where((s.nan > 0) | ((s.inf > 0) & (s.zero > 0)), np.nan, value)
        return self.shaped(value)


class Nonzero(Statistic):
    """count_nonzero, any or all (NaN is nonzero)."""

    def __init__(self, layout: Layout, name: str) -> None:
        super().__init__(layout)
        self.name = name

    def start(self, raw: dict[str, Any]) -> list[Any]:
        return [Zeros()]

    def absorb(self, states: list[Any]) -> list[Any]:
        self.zeros = states[0].zeros
        return []

    def result(self) -> Any:
        nonzero = self.layout.per_cell - self.zeros
        if self.name == "count_nonzero":
            return self.shaped(nonzero.astype(np.intp))
        return self.shaped(nonzero > 0 if self.name == "any" else self.zeros == 0)


class Quantile(Statistic):
    """np.quantile(values, q) (linear interpolation) or np.median of each cell:
    NaN where a cell holds a NaN; the order statistics that bracket each q by a
    selection, then NumPy's own arithmetic on them."""

    kinds = ("count", "nanmin", "nanmax")

    def __init__(self, layout: Layout, q: np.ndarray | None) -> None:
        super().__init__(layout)
        self.q = q  # None: the median
        n = layout.per_cell
        if q is None:
            self.pairs = [((n - 1) // 2, n // 2)]
        else:
            virtual = (n - 1) * q.reshape(-1)
            self.gamma = []
            self.pairs = []
            for v in virtual.tolist():
                if v >= n - 1:  # NumPy takes the last value twice (and its gamma > 1)
                    self.pairs.append((n - 1, n - 1))
                    self.gamma.append(1.0)
                else:
                    k = math.floor(v)
                    self.pairs.append((k, k + 1))
                    self.gamma.append(v - k)
        self.ranks = np.unique(np.array(self.pairs, dtype=np.int64))

    def of_values(self, values: np.ndarray, reorder: bool = False) -> Any:
        """The result from the field's values themselves: NumPy's own median or
        quantile of them, which is what the passes find (with `reorder`, the
        values may be left in another order along the reduced dimensions)."""
        dims: tuple[int, ...] | None = tuple(d for d, r in enumerate(self.layout.reduced) if r)
        dims = None if len(dims or ()) == values.ndim else dims
        with np.errstate(all="ignore"):
            if self.q is None:
                out = np.median(values, axis=dims, overwrite_input=reorder)
            else:
                out = np.quantile(values, self.q, axis=dims, overwrite_input=reorder)
            # A cell holding a NaN gives NaN itself, as the passes give it (one NaN,
            # whatever NaN the values hold); others keep NumPy's arithmetic, NaN of inf - inf too.
            out = np.where(np.isnan(values).any(axis=dims), np.nan, out)
            out = out + 0.0  # 0.0 for -0.0, as the passes give it (the two zeros share a key)
        return np.float64(out) if out.ndim == 0 else out

    def start(self, raw: dict[str, Any]) -> list[Any]:
        count = raw["count"][0].reshape(-1)
        cells = np.flatnonzero(count == self.layout.per_cell)  # a NaN makes the cell's result NaN
        low, high = raw["nanmin"][0].reshape(-1)[cells], raw["nanmax"][0].reshape(-1)[cells]
        self.total = count.size
        self.selection = Selection(self.ranks, cells, count[cells].astype(np.int64), low, high, count.size)
        return self._next()

    def _next(self) -> list[Any]:
        p = self.selection.next_pass()
        return [] if p is None else [p]

    def absorb(self, states: list[Any]) -> list[Any]:
        self.selection.absorb(states[0])
        return self._next()

    def result(self) -> Any:
        sel = self.selection
        column = {int(r): i for i, r in enumerate(self.ranks)}
        results = []
        with np.errstate(all="ignore"):
            for i, (a, b) in enumerate(self.pairs):
                lower, upper = sel.found[:, column[a]], sel.found[:, column[b]]
                if self.q is None:
                    value = lower if a == b else np.mean(np.stack([lower, upper]), axis=0)
                else:
                    value = np.quantile(np.stack([lower, upper]), self.gamma[i], axis=0)
                cell = np.full(self.total, np.nan)
                cell[sel.cells] = value
                results.append(cell.reshape(self.layout.kept_shape))
        if self.q is None:
            out = results[0]
        else:
            out = np.stack(results).reshape(self.q.shape + self.layout.kept_shape)
        return np.float64(out) if out.ndim == 0 else out


def statistic(layout: Layout, asked: Asked, dims: tuple[int, ...], single: bool) -> Statistic:
    name = asked.name
    if name in NATIVE:
        return Native(layout, name, dims, single)
    if name == "nanmean":
        return NanMean(layout)
    if name == "ptp":
        return Range(layout)
    if name in ("var", "std", "nanvar", "nanstd"):
        return Variance(layout, asked.ddof, name.startswith("nan"), name.endswith("std"))
    if name == "prod":
        return Product(layout)
    if name in ("count_nonzero", "any", "all"):
        return Nonzero(layout, name)
    if name == "median":
        return Quantile(layout, None)
    if name == "quantile":
        return Quantile(layout, asked.q)
    raise ValueError(f"unknown reduction {name!r}")


class Source(Protocol):
    """Where the values come from (vemiral_grid._reduce.Field): the native pass
    of `kinds` over them, and a sweep of `passes` over them."""

    def native(self, kinds: Sequence[str]) -> dict[str, Any]: ...

    def sweep(self, passes: Sequence[Any]) -> list[Any]: ...

    def values(self) -> np.ndarray | None: ...


def compute(field: Source, stats: Sequence[Statistic]) -> list[Any]:
    """The results of `stats`: one native pass for all their sums, counts and
    extrema, then sweeps, each serving every statistic that still needs one;
    quantiles from the values themselves where the field holds them."""
    if any(isinstance(s, Quantile) for s in stats) and (values := field.values()) is not None:
        rest = [s for s in stats if not isinstance(s, Quantile)]
        found = iter(compute(field, rest) if rest else [])
        # Once nothing else reads them, quantiles may reorder the values in place (as NumPy's
        # selection does a copy): the same values, so the same results.
        return [s.of_values(values, reorder=True) if isinstance(s, Quantile) else next(found) for s in stats]
    kinds = list(dict.fromkeys(k for s in stats for k in s.kinds))
    raw = field.native(kinds) if kinds else {}
    pending = [s.start(raw) for s in stats]
    while any(pending):
        passes = [p for group in pending for p in group]
        states = field.sweep(passes)
        at = 0
        for i, s in enumerate(stats):
            mine = states[at : at + len(pending[i])]
            at += len(pending[i])
            pending[i] = s.absorb(mine) if mine else []
    return [s.result() for s in stats]


def quantiles(q: Any) -> np.ndarray:
    """q as NumPy takes it: numbers in [0, 1], any shape."""
    values = np.asarray(q, dtype=np.float64)
    if not (np.all(values >= 0) and np.all(values <= 1)):
        raise ValueError("Quantiles must be in the range [0, 1]")
    return values


def ddof_of(ddof: Any) -> float:
    if isinstance(ddof, bool) or not isinstance(ddof, int | float | np.integer | np.floating):
        raise TypeError(f"ddof must be a number, not {type(ddof).__name__}")
    return float(ddof)

