"""Grids as xarray DataArrays and Datasets: the values with their axes' names and
coordinates, a name, and attributes that say what was computed and what the
caller adds (units...) (needs the package's xarray extra).

The same names and descriptions go into the Zarr stores of
:mod:`vemiral_grid.zarrstore`, so that a store read back with
``xarray.open_zarr`` holds the DataArray that :func:`to_xarray` gives, or the
Dataset of :func:`to_dataset`.
"""

from __future__ import annotations

import hashlib
import numbers
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

import vemiral

from . import _options, _sympy
from ._complex import as_node, parts_of
from ._complex_values import value_dtype
from ._formula import Expression, parameters_of, prepared
from ._options import Method, method_of
from ._tiles import tile_edges
from ._values import Node, check_storable, evaluate_each, output_dtype

if TYPE_CHECKING:
    import xarray

    from ._grid import Grid

# The name of the values, as a variable of a Dataset and as the store's array,
# unless the caller names them.
NAME = "values"
# The attributes `describe` writes: what the values are, which a caller's own
# attributes cannot replace.
DESCRIBED = ("formula", "parameters", "formula_sha256", "grid", "tile", "method", "generated_by")


def to_xarray(
    grid: Grid,
    expr: Expression,
    *,
    name: str | None = None,
    attrs: Mapping[str, Any] | None = None,
    chunks: Any = None,
    dtype: Any = np.float64,
    tile: int | Sequence[int] | None = None,
    method: Method = "accurate",
    params: Mapping[str, float] | None = None,
    **parameters: float,
) -> xarray.DataArray:
    """The values of `expr` as an ``xarray.DataArray`` named `name` (by default
    ``"values"``; see :func:`check_names`).

    Its dimensions are the grid's axis names, its coordinates ``grid.coords``
    (start + i*step along each axis, where the values were computed), and its
    attributes say what it holds (see :func:`describe`), so a file written from
    it explains itself; `attrs` (units, a long name: see :func:`labels`) are
    stored beside them. Without `chunks` the data is a NumPy array from
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
    >>> values.name, values.dims, values.sel(x=0.5, y=20.0).item()
    ('values', ('x', 'y'), 20.5)
    >>> values.attrs["formula"], values.attrs["grid"]
    ('x + y', 'Grid.from_steps(x=(0.0, 0.5, 3), y=(10.0, 10.0, 2))')
    >>> height = to_xarray(grid, "x*y", name="height", attrs={"units": "m"})
    >>> height.name, height.attrs["units"], height.attrs["formula"]
    ('height', 'm', 'x*y')
    >>> to_xarray(grid, "x + y", chunks=2, dtype="float32").chunks
    ((2, 1), (2,))
    >>> to_xarray(grid, "x + y", chunks={"x": 1}).chunks
    ((1, 1, 1), (2,))
    """
    import xarray as xr

    if isinstance(expr, Mapping):
        raise TypeError("to_xarray takes one formula: several, named by a mapping, make a Dataset (to_dataset)")
    values = parameters_of(
        grid, params, parameters, expr, ("name", "attrs", "chunks", "dtype", "tile", "method", "params")
    )
    ((label, (_, own)),) = variables_of(grid, expr, name, attrs).items()
    method = method_of(method)
    kind = output_dtype(dtype)
    edges = tile_edges(tile, grid.ndim, method, grid.shape)
    node = grid.expression(expr, values)
    data: Any
    if chunks is None:
        data = grid.evaluate(node, tile=edges, dtype=kind, method=method)
    else:
        data = grid.to_dask(node, chunks=chunks, tile=edges, dtype=kind, method=method)
    described = describe(grid, expr, node, edges, values, method) | own
    return xr.DataArray(data, dims=grid.names, coords=grid.coords, name=label, attrs=described)


