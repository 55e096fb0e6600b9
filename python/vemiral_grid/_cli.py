"""The command line: vemiral-grid EXPR -a x=0:1:1000 [-s t=0:1/8000:8000 ...] [-p w=0.3 ...] [-o values.npy|.zarr] [--png picture.png]."""

from __future__ import annotations

import argparse
import contextlib
import importlib.util
import math
import os
import sys
from collections.abc import Callable, Iterator, Sequence
from typing import IO, Any, NoReturn

import numpy as np
import numpy.typing as npt

from . import __version__, _reduce
from ._files import distinct, replacing, target_of
from ._grid import PROGRESS_THRESHOLD, Axis, Grid, axis_by_range, axis_by_step

PROG = "vemiral-grid"

# With -o, a grid whose values would take more than this share of the
# machine's physical memory is streamed into the file block by block
# (vemiral_grid.storage.to_npy) instead of being computed in memory first.
STREAM_SHARE = 0.5


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line, not argparse's usage block: the problem, then how to get help.
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


class UsageError(Exception):
    """Bad input from the command line: reported in one line, exit status 2."""


def _parser() -> _Parser:
    parser = _Parser(
        prog=PROG,
        description="Evaluate a formula on a regular grid with vemiral; write the values (.npy or Zarr) "
        "and a picture (.png).",
        epilog='examples: vemiral-grid "sin(x*y) + cos(x+y)" -a x=0:1:1000 -a y=1:3:1000 -o wave.npy --png wave.png; '
        'vemiral-grid "sin(2*pi*440*t)" -s t=0:1/48000:48000 --dtype float32 -o tone.npy',
    )
    parser.add_argument(
        "expression",
        help="formula in Python syntax over the axis names and parameters: + - * / ** (or ^) %%, "
        "comparisons (1 or 0), and or not & | ~, A if COND else B, functions such as sin exp log sqrt "
        "abs floor atan2 hypot min max where clip (an unknown one lists them all), pi, e "
        "(one that begins with a minus: begin it with a space, or put it last, after --)",
    )
    parser.add_argument(
        "-a",
        "--axis",
        action=_AxisAction,
        dest="axes",
        default=[],
        metavar="NAME=START:STOP:NUM",
        help="an axis from START to STOP inclusive in NUM points (repeat for each dimension, dimension 0 first; "
        "a number may be written as a quotient, e.g. 1/3)",
    )
    parser.add_argument(
        "-s",
        "--step-axis",
        action=_AxisAction,
        dest="axes",
        metavar="NAME=START:STEP:NUM",
        help="an axis of NUM points from START by STEP, e.g. one second at 48 kHz: t=0:1/48000:48000 "
        "(mixes with -a; dimensions follow the order given)",
    )
    parser.add_argument(
        "-p",
        "--param",
        action="append",
        dest="params",
        default=[],
        metavar="NAME=VALUE",
        help="a number the formula names, e.g. -p w=0.3 (repeat for each; a quotient such as 1/3 is taken)",
    )
    parser.add_argument(
        "-o",
        "--output",
        metavar="FILE.npy|DIR.zarr",
        help="write the values as a NumPy .npy file (a grid larger than half the physical memory "
        "is streamed into it block by block) or, for a name ending in .zarr, as a Zarr store "
        "written chunk by chunk in parallel",
    )
    parser.add_argument(
        "--dtype",
        choices=["float64", "float32"],
        default="float64",
        help="type of the values written (computed in double precision either way; default float64)",
    )
    parser.add_argument("--chunks", metavar="N[,N...]", help="with -o DIR.zarr: the chunk edge, one or one per dimension")
    parser.add_argument(
        "--resume", action="store_true", help="with -o DIR.zarr: finish an interrupted write, computing only missing chunks"
    )
    parser.add_argument(
        "--overwrite", action="store_true", help="with -o DIR.zarr: replace whatever is there, even if it is not this grid's"
    )
    parser.add_argument(
        "--stream", action="store_true", help="with -o: stream the values into the file block by block whatever the size"
    )
    parser.add_argument("--png", metavar="FILE.png", help="draw the values (heat map for 2-D, line for 1-D)")
    parser.add_argument(
        "--at",
        action="append",
        default=[],
        metavar="NAME=INDEX",
        help="for the picture of a grid of more than two dimensions: fix this axis at this index",
    )
    parser.add_argument("--tile", metavar="N[,N...]", help="tile edge, one for all dimensions or one per dimension")
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no messages")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    return parser


