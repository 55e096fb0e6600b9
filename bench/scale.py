"""Grids beyond memory on this machine: reductions of 10**10 points and a
.npy file of 2 * 10**9 points. Not a test: it takes minutes and 16 GB of disk.

    .venv/bin/python bench/scale.py [--folder DIR] [--skip-npy]
    .venv/bin/python bench/scale.py --memory [--window SECONDS] [--save PATH]

--memory runs only the table of peak resident memory against the grid's
size (see memory_table): each reduction of 10**10, 10**12 and 10**14 points
runs in a process of its own for a window of a few seconds, long enough for
its batches of parts to follow one another many times, and is then
interrupted with SIGINT. A reduction that streams holds the same memory
after its first batches as after any number of them, so a window is enough
to tell: what grows with the grid (a list of parts or tiles made up front)
is made before the first point is computed, inside the window. The peak is
the kernel's high-water mark of the process (VmHWM in /proc/PID/status),
read just before the interruption; the table also says how much processor
time the process used in the window (which starts once the process has
imported vemiral_grid) and how long it took to exit after SIGINT.

0. W = sin(x*y) + cos(x + y) over a 100000 x 100000 grid (x, y from 0 with
   step 1e-5) reduced to its mean and maximum in one pass without the array:
   `grid.reduce(W, ("mean", "max"))` on this machine's cores, and the same
   through Dask (`chunks=`: one native reduction per block, Dask's threaded
   scheduler); each in a process of its own, whose peak resident memory is
   reported.
1. The same reduction through `to_dask` and Dask's own max and mean (each
   block made, then reduced by NumPy), with the threaded scheduler: points
   per second and the peak resident memory of the process (which must stay
   under 1 GiB).
2. The same reduction of a 10000 x 10000 corner of that grid, which fits in
   memory, by `evaluate` plus NumPy's max and mean, and by `to_dask`.
3. A 50000 x 40000 grid of W (2 * 10**9 points, 16 GB) written by `to_npy`,
   then 64 blocks of it (the four corners and 60 at random) compared bit for
   bit with `evaluate` of the same blocks, and the file deleted.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import multiprocessing
import os
import platform
import random
import resource
import shutil
import signal
import subprocess
import sys
import time

import dask
import numpy as np

import vemiral
from vemiral_grid import Grid

W = "sin(x*y) + cos(x + y)"
STEP = 1e-5
GiB = 2**30


def peak_rss() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024  # Linux reports KiB


def grid(rows: int, cols: int) -> Grid:
    return Grid.from_steps(x=(0.0, STEP, rows), y=(0.0, STEP, cols))


def reduce_with_dask(g: Grid) -> tuple[float, float, float, int]:
    array = g.to_dask(W)
    start = time.perf_counter()
    top, mean = dask.compute(array.max(), array.mean(), scheduler="threads")
    return float(top), float(mean), time.perf_counter() - start, array.npartitions


def reduce_in_memory(g: Grid) -> tuple[float, float, float, float, float]:
    """The maximum, the mean, the time of evaluate, of evaluate and the
    reductions, and of evaluate again into the same (already touched) array."""
    start = time.perf_counter()
    values = g.evaluate(W, progress=False)
    evaluated = time.perf_counter() - start
    top, mean = values.max(), values.mean()
    both = time.perf_counter() - start
    start = time.perf_counter()
    g.evaluate(W, out=values, progress=False)
    return float(top), float(mean), evaluated, both, time.perf_counter() - start


def reduce_without_array(rows: int, cols: int, chunks: object) -> tuple[float, float, float, int]:
    """Mean and max of W in one pass (through Dask when chunks is not None):
    the results, the seconds and this process's peak resident size."""
    g = grid(rows, cols)
    start = time.perf_counter()
    mean, top = g.reduce(W, ("mean", "max"), chunks=chunks)
    return float(mean), float(top), time.perf_counter() - start, peak_rss()


def in_own_process(function, *args):  # type: ignore[no-untyped-def]
    with concurrent.futures.ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as pool:
        return pool.submit(function, *args).result()


def rate(points: int, seconds: float) -> str:
    return f"{points / seconds / 1e6:8.1f} M points/s ({seconds * 1e9 / points:.2f} ns/point, {seconds:.1f} s)"


# --- peak memory against the grid's size --------------------------------------