def to_dataset(
    grid: Grid,
    formulas: Mapping[str, Expression],
    *,
    attrs: Mapping[str, Mapping[str, Any]] | None = None,
    chunks: Any = None,
    dtype: Any = np.float64,
    tile: int | Sequence[int] | None = None,
    method: Method = "accurate",
    params: Mapping[str, float] | None = None,
    **parameters: float,
) -> xarray.Dataset:
    """Several formulas on one grid as an ``xarray.Dataset``: one variable per
    entry of `formulas` (a mapping of names, see :func:`check_names`, to
    formulas), each as :func:`to_xarray` would give it, over the grid's
    coordinates. `attrs` maps a variable's name to its own attributes (a name
    left out has none but :func:`describe`'s). The parameters, `tile`, `dtype`
    and `method` are shared by every formula.

    Without `chunks` the values are computed here in one pass over the grid's
    blocks, each block evaluated for every formula before the next; with
    `chunks` each variable is a lazy Dask array of its own (as
    ``grid.to_dask`` makes it), so that reading one computes that one alone.
    Either way each variable holds ``grid.evaluate`` of its formula, bit for
    bit.

    >>> from vemiral_grid import Grid
    >>> from vemiral_grid.labelled import to_dataset
    >>> grid = Grid(x=(0, 1, 3), y=(10, 20, 2))
    >>> wind = to_dataset(grid, {"u": "k*x", "v": "y - x"}, k=2, attrs={"u": {"units": "m/s"}})
    >>> sorted(wind.data_vars), wind["u"].attrs["units"], wind["v"].sel(x=0.5, y=20.0).item()
    (['u', 'v'], 'm/s', 19.5)
    >>> to_dataset(grid, {"u": "x", "v": "y"}, chunks={"x": 2})["v"].chunks
    ((2, 1), (2,))
    """
    import xarray as xr

    if not isinstance(formulas, Mapping):
        raise TypeError(
            f"formulas must be a mapping of variable names to formulas, not {type(formulas).__name__} "
            "(one formula makes a DataArray: to_xarray)"
        )
    variables = variables_of(grid, formulas, None, attrs)
    values = parameters_of(grid, params, parameters, formulas, ("attrs", "chunks", "dtype", "tile", "method", "params"))
    method = method_of(method)
    kind = output_dtype(dtype)
    edges = tile_edges(tile, grid.ndim, method, grid.shape)
    # Every formula is refused or taken before any value is computed.
    nodes = {label: prepared(grid, formula, edges, values, method) for label, (formula, _) in variables.items()}
    data: dict[str, Any]
    if chunks is None:
        kinds = {label: value_dtype(kind, node) for label, node in nodes.items()}  # complex for a complex formula
        check_storable(grid.size * len(nodes), "to_dataset", max(k.itemsize for k in kinds.values()))
        data = {label: np.empty(grid.shape, dtype=kinds[label]) for label in nodes}
        evaluate_each(list(nodes.values()), list(data.values()), edges, method)
    else:
        data = {
            label: grid.to_dask(node, chunks=chunks, tile=edges, dtype=kind, method=method)
            for label, node in nodes.items()
        }
    return xr.Dataset(
        {
            label: (grid.names, data[label], describe(grid, formula, nodes[label], edges, values, method) | own)
            for label, (formula, own) in variables.items()
        },
        coords=grid.coords,
    )


def variables_of(
    grid: Grid, formulas: object, name: object = None, attrs: object = None
) -> dict[str, tuple[Any, dict[str, Any]]]:
    """The variables a call asks for, by name: each its formula and its caller's
    attributes. One formula is named `name` (None: "values") and has `attrs`;
    a mapping of names to formulas names its own (with `name` None) and takes
    `attrs` by name. Names are checked by :func:`check_names`, attributes by
    :func:`labels`."""
    if not isinstance(formulas, Mapping):
        return {check_names(grid, NAME if name is None else name): (formulas, labels(attrs))}
    if name is not None:
        raise TypeError("name names the variable of one formula: a mapping of formulas names its own")
    if not formulas:
        raise ValueError("formulas: give at least one name and its formula")
    if attrs is not None and not isinstance(attrs, Mapping):
        raise TypeError(f"attrs must be a mapping of variable names to attributes, not {type(attrs).__name__}")
    unknown = [key for key in attrs or {} if key not in formulas]
    if unknown:
        raise ValueError(f"attrs: {unknown[0]!r} is not the name of a formula ({', '.join(map(repr, formulas))})")
    by_name = attrs or {}
    return {
        check_names(grid, label): (formula, labels(by_name.get(label), f"attrs[{label!r}]"))
        for label, formula in formulas.items()
    }


