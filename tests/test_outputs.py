"""float32 and both methods on every path, to_xarray and to_zarr: the float64
values bit for bit, or those values rounded once; chunks by axis name; NumPy's
and SymPy's numbers; stores read back by zarr and xarray; resuming after a
SIGKILL; a distributed LocalCluster; refusals that leave nothing behind."""

import io
import math
import os
import signal
import subprocess
import sys
import tempfile
import textwrap
import warnings
from pathlib import Path

import numpy as np
import pytest
import sympy
from hypothesis import given, settings
from hypothesis import strategies as st

from vemiral_grid import Grid, _values, storage, zarrstore

from depth import examples
from helpers import interrupt_after, store_files

xr = pytest.importorskip("xarray")
zarr = pytest.importorskip("zarr")

W = "sin(x*y) + cos(x + y)"
GRIDS = {
    "1-D": (Grid.from_steps(x=(0.0, 0.001, 20_011)), "sin(x) * exp(-x)"),
    "2-D": (Grid(x=(0.0, 2.0, 301), y=(-1.0, 1.0, 257)), W),
    "3-D": (Grid.from_steps(x=(0.0, 0.1, 13), y=(1.0, 0.2, 17), z=(-1.0, 0.05, 31)), "sin(x*y) * exp(-z) + cos(x + z)"),
}


# The stores' bookkeeping is Python alone: checked in the normal run, not again
# under the sanitizers (whose run also covers every path's native calls above).
python_only = pytest.mark.skipif(bool(os.environ.get("VEMIRAL_UNDER_SANITIZER")), reason="Python-only store logic")


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


@pytest.fixture
def small_runs(monkeypatch):
    # Runs of 1000 points: every grid here is cast in many pieces, on several threads,
    # and streamed in many blocks.
    monkeypatch.setattr(_values, "SLAB_POINTS", 1000)
    monkeypatch.setattr(storage, "BLOCK_BYTES", 8000)


def streamed(grid, expr, dtype, method="accurate"):
    """The .npy that -o - writes, read back."""
    out = io.BytesIO()
    storage.write_npy_to(grid, grid.expression(expr), out, dtype=dtype, method=method)
    return np.load(io.BytesIO(out.getvalue()))


# Each way of getting the values, as (grid, expr, dtype, tmp_path, method) -> array.
PATHS = {
    "evaluate": lambda g, e, t, d, m: g.evaluate(e, dtype=t, method=m),
    "evaluate out=": lambda g, e, t, d, m: g.evaluate(e, out=np.full(g.shape, np.nan, dtype=t), method=m),
    "evaluate progress": lambda g, e, t, d, m: g.evaluate(e, dtype=t, progress=True, tile=7, method=m),
    "to_dask": lambda g, e, t, d, m: g.to_dask(e, chunks=50, dtype=t, method=m).compute(),
    "to_dask chunks by name": lambda g, e, t, d, m: g.to_dask(e, chunks={g.names[-1]: 50}, dtype=t, method=m).compute(),
    "to_npy": lambda g, e, t, d, m: np.load(g.to_npy(e, d / "v.npy", dtype=t, method=m)),
    "npy to a stream": lambda g, e, t, d, m: streamed(g, e, t, m),
    "to_xarray": lambda g, e, t, d, m: g.to_xarray(e, dtype=t, method=m).values,
    "to_xarray chunks": lambda g, e, t, d, m: g.to_xarray(e, dtype=t, chunks=40, method=m).values,
    "to_zarr": lambda g, e, t, d, m: zarr.open_array(
        g.to_zarr(e, d / "v.zarr", dtype=t, chunks=60, method=m), path="values")[...],
    "to_zarr chunks by name": lambda g, e, t, d, m: zarr.open_array(
        g.to_zarr(e, d / "v.zarr", dtype=t, chunks={g.names[0]: 60}, method=m), path="values")[...],
}


