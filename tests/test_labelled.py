"""Labelled values: a variable's name and attributes through to_xarray and
to_zarr, read back with xarray; several formulas on one grid as a Dataset
and as one store, each variable evaluate's values bit for bit, resumed after
an interruption; and the names and attributes refused, before anything is
written."""

import os
import shutil

import numpy as np
import pytest
import sympy

import vemiral as vm
from vemiral_grid import Grid, _values, zarrstore

from helpers import interrupt_after, store_files

xr = pytest.importorskip("xarray")
zarr = pytest.importorskip("zarr")


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


GRID = Grid(x=(0.0, 2.0, 41), y=(-1.0, 1.0, 33))

# name=, attrs= given, and the name and the caller's attributes the variable then has.
LABELS = {
    "default": ({}, "values", {}),
    "units": (dict(name="height", attrs={"units": "m", "long_name": "height above the plane"}), "height",
              {"units": "m", "long_name": "height above the plane"}),
    "numbers and lists": (dict(name="h", attrs={"scale": np.float32(0.5), "count": np.int64(3),
                                                "valid_range": (0, 2.5), "flags": ["a", "b"]}),
                          "h", {"scale": 0.5, "count": 3, "valid_range": [0, 2.5], "flags": ["a", "b"]}),
    "SymPy and NumPy numbers": (dict(attrs={"third": sympy.Rational(1, 3), "edges": np.array([1.0, 2.0])}),
                                "values", {"third": 1 / 3, "edges": [1.0, 2.0]}),
    "not ASCII, a space": (dict(name="température de l'air", attrs={"units": "°C"}), "température de l'air",
                           {"units": "°C"}),
}
READS = {
    "to_xarray": lambda grid, expr, path, options: grid.to_xarray(expr, **options),
    "to_xarray chunks": lambda grid, expr, path, options: grid.to_xarray(expr, chunks=(16, 32), **options),
    "to_zarr": lambda grid, expr, path, options: xr.open_zarr(grid.to_zarr(expr, path, chunks=16, **options))[
        options.get("name", "values")],
}


@pytest.mark.parametrize("read", READS.values(), ids=READS.keys())
@pytest.mark.parametrize("options, name, own", LABELS.values(), ids=LABELS.keys())
def test_a_name_and_attributes_are_the_variables_own(options, name, own, read, tmp_path):
    expr = "sin(x*y) + k"
    array = read(GRID, expr, tmp_path / "v.zarr", options | dict(k=0.5))
    assert array.name == name and array.dims == GRID.names
    assert {key: array.attrs[key] for key in own} == own
    # What the values are stays recorded beside them.
    assert array.attrs["formula"] == expr and array.attrs["parameters"] == "k=0.5"
    assert eval(array.attrs["grid"], {"Grid": Grid}).axes == GRID.axes
    assert same_bits(array.values, GRID.evaluate(expr, k=0.5))


@pytest.mark.parametrize("options, name, own", LABELS.values(), ids=LABELS.keys())
def test_a_store_reads_back_as_the_dataarray(options, name, own, tmp_path):
    stored = xr.open_zarr(GRID.to_zarr("x - y", tmp_path / "v.zarr", **options))
    xr.testing.assert_identical(stored[name].compute(), GRID.to_xarray("x - y", **options))


GRIDS = {
    "1-D": Grid.from_steps(t=(0.0, 1e-3, 5003)),
    "2-D": Grid(x=(0.0, 2.0, 301), y=(-1.0, 1.0, 257)),
    "3-D": Grid.from_steps(x=(0.0, 0.1, 13), y=(1.0, 0.2, 17), z=(-1.0, 0.05, 31)),
}


def formulas(grid):
    """Formulas of every kind over the grid's axes, sharing the parameters k and w."""
    first, last = grid.names[0], grid.names[-1]
    symbol = sympy.Symbol(first)
    return {
        "text": f"sin(k*{first}) * exp(-{last}/w)",
        "node": vm.cos(grid.variables[last]) + 1,
        "callable": lambda **axes: axes[first] * axes["w"] - axes[last],
        "sympy": sympy.sqrt(symbol**2 + 1) * sympy.Symbol("k"),
    }


