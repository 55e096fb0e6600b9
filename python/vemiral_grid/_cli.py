"""The command line: vemiral-grid EXPR -a x=0:1:1000 [-s t=0:1/8000:8000 ...] [-p w=0.3 ...]
[-o values.npy|.npz|.csv|.nc|DIR.zarr|-] [--png picture.png] [--json] [--stats std,median,q0.9]."""

from __future__ import annotations

import argparse
import contextlib
import importlib.util
import json
import math
import os
import re
import sys
import warnings
import zipfile
from collections.abc import Callable, Iterator, Sequence
from typing import IO, Any, NoReturn

import numpy as np
import numpy.typing as npt

from . import __version__, _options, _progress, _reduce, _stats
from ._complex import is_complex
from ._complex_values import value_dtype
from ._files import distinct, replacing, target_of
from ._grid import Axis, Grid, axis_by_range, axis_by_step

PROG = "vemiral-grid"

# With -o, a grid whose values would take more than this share of the
# machine's physical memory is streamed into the file block by block
# (vemiral_grid.storage.to_npy) instead of being computed in memory first.
STREAM_SHARE = 0.5

# What -o writes, by the name's extension (any case).
FORMATS = {
    ".npy": "a NumPy array",
    ".npz": "a NumPy archive of the values and each axis's coordinates",
    ".csv": "comma-separated values of one or two dimensions",
    ".nc": "NetCDF through xarray",
    ".zarr": "a Zarr store",
}
# Names of standard output: -o writes .npy there, as it comes, not through a
# temporary file (a pipe cannot be renamed into).
STDOUT = ("-", "/dev/stdout", "/dev/fd/1", "/proc/self/fd/1")
# The NetCDF libraries xarray writes with, in the order it prefers them: module, engine.
NETCDF = (("netCDF4", "netcdf4"), ("h5netcdf", "h5netcdf"), ("scipy", "scipy"))


class _Parser(argparse.ArgumentParser):
    def __init__(self, **kwargs: Any) -> None:
        self.valued: set[str] = set()  # options that take a value
        self.flags: set[str] = set()
        super().__init__(**kwargs)  # which adds -h

    def add_argument(self, *args: Any, **kwargs: Any) -> argparse.Action:
        action = super().add_argument(*args, **kwargs)
        (self.flags if action.nargs == 0 else self.valued).update(action.option_strings)
        return action

    def error(self, message: str) -> NoReturn:
        # One line, not argparse's usage block: the problem, then how to get help.
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


class UsageError(Exception):
    """Bad input from the command line: reported in one line, exit status 2."""


def _given_once(parser: argparse.ArgumentParser, namespace: argparse.Namespace, dest: str, option: str | None) -> None:
    # An option given twice would silently keep the last: refused instead.
    given: dict[str, str | None] = namespace.__dict__.setdefault("_given", {})
    if dest in given:
        if given[dest] == option:
            parser.error(f"{option} is given twice: give it once")
        parser.error(f"{given[dest]} and {option} are both given: give one")
    given[dest] = option


