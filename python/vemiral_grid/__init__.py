"""Grids by range and expressions as text, SymPy or operators, evaluated by vemiral's chains of recurrences.

>>> from vemiral_grid import Grid
>>> grid = Grid(x=(0, 1, 1000), y=(1, 3, 1000))
>>> values = grid.evaluate("sin(x*y) + cos(x+y)")
"""

from __future__ import annotations

import vemiral

from ._complex import ComplexNode
from ._grid import Axis, Grid
from ._parse import MAX_DEPTH, MAX_LENGTH, parse
from ._plot import save_png
from ._progress import PROGRESS_THRESHOLD
from ._to_sympy import to_sympy  # and gives the nodes the _sympy_ that sympy.sympify calls

# The native module's, which the build takes from the package's metadata:
# reading the metadata here would cost every command line run its import.
__version__: str = vemiral.__version__

__all__ = [
    "MAX_DEPTH", "MAX_LENGTH", "PROGRESS_THRESHOLD", "Axis", "ComplexNode", "Grid", "__version__", "parse", "save_png",
    "to_sympy",
]
