"""Grids streamed into .npy files block by block, however large."""

from __future__ import annotations

import errno
import io
import math
import os
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import IO, TYPE_CHECKING, Any

import numpy as np
from numpy.lib import format as npy_format

from ._files import replacing
from ._formula import Expression, parameters_of, prepared
from ._options import Method, method_of
from ._progress import Progress, reporter
from ._tiles import file_runs, tile_edges
from ._complex_values import value_dtype
from ._values import evaluate_into, output_dtype

if TYPE_CHECKING:
    from ._grid import Grid

# Each block is computed straight into a memory map of its own stretch of the
# file, unmapped before the next: at most this much of the grid is mapped at once.
BLOCK_BYTES = 32 * 2**20


def to_npy(
    grid: Grid,
    expr: Expression,
    path: str | os.PathLike[str],
    tile: int | Sequence[int] | None = None,
    progress: Progress = None,
    dtype: object = np.float64,
    method: Method = "accurate",
    params: Mapping[str, float] | None = None,
    **parameters: float,
) -> Path:
    """Writes the values of `expr` over the grid to the .npy file `path` (float64,
    or float32 with `dtype`, C order, readable with numpy.load, also with
    mmap_mode) and returns the path.

    The file is written under a temporary name in the same folder and renamed
    at the end (vemiral_grid._files.replacing), so `path` either holds the
    whole grid or is left as it was; an existing file is replaced, as
    numpy.save replaces it; a symbolic link is followed. The space is
    reserved before any value is computed. `progress`: None shows a
    bar on standard error for grids of more than PROGRESS_THRESHOLD points
    when standard error is a terminal, True or False forces it on or off, and
    a callable is called as progress(points_done, points_total) after every
    block (an exception it raises abandons the write). `method` and the
    formula's parameters are given as for `Grid.evaluate`.

    Refusals, all before any value is computed: the expression's own (the
    parser's, and lowering's at the first tile: MemoryError, ValueError), an
    empty path (ValueError), a target that is not a regular file or a folder
    that does not exist or cannot be written (OSError), too little free space
    for the file (OSError with errno ENOSPC), a dtype other than float64 or
    float32 (ValueError), another writer writing `path` (BlockingIOError).

    >>> import tempfile, pathlib
    >>> from vemiral_grid import Grid
    >>> from vemiral_grid.storage import to_npy
    >>> path = to_npy(Grid(x=(0, 1, 200), y=(0, 1, 300)), "x*y", pathlib.Path(tempfile.mkdtemp()) / "xy.npy")
    >>> np.load(path, mmap_mode="r").shape
    (200, 300)
    """
    known = parameters_of(grid, params, parameters, expr, ("tile", "progress", "dtype", "method", "params"))
    method = method_of(method)
    kind = output_dtype(dtype)
    edges = tile_edges(tile, grid.ndim, method, grid.shape)
    node = prepared(grid, expr, edges, known, method)
    kind = value_dtype(kind, node)  # complex values for a complex formula
    shape = grid.shape
    header = _header(shape, kind)
    total = len(header) + kind.itemsize * math.prod(shape)
    report = None
    try:
        # Refuses a bad target, and a folder that cannot be written (PermissionError
        # and the like), before any value is computed.
        with replacing(path) as (staged,):
            file = staged.file
            disk = os.statvfs(staged.target.parent)
            free = disk.f_bavail * disk.f_frsize
            if total > free:
                raise OSError(
                    errno.ENOSPC, f"to_npy: the file needs {total} bytes, the disk has {free} free", str(staged.target.parent)
                )
            # Reserving every block now means a full disk is found here, as an
            # OSError, and never later through the map (where it would be SIGBUS).
            os.posix_fallocate(file.fileno(), 0, total)
            report = reporter(progress, math.prod(shape), "to_npy")
            done = 0
            for origin, block, offset in file_runs(shape, edges, BLOCK_BYTES // 8):
                values = np.memmap(
                    file, dtype=kind, mode="r+", offset=len(header) + kind.itemsize * offset, shape=block
                )
                evaluate_into(node, values, origin, edges, method=method)
                del values  # unmapped; the page cache writes it out
                done += math.prod(block)
                report(done)
            # The header goes in last: until the data is complete, the temporary
            # file does not even look like an array.
            os.pwrite(file.fileno(), header, 0)
    finally:
        if report is not None:
            report(None)
    return Path(os.fspath(path)).absolute()


def write_npy_to(
    grid: Grid,
    node: Any,
    file: IO[bytes],
    *,
    tile: int | Sequence[int] | None = None,
    progress: Progress = None,
    dtype: object = np.float64,
    method: Method = "accurate",
) -> None:
    """Writes the .npy of the values of `node` (already prepared) into `file` as
    they are computed, block by block in order: for a stream that cannot be
    mapped or renamed into (standard output, a pipe), so a reader sees the
    header, then the values; a failure part-way leaves what was written."""
    kind = value_dtype(output_dtype(dtype), node)
    edges = tile_edges(tile, grid.ndim, method_of(method), grid.shape)
    shape = grid.shape
    points = BLOCK_BYTES // kind.itemsize
    buffer = np.empty(min(points, math.prod(shape)), dtype=kind)
    report = reporter(progress, math.prod(shape), "to standard output")
    try:
        file.write(_header(shape, kind))
        done = 0
        for origin, block, _ in file_runs(shape, edges, points):
            count = math.prod(block)
            values = buffer[:count].reshape(block)
            evaluate_into(node, values, origin, edges, method=method)
            file.write(memoryview(values).cast("B"))
            done += count
            report(done)
    finally:
        report(None)


def _header(shape: tuple[int, ...], dtype: np.dtype[Any]) -> bytes:
    header = {"descr": dtype.str, "fortran_order": False, "shape": shape}
    buffer = io.BytesIO()
    try:
        npy_format.write_array_header_1_0(buffer, header)
    except ValueError:  # a header beyond 64 KiB needs format 2.0
        buffer = io.BytesIO()
        npy_format.write_array_header_2_0(buffer, header)
    return buffer.getvalue()