@pytest.fixture
def small_blocks(monkeypatch):
    # Blocks of 1000 points: every grid here is evaluated in many blocks, some cut inside tiles.
    monkeypatch.setattr(_values, "BLOCK_POINTS", 1000)


@pytest.mark.parametrize("method, dtype", [("accurate", np.float64), ("recurrence", np.float64),
                                           ("accurate", np.float32), ("recurrence", np.float32)])
@pytest.mark.parametrize("grid", GRIDS.values(), ids=GRIDS.keys())
def test_a_dataset_holds_evaluate_of_every_formula(grid, method, dtype, small_blocks, tmp_path):
    given = formulas(grid)
    options = dict(method=method, dtype=dtype, tile=16)
    # Shared parameters: one in a mapping, one as a keyword that some formulas name.
    dataset = grid.to_dataset(given, attrs={"text": {"units": "m"}}, params={"k": 3.0}, w=0.25, **options)
    lazy = grid.to_dataset(given, chunks=100, params={"k": 3.0}, w=0.25, **options)
    stored = xr.open_zarr(grid.to_zarr(given, tmp_path / "s.zarr", chunks=50, attrs={"text": {"units": "m"}},
                                       params={"k": 3.0}, w=0.25, **options))
    assert sorted(dataset.data_vars) == sorted(given) and dict(dataset.sizes) == dict(zip(grid.names, grid.shape))
    both = {"k": 3.0, "w": 0.25}
    for name, formula in given.items():
        alone = grid.evaluate(formula, params=both, **options)
        assert same_bits(dataset[name].values, alone), name
        assert same_bits(lazy[name].values, alone), name
        assert same_bits(stored[name].values, alone), name
        own = {"units": "m"} if name == "text" else None
        alone = grid.to_xarray(formula, name=name, attrs=own, params=both, **options)
        xr.testing.assert_identical(dataset[name], alone)
    xr.testing.assert_identical(stored.compute(), dataset)


def test_one_pass_gives_each_formula_once_per_block(small_blocks):
    # The same formula twice, and one that differs only in its constant: the
    # pass hands every block to each in turn and keeps their arrays apart.
    grid = GRIDS["2-D"]
    dataset = grid.to_dataset({"a": "x*y", "b": "x*y", "c": "x*y + 1"})
    assert same_bits(dataset["a"].values, dataset["b"].values)
    assert same_bits(dataset["c"].values, grid.evaluate("x*y + 1"))