class _Once(argparse.Action):
    """An option with a value, given at most once."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: object,
                 option: str | None = None) -> None:
        _given_once(parser, namespace, self.dest, option)
        setattr(namespace, self.dest, values)


class _OnceFlag(argparse.Action):
    """A flag given at most once (with its opposite, if it has one)."""

    def __init__(self, option_strings: Sequence[str], dest: str, const: object = True, default: object = False,
                 **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, const=const, default=default, **kwargs)

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: object,
                 option: str | None = None) -> None:
        _given_once(parser, namespace, self.dest, option)
        setattr(namespace, self.dest, self.const)


def _parser() -> _Parser:
    parser = _Parser(
        prog=PROG,
        description="Evaluate a formula on a regular grid with vemiral; write the values (.npy, .npz, .csv, "
        ".nc or Zarr, or .npy to standard output) and a picture (.png), or print a summary of them.",
        epilog='examples: vemiral-grid "sin(x*y) + cos(x+y)" -a x=0:1:1000 -a y=1:3:1000 -o wave.npy --png wave.png; '
        'vemiral-grid "sin(2*pi*440*t)" -s t=0:1/48000:48000 --dtype float32 -o - | python consume.py',
    )
    parser.add_argument(
        "expression",
        help="formula in Python syntax over the axis names and parameters: + - * / ** (or ^) %%, "
        "comparisons (1 or 0), and or not & | ~, A if COND else B, functions such as sin exp log sqrt "
        "abs floor atan2 hypot min max where clip (an unknown one lists them all), pi, e; "
        "one may begin with a minus (-x**2), or come last, after --",
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
        action=_Once,
        metavar="FILE.npy|.npz|.csv|.nc|DIR.zarr|-",
        help="write the values in the format of the name's extension (any case): .npy (a grid larger than "
        "half the physical memory is streamed into it block by block), .npz (the values and the axes' "
        "coordinates), .csv (one or two dimensions: a line per index of dimension 0, no header), .nc "
        "(NetCDF, needs xarray and netCDF4, h5netcdf or scipy), .zarr (a Zarr store written chunk by "
        "chunk in parallel); - or /dev/stdout writes .npy to standard output, block by block",
    )
    parser.add_argument(
        "--dtype",
        action=_Once,
        choices=["float64", "float32", "complex128", "complex64"],
        default="float64",
        help="type of the values written (computed in double precision either way; default float64); a "
        "complex formula's values are complex of its precision (complex128, or complex64 for float32)",
    )
    parser.add_argument(
        "--method",
        action=_Once,
        choices=list(_options.METHODS),
        default="accurate",
        help="accurate (default: every value within a few units in the last place) or recurrence "
        "(the chains stepped in plain doubles inside each tile); the summary is computed accurately only",
    )
    parser.add_argument("--chunks", action=_Once, metavar="N[,N...]",
                        help="with -o DIR.zarr: the chunk edge, one or one per dimension")
    parser.add_argument("--resume", action=_OnceFlag,
                        help="with -o DIR.zarr: finish an interrupted write, computing only missing chunks "
                        "(a finished store of these values is kept)")
    parser.add_argument("--overwrite", action=_OnceFlag,
                        help="with -o DIR.zarr: replace whatever is there (without it an existing store is "
                        "refused)")
    parser.add_argument("--stream", action=_OnceFlag,
                        help="with -o FILE.npy: stream the values into the file block by block whatever the size")
    parser.add_argument("--png", action=_Once, metavar="FILE.png",
                        help="draw the values (heat map for 2-D, line for 1-D; complex ones: their modulus)")
    parser.add_argument("--phase", action=_OnceFlag,
                        help="with --png of complex values: draw their phase (angle) rather than their modulus")
    parser.add_argument(
        "--at",
        action="append",
        default=[],
        metavar="NAME=INDEX",
        help="for the picture of a grid of more than two dimensions: fix this axis at this index",
    )
    parser.add_argument("--tile", action=_Once, metavar="N[,N...]",
                        help="tile edge, one for all dimensions or one per dimension")
    parser.add_argument("--explain", action=_OnceFlag,
                        help="print how the formula will be computed on this grid (where each operation "
                        "runs, how, and its rough cost per point) and compute nothing")
    parser.add_argument("--json", action=_OnceFlag,
                        help="print the summary as JSON, with the counts of NaN and infinite values")
    parser.add_argument("--stats", action=_Once, metavar="NAME[,NAME...]",
                        help="add these statistics of the values to the summary, with NumPy's meanings: "
                        f"{', '.join(_stats.NAMES)}, or qQ for the Q quantile (Q in [0, 1], e.g. q0.9); "
                        "NaN propagates except through the nan ones")
    parser.add_argument("--progress", action=_OnceFlag, const=True, default=None,
                        help="show progress bars on standard error, whatever it is (by default: above "
                        "4,000,000 points, when standard error is a terminal)")
    parser.add_argument("--no-progress", action=_OnceFlag, dest="progress", const=False, default=None,
                        help="show no progress bar")
    parser.add_argument("-q", "--quiet", action=_OnceFlag,
                        help="no messages, and no progress bar unless --progress")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    return parser


class _AxisAction(argparse.Action):
    """-a and -s append to one list, so that dimensions keep the order given."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: object,
                 option: str | None = None) -> None:
        getattr(namespace, self.dest).append((self.metavar, values))


