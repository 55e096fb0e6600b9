"""Grid: axes given by range, expressions in any form, evaluated into NumPy arrays."""

from __future__ import annotations

import keyword
import math
import os
import sys
import unicodedata
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import Any, NamedTuple, TypeAlias

import numpy as np
import numpy.typing as npt

import vemiral

from . import _parse, _sympy
from ._tiles import positive_int, tile_edges

# Above this many points, evaluate shows a progress bar unless told otherwise.
PROGRESS_THRESHOLD = 4_000_000

# SymPy expressions too (SymPy has no annotations: they type as Any).
Expression: TypeAlias = "str | vemiral.ASTnode | float | Callable[..., Any]"
Tile: TypeAlias = "int | Sequence[int] | None"
FloatArray: TypeAlias = npt.NDArray[np.float64]


class Axis(NamedTuple):
    """One dimension of a grid: coordinates start + i*step for i in range(num)."""

    name: str
    start: float
    stop: float
    step: float
    num: int


def _number(value: object, what: str) -> float:
    if isinstance(value, bool) or not isinstance(value, int | float | np.integer | np.floating):
        raise TypeError(f"{what} must be a real number, not {type(value).__name__}")
    try:
        number = float(value)
    except OverflowError:  # an int beyond every float, as for a SymPy number
        raise ValueError(f"{what} is too large for a float") from None
    if not math.isfinite(number):
        raise ValueError(f"{what} must be finite, not {number}")
    return number


def _checked(axis: Axis) -> Axis:
    """An axis whose every coordinate start + i*step is a finite number."""
    last = axis.start + (axis.num - 1) * axis.step
    if not math.isfinite(axis.step) or not math.isfinite(last):
        raise ValueError(
            f"axis {axis.name}: the coordinates must be finite numbers; step {axis.step!r} "
            f"gives {last!r} at the last of {axis.num} points"
        )
    return axis


def _count(value: object, what: str) -> int:
    count = positive_int(value, what)
    if count >= 2**63:  # no grid point lies beyond 2**63, in evaluate or anywhere else
        raise OverflowError(f"{what} must be below 2**63, not {count}")
    return count


def _name_problem(name: str) -> str | None:
    """Why `name` cannot name an axis (a formula could never use it), or None."""
    if not name.isidentifier() or keyword.iskeyword(name):
        return "it is not a Python name"
    if unicodedata.normalize("NFKC", name) != name:
        return f"Python reads it as '{unicodedata.normalize('NFKC', name)}'"
    if name.startswith("_") or name in _parse.RESERVED or hasattr(Grid, name):
        return "it is taken by a function, constant or attribute"
    return None


def check_storable(points: int, what: str) -> None:
    """Refuses, before anything is allocated, an array of `points` float64
    values larger than the machine's physical memory (MemoryError) or than 64
    bits count (OverflowError), as the native module refuses such a grid."""
    if points >= 2**64:
        raise OverflowError(f"{what}: the number of grid points overflows 64 bits")
    physical = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    if 8 * points > physical:
        raise MemoryError(f"{what}: {points} points need more memory than this machine has")


def _triple(name: str, value: object) -> tuple[object, object, object]:
    if not isinstance(value, tuple | list) or len(value) != 3:
        raise ValueError(f"axis {name}: give a tuple of three numbers, not {value!r}")
    return value[0], value[1], value[2]


