"""Grids as xarray DataArrays: the values with their axes' names and coordinates,
and attributes that say what was computed (needs the package's xarray extra).

The same description goes into the Zarr stores of :mod:`vemiral_grid.zarrstore`,
so that a store read back with ``xarray.open_zarr`` is the DataArray that
:func:`to_xarray` gives.
"""

from __future__ import annotations

import hashlib
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

import vemiral

from . import _sympy
from ._complex import parts_of
from ._options import Method, method_of
from ._tiles import tile_edges
from ._values import Node
from ._values import output_dtype

if TYPE_CHECKING:
    import xarray

    from ._grid import Expression, Grid

# The name of the values, as a variable of a Dataset and as the store's array.
NAME = "values"


def to_xarray(
    grid: Grid,
    expr: Expression,
    *,
    chunks: Any = None,
    dtype: Any = np.float64,
    tile: int | Sequence[int] | None = None,
    method: Method = "accurate",
    params: Mapping[str, float] | None = None,
    **parameters: float,
) -> xarray.DataArray:
    """The values of `expr` as an ``xarray.DataArray`` named ``"values"``.

    Its dimensions are the grid's axis names, its coordinates ``grid.coords``
    (start + i*step along each axis, where the values were computed), and its
    attributes say what it holds (see :func:`describe`), so a file written from
    it explains itself. Without `chunks` the data is a NumPy array from
    ``grid.evaluate``; with `chunks` (as ``grid.to_dask`` takes them: anything
    Dask accepts, or a mapping by axis name as xarray takes it) it is a lazy
    Dask array from ``grid.to_dask``, each block computed when asked for.
    Either way the values are those of ``grid.evaluate(expr, tile=tile,
    dtype=dtype, method=method)``, bit for bit. `method` and the formula's
    parameters are given as for ``Grid.evaluate``.

    >>> from vemiral_grid import Grid
    >>> from vemiral_grid.labelled import to_xarray
    >>> grid = Grid(x=(0, 1, 3), y=(10, 20, 2))
    >>> values = to_xarray(grid, "x + y")
    >>> values.dims, values.sel(x=0.5, y=20.0).item()
    (('x', 'y'), 20.5)
    >>> values.attrs["formula"], values.attrs["grid"]
    ('x + y', 'Grid.from_steps(x=(0.0, 0.5, 3), y=(10.0, 10.0, 2))')
    >>> to_xarray(grid, "x + y", chunks=2, dtype="float32").chunks
    ((2, 1), (2,))
    >>> to_xarray(grid, "x + y", chunks={"x": 1}).chunks
    ((1, 1, 1), (2,))
    """
    import xarray as xr

    from ._grid import parameters_of

    values = parameters_of(grid, params, parameters, expr, ("chunks", "dtype", "tile", "method", "params"))
    method = method_of(method)
    kind = output_dtype(dtype)
    edges = tile_edges(tile, grid.ndim, method, grid.shape)
    node = grid.expression(expr, values)
    check_names(grid)
    data: Any
    if chunks is None:
        data = grid.evaluate(node, tile=edges, dtype=kind, method=method)
    else:
        data = grid.to_dask(node, chunks=chunks, tile=edges, dtype=kind, method=method)
    attrs = describe(grid, expr, node, edges, values, method)
    return xr.DataArray(data, dims=grid.names, coords=grid.coords, name=NAME, attrs=attrs)


def check_names(grid: Grid) -> None:
    if NAME in grid.names:
        raise ValueError(f"an axis named '{NAME}' would clash with the name of the values: rename the axis")


