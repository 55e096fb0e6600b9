"""A first look at vemiral, on one screen: a formula given as text drawn and compared
with NumPy, then one short example of each capability.

Run with `bash scripts/demo.sh [--program] [directory for the picture]`;
--program prints the whole generated program instead of its first lines.
"""

import importlib.util
import os
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import vemiral as vm
from vemiral_grid import Grid, save_png

FORMULA = "sin(x*y) + cos(x+y)"


def best(fn, repeats=5):
    result, fastest = None, float("inf")
    for _ in range(repeats):
        t0 = time.perf_counter()
        result = fn()
        fastest = min(fastest, time.perf_counter() - t0)
    return result, fastest


def quietly(fn):
    """Runs fn with the process's standard output and error, where native code
    prints (the chain, timings, crgen's notes), sent to /dev/null."""
    sys.stdout.flush()
    sys.stderr.flush()
    saved = [os.dup(1), os.dup(2)]
    with open(os.devnull, "w") as null:
        os.dup2(null.fileno(), 1)
        os.dup2(null.fileno(), 2)
        try:
            return fn()
        finally:
            for fd, copy in zip((1, 2), saved):
                os.dup2(copy, fd)
                os.close(copy)


def picture_and_numpy(directory):
    grid = Grid(x=(0, 1, 1000), y=(1, 3, 1000))
    values, t_vemiral = best(lambda: grid.evaluate(FORMULA))
    x, y = grid.coords["x"][:, None], grid.coords["y"][None, :]
    reference, t_numpy = best(lambda: np.sin(x * y) + np.cos(x + y))
    directory.mkdir(parents=True, exist_ok=True)
    picture = directory / "wave.png"
    save_png(grid, values, str(picture), title=FORMULA)
    print(f"{FORMULA} on Grid(x=(0, 1, 1000), y=(1, 3, 1000)):")
    print(f"  picture: {picture}")
    print(f"  vemiral {t_vemiral * 1e3:.2f} ms, NumPy {t_numpy * 1e3:.2f} ms "
          f"({t_numpy / t_vemiral:.1f}x); largest difference {np.max(np.abs(values - reference)):.1e}")
    same = grid.evaluate(lambda x, y: vm.sin(x * y) + vm.cos(x + y)).tobytes() == values.tobytes()
    print(f"  written with operators, vm.sin(x*y) + vm.cos(x + y): {'the same bits' if same else 'DIFFERENT'}")
    return grid, values


def float32(grid, values):
    values32 = grid.evaluate(FORMULA, dtype=np.float32)
    rounded = values32.tobytes() == values.astype(np.float32).tobytes()
    print(f"float32: computed in double, rounded once: {'equal to float64 rounded' if rounded else 'DIFFERENT'}, "
          f"{values32.nbytes // 2**20} MiB instead of {values.nbytes // 2**20}")


def step_axis():
    tone = Grid.from_steps(t=(0.0, 1 / 48000, 48000)).evaluate("sin(2*pi*440*t) * exp(-3*t)", dtype="float32")
    print(f"axis by step: Grid.from_steps(t=(0, 1/48000, 48000)), a decaying 440 Hz tone, "
          f"peak {tone.max():.3f}  (command line: -s t=0:1/48000:48000)")


def tree_api():
    x, y = vm.ASTvar(0, 0.0, 1 / 600), vm.ASTvar(1, -1.0, 2 / 800)
    tree = vm.ASTbin(vm.MUL, vm.ASTun(vm.EXP, vm.ASTun(vm.NEG, x)), vm.ASTun(vm.SIN, 10.0 * x * y))
    quietly(lambda: tree.crinit([600, 800]))  # crinit prints the chain of recurrences
    listed = quietly(tree.creval)  # and creval a timing report
    array, t = best(tree.crarray)
    same = array.ravel().tolist() == listed
    print(f"trees by hand: {tree!r}: crinit([600, 800]), creval() (a list), crarray() "
          f"{'the same values' if same else 'DIFFERENT'} in {t * 1e3:.2f} ms")
    return tree


def tiles(tree):
    whole = tree.evaluate((600, 800))
    block = tree.evaluate((100, 50), origin=(200, 300))
    same = block.tobytes() == whole[200:300, 300:350].tobytes()
    print(f"by tiles: evaluate((100, 50), origin=(200, 300)) is whole[200:300, 300:350] "
          f"{'bit for bit' if same else 'NOT bit for bit'} (tile {vm.default_tile(2)})")


def generated_program(whole):
    tree = vm.sin(vm.ASTvar(0, 1.0, 0.5)) * 2.0
    quietly(lambda: tree.crinit([4]))
    program = quietly(tree.crgen)
    lines = program.splitlines()
    shown = lines if whole else lines[:6]
    print(f"generated program for {tree!r} on 4 points ({len(lines)} lines"
          f"{'' if whole else '; --program shows them all'}):")
    for line in shown:
        print(f"  | {line}")


def ecosystem(grid):
    wanted = {"dask": "to_dask", "xarray": "to_xarray", "zarr": "to_zarr"}
    missing = [name for name in wanted if importlib.util.find_spec(name) is None]
    if missing:
        print(f"Dask, xarray, Zarr: install the extras ({', '.join(missing)} missing here; "
              "bash scripts/test.sh installs them all)")
        return
    w = grid.to_dask(FORMULA, chunks=500)
    print(f"to_dask: {w.numblocks} blocks, max {float(w.max().compute()):.4f}")
    labelled = grid.to_xarray(FORMULA)
    print(f"to_xarray: dims {labelled.dims}, attrs {sorted(labelled.attrs)}")
    with tempfile.TemporaryDirectory() as folder:
        store = grid.to_zarr(FORMULA, Path(folder) / "wave.zarr", dtype="float32")
        print(f"to_zarr: {sorted(p.name for p in store.iterdir())}, resumable with resume=True")


def main():
    args = sys.argv[1:]
    whole = "--program" in args
    args = [a for a in args if a != "--program"]
    root = Path(__file__).resolve().parents[1]
    grid, values = picture_and_numpy(Path(args[0]) if args else root / "build" / "demo")
    float32(grid, values)
    step_axis()
    tree = tree_api()
    tiles(tree)
    generated_program(whole)
    ecosystem(grid)


if __name__ == "__main__":
    main()
