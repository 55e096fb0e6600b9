"""Grids written into Zarr stores (format 3) chunk by chunk, in parallel, resumable
(needs the package's zarr extra).

A store is a Zarr group that xarray reads as a Dataset: one coordinate array per
axis and one array per formula (``values``, or the names given), with the axes
as its dimension names and the attributes of
:func:`vemiral_grid.labelled.describe` and the caller's. Each chunk of each
array is one ``evaluate`` at the chunk's origin, so the store holds what
``grid.evaluate`` gives, bit for bit, however it was cut and wherever each
chunk ran.

The store is built beside the target under a hidden name (``.NAME.incomplete``)
and swapped onto it in one rename once every chunk is in (the package's one
writer of outputs, ``vemiral_grid._files``, which writes files the same way), so
the target holds a whole store or what it held before. One writer at a time
holds a target (a lock beside it); another is refused at once. The chunks
finished so far are listed in a file inside the hidden store, each line
written after its chunk: a write that was interrupted (Ctrl-C, a killed
process, a lost worker) is finished by the same call with ``resume=True``,
which computes only the chunks not listed.

An existing target is never replaced unasked, as xarray's own ``to_zarr``
does not replace one: ``overwrite=True`` replaces it, ``resume=True`` keeps
a finished store of the same values; a store that holds anything to_zarr did
not write (an array, a file, an attribute of the group) is not one of those.
"""

from __future__ import annotations

import bisect
import concurrent.futures
import errno
import itertools
import json
import math
import os
import re
import sys
import warnings
from collections.abc import Callable, Iterator, Mapping, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

import vemiral

from ._files import discard as _remove
from ._files import claimed, replacing_folder, staging_folder_of, target_of
from ._formula import Expression, parameters_of
from ._options import Method, by_dimension, method_of
from ._progress import Progress, reporter
from ._tiles import positive_int, tile_edges, whole_tiles
from ._complex_values import value_dtype
from ._values import Node, evaluate_into, output_dtype
from .labelled import DESCRIBED, describe, variables_of

if TYPE_CHECKING:
    from ._grid import Grid

# Default chunks: whole tiles of at most this many bytes (one 2000 x 2000 tile
# of float64), cut as to_dask cuts its blocks.
CHUNK_BYTES = 32 * 2**20
# Inside the hidden store: one line "i,j,..." per chunk written.
LEDGER = ".vemiral-chunks-done"
# What zarr's local store leaves of a chunk whose writing was cut short.
_ZARR_TEMPORARY = re.compile(r"\.[0-9a-f]{32}\.partial$")


