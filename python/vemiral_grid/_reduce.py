"""Reductions of a formula over a grid without its array: what a user asks
for (axes by name or number, the reduction, bins, the rule of an integral),
and where it is computed: natively on this machine, or one native reduction
(or sweep of statistics) per Dask block, joined as the engine joins its own
parts (vemiral_grid._native)."""

from __future__ import annotations

import math
import operator
import os
import resource
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

import vemiral

from . import _stats
from ._native import NATIVE, REDUCTIONS, finish, run
from ._native import Request as Request  # the grid's and the command line's requests are made here
from ._tiles import tile_edges
from ._values import prepare
from .distributed import block_sizes, reduce_blocks, sweep_blocks

if TYPE_CHECKING:
    from ._grid import Grid

RULES = ("trapezoid", "simpson")
# The most a field's values may take to be kept between the passes of its statistics.
HELD_BYTES = 256 << 20


def axes_of(grid: Grid, axis: Any) -> tuple[int, ...]:
    """The dimensions `axis` names (None: all), sorted: names, numbers (negative
    ones from the end) or a tuple of them; out of range, unknown or repeated
    ones are refused (ValueError)."""
    if axis is None:
        return tuple(range(grid.ndim))
    items = list(axis) if isinstance(axis, tuple | list) else [axis]
    if not items:
        raise ValueError("axis=() names no dimension to reduce")
    dims: list[int] = []
    for item in items:
        if isinstance(item, str):
            if item not in grid.names:
                raise ValueError(f"axis {item!r} is not an axis of the grid ({', '.join(grid.names)})")
            dim = grid.names.index(item)
        elif isinstance(item, bool) or not hasattr(item, "__index__"):
            raise TypeError(f"an axis is a name or a dimension number, not {type(item).__name__}")
        else:
            dim = operator.index(item)
            if not -grid.ndim <= dim < grid.ndim:
                raise ValueError(
                    f"axis {dim} is out of range for a grid of {grid.ndim} dimensions ({', '.join(grid.names)})"
                )
            dim %= grid.ndim
        if dim in dims:
            raise ValueError(f"axis {item!r} is repeated (dimension {dim}, {grid.names[dim]!r})")
        dims.append(dim)
    return tuple(sorted(dims))


def rule_weights(grid: Grid, dims: Sequence[int], rule: str) -> tuple[np.ndarray | None, ...]:
    """Per dimension, the weights of `rule` along the integrated ones (None elsewhere):
    the trapezoid rule, or Simpson's with SciPy's correction of the last
    interval for an even number of points (the trapezoid for two)."""
    if rule not in RULES:
        raise ValueError(f"unknown rule {rule!r}: one of {', '.join(map(repr, RULES))}")
    weights: list[np.ndarray | None] = [None] * grid.ndim
    for dim in dims:
        axis = grid.axes[dim]
        n, h = axis.num, abs(axis.step)
        if n < 2:
            raise ValueError(f"cannot integrate over axis {axis.name!r}: it has one point")
        if rule == "trapezoid" or n == 2:
            w = np.full(n, h)
            w[0] = w[-1] = h / 2
        else:
            odd = n if n % 2 else n - 1
            w = np.zeros(n)
            w[:odd] = h / 3 * np.where(np.arange(odd) % 2 == 1, 4.0, 2.0)
            w[0] = w[odd - 1] = h / 3
            if n % 2 == 0:
                w[-3:] += [-h / 12, 2 * h / 3, 5 * h / 12]
        weights[dim] = -w if axis.step < 0 else w
    return tuple(weights)


def usable_memory() -> int:
    """The bytes this process may allocate at most: the machine's memory, or
    less where a limit on the address space or the data segment says so."""
    usable = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    for limit in (resource.RLIMIT_AS, resource.RLIMIT_DATA):
        soft = resource.getrlimit(limit)[0]
        if soft != resource.RLIM_INFINITY:
            usable = min(usable, soft)
    return usable