def _formula_first(argv: Sequence[str], parser: _Parser) -> list[str]:
    """The arguments with a formula that begins with a minus ("-x**2",
    "-sin(x)") put last, after "--", for argparse would take it for an option.
    An argument that begins with a single minus is a formula when it is none of
    the options (alone, or with its value joined: -ax=0:1:9, -pw=2, -ow.npy),
    no other argument is the formula, and it is the only such argument; the
    rest is left for argparse to judge."""
    args = list(argv)
    plain: list[int] = []
    candidates: list[int] = []
    longs = sorted(option for option in parser.valued | parser.flags if option.startswith("--"))
    i = 0
    while i < len(args):
        token = args[i]
        if token == "--":
            plain += range(i + 1, len(args))
            break
        if token.startswith("--"):
            name, joined, _ = token.partition("=")
            matches = [option for option in longs if option == name] or [o for o in longs if o.startswith(name)]
            if len(matches) == 1 and matches[0] in parser.valued and not joined:
                i += 1  # its value, whatever it looks like
        elif token.startswith("-") and token != "-":
            if token in parser.valued:
                i += 1
            elif token not in parser.flags and not _joined_value(token):
                candidates.append(i)
        else:
            plain.append(i)
        i += 1
    if plain or len(candidates) != 1:
        return args
    at = candidates[0]
    return args[:at] + args[at + 1 :] + ["--", args[at]]


def _joined_value(token: str) -> bool:
    """Whether `token` is a short option with its value joined, in that value's form."""
    option, value = token[:2], token[2:]
    if option in ("-a", "-s", "-p"):
        return re.match(r"\s*[^\W\d]\w*\s*=", value) is not None
    if option == "-o":
        return value in STDOUT or _extension(value) in FORMATS
    return False


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


def _parameters(texts: list[str]) -> dict[str, Any]:
    """The -p options as a mapping; the grid checks names and values."""
    parameters: dict[str, Any] = {}
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
            try:
                parameters[name] = complex(value.strip())  # 1+2j, as Python writes it
            except ValueError:
                raise UsageError(
                    f"malformed parameter '{text}': the value is a number (a quotient such as 1/3, "
                    "or complex as 1+2j)"
                ) from None
    return parameters


def _fixed(texts: list[str]) -> dict[str, int]:
    """The --at options as a mapping; an axis fixed twice is refused."""
    at: dict[str, int] = {}
    for text in texts:
        name, sep, index = text.partition("=")
        name = name.strip()
        try:
            if not sep:
                raise ValueError
            value = int(index)
        except ValueError:
            raise UsageError(f"malformed --at '{text}': expected NAME=INDEX, e.g. z=0") from None
        if name in at:
            raise UsageError(f"--at {name} is given twice ({name}={at[name]} and {text}): give it once")
        at[name] = value
    return at


def _tile(text: str | None, option: str = "--tile") -> int | tuple[int, ...] | None:
    if text is None:
        return None
    try:
        edges = tuple(int(part) for part in text.split(","))
    except ValueError:
        raise UsageError(f"malformed {option} '{text}': expected N or N,N,...") from None
    return edges[0] if len(edges) == 1 else edges


def _extension(path: str) -> str:
    """The extension of a name, in lower case: W.ZARR/ is .zarr."""
    return os.path.splitext(path.rstrip("/"))[1].lower()


def _to_stdout(path: str | None) -> bool:
    return path is not None and (path == "-" or os.path.abspath(path) in STDOUT)


