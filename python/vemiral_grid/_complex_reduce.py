"""Reductions of complex values: each from the same reduction of the real and
imaginary parts, as NumPy defines it for complex arrays.

A sum, a mean and an integral are the real part's plus i times the imaginary
part's; a variance is the sum of the parts' variances (the mean of |z - mean|^2,
NumPy's); the NaN-skipping ones skip a value whose real or imaginary part is
NaN, as NumPy does, by making both parts NaN there; any, all and
count_nonzero count a value nonzero when either part is. Complex values have
no order: the extrema, their places, ranges, medians, quantiles and
histograms are refused (TypeError), and so is a product (ValueError), which
is not computed for them.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

import vemiral

from ._complex import parts_of

if TYPE_CHECKING:
    from ._grid import Grid

_ORDERED = ("min", "max", "argmin", "argmax", "nanmin", "nanmax", "ptp", "median", "quantile", "histogram")
_BY_PARTS = ("sum", "mean", "nansum", "nanmean")
_VARIANCES = ("var", "std", "nanvar", "nanstd")
_NONZERO = ("any", "all", "count_nonzero")


def refuse_ordered(name: str) -> TypeError:
    return TypeError(
        f"{name} of complex values: complex values have no order (reduce abs(), real(), imag() or angle() of them)"
    )


def reduce(grid: Grid, node: object, how: Any, axis: Any, **options: Any) -> Any:
    """`how` (as Grid.reduce takes it) of complex values over `axis`, from
    reductions of their parts (`options` as for Grid.reduce)."""
    from . import _stats

    single = isinstance(how, str | _stats.Asked)
    asks = [name if isinstance(name, _stats.Asked) else _stats.Asked(name) for name in ((how,) if single else how)]
    known = _BY_PARTS + _VARIANCES + _NONZERO
    for asked in asks:  # every refusal before any pass
        if asked.name not in known + _ORDERED + ("prod",):
            grid.reduce(0.0, asked.name, axis)  # the real reductions' own refusal of the name
        if asked.name in _ORDERED:
            raise refuse_ordered(asked.name)
        if asked.name == "prod":
            raise ValueError("prod of complex values is not computed: evaluate them and use numpy.prod")
    results = tuple(_one(grid, node, asked, axis, options) for asked in asks)
    return results[0] if single else results


def _one(grid: Grid, node: object, asked: Any, axis: Any, options: dict[str, Any]) -> Any:
    name = asked.name
    re, im = (_node(part) for part in parts_of(node))
    if name in _NONZERO:
        nonzero = vemiral.logical_or(vemiral.not_equal(re, 0.0), vemiral.not_equal(im, 0.0))
        return grid.reduce(nonzero, asked, axis, **options)
    if name.startswith("nan"):
        # A value is NaN when either part is: both parts are NaN there.
        missing = vemiral.logical_or(vemiral.not_equal(re, re), vemiral.not_equal(im, im))
        re, im = (vemiral.where(missing, np.nan, part) for part in (re, im))
    if name in _BY_PARTS:
        return combined(grid.reduce(re, asked, axis, **options), grid.reduce(im, asked, axis, **options))
    if name in _VARIANCES:
        from . import _stats

        variance = _stats.Asked("nanvar" if name.startswith("nan") else "var", ddof=asked.ddof)
        asked_variance: Any = variance  # a statistic with its parameters, as Grid's own methods pass it
        total = grid.reduce(re, asked_variance, axis, **options) + grid.reduce(im, asked_variance, axis, **options)
        return np.sqrt(total) if name.endswith("std") else total
    raise AssertionError(name)


def combined(real: Any, imag: Any) -> Any:
    """real + i imag: NumPy's complex128 scalar, or an array."""
    out = np.empty(np.shape(real), dtype=np.complex128)
    out.real, out.imag = real, imag  # set, not added: no 0*inf of a product by 1j
    return out[()] if out.ndim == 0 else out


def _node(part: Any) -> vemiral.ASTnode:
    return vemiral.ASTnum(part) if isinstance(part, float) else part