class _AxisAction(argparse.Action):
    """-a and -s append to one list, so that dimensions keep the order given."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: object,
                 option: str | None = None) -> None:
        getattr(namespace, self.dest).append((self.metavar, values))


def _axis(form: str, text: str) -> Axis:
    # form is the option's metavar: NAME=START:STOP:NUM or NAME=START:STEP:NUM.
    middle = form.split(":")[1]
    name, sep, bounds = text.partition("=")
    parts = bounds.split(":")
    if not sep or not name.strip() or len(parts) != 3:
        example = "x=0:1:100" if middle == "STOP" else "t=0:1/8000:8000"
        raise UsageError(f"malformed axis '{text}': expected {form}, e.g. {example}")
    try:
        start, second = _real(parts[0]), _real(parts[1])
        num = int(parts[2])
    except (ValueError, ZeroDivisionError):
        raise UsageError(
            f"malformed axis '{text}': START and {middle} are numbers (or quotients such as 1/3), NUM an integer"
        ) from None
    build = axis_by_range if middle == "STOP" else axis_by_step
    return build(name.strip(), (start, second, num))


def _real(text: str) -> float:
    """A number, or a quotient of two: 1/48000 is the double nearest to it."""
    numerator, slash, denominator = text.partition("/")
    if not slash:
        return float(text)
    return float(numerator) / float(denominator)


def _parameters(texts: list[str]) -> dict[str, float]:
    """The -p options as a mapping; the grid checks names and values."""
    parameters: dict[str, float] = {}
    for text in texts:
        name, sep, value = text.partition("=")
        name = name.strip()
        if not sep or not name:
            raise UsageError(f"malformed parameter '{text}': expected NAME=VALUE, e.g. w=0.3")
        if name in parameters:
            raise UsageError(f"parameter '{name}' is given twice")
        try:
            parameters[name] = _real(value)
        except (ValueError, ZeroDivisionError):
            raise UsageError(
                f"malformed parameter '{text}': the value is a number (or a quotient such as 1/3)"
            ) from None
    return parameters


def _index(text: str) -> tuple[str, int]:
    name, sep, index = text.partition("=")
    try:
        if not sep:
            raise ValueError
        return name.strip(), int(index)
    except ValueError:
        raise UsageError(f"malformed --at '{text}': expected NAME=INDEX, e.g. z=0") from None


def _tile(text: str | None, option: str = "--tile") -> int | tuple[int, ...] | None:
    if text is None:
        return None
    try:
        edges = tuple(int(part) for part in text.split(","))
    except ValueError:
        raise UsageError(f"malformed {option} '{text}': expected N or N,N,...") from None
    return edges[0] if len(edges) == 1 else edges


def _check_outputs(args: argparse.Namespace, store: bool) -> None:
    """Every output refused before any work: an empty path, a target that is
    not a regular file (for a Zarr store: neither a folder nor a regular file),
    a folder that cannot be written, two outputs that are the same file.
    Nothing is opened or created here: the files are written only once the
    values are known, a store only by to_zarr (which judges what a store may
    replace, and writes beside the target)."""
    outputs = [
        (path, what, folder)
        for path, what, folder in ((args.output, "the values to", store), (args.png, "the picture to", False))
        if path is not None
    ]
    targets = []
    for path, what, folder in outputs:
        if not path:
            raise UsageError(f"cannot write {what} an empty path")
        try:
            targets.append(target_of(path, folder=folder))
        except OSError as error:
            raise UsageError(f"cannot write {what} {path}: {error.strerror or error}") from None
        except ValueError as error:
            raise UsageError(f"cannot write {what} {path}: {error}") from None
    try:
        distinct([path for path, _, _ in outputs], targets)
    except ValueError:
        raise UsageError(f"-o and --png name the same file, {args.png}: give each its own") from None


def write_npy(grid: Grid, values: npt.NDArray[np.floating[Any]], file: IO[bytes]) -> None:
    """Writes the values held in memory into an open file (a grid too large for
    memory is streamed by to_npy instead)."""
    np.save(file, values, allow_pickle=False)


def run(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        axes = [_axis(form, text) for form, text in args.axes]
        if len({axis.name for axis in axes}) != len(axes):
            raise UsageError("an axis is named twice")
        if not axes:
            raise UsageError("give at least one axis, e.g. -a x=0:1:100 or -s t=0:1/8000:8000")
        at = dict(_index(text) for text in args.at)
        tile = _tile(args.tile)
        grid = Grid._of(axes)
        params = _parameters(args.params)
        node = grid.expression(args.expression, params)
        if args.png is not None:
            _check_picture(grid, at)
        zarr = args.output is not None and args.output.rstrip("/").endswith(".zarr")
        if (args.chunks or args.resume or args.overwrite) and not zarr:
            raise UsageError("--chunks, --resume and --overwrite go with -o DIR.zarr")
        stream = bool(args.output) and not zarr and (args.stream or streams(grid, args.dtype))
        if args.stream and (args.output is None or zarr):
            raise UsageError("--stream needs -o FILE.npy")
        if stream and args.png is not None:
            raise UsageError("--png draws values held in memory: leave it out when -o streams the grid")
        _check_outputs(args, zarr)

        if zarr:
            return _write_zarr(args, grid, tile, at, params)
        if stream:
            # Prepared, checked, written and renamed into place by to_npy itself.
            grid.to_npy(node, args.output, tile=tile, progress=False if args.quiet else None, dtype=args.dtype)
            if not args.quiet:
                print(f"{PROG}: wrote {args.output} (streamed)", file=sys.stderr)
            return 0
        if args.output is None and args.png is None:
            # A summary: streamed through the reductions, in memory of any grid's size.
            request = _reduce.Request(("nanmin", "nanmax", "nansum", "count"), (True,) * grid.ndim)
            with _progress_bar(not args.quiet and grid.size > PROGRESS_THRESHOLD) as progress:
                results = _reduce.compute(grid, node, request, tile=tile, progress=progress)
            (low, _), (high, _), (total, _), (count, _) = results
            mean = float(total) / float(count) if count else math.nan
            print(
                f"shape {grid.shape}, min {float(low)!r}, max {float(high)!r}, mean {mean!r} "
                "(write them with -o FILE.npy, draw them with --png FILE.png)"
            )
            return 0
        # Otherwise whole in memory (a picture needs it all), before any file is touched.
        # A picture alone needs no more than float32.
        dtype = "float32" if args.png is not None and args.output is None else args.dtype
        values = grid.evaluate(node, tile=tile, progress=False if args.quiet else None, dtype=dtype)
        paths = [path for path in (args.output, args.png) if path is not None]
        try:
            with replacing(*paths) as staged:
                outputs = iter(staged)
                if args.output is not None:
                    write_npy(grid, values, next(outputs).file)
                if args.png is not None:
                    from ._plot import save_png

                    save_png(grid, values, next(outputs).file, at=at, title=args.expression)
        except OSError as error:
            raise UsageError(f"cannot write {' and '.join(paths)}, left as they were: {error.strerror or error}") from None
        if not args.quiet:
            for path in paths:
                print(f"{PROG}: wrote {path}", file=sys.stderr)
        return 0
    except (UsageError, ValueError, TypeError, OverflowError, MemoryError, RecursionError, OSError) as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except Exception as error:  # a fault of ours: still one line, never a traceback
        print(f"{PROG}: internal error: {type(error).__name__}: {error}", file=sys.stderr)
        return 1


@contextlib.contextmanager
def _progress_bar(shown: bool) -> Iterator[Callable[[int, int], None] | None]:
    """A progress bar on standard error fed with (done, all), or None."""
    if not shown:
        yield None
        return
    from tqdm import tqdm

    with tqdm(total=1, unit="part", file=sys.stderr, desc="vemiral", leave=False) as bar:

        def update(done: int, total: int) -> None:
            bar.total = total
            bar.update(done - bar.n)

        yield update


def streams(grid: Grid, dtype: str = "float64") -> bool:
    """Whether -o streams this grid: its values exceed STREAM_SHARE of physical memory."""
    physical = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    return np.dtype(dtype).itemsize * grid.size > STREAM_SHARE * physical


def _write_zarr(
    args: argparse.Namespace, grid: Grid, tile: int | tuple[int, ...] | None, at: dict[str, int],
    params: dict[str, float],
) -> int:
    """-o DIR.zarr: written chunk by chunk by to_zarr, which writes beside the
    target and swaps the finished store into place; a picture is then drawn
    from the finished store and written as any other (whole or not at all)."""
    if importlib.util.find_spec("zarr") is None:
        raise UsageError("-o DIR.zarr needs zarr (the package's zarr extra)")
    # The text itself, so that the store records the formula as it was written.
    path = grid.to_zarr(
        args.expression, args.output, chunks=_tile(args.chunks, "--chunks"), tile=tile, dtype=args.dtype,
        resume=args.resume, overwrite=args.overwrite, progress=False if args.quiet else None, params=params,
    )
    if not args.quiet:
        print(f"{PROG}: wrote {args.output}", file=sys.stderr)
    if args.png is not None:
        import zarr

        from ._plot import save_png

        values = np.asarray(zarr.open_array(path, path="values", mode="r")[...])
        try:
            with replacing(args.png) as (png,):
                save_png(grid, values, png.file, at=at, title=args.expression)
        except OSError as error:
            raise UsageError(f"cannot write {args.png}, left as it was: {error.strerror or error}") from None
        if not args.quiet:
            print(f"{PROG}: wrote {args.png}", file=sys.stderr)
    return 0


def _check_picture(grid: Grid, at: dict[str, int]) -> None:
    if importlib.util.find_spec("matplotlib") is None:
        raise UsageError("--png needs matplotlib: pip install 'vemiral[plot]'")
    for name, index in at.items():
        if name not in grid.names:
            raise UsageError(f"--at {name}: no such axis (axes: {', '.join(grid.names)})")
        if not 0 <= index < grid.shape[grid.names.index(name)]:
            raise UsageError(f"--at {name}={index}: outside 0..{grid.shape[grid.names.index(name)] - 1}")
    free = grid.ndim - len(at)
    if not 1 <= free <= 2:
        raise UsageError(
            f"a picture shows one or two dimensions, and {free} would be left: "
            f"fix the others with --at NAME=INDEX (axes: {', '.join(grid.names)})"
        )


def main() -> None:
    sys.exit(run())