@pytest.mark.parametrize("method", ["accurate", "recurrence"])
@pytest.mark.parametrize("dtype", [np.float64, np.float32], ids=["float64", "float32"])
@pytest.mark.parametrize("path", PATHS.values(), ids=PATHS.keys())
@pytest.mark.parametrize("grid, expr", GRIDS.values(), ids=GRIDS.keys())
def test_every_path_gives_evaluate_or_evaluate_rounded_once(grid, expr, path, dtype, method, tmp_path, small_runs,
                                                            capsys):
    tile = 7 if path is PATHS["evaluate progress"] else None
    expected = grid.evaluate(expr, tile=tile, progress=False, method=method).astype(dtype)
    assert same_bits(path(grid, expr, dtype, tmp_path, method), expected)


def test_the_methods_differ_and_the_stores_record_theirs(tmp_path):
    grid, expr = GRIDS["2-D"]
    accurate, recurrence = (grid.evaluate(expr, method=m) for m in ("accurate", "recurrence"))
    assert not same_bits(accurate, recurrence)  # so the paths above could tell them apart
    stored = xr.open_zarr(grid.to_zarr(expr, tmp_path / "r.zarr", method="recurrence"))["values"]
    assert stored.attrs["method"] == "recurrence" and same_bits(stored.values, recurrence)


# Numbers as SymPy and NumPy give them, and the float each stands for.
NUMBERS = {
    "sympy.pi": (sympy.pi, math.pi),
    "sympy.E": (sympy.E, math.e),
    "sympy.Rational": (sympy.Rational(1, 3), 1 / 3),
    "sympy.sqrt": (sympy.sqrt(2), math.sqrt(2)),
    "numpy.float32": (np.float32(0.1), float(np.float32(0.1))),
    "numpy.int64": (np.int64(3), 3.0),
}


@pytest.mark.parametrize("number, value", NUMBERS.values(), ids=NUMBERS.keys())
def test_sympy_and_numpy_numbers_are_numbers_everywhere(number, value, tmp_path):
    grid, plain = Grid(x=(0, number, 9), y=(-1, 1, 4)), Grid(x=(0, value, 9), y=(-1, 1, 4))
    assert grid.axes == plain.axes
    expected = plain.evaluate("w*x - y", w=value)
    for values in (grid.evaluate("w*x - y", w=number), grid.to_dask("w*x - y", params={"w": number}).compute(),
                   np.load(grid.to_npy("w*x - y", tmp_path / "w.npy", w=number))):
        assert same_bits(values, expected)
    assert grid.sum("w*x - y", w=number) == plain.sum("w*x - y", w=value)


def test_a_numpy_scalar_pasted_into_a_formula_is_its_number():
    grid = GRIDS["2-D"][0]
    pasted = f"{np.float64(0.06)!r}*x + {np.float32(0.1)!r} - numpy.float32(-2)*y"
    assert pasted.startswith("np.float64(0.06)*x + np.float32(0.1)")
    assert same_bits(grid.evaluate(pasted), grid.evaluate(f"0.06*x + {float(np.float32(0.1))!r} + 2*y"))


@pytest.mark.parametrize("dtype", ["float16", "int32", "complex256", "garbage", None], ids=str)
def test_other_dtypes_are_refused_before_anything_is_written(dtype, tmp_path):
    grid = Grid(x=(0, 1, 10))
    calls = [
        lambda: grid.to_npy("x", tmp_path / "a.npy", dtype=dtype),
        lambda: grid.to_zarr("x", tmp_path / "a.zarr", dtype=dtype),
        lambda: grid.to_dask("x", dtype=dtype),
        lambda: grid.to_xarray("x", dtype=dtype),
    ]
    if dtype is not None:  # None is evaluate's "float64, or out's type"
        calls.append(lambda: grid.evaluate("x", dtype=dtype))
    for call in calls:
        with pytest.raises(ValueError, match="dtype must be float64, float32, complex128 or complex64"):
            call()
    assert list(tmp_path.iterdir()) == []


