"""Grids streamed into .npy files: equal to evaluate, whole or absent after any failure, refusals up front."""

import errno
import math
import os
import re
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from vemiral_grid import Grid, storage
from vemiral_grid._tiles import file_runs, whole_tiles

W = "sin(x*y) + cos(x + y)"


def same_bits(a, b):
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


@pytest.fixture
def small_blocks(monkeypatch):
    # Blocks of 4 KiB: even small grids are written in many pieces.
    monkeypatch.setattr(storage, "BLOCK_BYTES", 4096)


GRIDS = {
    "1-D": (Grid.from_steps(t=(0.0, 0.001, 10_007)), "sin(t) * exp(-t)"),
    "2-D": (Grid(x=(0.0, 2.0, 301), y=(-1.0, 1.0, 257)), W),
    "3-D": (Grid.from_steps(x=(0.0, 0.1, 13), y=(1.0, 0.2, 17), z=(-1.0, 0.05, 31)), "sin(x*y) * exp(-z) + cos(x + z)"),
    "one point": (Grid(x=(0.5, 0.5, 1)), "tan(x)"),
}


@pytest.mark.parametrize("grid, expr", GRIDS.values(), ids=GRIDS.keys())
@pytest.mark.parametrize("blocks", ["small blocks", "default blocks"])
def test_the_file_holds_evaluate_bit_for_bit(grid, expr, blocks, tmp_path, request):
    if blocks == "small blocks":
        request.getfixturevalue("small_blocks")
    path = tmp_path / "grid.npy"
    assert grid.to_npy(expr, path) == path
    expected = grid.evaluate(expr)
    assert same_bits(np.load(path), expected)
    assert same_bits(np.asarray(np.load(path, mmap_mode="r")), expected)
    assert os.listdir(tmp_path) == ["grid.npy"]


@pytest.mark.parametrize("tile", [9, (5, 64)], ids=str)
def test_a_given_tile_gives_evaluate_with_that_tile(tile, tmp_path, small_blocks):
    grid = Grid(x=(0.0, 2.0, 301), y=(-1.0, 1.0, 257))
    grid.to_npy(W, tmp_path / "g.npy", tile=tile)
    assert same_bits(np.load(tmp_path / "g.npy"), grid.evaluate(W, tile=tile))


def test_the_file_is_created_as_open_would_create_it(tmp_path):
    mask = os.umask(0o027)
    try:
        Grid(x=(0, 1, 10)).to_npy("x", tmp_path / "g.npy")
    finally:
        os.umask(mask)
    assert os.stat(tmp_path / "g.npy").st_mode & 0o777 == 0o640


def test_an_existing_file_is_replaced_whole(tmp_path):
    path = tmp_path / "g.npy"
    np.save(path, np.arange(5.0))
    grid = Grid(x=(0, 1, 100), y=(0, 1, 3))
    grid.to_npy("x*y", path)
    assert same_bits(np.load(path), grid.evaluate("x*y"))


PROGRESS = {"bar forced": True, "bar off": False}


@pytest.mark.parametrize("progress", PROGRESS.values(), ids=PROGRESS.keys())
def test_the_progress_bar_goes_to_standard_error(progress, tmp_path, capsys):
    Grid(x=(0, 1, 1000)).to_npy("x", tmp_path / "g.npy", progress=progress)
    out, err = capsys.readouterr()
    assert out == ""
    assert ("vemiral to_npy" in err) == progress


def test_a_progress_callable_sees_every_block(tmp_path, small_blocks):
    grid = Grid(x=(0, 1, 200), y=(0, 1, 30))
    seen = []
    grid.to_npy("x + y", tmp_path / "g.npy", progress=lambda done, total: seen.append((done, total)))
    assert len(seen) > 5
    assert all(total == 6000 for _, total in seen)
    assert [done for done, _ in seen] == sorted({done for done, _ in seen})
    assert seen[-1][0] == 6000


# --- blocks -------------------------------------------------------------------