def _format(path: str) -> str:
    """What -o writes: .npy to standard output, else the format of the extension."""
    if _to_stdout(path):
        return ".npy"
    suffix = _extension(path)
    if suffix not in FORMATS:
        kinds = ", ".join(FORMATS)
        raise UsageError(
            f"cannot write the values to {path}: its extension names no format ({kinds}, any case; "
            "- for .npy on standard output)"
        )
    return suffix


def _netcdf_engine() -> str:
    """xarray's engine for .nc: the first NetCDF library installed."""
    if importlib.util.find_spec("xarray") is None:
        raise UsageError("-o FILE.nc needs xarray and a NetCDF library: pip install xarray netCDF4 "
                         "(or h5netcdf, or scipy, in place of netCDF4)")
    for module, engine in NETCDF:
        if importlib.util.find_spec(module) is not None:
            return engine
    raise UsageError("-o FILE.nc needs a NetCDF library for xarray: pip install netCDF4 (or h5netcdf, or scipy)")


def _check_outputs(args: argparse.Namespace, grid: Grid, complex_values: bool = False) -> str | None:
    """Every output refused before any work, and the format of -o: an empty
    path, a target that is not a regular file (for a Zarr store: neither a
    folder nor a regular file), a folder that cannot be written, an extension
    that names no format, a format the grid or the installation cannot have,
    two outputs that are the same file, standard output that is a terminal.
    Nothing is opened or created here: the files are written only once the
    values are known, a store only by to_zarr (which judges what a store may
    replace, and writes beside the target)."""
    files = [
        (path, what, folder)
        for path, what, folder in (
            (args.output, "the values to", _extension(args.output or "") == ".zarr"),
            (args.png, "the picture to", False),
        )
        if path is not None and not _to_stdout(path)
    ]
    targets = []
    for path, what, folder in files:
        if not path:
            raise UsageError(f"cannot write {what} an empty path")
        try:
            targets.append(target_of(path, folder=folder))
        except OSError as error:
            raise UsageError(f"cannot write {what} {path}: {error.strerror or error}") from None
        except ValueError as error:
            raise UsageError(f"cannot write {what} {path}: {error}") from None
    if _to_stdout(args.png):
        raise UsageError("--png writes a file: standard output takes the values only (-o -)")
    kind = None if args.output is None else _format(args.output)
    if _to_stdout(args.output) and sys.stdout.isatty():
        raise UsageError("-o - writes binary .npy data, and standard output is a terminal: "
                         "redirect it to a file or a pipe")
    if kind == ".csv" and grid.ndim > 2:
        raise UsageError(f"-o FILE.csv holds one or two dimensions, this grid has {grid.ndim}: "
                         "write .npy, .npz, .nc or .zarr")
    if kind == ".nc" and complex_values:
        raise UsageError("-o FILE.nc: NetCDF holds no complex values; write .npy, .npz, .csv or .zarr")
    if kind == ".nc":
        _netcdf_engine()
    if kind in (".npz", ".nc"):
        from .labelled import check_names

        check_names(grid)
    try:
        distinct([path for path, _, _ in files], targets)
    except ValueError:
        raise UsageError(f"-o and --png name the same file, {args.png}: give each its own") from None
    return kind


def write_npy(grid: Grid, values: npt.NDArray[np.floating[Any]], file: IO[bytes]) -> None:
    """Writes the values held in memory into an open file (a grid too large for
    memory is streamed by to_npy instead)."""
    np.save(file, values, allow_pickle=False)


def _write_npz(file: IO[bytes], arrays: dict[str, npt.NDArray[Any]]) -> None:
    """An archive numpy.load reads as numpy.savez writes it (a zip of one .npy per
    array, not compressed), written here because savez's own parameters
    (file, allow_pickle) would take an axis of that name."""
    with zipfile.ZipFile(file, mode="w", compression=zipfile.ZIP_STORED, allowZip64=True) as archive:
        for name, array in arrays.items():
            with archive.open(f"{name}.npy", mode="w", force_zip64=True) as member:
                np.lib.format.write_array(member, array, allow_pickle=False)


