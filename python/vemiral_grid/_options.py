"""What every entry point reads alike: the method, numbers (NumPy's and SymPy's
scalars among them), chunks by dimension name, and the refusal of a keyword
that is neither an option nor a parameter of the formula."""

from __future__ import annotations

import difflib
import numbers
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any, Literal, TypeAlias, cast

from . import _sympy

if TYPE_CHECKING:
    from ._grid import Grid

Method: TypeAlias = Literal["accurate", "recurrence"]
METHODS = ("accurate", "recurrence")


def method_of(method: object) -> Method:
    """The method's name, "accurate" or "recurrence"; anything else is a ValueError
    (before any work, where the native module would refuse it only at the first block)."""
    if not isinstance(method, str) or method not in METHODS:
        raise ValueError(f"method must be 'accurate' or 'recurrence', not {method!r}")
    return cast(Method, method)


def accurate_only(method: object, what: str) -> None:
    """Refuses (ValueError) any method but "accurate" for `what`, which runs that method alone."""
    if method_of(method) != "accurate":
        raise ValueError(
            f"method={method!r}: {what} run the accurate method only (evaluate the values with "
            f"method={method!r} and reduce them with NumPy)"
        )


def real(value: object) -> float:
    """The float of a real number: a Python or NumPy number, a SymPy number
    (`pi`, `E`, `Rational(1, 3)`, `sqrt(2)`), or anything numbers.Real takes.
    TypeError for anything else (bools, arrays, text, complex numbers, SymPy
    expressions with symbols); ValueError for a number beyond every float.
    Finiteness is the caller's to judge."""
    if isinstance(value, bool):
        raise TypeError("bool")
    number: Any = value
    if not isinstance(value, numbers.Real) and not (
        _sympy.is_sympy(value) and number.is_number and number.is_extended_real
    ):
        raise TypeError(type(value).__name__)
    try:
        return float(number)
    except OverflowError:
        raise ValueError("too large for a float") from None


def unexpected(name: str, options: Sequence[str]) -> TypeError:
    """The refusal of a keyword that is no option and that the formula does not name."""
    close = difflib.get_close_matches(name, options, n=1)
    hint = f" (did you mean {close[0]}=?)" if close else ""
    listed = f" ({', '.join(options)})" if options else ""
    return TypeError(
        f"unexpected keyword argument '{name}'{hint}: no option{listed}, and the formula names no such parameter"
    )


def by_dimension(grid: Grid, chunks: Any) -> Any:
    """`chunks` with a mapping's axis names turned into dimension numbers, as
    xarray takes them ({"x": 100}; a dimension left out is one block); anything
    else as it is, for Dask or Zarr to read."""
    if isinstance(chunks, bool):
        raise ValueError("chunks must be an int, a tuple per dimension, 'auto' or a mapping by axis name, not bool")
    if not isinstance(chunks, Mapping):
        return chunks
    dims: dict[int, Any] = {}
    for key, value in chunks.items():
        if isinstance(key, str):
            if key not in grid.names:
                raise ValueError(f"chunks: {key!r} is not an axis of the grid ({', '.join(grid.names)})")
            dim = grid.names.index(key)
        elif isinstance(key, bool) or not hasattr(key, "__index__"):
            raise ValueError(f"chunks: a key is an axis name or a dimension number, not {type(key).__name__}")
        else:
            dim = key.__index__()
            if not -grid.ndim <= dim < grid.ndim:
                raise ValueError(f"chunks: dimension {dim} is out of range for a grid of {grid.ndim} dimensions")
            dim %= grid.ndim
        if dim in dims:
            raise ValueError(f"chunks: {key!r} names dimension {dim} ({grid.names[dim]}) a second time")
        dims[dim] = value
    return dims
