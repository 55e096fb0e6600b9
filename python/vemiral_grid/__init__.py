"""Grids by range and expressions as text, SymPy or operators, evaluated by vemiral's chains of recurrences.

>>> from vemiral_grid import Grid
>>> grid = Grid(x=(0, 1, 1000), y=(1, 3, 1000))
>>> values = grid.evaluate("sin(x*y) + cos(x+y)")
"""

from __future__ import annotations

from importlib.metadata import PackageNotFoundError, version

from ._complex import ComplexNode
from ._grid import Axis, Grid
from ._parse import MAX_DEPTH, MAX_LENGTH, parse
from ._plot import save_png
from ._progress import PROGRESS_THRESHOLD
from ._to_sympy import to_sympy  # and gives the nodes the _sympy_ that sympy.sympify calls

try:
    __version__ = version("vemiral")
except PackageNotFoundError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = [
    "MAX_DEPTH", "MAX_LENGTH", "PROGRESS_THRESHOLD", "Axis", "ComplexNode", "Grid", "__version__", "parse", "save_png",
    "to_sympy",
]