def test_out_and_dtype_must_agree():
    grid = Grid(x=(0, 1, 10))
    with pytest.raises(ValueError, match="out is float32 but dtype=float64"):
        grid.evaluate("x", out=np.empty(10, np.float32), dtype=np.float64)
    with pytest.raises(ValueError, match="complex64 array of shape"):
        grid.evaluate("x", out=np.empty(10, np.float16))


def test_the_dataarray_and_the_store_describe_themselves(tmp_path):
    grid = Grid.from_steps(t=(0.0, 1 / 48000, 480), f=(100.0, 50.0, 3))
    expr = "sin(2*pi*f*t)"
    array = grid.to_xarray(expr, dtype=np.float32)
    assert array.dims == ("t", "f") and array.name == "values"
    for name in grid.names:
        assert same_bits(array.coords[name].values, grid.coords[name])
    assert array.attrs["formula"] == expr and array.attrs["tile"] == [2048, 2048]
    assert eval(array.attrs["grid"], {"Grid": Grid}).axes == grid.axes  # exact to the bit
    stored = xr.open_zarr(grid.to_zarr(expr, tmp_path / "s.zarr", dtype=np.float32))
    xr.testing.assert_identical(stored["values"], array)
    assert same_bits(stored["values"].values, array.values)
    lazy = grid.to_xarray(expr, chunks=(100, 2))
    assert lazy.chunks == ((100,) * 4 + (80,), (2, 1)) and same_bits(lazy.values, grid.evaluate(expr))
    assert grid.to_xarray(expr, chunks={"f": 2}).chunks == ((480,), (2, 1))  # by name, as xarray takes them
    assert grid.to_dask(expr, chunks={"t": 100, "f": 1}).chunks == ((100,) * 4 + (80,), (1, 1, 1))
    store = zarr.open_array(grid.to_zarr(expr, tmp_path / "f.zarr", chunks={"f": 2}), path="values")
    assert store.chunks == (480, 2)
    assert np.array_equal(grid.max(expr, axis="t", chunks={"t": 100}), grid.max(expr, axis="t"))


BAD_CHUNKS = {
    "zero": (0, "at least 1"),
    "uneven": (((100, 101, 100), (257,)), "chunks of one size"),
    "wrong sum": (((100, 100), (257,)), "adding up to the grid's 301"),
    "wrong length": ((10, 10, 10), "one edge per dimension"),
    "text": ("auto", "as an int"),
}


@python_only
@pytest.mark.parametrize("chunks, words", BAD_CHUNKS.values(), ids=BAD_CHUNKS.keys())
def test_chunks_zarr_cannot_hold_are_refused_and_nothing_is_written(chunks, words, tmp_path):
    with pytest.raises(ValueError, match=words):
        GRIDS["2-D"][0].to_zarr(W, tmp_path / "w.zarr", chunks=chunks)
    assert list(tmp_path.iterdir()) == []


@python_only
def test_what_a_store_may_replace(tmp_path):
    grid, other = GRIDS["2-D"][0], Grid(x=(0.0, 1.0, 30), y=(0.0, 1.0, 20))
    target = tmp_path / "w.zarr"
    for foreign in (lambda: target.write_text("mine"), lambda: target.mkdir(), lambda: other.to_zarr("x", target)):
        foreign()
        before = store_files(tmp_path)
        with pytest.raises(FileExistsError, match="overwrite=True"):
            grid.to_zarr(W, target, chunks=100)
        assert store_files(tmp_path) == before  # untouched
        grid.to_zarr(W, target, chunks=100, overwrite=True)
        zarrstore._remove(target)
    # A store of this grid too, of other values or the same: never replaced unasked.
    grid.to_zarr("x*y", target, chunks=100)
    for expr, words in (("x*y", "a store of these values.*or resume=True"), (W, "another formula, 'x[*]y'")):
        with pytest.raises(FileExistsError, match=words):
            grid.to_zarr(expr, target, chunks=100)
    grid.to_zarr(W, target, chunks=100, overwrite=True)
    assert xr.open_zarr(target)["values"].attrs["formula"] == W
    assert sorted(p.name for p in tmp_path.iterdir()) == ["w.zarr"]


