"""Outputs are written whole or not at all: the command line run as a process over
what a user already has (files, links, devices, folders), ended by success, a
failure part-way, Ctrl-C or SIGTERM; and the helper every writer uses."""

import os
import resource
import signal
import socket
import stat
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

from vemiral_grid import Grid, save_png

processes = pytest.mark.skipif(
    bool(os.environ.get("VEMIRAL_UNDER_SANITIZER")), reason="starts processes (skipped under the sanitizers)"
)
SCRIPT = Path(sys.executable).with_name("vemiral-grid")
OLD = b"precious, not an array\n"
SMALL = ["x*y", "-a", "x=0:1:40", "-a", "y=0:1:50", "-q"]  # 16 kB of values
# Slow enough to be stopped while it streams into its temporary file.
SLOW = [" + ".join(f"sin({k}*x*y)" for k in range(1, 41)), "-a", "x=0:1:3000", "-a", "y=0:1:3000", "-q", "--stream"]


def snapshot(folder):
    """Everything under the folder (links not followed): kind, and content and
    mode, link target or device number."""
    seen = {}
    for root, dirs, files in os.walk(folder):
        for entry in dirs + files:
            path = Path(root) / entry
            name = str(path.relative_to(folder))
            mode = os.lstat(path).st_mode
            if stat.S_ISLNK(mode):
                seen[name] = ("link", os.readlink(path))
            elif stat.S_ISREG(mode):
                seen[name] = ("file", path.read_bytes(), stat.S_IMODE(mode))
            elif stat.S_ISDIR(mode):
                seen[name] = ("folder",)
            else:
                seen[name] = ("special", stat.S_IFMT(mode), os.lstat(path).st_rdev)
    return seen


def limit_file_size(size):
    def apply():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))

    return apply


def run(args, cwd, preexec=None):
    return subprocess.run([str(SCRIPT), *args], cwd=cwd, capture_output=True, text=True, timeout=120,
                          preexec_fn=preexec)