SIZES = (10**10, 10**12, 10**14)
# Each case: a name, and the program a process runs for a grid of n points.
MEMORY_CASES = {
    "reduce t: min, max (1-D)": "Grid.from_steps(t=(0, 1e-9, {n})).reduce('t', ('min', 'max'))",
    "reduce sin(x*y): sum, max (2-D)": (
        "Grid.from_steps(x=(0, 1e-7, {side}), y=(0, 1e-7, {side})).reduce('sin(x*y)', ('sum', 'max'))"
    ),
    "std of t (1-D)": "Grid.from_steps(t=(0, 1e-9, {n})).std('t')",
    "histogram of t, 1000 bins": "Grid.from_steps(t=(0, 1e-9, {n})).histogram('t', 1000, (0, 1))",
    "command line summary of t": "run(['t', '-s', 't=0:1e-9:{n}', '-q'])",
}
PEAK_SPREAD = 1.5  # the largest peak of a case over its smallest, at most


def high_water_mark(pid: int) -> int | None:
    """The process's peak resident memory so far, in bytes (None once it is gone)."""
    try:
        with open(f"/proc/{pid}/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        return None
    return None


def cpu_seconds(pid: int) -> float | None:
    """The processor time the process has used so far (None once it is gone)."""
    try:
        with open(f"/proc/{pid}/stat", encoding="ascii") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")  # utime, stime


def measure(program: str, window: float) -> tuple[int | None, float | None, float, str]:
    """The peak resident memory of a process running `program` for `window`
    seconds, the processor time it used, how long it took to exit once
    interrupted, and how it ended."""
    code = (
        "from vemiral_grid import Grid\nfrom vemiral_grid._cli import run\nprint('started', flush=True)\n"
        f"try:\n    {program}\nexcept KeyboardInterrupt:\n    print('interrupted')\n"
    )
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert child.stdout is not None
    child.stdout.readline()  # the window starts once the imports are done
    start = cpu_seconds(child.pid) or 0.0
    time.sleep(window)
    peak, cpu = high_water_mark(child.pid), cpu_seconds(child.pid)
    cpu = None if cpu is None else cpu - start
    sent = time.perf_counter()
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=60)
    took = time.perf_counter() - sent
    ended = "interrupted" if "interrupted" in out + err else f"exit {child.returncode}: {(out + err).strip()[-80:]}"
    return peak, cpu, took, ended


def memory_table(window: float) -> list[str]:
    lines = [
        f"Peak resident memory of reductions over {', '.join(f'{n:.0e}' for n in SIZES)} points, each in its own "
        f"process for {window:g} s, then interrupted (SIGINT)",
        f"{'case':34} {'points':>7} {'peak MiB':>9} {'CPU s':>6} {'exit after SIGINT':>18}  ended",
    ]
    for name, program in MEMORY_CASES.items():
        peaks = []
        for n in SIZES:
            side = round(n**0.5)
            peak, cpu, took, ended = measure(program.format(n=n, side=side), window)
            peaks.append(peak)
            shown = f"{peak / 2**20:9.1f}" if peak is not None else f"{'gone':>9}"
            used = f"{cpu:6.1f}" if cpu is not None else f"{'-':>6}"
            lines.append(f"{name:34} {n:7.0e} {shown} {used} {took:16.2f} s  {ended}")
        known = [p for p in peaks if p is not None]
        spread = max(known) / min(known) if known else float("nan")
        verdict = "within" if spread <= PEAK_SPREAD else "NOT within"
        lines.append(f"{'':34} largest peak / smallest {spread:.2f} ({verdict} {PEAK_SPREAD}x)")
    return lines