@python_only
def test_a_store_is_written_by_the_package_writer_of_outputs(tmp_path):
    grid = Grid(x=(0.0, 1.0, 30), y=(0.0, 1.0, 20))
    os.mkfifo(tmp_path / "pipe.zarr")
    with pytest.raises(OSError, match="a FIFO, not a folder or a regular file"):
        grid.to_zarr("x*y", tmp_path / "pipe.zarr", overwrite=True)
    with pytest.raises(ValueError, match="empty"):
        grid.to_zarr("x*y", "")
    # A link is followed: the store it leads to is replaced, the link stays.
    (tmp_path / "real").mkdir()
    grid.to_zarr("x*y", tmp_path / "real" / "w.zarr")
    (tmp_path / "link.zarr").symlink_to("real/w.zarr")
    grid.to_zarr("x + y", tmp_path / "link.zarr", overwrite=True)
    assert (tmp_path / "link.zarr").is_symlink()
    assert xr.open_zarr(tmp_path / "real" / "w.zarr")["values"].attrs["formula"] == "x + y"
    assert sorted(p.name for p in (tmp_path / "real").iterdir()) == ["w.zarr"]
    # A formula whose chain the algebra refuses (stepped as recurrences) is refused
    # before anything is written.
    product = "tan(" * 30 + "x*y" + ")" * 30  # every tan doubles the chain
    with pytest.raises(MemoryError, match="chain nodes"):
        grid.to_zarr(product, tmp_path / "p.zarr", method="recurrence")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["link.zarr", "pipe.zarr", "real"]


RESUMED = {
    "formula": (dict(expr="x*y"), "another formula, 'sin"),
    "grid": (dict(grid=Grid(x=(0.0, 2.0, 301), y=(-1.0, 1.5, 257))), "another grid"),
    "tile": (dict(tile=64), r"another tile, \[2048, 2048\]"),
    "chunking": (dict(chunks=50), r"another chunking, \(100, 100\)"),
    "dtype": (dict(dtype=np.float32), "another dtype, float64"),
    "method": (dict(method="recurrence", tile=2048), "another method, accurate"),  # the tile its default would change
}


@python_only
@pytest.mark.parametrize("change, words", RESUMED.values(), ids=RESUMED.keys())
@pytest.mark.parametrize("state", ["finished", "interrupted"])
def test_resuming_a_store_of_other_values_is_refused(change, words, state, tmp_path):
    grid, target = GRIDS["2-D"][0], tmp_path / "w.zarr"
    call = dict(grid=grid, expr=W, tile=None, chunks=100, dtype=np.float64) | change
    if state == "finished":
        grid.to_zarr(W, target, chunks=100)
    else:
        with pytest.raises(KeyboardInterrupt):
            grid.to_zarr(W, target, chunks=100, progress=interrupt_after(2))
    before = store_files(tmp_path)
    g = call.pop("grid")
    with pytest.raises(ValueError, match=f"cannot resume .*{words}"):
        g.to_zarr(call.pop("expr"), target, resume=True, **call)
    assert store_files(tmp_path) == before


KILLED = textwrap.dedent("""
    import sys, time
    from vemiral_grid import Grid
    def progress(done, total):
        if done >= total // 3:
            print("killing", flush=True)
            time.sleep(600)
    Grid(x=(0.0, 2.0, 301), y=(-1.0, 1.0, 257)).to_zarr({expr!r}, sys.argv[1], chunks=(40, 50), progress=progress)
""")


