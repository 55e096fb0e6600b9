"""Grid: axes given by range, expressions in any form, evaluated into NumPy arrays."""

from __future__ import annotations

import math
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import Any, Literal, NamedTuple, TypeAlias, overload

import numpy as np
import numpy.typing as npt

import vemiral

from . import _complex, _complex_reduce, _options, _progress, _reduce, _stats
from ._complex_values import result_dtype
from ._formula import Expression, Tile, evaluated_tree, name_problem, parameters_of, prepared, tree
from ._options import Method
from ._tiles import positive_int, tile_edges
from ._to_sympy import to_sympy
from ._values import Node, check_out, check_storable, evaluate_into, output_dtype
from .distributed import to_dask
from .labelled import to_dataset, to_xarray
from .storage import to_npy
from .zarrstore import to_zarr

# The axes a reduction runs over: all (None), one by name or number, or several.
Axes: TypeAlias = "str | int | tuple[str | int, ...] | None"
FloatArray: TypeAlias = npt.NDArray[np.float64]
Float32Array: TypeAlias = npt.NDArray[np.float32]
# What dtype= takes: float64 (the default) or float32, as NumPy names them.
Float64Type: TypeAlias = "type[np.float64] | np.dtype[np.float64] | Literal['float64', 'f8', '<f8', 'd']"
Float32Type: TypeAlias = "type[np.float32] | np.dtype[np.float32] | Literal['float32', 'f4', '<f4', 'f']"
DType: TypeAlias = "Float64Type | Float32Type"


class Axis(NamedTuple):
    """One dimension of a grid: num points from start by step, the last being stop
    (``Grid.coords`` has them as NumPy computes them).

    >>> Grid(x=(0, 1, 5)).axes[0]
    Axis(name='x', start=0.0, stop=1.0, step=0.25, num=5)
    """

    name: str
    start: float
    stop: float
    step: float
    num: int


def _number(value: object, what: str) -> float:
    try:
        number = _options.real(value)
    except TypeError:
        raise TypeError(f"{what} must be a real number, not {type(value).__name__}") from None
    except ValueError:  # an int beyond every float, as for a SymPy number
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


def _axis_name_problem(name: str) -> str | None:
    """Why `name` cannot name an axis (a formula could never use it, or the grid's
    own attribute of that name would hide the axis), or None."""
    problem = name_problem(name)
    if problem is None and (name.startswith("_") or hasattr(Grid, name)):
        return "it is taken by a function, constant or attribute"
    return problem


def _triple(name: str, value: object) -> tuple[object, object, object]:
    if not isinstance(value, tuple | list) or len(value) != 3:
        raise ValueError(f"axis {name}: give a tuple of three numbers, not {value!r}")
    return value[0], value[1], value[2]


def axis_by_range(name: str, value: object) -> Axis:
    """An axis from (start, stop, num), a closed range like numpy.linspace."""
    start, stop, num = _triple(name, value)
    first = _number(start, f"axis {name}: start")
    last = _number(stop, f"axis {name}: stop")
    count = _count(num, f"axis {name}: num")
    # As numpy.linspace: a single point is the start, whatever the stop.
    step = (last - first) / (count - 1) if count > 1 else 0.0
    return _checked(Axis(name, first, last, step, count))


def axis_by_step(name: str, value: object) -> Axis:
    """An axis from (start, step, num)."""
    start, step, num = _triple(name, value)
    first = _number(start, f"axis {name}: start")
    delta = _number(step, f"axis {name}: step")
    count = _count(num, f"axis {name}: num")
    return _checked(Axis(name, first, first + (count - 1) * delta, delta, count))


def _coordinates(axis: Axis) -> FloatArray:
    # As numpy.linspace computes them: the index times the step, plus the
    # start, each rounded; the last point the stop itself.
    points = np.arange(axis.num, dtype=np.float64) * axis.step + axis.start
    if axis.num > 1:
        points[-1] = axis.stop
    return points


def _variable(dim: int, axis: Axis) -> vemiral.ASTvar:
    """The node of an axis: its values are the axis's coordinates, its last
    point the stop exactly."""
    if axis.num > 1:
        return vemiral.ASTvar(index=dim, start=axis.start, step=axis.step, stop=axis.stop, num=axis.num)
    return vemiral.ASTvar(index=dim, start=axis.start, step=axis.step)


