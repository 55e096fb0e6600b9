"""Integer arguments and grids: the tree API and vemiral_grid take the same forms
everywhere and refuse the rest with an error that names the argument."""

import os
import subprocess
import sys

import numpy as np
import pytest
import sympy as sp

import vemiral as vm
from vemiral_grid import Grid, save_png

X = vm.ASTvar(0, 0.5, 0.25)
XY = X * vm.ASTvar(1, 1.0, 0.5)
GRID = Grid(x=(0, 1, 6), y=(0, 1, 4))
HUGE = Grid.from_steps(x=(0, 1, 10**6), y=(0, 1, 10**6), z=(0, 1, 1000))  # 8e15 bytes
# A product of polynomials in y with chain coefficients: its closed form
# doubles with every factor, past the lowering budget.
UNPREPARABLE = "tan(" * 30 + "x*y" + ")" * 30  # every tan doubles the chain

REFUSED = [
    # the tree API
    ("evaluate-bool", lambda: X.evaluate(True), TypeError, "shape must be an int or a sequence of ints, not bool"),
    ("evaluate-bool-item", lambda: XY.evaluate([3, True]), TypeError, r"shape\[1\] must be an int, not bool"),
    ("evaluate-float", lambda: X.evaluate(3.0), TypeError, "shape must be an int or a sequence of ints, not float"),
    ("evaluate-None", lambda: X.evaluate(None), TypeError, "shape must be an int or a sequence of ints, not NoneType"),
    ("evaluate-bytes", lambda: X.evaluate(b"\x03"), TypeError, "shape must be an int or a sequence of ints, not bytes"),
    ("evaluate-2-D-array", lambda: X.evaluate(np.array([[3, 4]])), TypeError, r"shape\[0\] must be an int, not ndarray"),
    ("tile-bytes", lambda: X.evaluate(3, tile=b"33"), TypeError, "tile must be an int or a sequence of ints, not bytes"),
    ("tile-bool", lambda: X.evaluate(3, tile=True), TypeError, "tile must be an int or a sequence of ints, not bool"),
    ("tile-float-item", lambda: XY.evaluate((3, 2), tile=[2, 2.0]), TypeError, r"tile\[1\] must be an int, not float"),
    ("tile-array-length", lambda: XY.evaluate((3, 2), tile=np.array([2, 2, 2])), ValueError, "tile has 3 entries"),
    ("origin-None-item", lambda: X.evaluate(3, origin=[None]), TypeError, r"origin\[0\] must be an int, not NoneType"),
    ("origin-str", lambda: X.evaluate(3, origin="0"), TypeError, "origin must be an int or a sequence of ints, not str"),
    ("threads-bool", lambda: X.evaluate(3, threads=True), TypeError, "threads must be an int, not bool"),
    ("set_num_threads-None", lambda: vm.set_num_threads(None), TypeError, "threads must be an int of at least 1, not None"),
    ("set_num_threads-float", lambda: vm.set_num_threads(2.0), TypeError, "threads must be an int, not float"),
    ("set_num_threads-0", lambda: vm.set_num_threads(0), ValueError, "threads must be at least 1"),
    ("default_tile-bool", lambda: vm.default_tile(True), TypeError, "dimensions must be an int, not bool"),
    ("crinit-bool", lambda: X.crinit([True]), TypeError, r"crinit: extents\[0\] must be an int, not bool"),
    ("crinit-bytes", lambda: X.crinit(b"\x03"), TypeError, "crinit: the extents must be a sequence of ints, not bytes"),
    ("ASTvar-bool", lambda: vm.ASTvar(True, 0.0, 1.0), TypeError, "ASTvar: index must be an int, not bool"),
    # vemiral_grid
    ("num-bool", lambda: Grid(x=(0, 1, True)), TypeError, "axis x: num must be an int, not bool"),
    ("num-None", lambda: Grid(x=(0, 1, None)), TypeError, "axis x: num must be an int, not NoneType"),
    ("num-float64", lambda: Grid(x=(0, 1, np.float64(3))), TypeError, "axis x: num must be an int, not float64"),
    ("num-2**63", lambda: Grid(x=(0, 1, 2**63)), OverflowError, "axis x: num must be below 2\\*\\*63"),
    ("start-10**400", lambda: Grid(x=(10**400, 1, 3)), ValueError, "axis x: start is too large for a float"),
    ("sympy-10**400", lambda: GRID.expression(sp.Integer(10**400) * sp.Symbol("x")), ValueError, "too large for a float"),
    ("infinite-step", lambda: Grid(x=(-1.7e308, 1.7e308, 3)), ValueError, "axis x: the coordinates must be finite"),
    ("infinite-last", lambda: Grid.from_steps(x=(1e308, 1e308, 3)), ValueError, "gives inf at the last of 3 points"),
    ("name-empty", lambda: Grid(**{"": (0, 1, 3)}), ValueError, "'' cannot name an axis: it is not a Python name"),
    ("name-space", lambda: Grid(**{"a b": (0, 1, 3)}), ValueError, "'a b' cannot name an axis: it is not a Python name"),
    ("name-lambda", lambda: Grid(**{"lambda": (0, 1, 3)}), ValueError, "'lambda' cannot name an axis"),
    ("name-None", lambda: Grid(**{"None": (0, 1, 3)}), ValueError, "'None' cannot name an axis"),
    ("name-fullwidth", lambda: Grid(**{"ｘ": (0, 1, 3)}), ValueError, "Python reads it as 'x'"),
    ("grid-tile-bytes", lambda: GRID.evaluate("x", tile=b"33"), TypeError, "tile must be an int or a sequence"),
    ("grid-tile-bool-progress", lambda: GRID.evaluate("x", tile=True, progress=True), TypeError,
     "tile must be an int or a sequence of ints, not bool"),
    ("grid-tile-2-D", lambda: GRID.to_dask("x", tile=np.ones((2, 2), int)), TypeError, "not an array of 2 dimensions"),
    ("to_npy-tile-float", lambda: GRID.to_npy("x", os.devnull, tile=2.0), TypeError,
     "tile must be an int or a sequence of ints, not float"),
    ("save_png-at-bool", lambda: save_png(Grid(x=(0, 1, 2), y=(0, 1, 2), z=(0, 1, 2)), np.zeros((2, 2, 2)), os.devnull,
                                         at={"z": True}), TypeError, r"at\['z'\] must be an int, not bool"),
    ("memory-evaluate", lambda: HUGE.evaluate("x", progress=True), MemoryError, "more memory than this machine has"),
    ("memory-evaluate-native", lambda: HUGE.evaluate("x", progress=False), MemoryError, "more memory than this machine has"),
    ("memory-coords", lambda: Grid(x=(0, 1, 2**62)).coords, MemoryError, "more memory than this machine has"),
    ("to_dask-unpreparable", lambda: GRID.to_dask(UNPREPARABLE, method="recurrence"), MemoryError, "chain nodes"),
]