class Grid:
    """A regular grid: one axis per keyword, dimension 0 first.

    `Grid(x=(0, 1, 101), y=(-1, 1, 201))` takes each axis as a closed range like
    `numpy.linspace(start, stop, num)`; `Grid.from_steps(x=(0, 0.01, 101))` takes
    start, step and count.
    """

    def __init__(self, **axes: tuple[float, float, int]) -> None:
        built = []
        for name, value in axes.items():
            start, stop, num = _triple(name, value)
            first = _number(start, f"axis {name}: start")
            last = _number(stop, f"axis {name}: stop")
            count = _count(num, f"axis {name}: num")
            # As numpy.linspace: a single point is the start, whatever the stop.
            step = (last - first) / (count - 1) if count > 1 else 0.0
            built.append(_checked(Axis(name, first, last, step, count)))
        self._init(built)

    @classmethod
    def from_steps(cls, **axes: tuple[float, float, int]) -> Grid:
        """A grid whose axes are given as (start, step, num)."""
        built = []
        for name, value in axes.items():
            start, step, num = _triple(name, value)
            first = _number(start, f"axis {name}: start")
            delta = _number(step, f"axis {name}: step")
            count = _count(num, f"axis {name}: num")
            built.append(_checked(Axis(name, first, first + (count - 1) * delta, delta, count)))
        grid = cls.__new__(cls)
        grid._init(built)
        return grid

    def _init(self, axes: list[Axis]) -> None:
        if not axes:
            raise ValueError("a grid needs at least one axis, e.g. Grid(x=(0, 1, 100))")
        for axis in axes:
            problem = _name_problem(axis.name)
            if problem:
                raise ValueError(f"'{axis.name}' cannot name an axis: {problem}")
        self._axes = tuple(axes)
        self._variables = {
            axis.name: vemiral.ASTvar(index=dim, start=axis.start, step=axis.step) for dim, axis in enumerate(axes)
        }

    # --- what the grid is ---------------------------------------------------

    @property
    def axes(self) -> tuple[Axis, ...]:
        return self._axes

    @property
    def shape(self) -> tuple[int, ...]:
        return tuple(axis.num for axis in self._axes)

    @property
    def names(self) -> tuple[str, ...]:
        return tuple(axis.name for axis in self._axes)

    @property
    def ndim(self) -> int:
        return len(self._axes)

    @property
    def size(self) -> int:
        return math.prod(self.shape)

    @property
    def coords(self) -> dict[str, FloatArray]:
        """Each axis's coordinates, start + i*step (for plotting and comparisons)."""
        for axis in self._axes:
            check_storable(axis.num, f"coords of axis {axis.name}")
        return {
            axis.name: axis.start + np.arange(axis.num, dtype=np.float64) * axis.step for axis in self._axes
        }

    @property
    def variables(self) -> Mapping[str, vemiral.ASTvar]:
        return dict(self._variables)

    def __getattr__(self, name: str) -> vemiral.ASTvar:
        variables = self.__dict__.get("_variables", {})
        if name in variables:
            return variables[name]  # type: ignore[no-any-return]
        raise AttributeError(f"'{type(self).__name__}' object has no attribute or axis '{name}'")

    def __dir__(self) -> list[str]:
        return sorted(set(super().__dir__()) | set(self.names))

    def __repr__(self) -> str:
        axes = ", ".join(f"{a.name}=({a.start!r}, {a.stop!r}, {a.num})" for a in self._axes)
        return f"Grid({axes})"

    # --- expressions --------------------------------------------------------

    def expression(self, expr: Expression) -> vemiral.ASTnode:
        """The tree of `expr`: a string, a node, a SymPy expression, a number, or a
        callable taking the axis variables by name."""
        if isinstance(expr, str):
            return _parse.parse(expr, self._variables)
        if isinstance(expr, vemiral.ASTnode):
            node = expr
        elif _sympy.is_sympy(expr):
            return _sympy.translate(expr, self._variables)
        elif isinstance(expr, int | float | np.integer | np.floating) and not isinstance(expr, bool):
            node = vemiral.ASTnum(float(expr))
        elif callable(expr):
            result = expr(**self._variables)
            if isinstance(result, vemiral.ASTnode):
                node = result
            elif _sympy.is_sympy(result):
                return _sympy.translate(result, self._variables)
            elif isinstance(result, int | float | np.integer | np.floating) and not isinstance(result, bool):
                node = vemiral.ASTnum(float(result))
            else:
                raise ValueError(f"the callable returned {type(result).__name__}, not an expression node")
        else:
            raise TypeError(
                "an expression is a string, a vemiral node, a SymPy expression, a number or a callable, "
                f"not {type(expr).__name__}"
            )
        self._check_dimensions(node)
        return node

    def _check_dimensions(self, root: vemiral.ASTnode) -> None:
        # A variable beyond the grid's dimensions would silently stand still.
        seen: set[int] = set()
        stack = [root]
        while stack:
            node = stack.pop()
            if id(node) in seen:
                continue
            seen.add(id(node))
            if isinstance(node, vemiral.ASTvar):
                if node.index >= self.ndim:
                    raise ValueError(
                        f"the expression uses dimension {node.index}, but the grid has {self.ndim} "
                        f"({', '.join(self.names)})"
                    )
            # Through the class: a user's own attribute named left or child may
            # shadow the field on an instance.
            elif isinstance(node, vemiral.ASTbin):
                stack += [vemiral.ASTbin.left.__get__(node), vemiral.ASTbin.right.__get__(node)]
            elif isinstance(node, vemiral.ASTun):
                stack.append(vemiral.ASTun.child.__get__(node))

    def _prepared(self, expr: Expression, tile: Tile = None) -> vemiral.ASTnode:
        """The tree of `expr`, once its chain has been built for the tile at the
        grid's first point: an expression the algebra refuses (MemoryError for
        one whose chain would be too large) is refused here, before any block
        is planned, written or sent to a worker."""
        node = self.expression(expr)
        node.evaluate((1,) * self.ndim, tile=tile, threads=1)
        return node

    # --- evaluation ---------------------------------------------------------

    def evaluate(
        self,
        expr: Expression,
        *,
        out: FloatArray | None = None,
        tile: Tile = None,
        progress: bool | None = None,
    ) -> FloatArray:
        """The values of `expr` at every point, shaped like the grid (float64, C order).

        Silent; a grid of more than PROGRESS_THRESHOLD points shows a progress bar on
        standard error (progress=False turns it off, True forces it)."""
        node = self.expression(expr)
        shape = self.shape
        if progress is None:
            progress = self.size > PROGRESS_THRESHOLD
        if not progress:
            return node.evaluate(shape, out=out, tile=tile)
        if out is None:
            check_storable(self.size, "evaluate")
            out = np.empty(shape, dtype=np.float64)
        else:
            _check_out(out, shape)
        from tqdm import tqdm

        rows = tile_edges(tile, len(shape))[0]
        with tqdm(total=shape[0], unit="row", file=sys.stderr, desc="vemiral", leave=False) as bar:
            for first, count in _slabs(shape[0], rows):
                origin = (first,) + (0,) * (len(shape) - 1)
                # Tiles are computed the same whatever block they fall in, so slab by
                # slab gives what one call gives, bit for bit.
                node.evaluate((count,) + shape[1:], origin=origin, tile=tile, out=out[first : first + count])
                bar.update(count)
        return out

    def to_dask(self, expr: Expression, chunks: Any = None, tile: Tile = None) -> Any:
        """The values of `expr` as a dask.array.Array (see vemiral_grid.distributed.to_dask)."""
        from .distributed import to_dask

        return to_dask(self, expr, chunks=chunks, tile=tile)

    def to_npy(
        self, expr: Expression, path: Any, tile: Tile = None, progress: bool | Callable[[int, int], object] | None = None
    ) -> Any:
        """Streams the values of `expr` into a .npy file (see vemiral_grid.storage.to_npy)."""
        from .storage import to_npy

        return to_npy(self, expr, path, tile=tile, progress=progress)


def _slabs(rows: int, tile_rows: int) -> Iterator[tuple[int, int]]:
    """Runs of whole tile rows along dimension 0, at most about a hundred of them."""
    tiles = -(-rows // tile_rows)
    step = tile_rows * -(-tiles // 100)
    for first in range(0, rows, step):
        yield first, min(step, rows - first)


def _check_out(out: object, shape: tuple[int, ...]) -> None:
    if not isinstance(out, np.ndarray):
        raise TypeError(f"out must be a NumPy array, not {type(out).__name__}")
    if out.dtype != np.float64 or out.shape != shape or not out.flags.c_contiguous or not out.flags.writeable:
        raise ValueError(f"out must be a writable C-contiguous float64 array of shape {shape}")