def stopped(args, cwd, signum):
    """The command, stopped by `signum` once its temporary file exists."""
    child = subprocess.Popen([str(SCRIPT), *args], cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 60
    while not any(name.endswith(".part") for _, _, files in os.walk(cwd) for name in files):
        assert child.poll() is None and time.monotonic() < deadline, "never started writing"
        time.sleep(0.005)
    child.send_signal(signum)
    out, err = child.communicate(timeout=60)
    return subprocess.CompletedProcess(child.args, child.returncode, out, err)


# --- what a user has at the target ---------------------------------------------------


def existing_file(folder):
    (folder / "out.npy").write_bytes(OLD)
    (folder / "out.npy").chmod(0o640)
    return "out.npy"


def link_to_file(folder):
    (folder / "real").mkdir()
    (folder / "real" / "data.npy").write_bytes(OLD)
    (folder / "out.npy").symlink_to("real/data.npy")
    return "out.npy"


WRITES = [
    # How the run ends: its arguments after the target, how it is run, status, whether the target changes.
    ("success", lambda folder, target: run([*SMALL, "-o", target], folder), 0, True),
    ("failure-part-way", lambda folder, target: run([*SMALL, "-o", target], folder, limit_file_size(4096)), 2, False),
    ("png-failure-after-npy", lambda folder, target: run(
        [*SMALL, "-o", target, "--png", "picture.png"], folder, limit_file_size(20_000)), 2, False),
    ("ctrl-c", lambda folder, target: stopped([*SLOW, "-o", target], folder, signal.SIGINT), 130, False),
    ("sigterm", lambda folder, target: stopped([*SLOW, "-o", target], folder, signal.SIGTERM), -signal.SIGTERM, False),
]


@processes
@pytest.mark.parametrize("ending, command, status, replaced", WRITES, ids=[w[0] for w in WRITES])
@pytest.mark.parametrize("make", [existing_file, link_to_file], ids=["file", "symlink"])
def test_a_target_is_replaced_whole_or_left_as_it_was(tmp_path, make, ending, command, status, replaced):
    target = make(tmp_path)
    before = snapshot(tmp_path)
    done = command(tmp_path, target)
    assert done.returncode == status, done.stderr
    assert "Traceback" not in done.stderr
    after = snapshot(tmp_path)
    assert not [name for name in after if name.endswith(".part")]  # no temporary file left
    if not replaced:
        assert after == before
        return
    # The file the link leads to holds the whole array, with the mode it had;
    # the link and everything else stay as they were.
    real = os.path.relpath(os.path.realpath(tmp_path / target), os.path.realpath(tmp_path))
    assert np.load(tmp_path / real).tobytes() == Grid(x=(0, 1, 40), y=(0, 1, 50)).evaluate("x*y").tobytes()
    assert {name for name in before.keys() | after.keys() if before.get(name) != after.get(name)} == {real}
    assert after[real][2] == before[real][2]


def device(folder):
    if os.geteuid() != 0:
        pytest.skip("making a device node needs root")
    os.mknod(folder / "null", 0o666 | stat.S_IFCHR, os.makedev(1, 3))  # a copy of /dev/null


def unix_socket(folder):
    with socket.socket(socket.AF_UNIX) as server:
        server.bind(str(folder / "sock"))  # the node stays when the socket closes


def folder_of_files(folder):
    (folder / "dir").mkdir()
    (folder / "dir" / "kept.txt").write_text("kept")


def old_file(folder):
    (folder / "a.npy").write_bytes(OLD)


REFUSED = [
    ("device", device, ["-o", "null"], "a character device"),
    ("fifo", lambda folder: os.mkfifo(folder / "pipe"), ["--png", "pipe"], "a FIFO"),
    ("socket", unix_socket, ["-o", "sock"], "a socket"),
    ("folder", folder_of_files, ["-o", "dir"], "a folder"),
    ("link-to-folder", lambda folder: (folder_of_files(folder), (folder / "link").symlink_to("dir")),
     ["--png", "link"], "a folder (where the link leads"),
    ("same-twice", old_file, ["-o", "a.npy", "--png", "a.npy"], "-o and --png name the same file"),
    ("same-through-a-link", lambda folder: (old_file(folder), (folder / "b.png").symlink_to("a.npy")),
     ["-o", "a.npy", "--png", "b.png"], "-o and --png name the same file"),
    ("fifo-as-store", lambda folder: os.mkfifo(folder / "pipe.zarr"), ["-o", "pipe.zarr", "--overwrite"], "a FIFO"),
    ("same-store-and-picture", old_file, ["-o", "a.zarr", "--png", "a.zarr"], "-o and --png name the same file"),
    ("empty", old_file, ["-o", ""], "cannot write the values to an empty path"),
    ("empty-png", old_file, ["--png", ""], "cannot write the picture to an empty path"),
]


@processes
@pytest.mark.parametrize("make, args, words", [r[1:] for r in REFUSED], ids=[r[0] for r in REFUSED])
def test_targets_that_are_not_regular_files_and_repeated_or_empty_paths_are_refused(tmp_path, make, args, words):
    make(tmp_path)
    before = snapshot(tmp_path)
    done = run([*SMALL, *args], tmp_path)
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr.startswith("vemiral-grid: error: ") and len(done.stderr.splitlines()) == 1
    assert words in done.stderr
    assert snapshot(tmp_path) == before


@processes
def test_a_formula_that_cannot_be_prepared_leaves_the_file(tmp_path):
    (tmp_path / "old.npy").write_bytes(OLD)
    before = snapshot(tmp_path)
    # Every tan doubles the chain: thirty of them are past the lowering budget
    # of the recurrences.
    product = "tan(" * 30 + "x*y" + ")" * 30
    for extra in ([], ["--stream"]):
        done = run([product, "-a", "x=0:1:3", "-a", "y=0:1:3", "-o", "old.npy", "--method", "recurrence", *extra],
                   tmp_path)
        assert done.returncode == 2 and "chain nodes" in done.stderr and "Traceback" not in done.stderr
        assert snapshot(tmp_path) == before


@processes
@pytest.mark.parametrize("text", ["sqrt(-1)", "x + sqrt(-4)", "ln(-1)"])
def test_formulas_with_nan_print_a_summary_without_warnings(tmp_path, text):
    done = run([text, "-a", "x=0:1:3"], tmp_path)
    assert done.returncode == 0 and done.stderr == ""
    assert done.stdout.startswith("shape (3,), min nan, max nan")


# --- the helper itself --------------------------------------------------------------


def test_save_png_and_to_npy_replace_through_a_link_and_refuse_a_fifo(tmp_path):
    grid = Grid(x=(0, 1, 20), y=(0, 1, 10))
    (tmp_path / "picture.png").write_bytes(OLD)
    (tmp_path / "link.png").symlink_to("picture.png")
    save_png(grid, grid.evaluate("x*y"), tmp_path / "link.png")
    assert (tmp_path / "link.png").is_symlink()
    assert (tmp_path / "picture.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    os.mkfifo(tmp_path / "pipe")
    with pytest.raises(OSError, match="a FIFO, not a regular file"):
        grid.to_npy("x", tmp_path / "pipe")
    with pytest.raises(ValueError, match="empty"):
        grid.to_npy("x", "")
    assert sorted(os.listdir(tmp_path)) == ["link.png", "picture.png", "pipe"]