def check_names(grid: Grid, name: object = NAME) -> str:
    """`name` as the name of a variable of values on `grid`: a string that xarray
    keeps and Zarr stores as an array's name (not empty, printable, at most 255
    bytes, without '/', not beginning with '.' or '__', not 'zarr.json'),
    and no axis's name (TypeError or ValueError otherwise).

    >>> from vemiral_grid import Grid
    >>> from vemiral_grid.labelled import check_names
    >>> check_names(Grid(x=(0, 1, 3)), "temperature")
    'temperature'
    >>> check_names(Grid(x=(0, 1, 3)), "x")
    Traceback (most recent call last):
    ...
    ValueError: the variable 'x' would clash with the axis of that name: rename the axis or name the values otherwise
    """
    if not isinstance(name, str):
        raise TypeError(f"name must be a string, not {type(name).__name__}")
    problem = _name_problem(name)
    if problem:
        raise ValueError(f"{name!r} cannot name a variable of values: {problem}")
    if name in grid.names:
        raise ValueError(
            f"the variable {name!r} would clash with the axis of that name: "
            "rename the axis or name the values otherwise"
        )
    return name


def _name_problem(name: str) -> str | None:
    if not name:
        return "it is empty"
    if not name.isprintable():
        return "it holds a character that is not printable"
    if "/" in name:
        return "Zarr reads '/' as a path"
    if name.startswith(("__", ".")) or name == "zarr.json":
        return "Zarr reserves names beginning with '__', and a store's own files begin with '.' or are 'zarr.json'"
    if len(name.encode()) > 255:
        return "it is longer than a file name may be (255 bytes)"
    return None


def labels(attrs: object, what: str = "attrs") -> dict[str, Any]:
    """A caller's attributes of a variable as they are stored: a mapping of names
    (strings, none of the :data:`DESCRIBED` ones) to strings, finite numbers,
    or lists of them, so that they keep their form in Zarr and netCDF files
    (NumPy's and SymPy's numbers become Python's, tuples lists). Anything else
    is a TypeError or ValueError naming `what` and the attribute.

    >>> from vemiral_grid.labelled import labels
    >>> labels({"units": "m/s", "valid_range": (0, np.float32(1.5))})
    {'units': 'm/s', 'valid_range': [0, 1.5]}
    """
    if attrs is None:
        return {}
    if not isinstance(attrs, Mapping):
        raise TypeError(f"{what} must be a mapping of attribute names to values, not {type(attrs).__name__}")
    stored: dict[str, Any] = {}
    for key, value in attrs.items():
        if not isinstance(key, str):
            raise TypeError(f"{what}: an attribute's name is a string, not {type(key).__name__} {key!r}")
        if key in DESCRIBED:
            raise ValueError(f"{what}: {key!r} is an attribute vemiral writes itself (what the values are)")
        if isinstance(value, Sequence | np.ndarray) and not isinstance(value, str | bytes):
            items = value.tolist() if isinstance(value, np.ndarray) else list(value)
            stored[key] = [_attribute(item, f"{what}[{key!r}]") for item in items]
        else:
            stored[key] = _attribute(value, f"{what}[{key!r}]")
    return stored


def _attribute(value: object, what: str) -> str | int | float:
    if isinstance(value, str):
        return value
    if isinstance(value, numbers.Integral) and not isinstance(value, bool | np.bool_):
        return int(value)
    try:
        number = _options.real(value)
    except (TypeError, ValueError):
        raise TypeError(
            f"{what} must be a string, a finite number or a list of them, not {type(value).__name__}"
        ) from None
    if not np.isfinite(number):
        raise ValueError(f"{what} must be a finite number, not {number}")
    return number


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
        parts = [tree_digest(as_node(part)) for part in parts_of(root)]
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