def header() -> str:
    return (f"{platform.processor() or platform.machine()}, {os.cpu_count()} CPUs, Python {platform.python_version()}, "
            f"NumPy {np.__version__}, Dask {dask.__version__}, vemiral threads {vemiral.get_num_threads()}, "
            f"tiles {vemiral.default_tile(1)} (1-D), {vemiral.default_tile(2)} (2-D), "
            f"load average {os.getloadavg()[0]:.2f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--folder", default=os.path.dirname(os.path.abspath(__file__)), help="where the .npy file goes")
    parser.add_argument("--skip-npy", action="store_true", help="leave out the .npy write")
    parser.add_argument("--memory", action="store_true", help="only the table of peak memory against the grid's size")
    parser.add_argument("--window", type=float, default=5.0, help="seconds each process of --memory runs")
    parser.add_argument("--save", metavar="PATH", help="with --memory, also write the table, with a header, to PATH")
    args = parser.parse_args()

    if args.memory:
        lines = [header(), *memory_table(args.window)]
        print("\n".join(lines))
        if args.save:
            with open(args.save, "w", encoding="utf-8") as saved:
                saved.write("\n".join(lines) + "\n")
        return
    print(header())

    # 0. 10**10 points reduced without the array, here and through Dask.
    for label, chunks in (("grid.reduce", None), ("grid.reduce through Dask", (10_000, 10_000))):
        mean, top, seconds, rss = in_own_process(reduce_without_array, 100_000, 100_000, chunks)
        print(f"0. {label}, mean and max of 1e10 points in one pass: mean {mean!r}, max {top!r}")
        print(f"   {rate(10**10, seconds)}; peak resident memory {rss / 2**20:.0f} MiB")

    # 1. 10**10 points through Dask.
    big = grid(100_000, 100_000)
    top, mean, seconds, blocks = reduce_with_dask(big)
    rss = peak_rss()
    print(f"1. to_dask, 100000 x 100000 = 1e10 points in {blocks} blocks of {big.to_dask(W).chunksize}: "
          f"max {top!r}, mean {mean!r}")
    print(f"   {rate(big.size, seconds)}; peak resident memory {rss / 2**20:.0f} MiB "
          f"({'under' if rss < GiB else 'NOT under'} 1 GiB)")

    # 2. A grid that fits: evaluate against to_dask on the same points.
    fits = grid(10_000, 10_000)
    top_e, mean_e, evaluated, seconds_e, again = reduce_in_memory(fits)
    top_d, mean_d, seconds_d, _ = reduce_with_dask(fits)
    assert top_e == top_d, (top_e, top_d)
    print(f"2. 10000 x 10000 = 1e8 points:\n   evaluate alone                         {rate(fits.size, evaluated)}")
    print(f"   evaluate into the same array again     {rate(fits.size, again)} (no fresh pages to fault in)")
    print(f"   evaluate, then NumPy's max and mean    {rate(fits.size, seconds_e)}")
    print(f"   to_dask max and mean                   {rate(fits.size, seconds_d)}; "
          f"to_dask / (evaluate + NumPy) time {seconds_d / seconds_e:.2f}; means differ by {abs(mean_e - mean_d):.1e}")
    print(f"   per point, the 1e10-point reduction took {(seconds / big.size) / (seconds_e / fits.size):.2f}x "
          "the time of evaluate + NumPy here")

    if args.skip_npy:
        return
    # 3. 2e9 points to disk.
    disk = grid(50_000, 40_000)
    path = os.path.join(args.folder, "scale-W.npy")
    need = 8 * disk.size
    free = shutil.disk_usage(args.folder).free
    print(f"3. to_npy, 50000 x 40000 = 2e9 points ({need / 1e9:.0f} GB) into {args.folder} ({free / 1e9:.0f} GB free)")
    if free < need * 1.1:
        print("   skipped: not enough free disk")
        return
    try:
        start = time.perf_counter()
        disk.to_npy(W, path, progress=True)
        seconds = time.perf_counter() - start
        print(f"   {rate(disk.size, seconds)}, {need / seconds / 1e6:.0f} MB/s")
        values = np.load(path, mmap_mode="r")
        node = disk.expression(W)
        rng = random.Random(12)
        edge = 64
        corners = [(0, 0), (0, 40_000 - edge), (50_000 - edge, 0), (50_000 - edge, 40_000 - edge)]
        origins = corners + [(rng.randrange(50_000 - edge), rng.randrange(40_000 - edge)) for _ in range(60)]
        for r, c in origins:
            expected = node.evaluate((edge, edge), origin=(r, c))
            got = np.asarray(values[r : r + edge, c : c + edge])
            assert got.tobytes() == expected.tobytes(), f"block at {(r, c)} differs"
        del values
        print(f"   {len(origins)} blocks of {edge} x {edge} equal evaluate of the same blocks bit for bit")
    finally:
        if os.path.exists(path):
            os.remove(path)
            print(f"   {path} deleted")


if __name__ == "__main__":
    main()