# Each refusal: the formula or formulas, the options, the error and words of its message.
# A single formula goes to to_xarray and to_zarr, a mapping to to_dataset and to_zarr.
REFUSALS = {
    "a name that is no string": ("x", dict(name=3), TypeError, "name must be a string, not int"),
    "an empty name": ("x", dict(name=""), ValueError, "it is empty"),
    "a name with a slash": ("x", dict(name="u/v"), ValueError, "Zarr reads '/' as a path"),
    "a name Zarr reserves": ("x", dict(name="__u"), ValueError, "reserves names beginning with '__'"),
    "a hidden name": ("x", dict(name=".u"), ValueError, "begin with '.'"),
    "the store's own file": ("x", dict(name="zarr.json"), ValueError, "'zarr.json'"),
    "a line break": ("x", dict(name="u\nv"), ValueError, "not printable"),
    "a name too long for a file": ("x", dict(name="é" * 128), ValueError, "255 bytes"),
    "the name of an axis": ("x", dict(name="y"), ValueError, "'y' would clash with the axis"),
    "the default name on an axis": ("x", dict(), ValueError, "'values' would clash with the axis"),
    # (The grid has an axis named 'values': a lone formula with attrs is named u.)
    "attrs that are no mapping": ("x", dict(name="u", attrs=[("units", "m")]), TypeError, "attrs must be a mapping"),
    "an attribute vemiral writes": ("x", dict(name="u", attrs={"formula": "mine"}), ValueError,
                                    "'formula' is an attribute vemiral"),
    "an attribute's name no string": ("x", dict(name="u", attrs={1: "m"}), TypeError,
                                      "an attribute's name is a string"),
    "an attribute that is no number": ("x", dict(name="u", attrs={"when": {"day": 1}}), TypeError,
                                       r"attrs\['when'\] must be"),
    "a bool": ("x", dict(name="u", attrs={"flag": True}), TypeError, r"attrs\['flag'\] must be a string, a finite"),
    "a NaN": ("x", dict(name="u", attrs={"fill": float("nan")}), ValueError, "must be a finite number, not nan"),
    "a list of lists": ("x", dict(name="u", attrs={"m": [[1, 2]]}), TypeError, r"attrs\['m'\] must be"),
    "no formula": ({}, dict(), ValueError, "at least one name"),
    "a variable named as an axis": ({"u": "x", "x": "y"}, dict(), ValueError, "'x' would clash with the axis"),
    "a variable's bad name": ({"u": "x", "a/b": "y"}, dict(), ValueError, "'/'"),
    # to_dataset takes no name=: it is a parameter no formula names.
    "name= with a mapping": ({"u": "x"}, dict(name="u"), TypeError, "mapping of formulas names its own|'name'"),
    "attrs of no variable": ({"u": "x"}, dict(attrs={"v": {"units": "m"}}), ValueError, "'v' is not the name of"),
    "attrs by name no mapping": ({"u": "x"}, dict(attrs=["u"]), TypeError, "mapping of variable names"),
    "a variable's attrs no mapping": ({"u": "x"}, dict(attrs={"u": "m"}), TypeError,
                                      r"attrs\['u'\] must be a mapping"),
    "a variable's attribute refused": ({"u": "x"}, dict(attrs={"u": {"grid": 1}}), ValueError,
                                       "'grid' is an attribute"),
    "a keyword no formula names": ({"u": "x", "v": "y"}, dict(q=1.0), TypeError, "unexpected keyword argument 'q'"),
    "one formula refused": ({"u": "x", "v": "y +"}, dict(), ValueError, None),
}


def refused_call(grid, given, options, store):
    if store is not None:
        return lambda: grid.to_zarr(given, store, **options)
    if isinstance(given, dict):
        return lambda: grid.to_dataset(given, **options)
    return lambda: grid.to_xarray(given, **options)


@pytest.mark.parametrize("where", ["memory", "store"])
@pytest.mark.parametrize("given, options, error, words", REFUSALS.values(), ids=REFUSALS.keys())
def test_refusals_name_what_is_wrong_and_write_nothing(given, options, error, words, where, tmp_path):
    grid = Grid(x=(0, 1, 5), y=(0, 1, 3), values=(0, 1, 2))  # the values need a name of their own
    call = refused_call(grid, given, options, tmp_path / "v.zarr" if where == "store" else None)
    with pytest.raises(error, match=words):
        call()
    assert list(tmp_path.iterdir()) == []


def test_a_mapping_for_one_formula_points_to_the_dataset():
    with pytest.raises(TypeError, match="to_dataset"):
        GRID.to_xarray({"u": "x"})
    with pytest.raises(TypeError, match="to_xarray"):
        GRID.to_dataset("x")


# How a second call differs from a store written before, and what resume=True says of it.
RESUMED = {
    "a variable more": (dict(formulas={"u": "x*y", "v": "x - y", "w": "y"}), "another set of variables"),
    "a variable renamed": (dict(formulas={"u": "x*y", "speed": "x - y"}), "another set of variables"),
    "another formula": (dict(formulas={"u": "x*y", "v": "x + y"}), "another formula of v, 'x - y'"),
    "other attributes": (dict(attrs={"u": {"units": "km"}}), "another set of attributes of u"),
    "attributes dropped": (dict(attrs=None), "another set of attributes of u"),
    "one formula": (dict(formulas="x*y", attrs=None), r"another set of variables, \['u', 'v'\]"),
}