def to_zarr(
    grid: Grid,
    expr: Expression | Mapping[str, Expression],
    store: str | os.PathLike[str],
    *,
    name: str | None = None,
    attrs: Mapping[str, Any] | None = None,
    chunks: int | Sequence[int] | Mapping[str, int] | None = None,
    dtype: Any = np.float64,
    tile: int | Sequence[int] | None = None,
    resume: bool = False,
    overwrite: bool = False,
    client: Any = None,
    progress: Progress = None,
    method: Method = "accurate",
    params: Mapping[str, float] | None = None,
    **parameters: float,
) -> Path:
    """Writes the values of `expr` into the Zarr store (a folder) `store` and
    returns its path.

    Args:
        expr: a formula, whose values are the array `name`; or a mapping of
            names to formulas, one array each, written together in one pass
            over the chunks (every formula's chunk before the next chunk).
        name: the name of the one formula's array (default ``"values"``; see
            :func:`vemiral_grid.labelled.check_names`); with a mapping, None.
        attrs: the attributes of the one formula's array (units...: see
            :func:`vemiral_grid.labelled.labels`), or with a mapping, each
            array's by its name; recorded beside the formula's own.
        chunks: the chunk edge along every dimension, or one per dimension
            (Zarr's regular chunks; Dask's tuples of block sizes are taken when
            all but the last are equal), or a mapping by axis name as xarray
            takes it (``{"x": 100}``; a dimension left out is one chunk).
            Default: whole tiles of at most 32 MiB.
        dtype: float64 or float32 (computed in double, rounded once per value).
        tile: the tile edges (default ``vemiral.default_tile``), recorded.
        resume: finish a write that was interrupted, computing only the chunks
            that are missing; a finished store of the same values (formulas,
            parameters, grid, tile, method, chunks, dtype, attributes) that
            holds nothing else is left as it is. Without it, anything left by
            an interrupted write is discarded and the store written afresh.
        overwrite: replace whatever `store` names. Without it an existing
            `store` is refused, unless `resume` finds it finished; with both,
            a store or an interrupted write of other values is replaced.
        client: a ``distributed.Client`` that computes and writes the chunks on
            its workers (who must see the same folder); by default the active
            client if there is one, otherwise threads on this machine, as many
            as ``vemiral.get_num_threads()``.
        progress: as for ``to_npy``: None shows a bar on standard error above
            PROGRESS_THRESHOLD points when it is a terminal, True/False force
            it, a callable gets ``(points_done, points_total)`` after every chunk.
        method: as for ``Grid.evaluate``; recorded.
        params, parameters: numbers the formula names (or, with a mapping,
            one of the formulas), as for ``Grid.evaluate``; recorded with each
            formula.

    Raises, before anything is written: ValueError for a bad dtype, chunks or
    expression (MemoryError for one whose chain would be too large, as
    lowering finds at the first tile), a name or attributes that
    :mod:`vemiral_grid.labelled` refuses, or, with `resume` and without
    `overwrite`, a store or an interrupted write of other values: another
    set of variables, formula, grid, tile, method, chunking, dtype or
    attributes (the message names the difference); FileExistsError, unless
    ``overwrite=True``, for a `store` that exists and is not a finished store
    of these values that `resume` keeps (the message says what was found: a
    file, another folder, a store of other values, what to_zarr did not write
    in one); BlockingIOError while another writer, in this process or
    another, writes `store`; for a path as the package's other writers refuse
    theirs: ValueError for an empty one, OSError for a folder that does not
    exist or cannot be written and for a device, a FIFO or a socket at the
    target (even with ``overwrite=True``). A symbolic link is followed: the
    store it leads to is replaced, the link stays. What a killed writer left
    beside the target is removed by the next one.

    >>> import tempfile, pathlib, xarray
    >>> from vemiral_grid import Grid
    >>> from vemiral_grid.zarrstore import to_zarr
    >>> grid = Grid(x=(0, 1, 300), y=(1, 3, 200))
    >>> path = to_zarr(grid, "sin(x*y)", pathlib.Path(tempfile.mkdtemp()) / "w.zarr", chunks=(100, 100))
    >>> stored = xarray.open_zarr(path)["values"]
    >>> stored.dims, stored.chunks, stored.attrs["formula"]
    (('x', 'y'), ((100, 100, 100), (100, 100)), 'sin(x*y)')
    >>> bool((stored.values == grid.evaluate("sin(x*y)")).all())
    True
    >>> path = to_zarr(grid, {"u": "x*y", "v": "x - y"}, path, attrs={"u": {"units": "m/s"}}, overwrite=True)
    >>> wind = xarray.open_zarr(path)
    >>> sorted(wind.data_vars), wind["u"].attrs["units"]
    (['u', 'v'], 'm/s')
    """
    try:
        import zarr
    except ImportError:
        raise ImportError("to_zarr needs zarr (the package's zarr extra)") from None

    variables = variables_of(grid, expr, name, attrs)
    values = parameters_of(
        grid, params, parameters, expr,
        ("name", "attrs", "chunks", "dtype", "tile", "resume", "overwrite", "client", "progress", "method", "params"),
    )
    method = method_of(method)
    kind = output_dtype(dtype)
    edges = tile_edges(tile, grid.ndim, method, grid.shape)
    shape = grid.shape
    # The parser's and the algebra's refusals come before anything is written.
    nodes = {label: grid._prepared(formula, edges, values, method) for label, (formula, _) in variables.items()}
    # Complex values for a complex formula: a store of several holds them all complex then.
    kind = max((value_dtype(kind, node) for node in nodes.values()), key=lambda k: k.kind == "c")
    chunk = zarr_chunks(by_dimension(grid, chunks), shape, edges, kind)
    wanted = _Layout(
        {label: describe(grid, formula, nodes[label], edges, values, method) | own
         for label, (formula, own) in variables.items()},
        chunk, kind.str, grid.names,
    )

    target = target_of(store, folder=True)
    hidden = staging_folder_of(target)
    given = Path(os.fspath(store)).absolute()

    counts = tuple(-(-n // c) for n, c in zip(shape, chunk, strict=True))
    # One writer at a time: the store and its hidden folder are this call's
    # until it returns.
    with claimed(target):
        started = _judge(target, hidden, wanted, resume=resume, overwrite=overwrite)
        if started is None:
            _remove(hidden)  # what an earlier write left: the store is finished
            return given
        # What an interruption leaves in the hidden store is kept for resume=True.
        with replacing_folder(target, hidden, keep=True):
            done = _Done()
            if started:
                done = _read_ledger(hidden, counts)
                _remove_zarr_temporaries(hidden)
            else:
                _remove(hidden)
                _create(zarr, hidden, grid, shape, chunk, kind, wanted.variables)
            _fill(zarr, hidden, nodes, done, counts, chunk, shape, edges, kind.str, method, progress, client)
    return given


def _judge(target: Path, hidden: Path, wanted: _Layout, *, resume: bool, overwrite: bool) -> bool | None:
    """What to do with what is at `target` and in the hidden store `hidden`:
    None when resume finds the store finished, True to resume the hidden
    store, False to write afresh; refuses (FileExistsError, ValueError) the
    rest, saying what was found."""
    exists = os.path.lexists(target)
    found = _layout(target) if exists else None
    foreign = _foreign(target, found) if found is not None else []
    differs = _difference(found, wanted) if found is not None else None
    if resume and found is not None and not foreign and differs is None:
        return None
    # The ledger is made last: a store cut short while its arrays were made is begun again.
    partial = _layout(hidden) if resume and (hidden / LEDGER).is_file() else None
    partial_differs = _difference(partial, wanted) if partial is not None else None
    if partial_differs is not None and not overwrite:
        raise ValueError(f"cannot resume {target}: it was written for {partial_differs}")
    if exists and not overwrite:
        if found is None:
            what = "a folder that is no store of vemiral values" if target.is_dir() else "a file"
            refusal = f"this exists ({what}): pass overwrite=True to replace it"
        elif foreign:
            refusal = f"this store holds what to_zarr did not write ({', '.join(foreign)}): pass overwrite=True to replace it"
        elif differs is not None and resume:
            raise ValueError(f"cannot resume {target}: it was written for {differs}")
        elif differs is not None:
            refusal = f"this exists (a store written for {differs}): pass overwrite=True to replace it"
        else:
            refusal = "this exists (a store of these values): pass overwrite=True to replace it, or resume=True to keep it"
        raise FileExistsError(errno.EEXIST, f"to_zarr: {refusal}", str(target))
    return partial is not None and partial_differs is None


def _fill(
    zarr: Any, hidden: Path, nodes: dict[str, Node], done: _Done, counts: tuple[int, ...],
    chunk: tuple[int, ...], shape: tuple[int, ...], edges: tuple[int, ...], dtype: str, method: Method,
    progress: Progress, client: Any,
) -> None:
    """Computes every chunk not `done` into the hidden store, listing each in
    the ledger once written, then finishes the store's metadata."""
    # The chunks to compute, one at a time: a list of them could outgrow memory.
    todo = (index for index in _product([range(c) for c in counts]) if _linear(index, counts) not in done)
    total = math.prod(shape)
    report = reporter(progress, total, "to_zarr")
    points = done.points(counts, chunk, shape)
    try:
        if points:
            report(points)
        with open(hidden / LEDGER, "a", encoding="ascii") as ledger:

            def finished(index: tuple[int, ...]) -> None:
                nonlocal points
                ledger.write(",".join(map(str, index)) + "\n")
                ledger.flush()
                points += math.prod(_extent(index, chunk, shape))
                report(points)

            cluster = _client(client)
            if cluster is not None:
                _write_on_cluster(cluster, nodes, hidden, todo, chunk, shape, edges, dtype, method, finished)
            else:
                arrays = {label: zarr.open_array(str(hidden), path=label, mode="r+") for label in nodes}
                _write_here(arrays, nodes, todo, chunk, shape, edges, dtype, method, finished)
    finally:
        report(None)

    (hidden / LEDGER).unlink()
    with warnings.catch_warnings():
        # Consolidated metadata is what xarray reads first; zarr notes that it
        # is an extension of format 3.
        warnings.simplefilter("ignore", category=UserWarning)
        zarr.consolidate_metadata(str(hidden))


def zarr_chunks(chunks: Any, shape: tuple[int, ...], edges: Sequence[int], dtype: np.dtype[Any]) -> tuple[int, ...]:
    """The chunk shape: an edge for all dimensions or one each, or Dask's block
    sizes where they are regular (all equal but a shorter last), or a mapping
    of dimension numbers to either (the others whole); clipped to the grid.
    Anything else is a ValueError that says why."""
    if chunks is None:
        return whole_tiles(shape, edges, CHUNK_BYTES // dtype.itemsize)
    if isinstance(chunks, Mapping):
        chunks = [chunks.get(d, extent) for d, extent in enumerate(shape)]
    if isinstance(chunks, str | bytes) or (not isinstance(chunks, Sequence) and not hasattr(chunks, "__index__")):
        raise ValueError(f"chunks {chunks!r}: give the chunk edge as an int, or one per dimension")
    given = list(chunks) if isinstance(chunks, Sequence) else [chunks] * len(shape)
    if len(given) != len(shape):
        raise ValueError(f"chunks {chunks!r}: give one edge per dimension ({len(shape)}), not {len(given)}")
    out = []
    for d, (edge, extent) in enumerate(zip(given, shape, strict=True)):
        if isinstance(edge, Sequence) and not isinstance(edge, str | bytes):
            sizes = [positive_int(size, f"chunks: dimension {d}") for size in edge]
            if sum(sizes) != extent or not sizes or any(s != sizes[0] for s in sizes[:-1]) or sizes[-1] > sizes[0]:
                raise ValueError(
                    f"chunks along dimension {d}, {tuple(sizes)}: Zarr needs chunks of one size, the last "
                    f"one shorter at most, adding up to the grid's {extent}"
                )
            edge = sizes[0]
        out.append(min(positive_int(edge, f"chunks: dimension {d}"), extent))
    return tuple(out)


class _Layout:
    """What a store holds: the attributes of its arrays of values, by name, and
    their chunk shape, dtype and dimensions."""

    def __init__(
        self, variables: dict[str, dict[str, Any]], chunks: tuple[int, ...], dtype: str, dims: Sequence[str]
    ) -> None:
        self.variables, self.chunks, self.dtype, self.dims = variables, tuple(chunks), dtype, tuple(dims)

    @property
    def grid(self) -> Any:
        return next(iter(self.variables.values())).get("grid")


def _layout(path: Path) -> _Layout | None:
    """The layout of the vemiral store at `path`, or None if it is none."""
    if not (path / "zarr.json").is_file():
        return None
    import zarr

    try:
        variables, arrays = {}, []
        # The folders that hold an array, read one by one: zarr's own listing of the
        # group would warn of the ledger beside them.
        for child in sorted(path.iterdir()):
            if not (child / "zarr.json").is_file():
                continue
            label, array = child.name, zarr.open_array(str(path), path=child.name, mode="r")
            attrs = dict(array.attrs)
            if "formula_sha256" in attrs and "grid" in attrs:
                variables[label] = attrs
                arrays.append(array)
        if not variables:
            return None
        dims = getattr(arrays[0].metadata, "dimension_names", None) or ()  # a format 2 array has none
        return _Layout(variables, tuple(arrays[0].chunks), np.dtype(arrays[0].dtype).str, [str(d) for d in dims])
    except Exception:  # anything zarr cannot read as our arrays is no store of ours
        return None


def _difference(found: _Layout, wanted: _Layout) -> str | None:
    """The first way in which a store written for `found` would not hold the
    values of `wanted`, as words; None if it would."""
    for what, old, new in _compared(found, wanted):
        if old != new:
            return f"another {what}, {old}" + (f" (this call: {new})" if new != "" else "")
    return None


def _compared(found: _Layout, wanted: _Layout) -> Iterator[tuple[str, object, object]]:
    yield "grid", found.grid, wanted.grid
    yield "set of variables", sorted(found.variables), sorted(wanted.variables)
    for label, new in wanted.variables.items():
        old = found.variables[label]
        of = f" of {label}" if len(wanted.variables) > 1 else ""
        yield "set of parameters", old.get("parameters", "none"), new.get("parameters", "none")
        if old.get("formula_sha256") != new["formula_sha256"]:
            yield f"formula{of}", repr(old.get("formula")), repr(new["formula"])
            yield f"formula{of}", "with the same text but another tree", ""
        yield "tile", old.get("tile"), new["tile"]
        yield "method", old.get("method", "accurate"), new["method"]
        yield f"set of attributes{of}", _own(old), _own(new)
        yield "version", old.get("generated_by"), new["generated_by"]
    yield "chunking", found.chunks, wanted.chunks
    yield "dtype", np.dtype(found.dtype).name, np.dtype(wanted.dtype).name


def _foreign(path: Path, found: _Layout) -> list[str]:
    """What the store at `path` holds that to_zarr does not write (for the
    variables it was written for): arrays, groups, files and folders beside
    or inside its own, attributes of the group, each as words ("an array
    'mask'")."""
    arrays = {name: 1 for name in found.dims} | {label: len(found.dims) for label in found.variables}
    seen = []
    for entry in sorted(os.listdir(path)):
        where = path / entry
        if entry == "zarr.json" and where.is_file() and not where.is_symlink():
            continue
        if entry in arrays and where.is_dir() and not where.is_symlink():
            seen += _foreign_in_array(where, entry, arrays[entry])
        else:
            seen.append(_what(where, entry))
    try:
        group = json.loads((path / "zarr.json").read_text(encoding="utf-8")).get("attributes") or {}
    except (OSError, ValueError, AttributeError):
        group = {}
    return seen + [f"an attribute {name!r} of the group" for name in group]


def _foreign_in_array(folder: Path, name: str, ndim: int) -> list[str]:
    """What the array folder holds besides its metadata and its chunks (c/i/j/...)."""
    seen = []
    for root, folders, files in os.walk(folder):
        at = Path(root).relative_to(folder).parts  # (), ("c",), ("c", "0"), ...
        for entry in sorted(folders):
            if not (at == () and entry == "c" or at and len(at) < ndim and entry.isdigit()):
                seen.append(_what(Path(root) / entry, "/".join((name, *at, entry))))
                folders.remove(entry)
        for entry in sorted(files):
            if not (at == () and entry == "zarr.json" or at and len(at) == ndim and entry.isdigit()):
                seen.append(_what(Path(root) / entry, "/".join((name, *at, entry))))
    return seen


def _what(path: Path, name: str) -> str:
    if path.is_symlink():
        return f"a link {name!r}"
    if not path.is_dir():
        return f"a file {name!r}"
    try:
        kind = json.loads((path / "zarr.json").read_text(encoding="utf-8"))["node_type"]
    except (OSError, ValueError, KeyError, TypeError):
        return f"a folder {name!r}"
    return f"an array {name!r}" if kind == "array" else f"a group {name!r}"


def _own(attrs: dict[str, Any]) -> dict[str, Any]:
    """The attributes a caller gave, beside what describe writes."""
    return {key: value for key, value in attrs.items() if key not in DESCRIBED}


def _create(
    zarr: Any, path: Path, grid: Grid, shape: tuple[int, ...], chunk: tuple[int, ...], kind: np.dtype[Any],
    variables: dict[str, dict[str, Any]]
) -> None:
    group = zarr.open_group(str(path), mode="w", zarr_format=3)
    for name, coordinates in grid.coords.items():
        axis = group.create_array(
            name, shape=coordinates.shape, chunks=coordinates.shape, dtype=np.float64, fill_value=np.nan,
            dimension_names=[name],
        )
        axis[...] = coordinates
    # Every chunk written, also one that equals the fill value: a chunk's file
    # is then there exactly when the chunk was computed, and -0.0 stays -0.0.
    for label, attrs in variables.items():
        group.create_array(
            label, shape=shape, chunks=chunk, dtype=kind, fill_value=np.nan, dimension_names=list(grid.names),
            attributes=attrs, config={"write_empty_chunks": True},
        )
    (path / LEDGER).touch()


def _write_here(
    arrays: dict[str, Any],
    nodes: dict[str, Node],
    todo: Iterator[tuple[int, ...]],
    chunk: tuple[int, ...],
    shape: tuple[int, ...],
    edges: tuple[int, ...],
    dtype: str,
    method: Method,
    finished: Callable[[tuple[int, ...]], None],
) -> None:
    workers = max(1, vemiral.get_num_threads())
    with concurrent.futures.ThreadPoolExecutor(workers, thread_name_prefix="vemiral-zarr") as pool:
        pending: set[concurrent.futures.Future[tuple[int, ...]]] = set()
        try:
            # A bounded window of chunks under way, topped up as they finish.
            for index in todo:
                pending.add(pool.submit(_write_chunk, arrays, nodes, index, chunk, shape, edges, dtype, method))
                while len(pending) >= 2 * workers:
                    finished_now, pending = concurrent.futures.wait(
                        pending, return_when=concurrent.futures.FIRST_COMPLETED
                    )
                    for future in finished_now:
                        finished(future.result())
            for future in concurrent.futures.as_completed(pending):
                finished(future.result())
        except BaseException:
            # Ctrl-C or a failed chunk: the chunks under way finish, no new one starts.
            for future in pending:
                future.cancel()
            raise


def _write_on_cluster(
    client: Any,
    nodes: dict[str, Node],
    path: Path,
    todo: Iterator[tuple[int, ...]],
    chunk: tuple[int, ...],
    shape: tuple[int, ...],
    edges: tuple[int, ...],
    dtype: str,
    method: Method,
    finished: Callable[[tuple[int, ...]], None],
) -> None:
    from distributed import as_completed

    # The trees travel to each worker once; every task refers to them.
    trees = client.scatter(nodes, broadcast=False)

    def submit(index: tuple[int, ...]) -> Any:
        return client.submit(_write_chunk_at, str(path), trees, index, chunk, shape, edges, dtype, method, pure=False)

    # A bounded window of tasks on the cluster, topped up as they finish:
    # the scheduler would hold a task per chunk otherwise.
    window = 4 * max(1, sum(client.nthreads().values()))
    futures = [submit(index) for index in itertools.islice(todo, window)]
    running = as_completed(futures)  # type: ignore[no-untyped-call]
    try:
        for future in running:
            futures.remove(future)
            finished(future.result())
            for index in itertools.islice(todo, 1):
                futures.append(submit(index))
                running.add(futures[-1])  # type: ignore[no-untyped-call]
    except BaseException:
        client.cancel(futures)
        raise


def _write_chunk_at(
    path: str, nodes: dict[str, Node], index: tuple[int, ...], chunk: tuple[int, ...],
    shape: tuple[int, ...], edges: tuple[int, ...], dtype: str, method: Method
) -> tuple[int, ...]:
    import zarr

    arrays = {label: zarr.open_array(path, path=label, mode="r+") for label in nodes}
    return _write_chunk(arrays, nodes, index, chunk, shape, edges, dtype, method)


def _write_chunk(
    arrays: dict[str, Any], nodes: dict[str, Node], index: tuple[int, ...], chunk: tuple[int, ...],
    shape: tuple[int, ...], edges: tuple[int, ...], dtype: str, method: Method
) -> tuple[int, ...]:
    """Computes and writes the chunk `index` of every array (each formula's)."""
    origin = [i * c for i, c in zip(index, chunk, strict=True)]
    extent = _extent(index, chunk, shape)
    for label, node in nodes.items():
        values = evaluate_into(node, np.empty(extent, dtype=dtype), origin, edges, threads=1, method=method)
        arrays[label][tuple(slice(o, o + e) for o, e in zip(origin, extent, strict=True))] = values
    return index


def _extent(index: tuple[int, ...], chunk: tuple[int, ...], shape: tuple[int, ...]) -> tuple[int, ...]:
    return tuple(min(c, n - i * c) for i, c, n in zip(index, chunk, shape, strict=True))


def _product(ranges: list[range]) -> Iterator[tuple[int, ...]]:
    if not ranges:
        yield ()
        return
    for first in ranges[0]:
        for rest in _product(ranges[1:]):
            yield (first, *rest)


def _client(client: Any) -> Any:
    if client is not None:
        return client
    if "distributed" not in sys.modules:  # then no client can be active
        return None
    from distributed import default_client

    try:
        return default_client()  # type: ignore[no-untyped-call]
    except ValueError:  # no client is active
        return None


class _Done:
    """The chunks written, by their numbers in C order, as sorted disjoint
    ranges: chunks finish nearly in order, so a store of any size takes a
    few ranges rather than an entry per chunk."""

    def __init__(self) -> None:
        self.starts: list[int] = []
        self.ends: list[int] = []  # exclusive

    def __contains__(self, number: int) -> bool:
        at = bisect.bisect_right(self.starts, number) - 1
        return at >= 0 and number < self.ends[at]

    def add(self, number: int) -> None:
        if number in self:
            return
        at = bisect.bisect_right(self.starts, number)
        joins_before = at > 0 and self.ends[at - 1] == number
        joins_after = at < len(self.starts) and self.starts[at] == number + 1
        if joins_before and joins_after:
            self.ends[at - 1] = self.ends[at]
            del self.starts[at], self.ends[at]
        elif joins_before:
            self.ends[at - 1] = number + 1
        elif joins_after:
            self.starts[at] = number
        else:
            self.starts.insert(at, number)
            self.ends.insert(at, number + 1)

    def points(self, counts: tuple[int, ...], chunk: tuple[int, ...], shape: tuple[int, ...]) -> int:
        """The points of the chunks written."""
        total = 0
        for start, end in zip(self.starts, self.ends, strict=True):
            for number in range(start, end):
                index = []
                for count in reversed(counts):
                    number, i = divmod(number, count)
                    index.append(i)
                total += math.prod(_extent(tuple(reversed(index)), chunk, shape))
        return total


def _linear(index: tuple[int, ...], counts: tuple[int, ...]) -> int:
    number = 0
    for i, count in zip(index, counts, strict=True):
        number = number * count + i
    return number


def _read_ledger(path: Path, counts: tuple[int, ...]) -> _Done:
    """The chunks the ledger lists, read line by line; lines cut short or of
    other chunks than the store has are left out."""
    done = _Done()
    try:
        with open(path / LEDGER, encoding="ascii", newline="") as ledger:
            for line in ledger:
                if not line.endswith("\n"):  # a last line without its newline was cut short
                    break
                try:
                    index = tuple(int(part) for part in line[:-1].split(","))
                except ValueError:
                    continue
                if len(index) == len(counts) and all(0 <= i < c for i, c in zip(index, counts, strict=True)):
                    done.add(_linear(index, counts))
    except (OSError, UnicodeDecodeError):
        return _Done()
    return done


def _remove_zarr_temporaries(path: Path) -> None:
    for folder, _, files in os.walk(path):
        for name in files:
            if _ZARR_TEMPORARY.search(name):
                os.unlink(os.path.join(folder, name))