def describe(
    grid: Grid,
    expr: Expression,
    node: Node,
    tile: Sequence[int],
    parameters: Mapping[str, complex] | None = None,
    method: Method = "accurate",
) -> dict[str, Any]:
    """The attributes of the values: strings and a list of ints, so that they
    keep their form in Zarr and netCDF files alike.

    - ``formula``: the text given, or the SymPy expression or the node as text;
    - ``parameters``: where the formula has any, their values as ``w=0.3, k=2.0``
      (each float exact);
    - ``formula_sha256``: a digest of the tree itself (kinds, operations, numbers
      and variables, however the tree shares its parts), the same for every
      way of writing one tree;
    - ``grid``: the grid as ``Grid.from_steps(...)``, exact to the last bit;
    - ``tile``: the tile edges the values were computed with;
    - ``method``: the method of ``evaluate`` that computed them;
    - ``generated_by``: ``vemiral`` and its version.

    >>> from vemiral_grid import Grid
    >>> from vemiral_grid.labelled import describe
    >>> grid = Grid(x=(0, 1, 5))
    >>> a, b = (describe(grid, e, grid.expression(e), [4000]) for e in ("2*x", "2 * x"))
    >>> a["formula_sha256"] == b["formula_sha256"], a["tile"]
    (True, [4000])
    """
    if isinstance(expr, str):
        text = expr
    elif _sympy.is_sympy(expr):
        text = str(expr)
    else:
        text = repr(node)
    described: dict[str, Any] = {"formula": text}
    if parameters:
        described["parameters"] = ", ".join(f"{name}={value!r}" for name, value in parameters.items())
    return described | {
        "formula_sha256": tree_digest(node),
        "grid": grid_text(grid),
        "tile": [int(t) for t in tile],
        "method": method,
        "generated_by": f"vemiral {vemiral.__version__}",
    }


def grid_text(grid: Grid) -> str:
    """The grid as the call that builds it again, start and step exact (repr of a
    float reads back as the same float)."""
    axes = ", ".join(f"{a.name}=({a.start!r}, {a.step!r}, {a.num})" for a in grid.axes)
    return f"Grid.from_steps({axes})"


def tree_digest(root: Node) -> str:
    """SHA-256 of the tree's structure, bottom-up with one digest per distinct
    node, so a tree that shares its parts costs as many steps as it has nodes;
    a complex expression's is the digest of its two parts'."""
    if not isinstance(root, vemiral.ASTnode):
        parts = [tree_digest(part if isinstance(part, vemiral.ASTnode) else vemiral.ASTnum(part))
                 for part in parts_of(root)]
        return hashlib.sha256(("complex " + " ".join(parts)).encode()).hexdigest()
    digests: dict[int, bytes] = {}
    keep: list[vemiral.ASTnode] = []  # ids stay valid while the nodes live
    stack: list[tuple[vemiral.ASTnode, bool]] = [(root, False)]
    while stack:
        node, ready = stack.pop()
        if id(node) in digests:
            continue
        children = _children(node)
        if not ready and any(id(child) not in digests for child in children):
            stack.append((node, True))
            stack.extend((child, False) for child in children)
            continue
        if isinstance(node, vemiral.ASTnum):
            own = f"num {float(node.value).hex()}"
        elif isinstance(node, vemiral.ASTvar):
            own = f"var {node.index} {float(node.start).hex()} {float(node.step).hex()}"
        elif isinstance(node, vemiral.ASTbin):
            own = f"bin {int(vemiral.ASTbin.op.__get__(node))}"
        elif isinstance(node, vemiral.ASTfun):
            own = f"fun {int(vemiral.ASTfun.op.__get__(node))}"
        else:
            own = f"un {int(vemiral.ASTun.op.__get__(node))}"
        digests[id(node)] = hashlib.sha256(own.encode() + b"".join(digests[id(c)] for c in children)).digest()
        keep.append(node)
    return digests[id(root)].hex()


def _children(node: vemiral.ASTnode) -> list[vemiral.ASTnode]:
    # Through the class: an instance attribute named left or child may shadow the field.
    if isinstance(node, vemiral.ASTbin):
        return [vemiral.ASTbin.left.__get__(node), vemiral.ASTbin.right.__get__(node)]
    if isinstance(node, vemiral.ASTun):
        return [vemiral.ASTun.child.__get__(node)]
    if isinstance(node, vemiral.ASTfun):
        return list(vemiral.ASTfun.arguments.__get__(node))
    return []
