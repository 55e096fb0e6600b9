"""Pictures of evaluated grids with matplotlib (an optional dependency), without touching pyplot's state."""

from __future__ import annotations

import os
from collections.abc import Mapping
from typing import IO, TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    from ._grid import Grid


def save_png(
    grid: Grid,
    values: npt.NDArray[np.floating[Any]],
    target: str | os.PathLike[str] | IO[bytes],
    *,
    at: Mapping[str, int] | None = None,
    title: str | None = None,
    phase: bool = False,
) -> None:
    """Draws `values` (shaped like `grid`) into a PNG: a heat map with the axes'
    coordinates and a colour bar for two dimensions, a line for one; of complex
    values, their modulus, or with `phase` their phase (angle). A grid of more
    dimensions needs the others fixed by index, e.g. `at={"z": 0}`. A path is
    written whole or left as it was (vemiral_grid._files.replacing); an open
    binary file is written as it is.

    >>> import io
    >>> from vemiral_grid import Grid, save_png
    >>> cube = Grid(x=(0, 1, 50), y=(0, 1, 40), z=(0, 1, 3))
    >>> picture = io.BytesIO()
    >>> save_png(cube, cube.evaluate("x*y + z"), picture, at={"z": 1}, title="x*y + z")
    >>> picture.getvalue()[:4]
    b'\x89PNG'
    """
    if values.shape != grid.shape:
        raise ValueError(f"values of shape {values.shape} do not fit a grid of shape {grid.shape}")
    from ._tiles import as_int

    fixed = {name: as_int(index, f"at[{name!r}]") for name, index in (at or {}).items()}
    for name, index in fixed.items():
        if name not in grid.names:
            raise ValueError(f"cannot fix '{name}': the grid's axes are {', '.join(grid.names)}")
        num = grid.shape[grid.names.index(name)]
        if not 0 <= index < num:
            raise ValueError(f"index {index} for axis {name} is outside 0..{num - 1}")
    free = [axis for axis in grid.axes if axis.name not in fixed]
    if not 1 <= len(free) <= 2:
        raise ValueError(
            f"a picture shows one or two dimensions; this one would have {len(free)} "
            f"({', '.join(a.name for a in free) or 'none'}): fix the others by index (--at NAME=INDEX)"
        )
    picked = values[tuple(fixed.get(name, slice(None)) for name in grid.names)]
    if np.iscomplexobj(picked):
        picked = np.angle(picked) if phase else np.abs(picked)
        title = f"{'phase' if phase else 'modulus'} of {title}" if title else None
    elif phase:
        raise ValueError("phase=True draws the phase of complex values; these are real")
    coords = grid.coords
    try:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError:
        raise RuntimeError("pictures need matplotlib: pip install 'vemiral[plot]'") from None

    figure = Figure(figsize=(7.0, 5.5) if len(free) == 2 else (7.0, 4.0), dpi=100)
    FigureCanvasAgg(figure)
    axes = figure.add_subplot()
    if len(free) == 1:
        (axis,) = free
        axes.plot(coords[axis.name], picked, linewidth=1.0)
        axes.set_xlabel(axis.name)
        axes.grid(True, alpha=0.3)
    else:
        first, second = free
        # Dimension 0 runs across, dimension 1 up; each pixel centred on its point.
        image = axes.imshow(
            np.ascontiguousarray(picked.T),
            origin="lower",
            aspect="auto",
            extent=(*_edges(coords[first.name]), *_edges(coords[second.name])),
            interpolation="nearest",
            cmap="twilight" if phase else None,  # a phase wraps around: so do the colours
        )
        axes.set_xlabel(first.name)
        axes.set_ylabel(second.name)
        figure.colorbar(image, ax=axes)
    if title:
        fixed_text = ", ".join(f"{name}={coords[name][index]:.6g}" for name, index in fixed.items())
        axes.set_title(title + (f"  ({fixed_text})" if fixed_text else ""))
    if isinstance(target, str | os.PathLike):
        from ._files import replacing

        with replacing(target) as (staged,):
            figure.savefig(staged.file, format="png")
    else:
        figure.savefig(target, format="png")


def _edges(coordinates: npt.NDArray[np.float64]) -> tuple[float, float]:
    half = (coordinates[1] - coordinates[0]) / 2 if len(coordinates) > 1 else 0.5
    half = half or 0.5
    return float(coordinates[0] - half), float(coordinates[-1] + half)