class Grid:
    """A regular grid: one axis per keyword, dimension 0 first.

    `Grid(x=(0, 1, 101), y=(-1, 1, 201))` takes each axis as a closed range like
    `numpy.linspace(start, stop, num)`; `Grid.from_steps(x=(0, 0.01, 101))` takes
    start, step and count. The axis names are the names of the formulas'
    variables; `grid.x` is the node of axis x.

    >>> grid = Grid(x=(0, 1, 101), y=(-1, 1, 201))
    >>> grid.shape, grid.names, grid.ndim, grid.size
    ((101, 201), ('x', 'y'), 2, 20301)
    >>> grid.coords["y"][:3]
    array([-1.  , -0.99, -0.98])
    >>> grid.x
    x0
    """

    def __init__(self, **axes: tuple[float, float, int]) -> None:
        self._init([axis_by_range(name, value) for name, value in axes.items()])

    @classmethod
    def from_steps(cls, **axes: tuple[float, float, int]) -> Grid:
        """A grid whose axes are given as (start, step, num).

        >>> Grid.from_steps(t=(0, 1 / 8000, 8000)).axes[0].step
        0.000125
        """
        return cls._of([axis_by_step(name, value) for name, value in axes.items()])

    @classmethod
    def _of(cls, axes: list[Axis]) -> Grid:
        grid = cls.__new__(cls)
        grid._init(axes)
        return grid

    def _init(self, axes: list[Axis]) -> None:
        if not axes:
            raise ValueError("a grid needs at least one axis, e.g. Grid(x=(0, 1, 100))")
        for axis in axes:
            problem = _axis_name_problem(axis.name)
            if problem:
                raise ValueError(f"'{axis.name}' cannot name an axis: {problem}")
        self._axes = tuple(axes)
        self._variables = {axis.name: _variable(dim, axis) for dim, axis in enumerate(axes)}

    # --- what the grid is ---------------------------------------------------

    @property
    def axes(self) -> tuple[Axis, ...]:
        """The axes, dimension 0 first."""
        return self._axes

    @property
    def shape(self) -> tuple[int, ...]:
        """The number of points along each axis."""
        return tuple(axis.num for axis in self._axes)

    @property
    def names(self) -> tuple[str, ...]:
        """The axis names, dimension 0 first."""
        return tuple(axis.name for axis in self._axes)

    @property
    def ndim(self) -> int:
        """The number of dimensions."""
        return len(self._axes)

    @property
    def size(self) -> int:
        """The number of points."""
        return math.prod(self.shape)

    @property
    def coords(self) -> dict[str, FloatArray]:
        """Each axis's coordinates, the points every value belongs to: a closed
        range's are ``numpy.linspace(start, stop, num)``, a stepped axis's
        ``start + numpy.arange(num) * step``, bit for bit.

        >>> bool((Grid(x=(-2, 2, 50)).coords["x"] == np.linspace(-2, 2, 50)).all())
        True
        """
        for axis in self._axes:
            check_storable(axis.num, f"coords of axis {axis.name}")
        return {axis.name: _coordinates(axis) for axis in self._axes}

    @property
    def variables(self) -> Mapping[str, vemiral.ASTvar]:
        """Each axis's variable node, by name (what a callable expression receives)."""
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

    def expression(
        self, expr: Expression, params: Mapping[str, complex] | None = None, **parameters: complex
    ) -> Node:
        """The tree of `expr`: a string, a node, a SymPy expression, a number, or a
        callable taking the axis variables by name.

        Parameters, given in `params` or as keywords (not both for one name), are
        numbers the formula names: in a string or as SymPy symbols, and passed by
        name to a callable after the axes. A formula with a complex number in it
        (1j, a complex parameter) gives a ComplexNode, a pair of real trees
        (docs/complex.md).

        >>> import vemiral as vm
        >>> grid = Grid(x=(0, 1, 11), y=(0, 2, 3))
        >>> grid.expression("sin(x*y) + 1"), grid.expression(lambda x, y: vm.sin(x * y) + 1)
        (sin(x0*x1) + 1.0, sin(x0*x1) + 1.0)
        >>> grid.expression("exp(-x/w)", w=0.5), grid.expression(lambda x, y, k: k * x, params={"k": 2})
        (exp(-x0/0.5), 2.0*x0)
        """
        return tree(self, expr, parameters_of(self, params, parameters, expr))

    def sympy(self, expr: Expression, params: Mapping[str, complex] | None = None, **parameters: complex) -> Any:
        """The SymPy expression of what `expr` computes on this grid (it takes what
        `expression` takes), the axes as real Symbols of their own names and the
        parameters as their numbers; see docs/functions.md for how each function
        is written in SymPy.

        >>> grid = Grid(x=(0, 1, 11), t=(0, 2, 3))
        >>> grid.sympy("exp(-t/w)*where(x < 0.5, sqrt(x), 0)", w=2)
        Piecewise((sqrt(x), x < 0.5), (0, True))*exp(-t/2)
        """
        return to_sympy(self.expression(expr, params, **parameters), self.names)

    def _prepared(
        self,
        expr: Expression,
        tile: Tile = None,
        parameters: Mapping[str, complex] | None = None,
        method: Method = "accurate",
    ) -> Node:
        """The tree of `expr` with its chain built for the first tile (see _formula.prepared)."""
        return prepared(self, expr, tile, parameters, method)

    def explain(
        self, expr: Expression, params: Mapping[str, complex] | None = None, **parameters: complex
    ) -> str:
        """How `evaluate` computes `expr` on this grid, one line an operation: where
        (once, per row, per column, at every point), how (directly in double, as
        NumPy would, and with whose kernel) and a rough cost per point.

        >>> grid = Grid(x=(-3, 3, 601), z=(-10, 10, 801))
        >>> print(grid.explain("exp(-2*x**2/(1 + (z/5)**2))"))  # doctest: +ELLIPSIS
        plan on a grid of shape (601, 801): rows along axis x1, about ... ns a point on one core
        ...
        """
        return self.expression(expr, params, **parameters).explain(self.shape)

    # --- evaluation ---------------------------------------------------------

    @overload
    def evaluate(
        self,
        expr: Expression,
        *,
        out: FloatArray | None = None,
        tile: Tile = None,
        progress: bool | None = None,
        dtype: Float64Type | None = None,
        method: Method = "accurate",
        params: Mapping[str, complex] | None = None,
        **parameters: complex,
    ) -> FloatArray: ...
    @overload
    def evaluate(
        self,
        expr: Expression,
        *,
        out: Float32Array | None = None,
        tile: Tile = None,
        progress: bool | None = None,
        dtype: Float32Type | None = None,
        method: Method = "accurate",
        params: Mapping[str, complex] | None = None,
        **parameters: complex,
    ) -> Float32Array: ...
    @overload
    def evaluate(
        self,
        expr: Expression,
        *,
        out: npt.NDArray[Any] | None = None,
        tile: Tile = None,
        progress: bool | None = None,
        dtype: npt.DTypeLike | None = None,
        method: Method = "accurate",
        params: Mapping[str, complex] | None = None,
        **parameters: complex,
    ) -> npt.NDArray[Any]: ...
    def evaluate(
        self,
        expr: Expression,
        *,
        out: npt.NDArray[Any] | None = None,
        tile: Tile = None,
        progress: bool | None = None,
        dtype: npt.DTypeLike | None = None,
        method: Method = "accurate",
        params: Mapping[str, complex] | None = None,
        **parameters: complex,
    ) -> npt.NDArray[Any]:
        """The values of `expr` at every point, shaped like the grid (C order).

        Args:
            expr: a string, a vemiral node, a SymPy expression, a number, or a
                callable taking the axis variables by name (see `expression`).
            out: an array to fill instead of a new one: writable, C-contiguous,
                of the grid's shape, float64 or float32 (complex128 or
                complex64 for complex values).
            tile: the tile edge, one for every dimension or one each (default:
                ``vemiral.default_tile(ndim, method)``); the values depend on it.
                An edge beyond both the grid's points along it and the default
                is refused: it holds no more points, and costs memory.
            progress: a progress bar on standard error; by default shown for grids
                of more than PROGRESS_THRESHOLD points when standard error is a
                terminal.
            dtype: ``numpy.float64`` (the default, or out's type) or
                ``numpy.float32``: computed in double precision all the same and
                rounded once on the way out, without a float64 copy of the grid.
                A complex formula's values are complex of the precision asked
                (complex128, or complex64 for float32 or complex64); a real
                one's, asked as complex, have a zero imaginary part.
            method: ``"accurate"`` (the default: every value within a few units
                in the last place) or ``"recurrence"`` (the chains stepped in
                plain doubles inside each tile), as the native ``evaluate`` takes it.
            params, parameters: numbers the formula names (see `expression`),
                as a mapping or as keywords; a name taken by one of the options
                above goes in `params`. A keyword that is neither is a
                TypeError ("unexpected keyword argument"), whatever its value.

        Returns:
            `out`, or a new array of the grid's shape and dtype.

        Raises:
            ValueError: an expression the parser refuses, a dtype other than
                float64, float32, complex128 or complex64, an `out` of another
                shape or type than asked, a parameter that is not a finite real
                or complex number or is named like an axis, a function or a
                constant.
            TypeError: a real `out` for complex values.

        >>> grid = Grid(x=(0, 1, 3), y=(0, 2, 3))
        >>> grid.evaluate("x + y")
        array([[0. , 1. , 2. ],
               [0.5, 1.5, 2.5],
               [1. , 2. , 3. ]])
        >>> grid.evaluate("x / 3", dtype=np.float32)[1]
        array([0.16666667, 0.16666667, 0.16666667], dtype=float32)
        >>> grid.evaluate("k*x", k=4)[:, 0]
        array([0., 2., 4.])
        """
        values = parameters_of(self, params, parameters, expr, _EVALUATE)
        method = _options.method_of(method)
        shape = self.shape
        kind = check_out(out, shape, dtype) if out is not None else output_dtype(np.float64 if dtype is None else dtype)
        edges = tile_edges(tile, len(shape), method, shape)
        node = evaluated_tree(self, expr, values)
        kind = result_dtype(kind, node, out)  # complex for a complex formula
        shown = _progress.shown(progress, self.size)
        if not shown and kind == np.float64 and isinstance(node, vemiral.ASTnode):
            return node.evaluate(shape, out=out, tile=edges, method=method)
        if out is None:
            check_storable(self.size, "evaluate", kind.itemsize)
            out = np.empty(shape, dtype=kind)
        if not shown:
            return evaluate_into(node, out, (0,) * len(shape), edges, method=method)
        row = self.size // shape[0]
        with _progress.bar("evaluate", self.size) as update:
            for first, count in _slabs(shape[0], edges[0]):
                origin = (first,) + (0,) * (len(shape) - 1)
                # Tiles are computed the same whatever block they fall in, so slab by
                # slab gives what one call gives, bit for bit.
                evaluate_into(node, out[first : first + count], origin, edges, method=method)
                update((first + count) * row)
        return out

    # --- reductions -----------------------------------------------------------

    def reduce(
        self,
        expr: Expression,
        how: str | Sequence[str],
        axis: Axes = None,
        *,
        tile: Tile = None,
        threads: int | None = None,
        chunks: Any = None,
        client: Any = None,
        method: Method = "accurate",
        params: Mapping[str, complex] | None = None,
        **parameters: complex,
    ) -> Any:
        """Reduces the values of `expr` over `axis` without making the array: the
        native engine evaluates the grid block by block on every core and keeps
        only a row of a tile per thread, so memory does not grow with the grid.

        Args:
            expr: as for `evaluate`.
            how: "sum", "mean", "min", "max", "argmin", "argmax", "nansum",
                "nanmin" or "nanmax" (NumPy's meanings: NaN propagates through
                the plain ones and is skipped by the nan ones), computed in one
                pass; the statistics "var", "std", "nanmean", "nanvar",
                "nanstd", "prod", "any", "all", "count_nonzero", "ptp" and
                "median" (see their methods; a variance by name has ddof=0);
                or a tuple of them, computed together: one pass of the engine
                for every sum, count and extremum, then the sweeps over the
                values that variances, products, counts of zeros and medians
                need (see docs/reductions.md).
            axis: None (every axis), an axis name, a dimension number (negative
                from the end), or a tuple of them.
            tile: as for `evaluate` (the values, and so the results, depend on it).
            threads: threads of this call (default: ``vemiral.get_num_threads()``);
                the results are the same bits with any number.
            chunks, client: reduce as one Dask task per block (chunks as for
                `to_dask`) on `client` (a ``distributed.Client``) or on Dask's
                current scheduler; the blocks' results are joined as the
                engine joins its own parts. The formula is prepared here
                first: what the algebra refuses never reaches a task.
            method: ``"accurate"``, the method the native reductions run;
                another is refused (ValueError).
            params, parameters: as for `evaluate`.

        Returns:
            A NumPy float64 scalar for a reduction over every axis, else an array
            over the kept axes (in grid order); for argmin and argmax, index
            tuples: see `argmin`; NumPy's bools for any and all, its integers
            for count_nonzero. A tuple of results for a tuple of reductions.

        Sums and means are compensated (double-double) and rounded once: at
        least as accurate as NumPy's pairwise sum of the evaluated values.

        >>> grid = Grid(x=(0, 1, 5), y=(0, 2, 3))
        >>> grid.reduce("x + y", "sum"), grid.reduce("x + y", "max", axis="y")
        (np.float64(22.5), array([2.  , 2.25, 2.5 , 2.75, 3.  ]))
        >>> grid.reduce("x * y", ("mean", "argmax"))
        (np.float64(0.5), (4, 2))
        """
        values = parameters_of(self, params, parameters, expr, _REDUCE)
        _options.accurate_only(method, "reductions")
        node = self.expression(expr, values)
        if isinstance(node, _complex.ComplexNode):
            return _complex_reduce.reduce(self, node, how, axis, tile=tile, threads=threads, chunks=chunks, client=client)
        return _reduce.reduce(self, node, how, axis, tile=tile, threads=threads, chunks=chunks, client=client)

    def sum(self, expr: Expression, axis: Axes = None, **options: Any) -> Any:
        """The sum of the values of `expr` over `axis` (see `reduce` for the
        options), compensated and rounded once.

        >>> Grid(x=(0, 1, 11)).sum("x")
        np.float64(5.5)
        """
        return self.reduce(expr, "sum", axis, **options)

    def mean(self, expr: Expression, axis: Axes = None, **options: Any) -> Any:
        """The mean of the values of `expr` over `axis` (see `reduce`).

        >>> Grid(x=(0, 1, 11), y=(0, 1, 3)).mean("x*y", axis="x")
        array([0.  , 0.25, 0.5 ])
        """
        return self.reduce(expr, "mean", axis, **options)

    def min(self, expr: Expression, axis: Axes = None, **options: Any) -> Any:
        """The minimum of the values of `expr` over `axis` (NaN if one is NaN; see `reduce`).

        >>> Grid(x=(-1, 1, 5)).min("x**2")
        np.float64(0.0)
        """
        return self.reduce(expr, "min", axis, **options)

    def max(self, expr: Expression, axis: Axes = None, **options: Any) -> Any:
        """The maximum of the values of `expr` over `axis` (NaN if one is NaN; see `reduce`).

        >>> Grid(x=(-1, 1, 5)).max("x**2")
        np.float64(1.0)
        """
        return self.reduce(expr, "max", axis, **options)

    def argmin(self, expr: Expression, axis: Axes = None, **options: Any) -> Any:
        """Where the minimum of `expr` lies (its first point; a NaN's first point
        if there is one). Over every axis, the tuple of its indices; over one
        axis named alone, NumPy's array of indices along it; over a tuple of
        axes, a tuple of such arrays, one per reduced axis (see `reduce`).

        >>> grid = Grid(x=(-1, 1, 5), y=(0, 1, 3))
        >>> grid.argmin("(x - 0.5)**2 + y")
        (3, 0)
        >>> grid.argmin("(x - y)**2", axis="x")
        array([2, 3, 4])
        """
        return self.reduce(expr, "argmin", axis, **options)

    def argmax(self, expr: Expression, axis: Axes = None, **options: Any) -> Any:
        """Where the maximum of `expr` lies, as `argmin` gives it.

        >>> Grid(x=(-1, 1, 5), y=(0, 1, 3)).argmax("x*y")
        (4, 2)
        """
        return self.reduce(expr, "argmax", axis, **options)

    def nansum(self, expr: Expression, axis: Axes = None, **options: Any) -> Any:
        """The sum of the values of `expr` that are numbers (see `reduce`).

        >>> Grid(x=(-1, 1, 5)).nansum("sqrt(x)")
        np.float64(1.7071067811865475)
        """
        return self.reduce(expr, "nansum", axis, **options)

    def nanmin(self, expr: Expression, axis: Axes = None, **options: Any) -> Any:
        """The minimum of the values of `expr` that are numbers (NaN, with NumPy's
        warning, where there are none; see `reduce`).

        >>> Grid(x=(-1, 1, 5)).nanmin("sqrt(x)")
        np.float64(0.0)
        """
        return self.reduce(expr, "nanmin", axis, **options)

    def nanmax(self, expr: Expression, axis: Axes = None, **options: Any) -> Any:
        """The maximum of the values of `expr` that are numbers (see `nanmin`).

        >>> Grid(x=(-1, 1, 5)).nanmax("sqrt(x)")
        np.float64(1.0)
        """
        return self.reduce(expr, "nanmax", axis, **options)

    def _statistic(self, expr: Expression, asked: Any, axis: Axes, options: dict[str, Any]) -> Any:
        return self.reduce(expr, asked, axis, **options)  # a statistic with its parameters (_stats.Asked)

    def var(self, expr: Expression, axis: Axes = None, ddof: float = 0, **options: Any) -> Any:
        """The variance of the values of `expr` over `axis`, divided by the count
        less `ddof` as ``numpy.var`` (NaN where a value is NaN or infinite; see
        `reduce` for the options). Two passes: the compensated mean, then the
        compensated sum of the squared deviations of the values `evaluate`
        gives, corrected for the mean's rounding: within a few ulps of the
        exact variance of those values.

        >>> Grid(x=(0, 1, 5)).var("x"), Grid(x=(0, 1, 5)).var("x", ddof=1)
        (np.float64(0.125), np.float64(0.15625))
        """
        return self._statistic(expr, _stats.Asked("var", ddof=_stats.ddof_of(ddof)), axis, options)

    def std(self, expr: Expression, axis: Axes = None, ddof: float = 0, **options: Any) -> Any:
        """The standard deviation: the square root of `var`.

        >>> Grid(x=(0, 1, 5)).std("x")
        np.float64(0.3535533905932738)
        """
        return self._statistic(expr, _stats.Asked("std", ddof=_stats.ddof_of(ddof)), axis, options)

    def nanmean(self, expr: Expression, axis: Axes = None, **options: Any) -> Any:
        """The mean of the values of `expr` that are numbers (NaN, with NumPy's
        warning, where there are none; see `reduce`).

        >>> Grid(x=(-1, 1, 5)).nanmean("sqrt(x)")
        np.float64(0.5690355937288492)
        """
        return self._statistic(expr, _stats.Asked("nanmean"), axis, options)

    def nanvar(self, expr: Expression, axis: Axes = None, ddof: float = 0, **options: Any) -> Any:
        """The variance of the values of `expr` that are numbers, as ``numpy.nanvar``
        (NaN, with NumPy's warning, where the count less `ddof` is not positive).

        >>> Grid(x=(-1, 1, 5)).nanvar("sqrt(x)"), Grid(x=(-1, 1, 5)).nanvar("sqrt(x)", ddof=1)
        (np.float64(0.1761984930696561), np.float64(0.26429773960448416))
        """
        return self._statistic(expr, _stats.Asked("nanvar", ddof=_stats.ddof_of(ddof)), axis, options)

    def nanstd(self, expr: Expression, axis: Axes = None, ddof: float = 0, **options: Any) -> Any:
        """The square root of `nanvar`.

        >>> Grid(x=(-1, 1, 5)).nanstd("sqrt(x)")
        np.float64(0.41976004224992175)
        """
        return self._statistic(expr, _stats.Asked("nanstd", ddof=_stats.ddof_of(ddof)), axis, options)

    def prod(self, expr: Expression, axis: Axes = None, **options: Any) -> Any:
        """The product of the values of `expr` over `axis`: the exact product
        rounded once, with NumPy's rules for NaN, infinities and zeros (inf
        times 0 is NaN, a zero's or an infinity's sign is the product's). Where
        NumPy's running product overflows or underflows before its end, NumPy
        gives inf, 0 or NaN; this gives the true product.

        >>> Grid(x=(1, 5, 5)).prod("x")
        np.float64(120.0)
        >>> Grid(x=(0, 3, 4)).prod("where(x < 2, 1e200, 1e-200)")  # NumPy: inf
        np.float64(0.9999999999999999)
        """
        return self._statistic(expr, _stats.Asked("prod"), axis, options)

    def any(self, expr: Expression, axis: Axes = None, **options: Any) -> Any:
        """Whether any value of `expr` is nonzero (NaN is), as ``numpy.any``.

        >>> Grid(x=(-1, 1, 5)).any("floor(x)"), Grid(x=(-1, 1, 5)).all("floor(x)")
        (np.True_, np.False_)
        """
        return self._statistic(expr, _stats.Asked("any"), axis, options)

    def all(self, expr: Expression, axis: Axes = None, **options: Any) -> Any:
        """Whether every value of `expr` is nonzero (NaN is), as ``numpy.all``.

        >>> Grid(x=(-1, 1, 5), y=(0, 1, 2)).all("x + 2*y", axis="x")
        array([False,  True])
        """
        return self._statistic(expr, _stats.Asked("all"), axis, options)

    def count_nonzero(self, expr: Expression, axis: Axes = None, **options: Any) -> Any:
        """How many values of `expr` are nonzero (NaN is), as ``numpy.count_nonzero``.

        >>> Grid(x=(-1, 1, 5)).count_nonzero("floor(x)")
        np.int64(3)
        """
        return self._statistic(expr, _stats.Asked("count_nonzero"), axis, options)

    def ptp(self, expr: Expression, axis: Axes = None, **options: Any) -> Any:
        """The range of the values of `expr`, maximum less minimum (NaN if one is NaN).

        >>> Grid(x=(-1, 1, 5)).ptp("x**2")
        np.float64(1.0)
        """
        return self._statistic(expr, _stats.Asked("ptp"), axis, options)

    def median(self, expr: Expression, axis: Axes = None, **options: Any) -> Any:
        """The median of the values of `expr` over `axis`, ``numpy.median``'s of the
        evaluated values exactly (NaN where one is NaN; see `quantile` for how).

        >>> Grid(x=(0, 1, 5), y=(0, 1, 2)).median("x + y", axis="x")
        array([0.5, 1.5])
        """
        return self._statistic(expr, _stats.Asked("median"), axis, options)

    def quantile(self, expr: Expression, q: Any, axis: Axes = None, **options: Any) -> Any:
        """The `q` quantiles of the values of `expr` over `axis` (q a number in
        [0, 1] or an array of them), ``numpy.quantile``'s of the evaluated
        values exactly, its linear interpolation and its forms (q's dimensions
        first); NaN where a value is NaN. Computed in bounded memory by
        passes over the values: counts of the values in ranges of their order
        narrow down the two values around each q until few enough remain to
        keep and sort (see docs/reductions.md).

        >>> Grid(x=(0, 4, 5)).quantile("x**2", [0.25, 0.5, 0.9])
        array([ 1. ,  4. , 13.2])
        """
        return self._statistic(expr, _stats.Asked("quantile", q=_stats.quantiles(q)), axis, options)

    def histogram(
        self,
        expr: Expression,
        bins: int | Sequence[float] = 10,
        range: tuple[float, float] | None = None,
        *,
        tile: Tile = None,
        threads: int | None = None,
        chunks: Any = None,
        client: Any = None,
        method: Method = "accurate",
        params: Mapping[str, complex] | None = None,
        **parameters: complex,
    ) -> tuple[npt.NDArray[np.int64], FloatArray]:
        """The counts and bin edges of the values of `expr`, as ``numpy.histogram``
        gives them for the evaluated array: `bins` equal bins over `range` (by
        default the values' minimum and maximum, found by a first pass), or the
        increasing edges themselves; values outside the edges and NaN are not
        counted, the last bin holds its upper edge. Options as for `reduce`
        (without `axis`: a histogram counts the whole grid).

        >>> Grid(x=(0, 1, 11)).histogram("x", bins=2, range=(0, 1))
        (array([5, 6]), array([0. , 0.5, 1. ]))
        """
        values = parameters_of(self, params, parameters, expr, _HISTOGRAM)
        _options.accurate_only(method, "histograms")
        node = self.expression(expr, values)
        if isinstance(node, _complex.ComplexNode):
            raise _complex_reduce.refuse_ordered("histogram")
        options: dict[str, Any] = dict(tile=tile, threads=threads, chunks=chunks, client=client)
        _reduce.check_bins(bins)
        if range is None and not isinstance(bins, Sequence | np.ndarray):
            low, high = self.reduce(node, ("min", "max"), **options)
            if not (np.isfinite(low) and np.isfinite(high)):
                raise ValueError(f"autodetected range of [{low}, {high}] is not finite")
            range = (low - 0.5, high + 0.5) if low == high else (low, high)
        edges, uniform = _reduce.histogram_edges(bins, range)
        request = _reduce.Request(("histogram",), (True,) * self.ndim, edges=edges, uniform=uniform)
        counts = _reduce.compute(self, node, request, **options)[0]
        return counts, edges

    def integrate(
        self,
        expr: Expression,
        axis: Axes = None,
        *,
        rule: str = "trapezoid",
        tile: Tile = None,
        threads: int | None = None,
        chunks: Any = None,
        client: Any = None,
        method: Method = "accurate",
        params: Mapping[str, complex] | None = None,
        **parameters: complex,
    ) -> Any:
        """The integral of `expr` over the coordinates of `axis` (default: every
        axis), by the trapezoid rule or Simpson's ("simpson", with SciPy's
        correction of the last interval for an even number of points): the
        sum of the values times the rule's weights (a product of one per axis),
        each product kept exactly and the sum compensated. Options as for
        `reduce`. An axis of one point cannot be integrated over (ValueError).

        >>> Grid(x=(0, 1, 101)).integrate("x**2", rule="simpson")
        np.float64(0.33333333333333337)
        >>> Grid(x=(0, 1, 3), y=(0, 2, 5)).integrate("x + y", axis="y")
        array([2., 3., 4.])
        """
        values = parameters_of(self, params, parameters, expr, _INTEGRATE)
        _options.accurate_only(method, "integrals")
        dims = _reduce.axes_of(self, axis)
        weights = _reduce.rule_weights(self, dims, rule)
        node = self.expression(expr, values)
        if isinstance(node, _complex.ComplexNode):
            re, im = (self.integrate(p, axis, rule=rule, tile=tile, threads=threads, chunks=chunks, client=client)
                      for p in _complex.parts_of(node))
            return _complex_reduce.combined(re, im)
        request = _reduce.Request(("weighted",), tuple(d in dims for d in range(self.ndim)), weights=weights)
        hi, _ = _reduce.compute(self, node, request, tile=tile, threads=threads, chunks=chunks, client=client)[0]
        return np.float64(hi) if hi.ndim == 0 else hi

    def to_dask(
        self,
        expr: Expression,
        chunks: Any = None,
        tile: Tile = None,
        *,
        dtype: DType = np.float64,
        method: Method = "accurate",
        params: Mapping[str, complex] | None = None,
        **parameters: complex,
    ) -> Any:
        """The values of `expr` as a lazy dask.array.Array, one `evaluate` per block
        (see :func:`vemiral_grid.distributed.to_dask`; needs the dask extra);
        `chunks` as Dask takes them or by axis name (``{"x": 50}``), `method`
        and parameters as for `evaluate`.

        >>> Grid(x=(0, 1, 100), y=(0, 1, 100)).to_dask("x*y", chunks=50).numblocks
        (2, 2)
        """
        values = parameters_of(self, params, parameters, expr, _TO_DASK)
        return to_dask(self, expr, chunks=chunks, tile=tile, dtype=dtype, method=method, params=values)

    def to_xarray(
        self,
        expr: Expression,
        *,
        name: str | None = None,
        attrs: Mapping[str, Any] | None = None,
        chunks: Any = None,
        dtype: DType = np.float64,
        tile: Tile = None,
        method: Method = "accurate",
        params: Mapping[str, complex] | None = None,
        **parameters: complex,
    ) -> Any:
        """The values of `expr` as an ``xarray.DataArray`` named `name` (default
        ``"values"``) with the axes as dimensions, their coordinates, and
        attributes naming the formula and the grid, and `attrs` (units...);
        lazy (Dask) with `chunks` (as `to_dask` takes them; see
        :func:`vemiral_grid.labelled.to_xarray`; needs the xarray extra);
        `method` and parameters as for `evaluate`.

        >>> Grid(t=(0, 1, 5)).to_xarray("t**2").sel(t=0.5).item()
        0.25
        >>> Grid(t=(0, 1, 5)).to_xarray("3*t", name="distance", attrs={"units": "km"}).attrs["units"]
        'km'
        """
        return to_xarray(
            self, expr, name=name, attrs=attrs, chunks=chunks, dtype=dtype, tile=tile, method=method,
            params=parameters_of(self, params, parameters, expr, _TO_XARRAY),
        )

    def to_dataset(
        self,
        formulas: Mapping[str, Expression],
        *,
        attrs: Mapping[str, Mapping[str, Any]] | None = None,
        chunks: Any = None,
        dtype: DType = np.float64,
        tile: Tile = None,
        method: Method = "accurate",
        params: Mapping[str, complex] | None = None,
        **parameters: complex,
    ) -> Any:
        """Several formulas on this grid as an ``xarray.Dataset``, one variable per
        name of `formulas` (a mapping of names to formulas), with `attrs` by
        variable name: computed in one pass over the grid's blocks, or lazily
        with `chunks`, each variable bit for bit ``evaluate`` of its formula
        (see :func:`vemiral_grid.labelled.to_dataset`; needs the xarray
        extra); `method` and parameters, shared by the formulas, as for
        `evaluate`. ``to_zarr`` writes the same mapping into a store.

        >>> grid = Grid(x=(0, 1, 3), y=(0, 2, 2))
        >>> flow = grid.to_dataset({"u": "y", "v": "-x"}, attrs={"u": {"units": "m/s"}, "v": {"units": "m/s"}})
        >>> flow["v"].values[:, 0], flow["u"].attrs["units"]
        (array([-0. , -0.5, -1. ]), 'm/s')
        """
        return to_dataset(
            self, formulas, attrs=attrs, chunks=chunks, dtype=dtype, tile=tile, method=method,
            params=parameters_of(self, params, parameters, formulas, _TO_DATASET),
        )

    def to_zarr(
        self,
        expr: Expression | Mapping[str, Expression],
        store: Any,
        *,
        name: str | None = None,
        attrs: Mapping[str, Any] | None = None,
        chunks: int | Sequence[int] | None = None,
        dtype: DType = np.float64,
        tile: Tile = None,
        resume: bool = False,
        overwrite: bool = False,
        client: Any = None,
        progress: bool | Callable[[int, int], object] | None = None,
        method: Method = "accurate",
        params: Mapping[str, complex] | None = None,
        **parameters: complex,
    ) -> Any:
        """Writes the values of `expr` into a Zarr (format 3) store chunk by chunk, in
        parallel here or on a Dask cluster, resumable after an interruption, and
        returns its path; ``xarray.open_zarr`` reads it back as the DataArray of
        `to_xarray` (its variable `name`, default ``"values"``, with `attrs`), or,
        for a mapping of names to formulas, as the Dataset of `to_dataset`, all
        of them written in one pass (see :func:`vemiral_grid.zarrstore.to_zarr`;
        needs the zarr extra); `method` and parameters as for `evaluate`.

        >>> import tempfile, pathlib
        >>> grid = Grid(t=(0, 1, 5))
        >>> path = grid.to_zarr("t**2", pathlib.Path(tempfile.mkdtemp()) / "t.zarr")
        >>> sorted(p.name for p in path.iterdir())
        ['t', 'values', 'zarr.json']
        >>> path = grid.to_zarr({"a": "t", "b": "2*t"}, path, attrs={"b": {"units": "s"}}, overwrite=True)
        >>> sorted(p.name for p in path.iterdir())
        ['a', 'b', 't', 'zarr.json']
        """
        return to_zarr(
            self, expr, store, name=name, attrs=attrs, chunks=chunks, dtype=dtype, tile=tile, resume=resume,
            overwrite=overwrite, client=client, progress=progress, method=method,
            params=parameters_of(self, params, parameters, expr, _TO_ZARR),
        )

    def to_npy(
        self,
        expr: Expression,
        path: Any,
        tile: Tile = None,
        progress: bool | Callable[[int, int], object] | None = None,
        *,
        dtype: DType = np.float64,
        method: Method = "accurate",
        params: Mapping[str, complex] | None = None,
        **parameters: complex,
    ) -> Any:
        """Streams the values of `expr` into a .npy file block by block and returns
        its path (see :func:`vemiral_grid.storage.to_npy`); `method` and
        parameters as for `evaluate`.

        >>> import tempfile, pathlib
        >>> folder = pathlib.Path(tempfile.mkdtemp())
        >>> path = Grid(x=(0, 1, 5)).to_npy("2*x", folder / "line.npy", dtype="float32")
        >>> np.load(path)
        array([0. , 0.5, 1. , 1.5, 2. ], dtype=float32)
        """
        return to_npy(
            self, expr, path, tile=tile, progress=progress, dtype=dtype, method=method,
            params=parameters_of(self, params, parameters, expr, _TO_NPY),
        )


# Each entry point's options, named when a keyword is neither one of them nor a parameter.
_EVALUATE = ("out", "tile", "progress", "dtype", "method", "params")
_REDUCE = ("axis", "tile", "threads", "chunks", "client", "method", "params")
_HISTOGRAM = ("bins", "range", "tile", "threads", "chunks", "client", "method", "params")
_INTEGRATE = ("axis", "rule", "tile", "threads", "chunks", "client", "method", "params")
_TO_DASK = ("chunks", "tile", "dtype", "method", "params")
_TO_XARRAY = ("name", "attrs") + _TO_DASK
_TO_DATASET = ("attrs",) + _TO_DASK
_TO_ZARR = ("name", "attrs", "chunks", "dtype", "tile", "resume", "overwrite", "client", "progress", "method", "params")
_TO_NPY = ("tile", "progress", "dtype", "method", "params")


def _slabs(rows: int, tile_rows: int) -> Iterator[tuple[int, int]]:
    """Runs of whole tile rows along dimension 0, at most about a hundred of them."""
    tiles = -(-rows // tile_rows)
    step = tile_rows * -(-tiles // 100)
    for first in range(0, rows, step):
        yield first, min(step, rows - first)