def size_text(count: float) -> str:
    """A number of bytes for a message ("3.5 GiB")."""
    for unit in ("bytes", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB", "ZiB"):
        if count < 1024 or unit == "ZiB":
            return f"{count:.0f} {unit}" if unit == "bytes" else f"{count:.1f} {unit}"
        count /= 1024
    raise AssertionError("unreachable")


def check_bins(bins: Any) -> None:
    """Refuses (MemoryError) a number of bins whose edges and counts would not
    fit in memory, before any pass over the grid (the range's, for one)."""
    if isinstance(bins, bool) or not hasattr(bins, "__index__") or isinstance(bins, np.ndarray):
        return
    count = operator.index(bins)
    need, usable = 16 * (count + 1), usable_memory()  # a float64 edge and an int64 count per bin
    if need > usable:
        raise MemoryError(
            f"histogram: bins={count} would need {size_text(need)} for the edges and the counts, more than "
            f"the memory this process may use ({size_text(usable)})"
        )


def histogram_edges(bins: Any, value_range: Any) -> tuple[np.ndarray, bool]:
    """The bin edges (and whether they are equal bins) of `bins` (a count with
    `value_range`, or the edges themselves), refused as the issue of bad
    input demands: a count below 1, lo >= hi, edges that do not increase,
    and (MemoryError) more bins than the edges and counts can take in memory."""
    if isinstance(bins, bool):
        raise TypeError("bins is a number of bins or a sequence of edges, not bool")
    if hasattr(bins, "__index__") and not isinstance(bins, np.ndarray):
        count = operator.index(bins)
        if count < 1:
            raise ValueError(f"bins must be a positive number of bins, not {count}")
        lo, hi = value_range
        lo, hi = float(lo), float(hi)
        if not (np.isfinite(lo) and np.isfinite(hi)):
            raise ValueError(f"range ({lo}, {hi}) is not finite")
        if not lo < hi:
            raise ValueError(f"range ({lo}, {hi}): lo must be below hi")
        check_bins(count)
        return np.linspace(lo, hi, count + 1), True
    edges = np.asarray(bins, dtype=np.float64)
    if edges.ndim != 1 or edges.size < 2:
        raise ValueError("bins as edges must be a one-dimensional sequence of at least two numbers")
    if not np.all(np.isfinite(edges)) or not np.all(edges[1:] > edges[:-1]):
        raise ValueError("bins as edges must be finite and increase")
    return edges, False


def reduce(
    grid: Grid,
    node: vemiral.ASTnode,
    how: Any,
    axis: Any,
    *,
    tile: Any = None,
    threads: int | None = None,
    chunks: Any = None,
    client: Any = None,
) -> Any:
    """`how` of the node's values over `axis` (a tuple of reductions: a tuple of
    results, from one native pass and the sweeps the statistics among them
    need), natively or (with `chunks` or `client`) one native reduction per
    Dask block. A reduction is a name or a vemiral_grid._stats.Asked."""
    hows = (how,) if isinstance(how, str | _stats.Asked) else tuple(how)
    asks = [name if isinstance(name, _stats.Asked) else _stats.Asked(name) for name in hows]
    for name in hows:
        known = NATIVE.keys() | set(_stats.NAMES) | ({"quantile"} if isinstance(name, _stats.Asked) else set())
        if (name.name if isinstance(name, _stats.Asked) else name) not in known:
            hint = " (Grid.quantile takes q)" if name == "quantile" else ""
            raise ValueError(f"unknown reduction {name!r}{hint}: one of {', '.join(REDUCTIONS + _stats.NAMES)}")
    if not asks:
        raise ValueError("no reduction named")
    dims = axes_of(grid, axis)
    single = axis is not None and not isinstance(axis, tuple | list)
    if all(asked.name in NATIVE for asked in asks):
        request = Request(tuple(NATIVE[asked.name] for asked in asks), tuple(d in dims for d in range(grid.ndim)))
        raws = compute(grid, node, request, tile=tile, threads=threads, chunks=chunks, client=client)
        results = tuple(
            finish(asked.name, raw, grid.shape, dims, single) for asked, raw in zip(asks, raws, strict=True)
        )
    else:
        edges = tile_edges(tile, grid.ndim, "accurate", grid.shape)
        if chunks is not None or client is not None:  # judged before any task is built, as in compute
            chunks = block_sizes(grid, chunks, edges, 8)
            prepare(node, grid.ndim, edges)
        layout = _stats.Layout(grid.shape, tuple(d in dims for d in range(grid.ndim)), (0,) * grid.ndim, edges)
        field = Field(node, layout, threads=threads, grid=grid, chunks=chunks, client=client)
        stats = [_stats.statistic(layout, asked, dims, single) for asked in asks]
        results = tuple(_stats.compute(field, stats))
    return results[0] if isinstance(how, str | _stats.Asked) else results


def compute(
    grid: Grid,
    node: vemiral.ASTnode,
    request: Request,
    *,
    tile: Any = None,
    threads: int | None = None,
    chunks: Any = None,
    client: Any = None,
    progress: Callable[[int, int], object] | None = None,
) -> list[Any]:
    """The request's raw results over the whole grid, here or through Dask."""
    edges = tile_edges(tile, grid.ndim, "accurate", grid.shape)
    if chunks is None and client is None:
        return run(node, grid.shape, request, tile=edges, threads=threads, progress=progress)
    # The chunks and the chain are judged here, before any task is built: a
    # refusal inside a task would surface far from this call.
    sizes = block_sizes(grid, chunks, edges, 8)
    prepare(node, grid.ndim, edges)
    return reduce_blocks(grid, node, request, chunks=sizes, tile=edges, client=client)


class Field:
    """The values of a node over a layout, reduced natively or one Dask task per block."""

    def __init__(
        self, node: vemiral.ASTnode, layout: _stats.Layout, *, threads: int | None = None, grid: Any = None,
        chunks: Any = None, client: Any = None, hold: bool = True,
    ) -> None:
        self.node, self.layout, self.threads = node, layout, threads
        self.grid, self.chunks, self.client = grid, chunks, client
        self.dask = chunks is not None or client is not None
        self.hold = hold
        self.held: np.ndarray | None = None

    def native(self, kinds: Sequence[str]) -> dict[str, Any]:
        request = Request(tuple(kinds), self.layout.reduced)
        if self.dask:
            raws = reduce_blocks(self.grid, self.node, request, chunks=self.chunks, tile=self.layout.tile,
                                 client=self.client)
        else:
            raws = run(self.node, self.layout.shape, request, origin=self.layout.origin, tile=self.layout.tile,
                       threads=self.threads)
        return dict(zip(kinds, raws, strict=True))

    def values(self) -> np.ndarray | None:
        """The values themselves where they fit in a fraction of memory (here, not
        through Dask; unless told not to `hold` them), computed once: the
        statistics that need passes over them fold this array rather than
        computing the formula again each pass."""
        size = math.prod(self.layout.shape) * 8
        if not self.hold or self.dask or size > min(usable_memory() // 8, HELD_BYTES):
            return None
        if self.held is None:
            self.held = self.node.evaluate(
                list(self.layout.shape), origin=list(self.layout.origin), tile=list(self.layout.tile),
                threads=self.threads, method="accurate",
            )
        return self.held

    def sweep(self, passes: Sequence[Any]) -> list[Any]:
        if self.dask:
            return sweep_blocks(self.grid, self.node, self.layout, passes, chunks=self.chunks, client=self.client)
        zero = (0,) * len(self.layout.shape)
        return _stats.sweep_block(self.node, self.layout, zero, self.layout.shape, passes, self.threads, self.values())