@pytest.mark.parametrize(
    "shape, edges, points",
    [
        ((10,), (3,), 4),
        ((7, 11), (2, 4), 20),
        ((7, 11), (2, 4), 5),
        ((7, 11), (8, 8), 1000),
        ((3, 5, 9), (2, 2, 2), 12),
        ((3, 5, 9), (2, 2, 2), 50),
        ((4, 1, 6), (1, 1, 4), 1),
        ((2, 3, 4, 5), (3, 3, 3, 3), 17),
    ],
    ids=str,
)
def test_file_runs_cover_the_grid_once_in_file_order(shape, edges, points):
    covered = np.zeros(shape, dtype=np.int64)
    position = 0
    for origin, block, offset in file_runs(shape, edges, points):
        assert offset == position
        index = tuple(slice(o, o + b) for o, b in zip(origin, block))
        covered[index] += 1
        # Contiguous: the block is the next stretch of the flattened grid.
        flat = np.arange(math.prod(shape)).reshape(shape)[index].ravel()
        assert np.array_equal(flat, np.arange(position, position + flat.size))
        position += flat.size
    assert position == math.prod(shape) and (covered == 1).all()


@pytest.mark.parametrize(
    "shape, edges, points, block",
    [
        ((100_000, 100_000), (256, 256), 2**24, (256, 50_176)),
        ((1000, 1000), (64, 64), 2**24, (1000, 1000)),
        ((10**6,), (100,), 1000, (1000,)),
        ((10**6,), (300,), 1000, (900,)),
        ((5, 10**7), (4, 4), 2**20, (4, 256_412)),
        ((100_000, 100_000), (4096, 4096), 2**24, (4096, 4096)),
        ((100_000, 100_000), (2000, 2000), 2**24, (2000, 8000)),
        ((1000, 1000, 1000), (4096, 4096, 4096), 2**24, (16, 1000, 1000)),
        ((10**5, 3, 10**5), (4096, 4096, 4096), 2**24, (1352, 3, 4096)),
        ((7, 10**8), (4096, 4096), 2**24, (7, 582 * 4096)),
    ],
    ids=str,
)
def test_whole_tiles(shape, edges, points, block):
    got = whole_tiles(shape, edges, points)
    assert math.prod(got) <= points
    assert got == block


# --- refusals before any work ---------------------------------------------------


def test_a_missing_folder_is_refused(tmp_path):
    with pytest.raises(FileNotFoundError):
        Grid(x=(0, 1, 10)).to_npy("x", tmp_path / "missing" / "g.npy")
    assert os.listdir(tmp_path) == []


def test_a_file_as_the_folder_is_refused(tmp_path):
    (tmp_path / "plain").write_text("")
    with pytest.raises(NotADirectoryError):
        Grid(x=(0, 1, 10)).to_npy("x", tmp_path / "plain" / "g.npy")
    with pytest.raises(IsADirectoryError):
        Grid(x=(0, 1, 10)).to_npy("x", tmp_path)


def test_a_folder_that_cannot_be_written_is_refused():
    # sysfs refuses new files even to root, so this holds whoever runs the tests.
    with pytest.raises(PermissionError):
        Grid(x=(0, 1, 10)).to_npy("x", "/sys/vemiral-test.npy")
    assert not os.path.exists("/sys/vemiral-test.npy")


def test_a_grid_larger_than_the_free_space_is_refused_up_front(tmp_path):
    # 8 * 10**15 bytes: no disk here has that much free.
    grid = Grid(x=(0, 1, 10**5), y=(0, 1, 10**5), z=(0, 1, 10**5))
    with pytest.raises(OSError) as refused:
        grid.to_npy("x + y + z", tmp_path / "g.npy")
    assert refused.value.errno == errno.ENOSPC
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("expr", ["sin(x", "x + q", "x.real"], ids=["unbalanced", "unknown axis", "attribute"])
def test_a_refused_expression_touches_no_file(expr, tmp_path):
    with pytest.raises(ValueError):
        Grid(x=(0, 1, 10)).to_npy(expr, tmp_path / "g.npy")
    assert os.listdir(tmp_path) == []


# --- failures and interruptions while writing -----------------------------------


def run_child(code, *args, **kwargs):
    return subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        **kwargs,
    )


def test_running_out_of_room_while_reserving_removes_the_partial_file(tmp_path):
    # A real limit on file size: writing past it fails with EFBIG, as a full
    # disk fails with ENOSPC, after the up-front check passed.
    child = run_child(
        """
        import resource, signal, sys
        from vemiral_grid import Grid
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (2**20, 2**20))
        try:
            Grid(x=(0, 1, 1000), y=(0, 1, 1000)).to_npy("x*y", sys.argv[1])
        except OSError as e:
            print("OSError", e.errno)
        """,
        tmp_path / "g.npy",
    )
    out, err = child.communicate(timeout=60)
    assert child.returncode == 0, err
    assert out.split() == ["OSError", str(errno.EFBIG)]
    assert os.listdir(tmp_path) == []