@pytest.mark.skipif(bool(os.environ.get("VEMIRAL_UNDER_SANITIZER")), reason="starts processes")
def test_a_write_killed_part_way_and_resumed_equals_an_uninterrupted_one(tmp_path):
    grid = GRIDS["2-D"][0]
    (tmp_path / "whole").mkdir()
    (tmp_path / "killed").mkdir()
    whole = grid.to_zarr(W, tmp_path / "whole" / "w.zarr", chunks=(40, 50))
    target = tmp_path / "killed" / "w.zarr"
    child = subprocess.Popen([sys.executable, "-c", KILLED.format(expr=W), str(target)], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "killing\n"
    finally:
        child.send_signal(signal.SIGKILL)
        child.wait(60)
        child.stdout.close()
    hidden = target.with_name(".w.zarr.incomplete")
    assert not target.exists() and hidden.is_dir()
    # What zarr leaves of a chunk whose writing was cut short goes too.
    (hidden / "values" / "c" / "0" / ("0." + "0" * 32 + ".partial")).write_bytes(b"torn")
    finished = len((hidden / zarrstore.LEDGER).read_text().splitlines())
    computed = []
    grid.to_zarr(W, target, chunks=(40, 50), resume=True, progress=lambda done, total: computed.append(done))
    assert computed[0] >= grid.size // 3 and computed[-1] == grid.size
    assert len(computed) - 1 == 8 * 6 - finished  # only the chunks not finished before
    assert store_files(target) == store_files(whole)
    assert sorted(p.name for p in target.parent.iterdir()) == ["w.zarr"]


@settings(max_examples=examples(50), deadline=None)
@given(st.lists(st.tuples(st.integers(0, 7), st.integers(0, 5)), max_size=60), st.booleans())
def test_the_ledger_reads_back_the_chunks_it_lists_in_any_order(chunks, cut):
    # A grid of 300 x 280 in chunks of 40 x 50: 8 x 6 chunks, the last ones shorter.
    counts, chunk, shape = (8, 6), (40, 50), (300, 280)
    with tempfile.TemporaryDirectory() as folder:
        # Besides the chunks: one the store has not, a torn line, and maybe a last line cut short.
        text = "".join(f"{i},{j}\n" for i, j in chunks) + "8,0\n1,x\n" + ("3,4" if cut else "")
        (Path(folder) / zarrstore.LEDGER).write_text(text, encoding="ascii")
        done = zarrstore._read_ledger(Path(folder), counts)
    listed = set(chunks)
    found = {(i, j) for i in range(8) for j in range(6) if zarrstore._linear((i, j), counts) in done}
    assert found == listed
    assert done.points(counts, chunk, shape) == sum(math.prod(zarrstore._extent(c, chunk, shape)) for c in listed)
    assert len(done.starts) <= len(listed)  # ranges, never more than the chunks


@pytest.mark.slow
@pytest.mark.skipif(bool(os.environ.get("VEMIRAL_UNDER_SANITIZER")), reason="starts worker processes")
def test_a_distributed_cluster_writes_the_same_store(tmp_path, local_cluster):
    distributed = pytest.importorskip("distributed")
    grid, expr = GRIDS["3-D"]
    several = {"values": expr, "w": "x*y - z"}
    here = grid.to_zarr(expr, tmp_path / "here.zarr", chunks=(5, 6, 7), dtype=np.float32)
    both_here = grid.to_zarr(several, tmp_path / "both here.zarr", chunks=(5, 6, 7), dtype=np.float32)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the cluster's own notes (ports, memory)
        with distributed.Client(local_cluster) as client, distributed.get_task_stream(client) as tasks:
            there = grid.to_zarr(expr, tmp_path / "there.zarr", chunks=(5, 6, 7), dtype=np.float32)
            both_there = grid.to_zarr(several, tmp_path / "both there.zarr", chunks=(5, 6, 7), dtype=np.float32)
            workers = set(client.scheduler_info()["workers"])
    # Every chunk was a task on the cluster's worker processes, one for all the formulas of a store.
    ran = [task for task in tasks.data if task["key"].startswith("_write_chunk_at")]
    assert len(ran) == 2 * 3 * 3 * 5 and {task["worker"] for task in ran} <= workers and len(workers) == 2
    assert store_files(there) == store_files(here)
    assert store_files(both_there) == store_files(both_here)
    assert same_bits(zarr.open_array(both_there, path="w")[...], grid.evaluate("x*y - z", dtype=np.float32))