def _write_csv(values: npt.NDArray[np.floating[Any]], file: IO[bytes]) -> None:
    """One line per index of dimension 0, the values of dimension 1 across it;
    each value in the shortest form that reads back as the same value of its
    type (NumPy's own repr), nan and inf as NumPy writes and reads them."""
    rows = values.reshape(values.shape[0], -1)
    step = max(1, 2**16 // max(1, rows.shape[1]))  # text of about 64k values at a time
    for first in range(0, rows.shape[0], step):
        text = rows[first : first + step].astype(str)
        file.write("".join(",".join(row) + "\n" for row in text).encode("ascii"))


def _write_netcdf(grid: Grid, values: npt.NDArray[np.floating[Any]], path: str, expression: str,
                  params: dict[str, Any], tile: Any, method: _options.Method) -> None:
    """The values as to_xarray labels them (dimensions, coordinates, what they
    are), written by xarray's NetCDF engine into `path`."""
    import xarray as xr

    from ._tiles import tile_edges
    from .labelled import NAME, describe

    edges = tile_edges(tile, grid.ndim, method, grid.shape)
    attrs = describe(grid, expression, grid.expression(expression, params), edges, params, method)
    array = xr.DataArray(values, dims=grid.names, coords=grid.coords, name=NAME, attrs=attrs)
    array.to_netcdf(path, engine=_netcdf_engine())  # type: ignore[call-overload]


def run(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(_formula_first(sys.argv[1:] if argv is None else argv, parser))
    # -q silences the bar too, unless it is asked for; None leaves it to the grid's size and the terminal.
    progress = False if args.quiet and args.progress is None else args.progress
    try:
        axes = [_axis(form, text) for form, text in args.axes]
        if len({axis.name for axis in axes}) != len(axes):
            raise UsageError("an axis is named twice")
        if not axes:
            raise UsageError("give at least one axis, e.g. -a x=0:1:100 or -s t=0:1/8000:8000")
        at = _fixed(args.at)
        tile = _tile(args.tile)
        grid = Grid._of(axes)
        params = _parameters(args.params)
        node = grid.expression(args.expression, params)
        if args.explain:
            if args.output is not None or args.png is not None or args.json or args.stats is not None:
                raise UsageError("--explain computes nothing: leave out -o, --png, --json and --stats")
            print(node.explain(grid.shape), end="")
            return 0
        if args.png is not None:
            _check_picture(grid, at)
        if args.phase and (args.png is None or not is_complex(node)):
            raise UsageError("--phase draws the phase of complex values: it goes with --png and a complex formula")
        kind = _check_outputs(args, grid, is_complex(node))
        zarr = kind == ".zarr"
        stdout = _to_stdout(args.output)
        if (args.chunks or args.resume or args.overwrite) and not zarr:
            raise UsageError("--chunks, --resume and --overwrite go with -o DIR.zarr")
        if args.stream and kind != ".npy":
            raise UsageError("--stream needs -o FILE.npy (or -o -)")
        if (args.json or args.stats is not None) and (args.output is not None or args.png is not None):
            option = "--json" if args.json else "--stats"
            raise UsageError(f"{option} prints the summary, which -o and --png replace: leave it out")
        large = kind not in (None, ".zarr") and streams(grid, value_dtype(np.dtype(args.dtype), node))
        if large and kind not in (".npy",):
            raise UsageError(f"the values exceed {STREAM_SHARE:.0%} of the memory: write them with "
                             "-o FILE.npy or -o - (streamed block by block) or -o DIR.zarr")
        stream = kind == ".npy" and args.png is None and (args.stream or large or stdout)
        if kind == ".npy" and (args.stream or large) and args.png is not None:
            raise UsageError("--png draws values held in memory: leave it out when -o streams the grid")

        if zarr:
            return _write_zarr(args, grid, tile, at, params, progress)
        if stream:
            return _write_stream(args, grid, tile, params, progress)
        if args.output is None and args.png is None:
            asked = _asked_statistics(args.stats)
            return _summary(args, grid, node, tile, progress, asked)
        # Otherwise whole in memory (a picture needs it all), before any file is touched.
        # A picture alone needs no more than float32.
        dtype = "float32" if args.png is not None and args.output is None else args.dtype
        values = grid.evaluate(node, tile=tile, progress=progress, dtype=dtype, method=args.method)
        files = [path for path in (None if stdout else args.output, args.png) if path is not None]
        try:
            with replacing(*files) as staged:
                outputs = iter(staged)
                if args.output is not None and not stdout:
                    target = next(outputs)
                    _write_values(kind, grid, values, target.file, str(target.path), args, params, tile)
                if args.png is not None:
                    from ._plot import save_png

                    save_png(grid, values, next(outputs).file, at=at, title=args.expression, phase=args.phase)
                if stdout:
                    _to_standard_output(lambda out: write_npy(grid, values, out))
        except OSError as error:
            raise UsageError(f"cannot write {' and '.join(files)}, left as {'they were' if len(files) > 1 else 'it was'}: "
                             f"{error.strerror or error}") from None
        if not args.quiet:
            for path in ([args.output] if args.output is not None else []) + ([args.png] if args.png else []):
                print(f"{PROG}: wrote {_named(path)}", file=sys.stderr)
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


def _named(path: str) -> str:
    return "the values to standard output" if _to_stdout(path) else path


def _write_values(kind: str | None, grid: Grid, values: npt.NDArray[np.floating[Any]], file: IO[bytes],
                  path: str, args: argparse.Namespace, params: dict[str, Any], tile: Any) -> None:
    """The values held in memory, in the format `kind`, into the temporary
    file `file` at `path` (xarray's NetCDF engines write by name)."""
    if kind == ".npy":
        write_npy(grid, values, file)
    elif kind == ".npz":
        _write_npz(file, {"values": values, **grid.coords})
    elif kind == ".csv":
        _write_csv(values, file)
    else:
        _write_netcdf(grid, values, path, args.expression, params, tile, args.method)


def _to_standard_output(write: Callable[[IO[bytes]], None]) -> None:
    """Writes to standard output; a reader that went away is an error that says so."""
    try:
        write(sys.stdout.buffer)
        sys.stdout.buffer.flush()
    except BrokenPipeError:
        # Nothing more can go there, at exit neither: Python's own flush would complain again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
        raise UsageError("cannot write the values to standard output: the reader closed it") from None


def _write_stream(args: argparse.Namespace, grid: Grid, tile: Any, params: dict[str, Any],
                  progress: bool | None) -> int:
    """.npy streamed block by block: into a file by to_npy (prepared, checked,
    written beside the target and renamed into place), or to standard output
    as it is computed."""
    from .storage import to_npy, write_npy_to

    if _to_stdout(args.output):
        node = grid._prepared(args.expression, _tile_edges(grid, tile, args.method), params, args.method)
        _to_standard_output(
            lambda out: write_npy_to(grid, node, out, tile=tile, progress=progress, dtype=args.dtype,
                                     method=args.method)
        )
    else:
        try:
            to_npy(grid, args.expression, args.output, tile=tile, progress=progress, dtype=args.dtype,
                   method=args.method, params=params)
        except OSError as error:
            raise UsageError(f"cannot write the values to {args.output}, left as it was: "
                             f"{error.strerror or error}") from None
    if not args.quiet:
        print(f"{PROG}: wrote {_named(args.output)} (streamed)", file=sys.stderr)
    return 0


def _tile_edges(grid: Grid, tile: Any, method: _options.Method) -> tuple[int, ...]:
    from ._tiles import tile_edges

    return tile_edges(tile, grid.ndim, method, grid.shape)


# The summary's own figures, which --stats would only repeat.
SUMMARY_NAMES = ("min", "max", "mean")


def _asked_statistics(text: str | None) -> dict[str, _stats.Asked]:
    """--stats std,median,q0.9 as the statistics to compute, by the name the
    output gives each: a name of _stats.NAMES, or qQ for the Q quantile."""
    if text is None:
        return {}
    asked: dict[str, _stats.Asked] = {}
    choices = f"one of {', '.join(_stats.NAMES)}, or qQ for the Q quantile with Q in [0, 1] (e.g. q0.9)"
    for name in (part.strip() for part in text.split(",")):
        if not name:
            raise UsageError(f"malformed --stats '{text}': expected NAME[,NAME...], e.g. std,median,q0.9")
        if name in asked:
            raise UsageError(f"--stats names {name} twice: name it once")
        if name in _stats.NAMES:
            asked[name] = _stats.Asked(name)
            continue
        q = _quantile_of(name)
        if q is None:
            known = " (the summary gives it)" if name in SUMMARY_NAMES else ""
            raise UsageError(f"--stats: unknown statistic '{name}'{known}: {choices}")
        asked[name] = _stats.Asked("quantile", q=np.asarray(q))
    return asked


def _quantile_of(name: str) -> float | None:
    """Q of a statistic named qQ, else None; a Q outside [0, 1] is refused."""
    if not name.startswith("q"):
        return None
    try:
        q = float(name[1:])
    except ValueError:
        return None
    if not 0.0 <= q <= 1.0:
        raise UsageError(f"--stats {name}: the quantile's Q is a number in [0, 1], e.g. q0.9")
    return q


def _summary(args: argparse.Namespace, grid: Grid, node: Any, tile: Any, progress: bool | None,
             asked: dict[str, _stats.Asked]) -> int:
    """The summary, streamed through the reductions, in memory of any grid's
    size: the shape, the least, greatest and mean of the values that are
    numbers, and how many are NaN (skipped) and infinite (counted: the values
    in [-max, max] of a double are the finite ones); then the statistics
    `asked` for, as Grid.reduce computes them (a second run of reductions)."""
    if args.method != "accurate":
        raise UsageError(f"--method {args.method}: the summary is computed by reductions, which run the "
                         "accurate method only; write the values with -o")
    if is_complex(node):
        if asked:
            raise UsageError("--stats: the statistics are of real values, and this formula is complex")
        return _complex_summary(args, grid, node, tile, progress)
    largest = np.finfo(np.float64).max
    request = _reduce.Request(
        ("nanmin", "nanmax", "nansum", "count", "histogram"), (True,) * grid.ndim,
        edges=np.array([-largest, largest]), uniform=False,
    )
    with _summary_bar(_progress.shown(progress, grid.size), grid.size) as report:
        results = _reduce.compute(grid, node, request, tile=tile, progress=report)
    (low, _), (high, _), (total, _), (count, _), finite = results
    numbers, finite_count = int(count), int(finite[0])
    mean = float(total) / numbers if numbers else math.nan
    nan, infinite = grid.size - numbers, numbers - finite_count
    statistics: dict[str, float | bool | int] = {}
    if asked:
        with warnings.catch_warnings():
            # NumPy's warnings of an empty slice or no degrees of freedom: the NaN says it.
            warnings.simplefilter("ignore", RuntimeWarning)
            values = _reduce.reduce(grid, node, tuple(asked.values()), None, tile=tile)
        statistics = {name: value.item() for name, value in zip(asked, values, strict=True)}
    if args.json:
        number = _json_number
        summary = {
            "shape": list(grid.shape), "axes": list(grid.names), "points": grid.size, "min": number(float(low)),
            "max": number(float(high)), "mean": number(mean), "nan": nan, "infinite": infinite,
        }
        if asked:
            summary["stats"] = {name: number(value) for name, value in statistics.items()}
        print(json.dumps(summary, allow_nan=False))
        return 0
    extra = "".join(f", {name} {value!r}" for name, value in statistics.items())
    print(
        f"shape {grid.shape}, min {float(low)!r}, max {float(high)!r}, mean {mean!r}{extra} ({nan} NaN skipped; "
        "write them with -o FILE.npy, draw them with --png FILE.png)"
    )
    return 0


def _json_number(value: float | bool | int) -> float | bool | int | str:
    # JSON has no NaN nor infinity: such a value is the text float() reads back.
    return value if not isinstance(value, float) or math.isfinite(value) else str(value)


def _complex_summary(args: argparse.Namespace, grid: Grid, node: Any, tile: Any, progress: bool | None) -> int:
    """The summary of complex values: the least and greatest modulus and the
    mean of those that are numbers (neither part NaN), and how many are NaN."""
    from ._complex import absolute, as_node

    request = _reduce.Request(("nanmin", "nanmax", "count"), (True,) * grid.ndim)
    with _summary_bar(_progress.shown(progress, grid.size), grid.size) as report:
        (low, _), (high, _), (count, _) = _reduce.compute(grid, as_node(absolute(node)), request, tile=tile, progress=report)
        mean = complex(grid.reduce(node, "nanmean", tile=tile)) if int(count) else complex(math.nan, math.nan)
    nan = grid.size - int(count)
    if args.json:
        number = _json_number
        summary = {
            "shape": list(grid.shape), "axes": list(grid.names), "points": grid.size, "dtype": "complex",
            "abs_min": number(float(low)), "abs_max": number(float(high)),
            "mean": [number(mean.real), number(mean.imag)], "nan": nan,
        }
        print(json.dumps(summary, allow_nan=False))
        return 0
    print(
        f"shape {grid.shape}, complex: |value| from {float(low)!r} to {float(high)!r}, mean {mean!r} "
        f"({nan} NaN skipped; write them with -o FILE.npy, draw them with --png FILE.png)"
    )
    return 0


@contextlib.contextmanager
def _summary_bar(shown: bool, total: int) -> Iterator[Callable[[int, int], None] | None]:
    """The summary's bar on standard error, fed with the points the engine has done, or None."""
    if not shown:
        yield None
        return
    with _progress.bar("summary", total) as update:
        yield lambda done, _: update(done)


def streams(grid: Grid, dtype: Any = "float64") -> bool:
    """Whether -o streams this grid: its values exceed STREAM_SHARE of physical memory."""
    physical = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    return bool(np.dtype(dtype).itemsize * grid.size > STREAM_SHARE * physical)


def _write_zarr(
    args: argparse.Namespace, grid: Grid, tile: int | tuple[int, ...] | None, at: dict[str, int],
    params: dict[str, Any], progress: bool | None,
) -> int:
    """-o DIR.zarr: written chunk by chunk by to_zarr, which writes beside the
    target and swaps the finished store into place; a picture is then drawn
    from the finished store and written as any other (whole or not at all)."""
    if importlib.util.find_spec("zarr") is None:
        raise UsageError("-o DIR.zarr needs zarr (the package's zarr extra)")
    # The text itself, so that the store records the formula as it was written.
    try:
        path = grid.to_zarr(
            args.expression, args.output, chunks=_tile(args.chunks, "--chunks"), tile=tile, dtype=args.dtype,
            resume=args.resume, overwrite=args.overwrite, progress=progress, method=args.method, params=params,
        )
    except OSError as error:
        # The keyword arguments to_zarr names are these options here.
        reason = re.sub(r"\b(overwrite|resume)=True", r"--\1", str(error.strerror or error)).removeprefix("to_zarr: ")
        raise UsageError(f"cannot write the values to {args.output}, left as it was: {reason}") from None
    except ValueError as error:  # resuming a store of other values
        raise UsageError(re.sub(r"\bresume=True", "--resume", str(error))) from None
    if not args.quiet:
        print(f"{PROG}: wrote {args.output}", file=sys.stderr)
    if args.png is not None:
        import zarr

        from ._plot import save_png

        values = np.asarray(zarr.open_array(path, path="values", mode="r")[...])
        try:
            with replacing(args.png) as (png,):
                save_png(grid, values, png.file, at=at, title=args.expression, phase=args.phase)
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
