"""Grids streamed into .npy files block by block, however large."""

from __future__ import annotations

import errno
import io
import math
import os
import sys
from collections.abc import Callable, Mapping, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.lib import format as npy_format

from ._files import replacing
from ._tiles import file_runs, tile_edges
from ._values import evaluate_into, output_dtype

if TYPE_CHECKING:
    from ._grid import Expression, Grid

# Each block is computed straight into a memory map of its own stretch of the
# file, unmapped before the next: at most this much of the grid is mapped at once.
BLOCK_BYTES = 32 * 2**20

Progress = bool | Callable[[int, int], object] | None


def to_npy(
    grid: Grid,
    expr: Expression,
    path: str | os.PathLike[str],
    tile: int | Sequence[int] | None = None,
    progress: Progress = None,
    dtype: object = np.float64,
    params: Mapping[str, float] | None = None,
    **parameters: float,
) -> Path:
    """Writes the values of `expr` over the grid to the .npy file `path` (float64,
    or float32 with `dtype`, C order, readable with numpy.load, also with
    mmap_mode) and returns the path.

    The file is written under a temporary name in the same folder and renamed
    at the end (vemiral_grid._files.replacing), so `path` either holds the
    whole grid or is left as it was; a symbolic link is followed. The space is
    reserved before any value is computed. `progress`: None shows a
    bar on standard error for grids of more than PROGRESS_THRESHOLD points,
    True or False forces it on or off, and a callable is called as
    progress(points_done, points_total) after every block (an exception it
    raises abandons the write). Parameters of the formula are given as for
    `Grid.evaluate`.

    Refusals, all before any value is computed: the expression's own (the
    parser's, and lowering's at the first tile: MemoryError, ValueError), an
    empty path (ValueError), a target that is not a regular file or a folder
    that does not exist or cannot be written (OSError), too little free space
    for the file (OSError with errno ENOSPC), a dtype other than float64 or
    float32 (ValueError).

    >>> import tempfile, pathlib
    >>> from vemiral_grid import Grid
    >>> from vemiral_grid.storage import to_npy
    >>> path = to_npy(Grid(x=(0, 1, 200), y=(0, 1, 300)), "x*y", pathlib.Path(tempfile.mkdtemp()) / "xy.npy")
    >>> np.load(path, mmap_mode="r").shape
    (200, 300)
    """
    from ._grid import PROGRESS_THRESHOLD, parameters_of

    kind = output_dtype(dtype)
    edges = tile_edges(tile, grid.ndim)
    node = grid._prepared(expr, edges, parameters_of(grid, params, parameters, expr))
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
            report = _reporter(progress, math.prod(shape), PROGRESS_THRESHOLD)
            done = 0
            for origin, block, offset in file_runs(shape, edges, BLOCK_BYTES // 8):
                values = np.memmap(
                    file, dtype=kind, mode="r+", offset=len(header) + kind.itemsize * offset, shape=block
                )
                evaluate_into(node, values, origin, edges)
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


def _header(shape: tuple[int, ...], dtype: np.dtype[Any]) -> bytes:
    header = {"descr": dtype.str, "fortran_order": False, "shape": shape}
    buffer = io.BytesIO()
    try:
        npy_format.write_array_header_1_0(buffer, header)
    except ValueError:  # a header beyond 64 KiB needs format 2.0
        buffer = io.BytesIO()
        npy_format.write_array_header_2_0(buffer, header)
    return buffer.getvalue()


def _reporter(progress: Progress, total: int, threshold: int) -> Callable[[int | None], None]:
    """A function taking the points done so far, or None once at the end."""
    if callable(progress):
        callback = progress

        def call(done: int | None) -> None:
            if done is not None:
                callback(done, total)

        return call
    if progress is None:
        progress = total > threshold
    if not progress:
        return lambda done: None
    from tqdm import tqdm

    bar = tqdm(total=total, unit="pt", unit_scale=True, file=sys.stderr, desc="vemiral to_npy", leave=False)

    def show(done: int | None) -> None:
        if done is None:
            bar.close()
        else:
            bar.update(done - bar.n)

    return show