@pytest.mark.skipif(bool(os.environ.get("VEMIRAL_UNDER_SANITIZER")), reason="Python-only store logic")
@pytest.mark.parametrize("change, words", RESUMED.values(), ids=RESUMED.keys())
@pytest.mark.parametrize("state", ["finished", "interrupted"])
def test_resuming_a_store_of_other_variables_is_refused(change, words, state, tmp_path):
    grid, target = GRIDS["2-D"], tmp_path / "w.zarr"
    first = dict(formulas={"u": "x*y", "v": "x - y"}, attrs={"u": {"units": "m"}})
    if state == "finished":
        grid.to_zarr(first["formulas"], target, attrs=first["attrs"], chunks=100)
    else:
        with pytest.raises(KeyboardInterrupt):
            grid.to_zarr(first["formulas"], target, attrs=first["attrs"], chunks=100, progress=interrupt_after(2))
    before = store_files(tmp_path)
    call = first | change
    with pytest.raises(ValueError, match=f"cannot resume .*{words}"):
        grid.to_zarr(call["formulas"], target, attrs=call["attrs"], chunks=100, resume=True)
    assert store_files(tmp_path) == before
    # Without resume a finished store is refused, and replaced only with overwrite=True.
    if state == "finished":
        with pytest.raises(FileExistsError, match="overwrite=True"):
            grid.to_zarr(call["formulas"], target, attrs=call["attrs"], chunks=100)
    grid.to_zarr(call["formulas"], target, attrs=call["attrs"], chunks=100, overwrite=True)
    stored = xr.open_zarr(target)
    names = sorted(call["formulas"]) if isinstance(call["formulas"], dict) else ["values"]
    assert sorted(stored.data_vars) == names
    assert sorted(p.name for p in tmp_path.iterdir()) == ["w.zarr"]


@pytest.mark.skipif(bool(os.environ.get("VEMIRAL_UNDER_SANITIZER")), reason="Python-only store logic")
def test_an_interrupted_store_of_several_formulas_resumes_to_the_whole_one(tmp_path):
    grid, given = GRIDS["3-D"], formulas(GRIDS["3-D"])
    options = dict(chunks=(5, 6, 7), dtype=np.float32, params={"k": 2.0, "w": 0.5}, attrs={"sympy": {"units": "1"}})
    whole = grid.to_zarr(given, tmp_path / "whole.zarr", **options)
    target = tmp_path / "cut.zarr"
    with pytest.raises(KeyboardInterrupt):
        grid.to_zarr(given, target, progress=interrupt_after(10), **options)
    assert not target.exists()
    computed = []
    grid.to_zarr(given, target, resume=True, progress=lambda done, total: computed.append(done), **options)
    assert 0 < computed[0] < grid.size and computed[-1] == grid.size  # the chunks written before were kept
    assert store_files(target) == store_files(whole)
    # resume=True on the finished store of the same values does nothing.
    grid.to_zarr(given, target, resume=True, progress=lambda done, total: computed.append(-1), **options)
    assert -1 not in computed and store_files(target) == store_files(whole)


@pytest.mark.skipif(bool(os.environ.get("VEMIRAL_UNDER_SANITIZER")), reason="Python-only store logic")
def test_a_store_cut_short_while_its_arrays_were_made_is_begun_again(tmp_path):
    grid, given = GRIDS["2-D"], {"u": "x*y", "v": "x - y"}
    whole = grid.to_zarr(given, tmp_path / "whole.zarr", chunks=100)
    target = tmp_path / "cut.zarr"
    with pytest.raises(KeyboardInterrupt):
        grid.to_zarr(given, target, chunks=100, progress=interrupt_after(1))
    # As if killed after the first array was made: the second and the ledger are missing.
    hidden = target.with_name(".cut.zarr.incomplete")
    shutil.rmtree(hidden / "v")
    (hidden / zarrstore.LEDGER).unlink()
    grid.to_zarr(given, target, chunks=100, resume=True)
    assert store_files(target) == store_files(whole)