def test_an_exception_from_the_progress_callable_leaves_the_old_file(tmp_path, small_blocks):
    path = tmp_path / "g.npy"
    np.save(path, np.arange(3.0))
    before = path.read_bytes()
    calls = []

    def interrupt(done, total):
        calls.append(done)
        if len(calls) == 3:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        Grid(x=(0, 1, 300), y=(0, 1, 300)).to_npy(W, path, progress=interrupt)
    assert len(calls) == 3
    assert os.listdir(tmp_path) == ["g.npy"] and path.read_bytes() == before


# The child stops inside its first progress call, with part of the grid written.
STOPPED_CHILD = """
    import sys, time
    from vemiral_grid import Grid, storage
    storage.BLOCK_BYTES = 2**16

    def stop(done, total):
        print("writing", flush=True)
        time.sleep(60)

    Grid(x=(0, 1, 500), y=(0, 1, 500)).to_npy("sin(x*y)", sys.argv[1], progress=stop)
"""


def test_ctrl_c_while_writing_leaves_no_file(tmp_path):
    child = run_child(STOPPED_CHILD, tmp_path / "g.npy")
    assert child.stdout.readline() == "writing\n"
    # The temporary file, under another name, and the writer's lock.
    assert sorted(name.rsplit(".", 1)[-1] for name in os.listdir(tmp_path)) == ["lock", "part"]
    child.send_signal(signal.SIGINT)
    _, err = child.communicate(timeout=60)
    assert "KeyboardInterrupt" in err
    assert os.listdir(tmp_path) == []


def test_a_killed_write_leaves_nothing_that_looks_complete(tmp_path):
    child = run_child(STOPPED_CHILD, tmp_path / "g.npy")
    assert child.stdout.readline() == "writing\n"
    child.kill()
    child.communicate(timeout=60)
    assert child.returncode == -signal.SIGKILL
    assert not (tmp_path / "g.npy").exists()
    left, lock = sorted(tmp_path.iterdir(), key=lambda path: path.name.endswith(".lock"))
    assert left.name.startswith(".g.npy.") and left.name.endswith(".part") and lock.name == ".g.npy.lock"
    # Not even the leftover reads as an array: its header is written last.
    with pytest.raises(ValueError):
        np.load(left)
    # The next write takes the dead writer's lock and removes what it left.
    Grid(x=(0, 1, 5)).to_npy("x", tmp_path / "g.npy")
    assert os.listdir(tmp_path) == ["g.npy"]


# --- the command line -----------------------------------------------------------


def cli(*args):
    return subprocess.run([sys.executable, "-m", "vemiral_grid", *map(str, args)], capture_output=True, text=True, timeout=120)


def test_the_command_line_streams_on_request(tmp_path):
    run = cli(W, "-a", "x=0:2:301", "-a", "y=-1:1:257", "-o", tmp_path / "w.npy", "--stream")
    assert run.returncode == 0, run.stderr
    assert "streamed" in run.stderr
    expected = Grid(x=(0.0, 2.0, 301), y=(-1.0, 1.0, 257)).evaluate(W)
    assert same_bits(np.load(tmp_path / "w.npy"), expected)


def test_the_command_line_streams_a_grid_beyond_half_the_memory(tmp_path):
    from vemiral_grid._cli import streams

    huge = ["-a", "x=0:1:1000000", "-a", "y=0:1:1000000", "-a", "z=0:1:10"]
    assert streams(Grid(x=(0, 1, 10**6), y=(0, 1, 10**6), z=(0, 1, 10)))
    assert not streams(Grid(x=(0, 1, 1000), y=(0, 1, 1000)))
    # 80 TB: streamed, so refused for want of disk (in memory it would be a MemoryError).
    run = cli("x + y + z", *huge, "-o", tmp_path / "huge.npy")
    assert run.returncode == 2
    assert re.search(r"the file needs 8\d{13} bytes, the disk has \d+ free", run.stderr), run.stderr
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize(
    "extra, message",
    [(["--stream"], "--stream needs -o"), (["--stream", "-o", "{}/w.npy", "--png", "{}/w.png"], "--png draws")],
    ids=["without -o", "with --png"],
)
def test_the_command_line_refuses_stream_misuse(extra, message, tmp_path):
    run = cli("x", "-a", "x=0:1:10", *[e.format(tmp_path) for e in extra])
    assert run.returncode == 2 and message in run.stderr
    assert os.listdir(tmp_path) == []