@pytest.mark.parametrize("call, error, words", [r[1:] for r in REFUSED], ids=[r[0] for r in REFUSED])
def test_arguments_of_the_wrong_kind_are_refused_by_name(call, error, words):
    threads = vm.get_num_threads()
    try:
        with pytest.raises(error, match=words):
            call()
    finally:
        assert vm.get_num_threads() == threads  # a refused setting changes nothing


SHAPES = [(6, 4), [6, 4], np.array([6, 4]), (np.int64(6), np.uint8(4))]
ORIGINS = [None, (0, 0), np.array([0, 0], dtype=np.int32), [np.int16(0), 0]]
TILES = [3, np.int64(3), (3, 3), np.array([3, 3]), np.array(3)]


@pytest.mark.parametrize("tile", TILES, ids=repr)
@pytest.mark.parametrize("shape, origin", list(zip(SHAPES, ORIGINS, strict=True)), ids=repr)
def test_ints_numpy_integers_sequences_and_arrays_are_taken_alike(shape, origin, tile):
    expected = XY.evaluate((6, 4), tile=3)
    assert XY.evaluate(shape, origin=origin, tile=tile).tobytes() == expected.tobytes()
    grid = Grid(x=(0.5, 1.75, 6), y=(1.0, 2.5, 4))
    expected = grid.evaluate("x*y", tile=3)
    for progress in (False, True):
        assert grid.evaluate("x*y", tile=tile, progress=progress).tobytes() == expected.tobytes()


@pytest.mark.parametrize("value, threads, warned", [("1e3", None, True), ("4abc", None, True), ("0", None, True),
                                                    (" 3 ", 3, False), ("", None, False)],
                         ids=["1e3", "4abc", "0", "blanks", "empty"])
def test_a_malformed_thread_count_in_the_environment_is_named_in_a_warning(value, threads, warned):
    code = ("import os, warnings\nwarnings.simplefilter('always')\n"
            "with warnings.catch_warnings(record=True) as seen:\n    import vemiral\n"
            "print(vemiral.get_num_threads(), os.cpu_count(), [str(w.message) for w in seen])")
    done = subprocess.run([sys.executable, "-c", code], env={**os.environ, "VEMIRAL_NUM_THREADS": value},
                          capture_output=True, text=True, timeout=60)
    got, cores, messages = done.stdout.split(" ", 2)
    assert int(got) == (threads or int(cores))
    if warned:
        assert f"VEMIRAL_NUM_THREADS='{value}' is not a whole number of at least 1: using the default, {cores}" in messages
    else:
        assert messages.strip() == "[]"
