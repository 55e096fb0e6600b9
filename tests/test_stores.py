"""Writers under concurrent and foreign use: several writers of one target, in
processes and threads; writers killed (SIGKILL) at every kind of step, then a
later write; stores holding what to_zarr did not write; when an existing
target is replaced, kept or refused."""

import json
import os
import random
import re
import subprocess
import sys
import textwrap
import threading
import warnings
from pathlib import Path

import numpy as np
import pytest

from vemiral_grid import Grid, _files

xr = pytest.importorskip("xarray")
zarr = pytest.importorskip("zarr")

pytestmark = pytest.mark.skipif(bool(os.environ.get("VEMIRAL_UNDER_SANITIZER")), reason="starts processes")

RACE = Grid(x=(0.0, 1.0, 160), y=(0.0, 1.0, 160))  # a write of 64 chunks: long enough to overlap
SMALL = Grid(x=(0.0, 1.0, 20), y=(0.0, 1.0, 30))  # a write of 6 chunks: few steps to kill at
BIG = Grid(x=(0.0, 1.0, 1500), y=(0.0, 1.0, 1500))
HEAVY = " + ".join(f"sin({k}*x*y)" for k in range(1, 13))
AXES = ["-a", "x=0:1:160", "-a", "y=0:1:160"]  # RACE on the command line

# A worker reads one job per line (JSON) and answers one line: the exit
# status and what the writer said. "write" runs the write here; "kill" runs
# it in a forked child that sends itself SIGKILL just before its n-th file
# operation, or its n-th on a name beside the target ("at": ["any" or
# "beside", n]; without "at", none: the child reports the operations it saw).
WORKER = textwrap.dedent(r'''
    import contextlib, io, json, os, signal, sys, time
    import zarr
    from vemiral_grid import Grid, _cli

    # Not os.mkdir: how often zarr tries to make a folder varies with its threads.
    STEPS = {"open", "os.rename", "os.remove", "os.rmdir", "shutil.rmtree", "ctypes.dlopen", "fcntl.flock"}

    def write(job):
        if job["how"] == "cli":
            said = io.StringIO()
            with contextlib.redirect_stderr(said):
                status = _cli.run(job["argv"])
            return status, said.getvalue()
        grid = Grid(**{name: tuple(axis) for name, axis in job["grid"].items()})
        try:
            if job["how"] == "zarr":
                grid.to_zarr(job["formula"], job["target"], chunks=10 if grid.size < 1000 else 20, **job["flags"])
            else:
                grid.to_npy(job["formula"], job["target"])
        except OSError as error:
            return 1, f"{type(error).__name__}: {error}"
        return 0, ""

    def killed(job):
        read, out = os.pipe()
        pid = os.fork()
        if pid == 0:
            seen, folder = [], os.path.dirname(job["target"])
            counts = {"any": 0, "beside": 0}
            kind, n = job.get("at") or ("any", 0)
            def hook(event, args):
                if event in STEPS:
                    # Beside: a step on a name beside the target, or one without a name.
                    names = [os.fsdecode(a) for a in args[:2] if isinstance(a, (str, bytes))]
                    beside = not names or any(os.path.dirname(os.path.abspath(n)) == folder for n in names)
                    seen.append(event + " *" * beside)
                    counts["any"] += 1
                    counts["beside"] += beside
                    if counts[kind] == n and (kind == "any" or beside):
                        os.kill(os.getpid(), signal.SIGKILL)
            try:
                sys.addaudithook(hook)
                write(job)
                os.write(out, json.dumps(seen).encode())
            finally:
                os._exit(0)
        os.close(out)
        with os.fdopen(read) as pipe:
            _, status = os.waitpid(pid, 0)
            return -os.WTERMSIG(status) if os.WIFSIGNALED(status) else os.WEXITSTATUS(status), pipe.read()

    print("ready", flush=True)
    for line in sys.stdin:
        job = json.loads(line)
        time.sleep(job.get("delay", 0))
        print(json.dumps(killed(job) if job.get("kill") else write(job)), flush=True)
''')


class Worker:
    def __init__(self, log):
        self.process = subprocess.Popen([sys.executable, "-c", WORKER], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=log, text=True)

    def ready(self):
        assert self.process.stdout.readline() == "ready\n", "the worker did not start"

    def send(self, **job):
        self.process.stdin.write(json.dumps(job) + "\n")
        self.process.stdin.flush()

    def answer(self):
        status, said = json.loads(self.process.stdout.readline())
        return status, said

    def close(self):
        self.process.stdin.close()
        self.process.wait(60)
        self.process.stdout.close()


def start_workers(count, folder):
    with open(folder / "workers.log", "w") as log:
        workers = [Worker(log) for _ in range(count)]
    for worker in workers:
        worker.ready()
    return workers


@pytest.fixture(scope="module")
def racers(tmp_path_factory):
    workers = start_workers(2, tmp_path_factory.mktemp("racers"))
    yield workers
    for worker in workers:
        worker.close()


@pytest.fixture(scope="module")
def killer(tmp_path_factory):
    # Its own worker: it only forks, and a child forked from a process that
    # has written (zarr's event loop, vemiral's threads) would lack their threads.
    (worker,) = start_workers(1, tmp_path_factory.mktemp("killer"))
    yield worker
    worker.close()


def axes_of(grid):
    return {axis.name: (axis.start, axis.stop, axis.num) for axis in grid.axes}


def contents(path):
    """What a target holds: a store's files, or a file's bytes; None if nothing."""
    if path.is_dir():
        return {str(p.relative_to(path)): p.read_bytes() for p in sorted(path.rglob("*")) if p.is_file()}
    return path.read_bytes() if path.exists() else None


@pytest.fixture(scope="module")
def reference(tmp_path_factory):
    """What a write of a formula over a grid holds, as a .zarr (chunks as the
    worker cuts them) or a .npy, written once."""
    folder, known = tmp_path_factory.mktemp("references"), {}

    def of(suffix, formula, grid):
        key = (suffix, formula, grid.shape)
        if key not in known:
            target = folder / f"{len(known)}{suffix}"
            if suffix == ".zarr":
                grid.to_zarr(formula, target, chunks=10 if grid.size < 1000 else 20)
            else:
                grid.to_npy(formula, target)
            known[key] = contents(target)
        return known[key]

    return of


# --- several writers of one target ------------------------------------------------------

# family: (target name, what is there first, the job of writer i, whether writer i writes formula i)
RACES = {
    "to_zarr over a store": ("w.zarr", "store", lambda target, i: dict(
        how="zarr", grid=axes_of(RACE), formula=f"x*y + {i}", target=target, flags={"overwrite": True})),
    "to_zarr resume, nothing there": ("w.zarr", None, lambda target, i: dict(
        how="zarr", grid=axes_of(RACE), formula="x*y + 0", target=target, flags={"resume": True})),
    "command line -o DIR.zarr --overwrite": ("w.zarr", "store", lambda target, i: dict(
        how="cli", argv=[f"x*y + {i}", *AXES, "-o", target, "--chunks", "20", "--overwrite", "-q"])),
    "to_npy over a file": ("w.npy", "file", lambda target, i: dict(
        how="npy", grid=axes_of(BIG), formula=f"{HEAVY} + {i}", target=target)),
    "command line -o FILE.npy --stream": ("w.npy", "file", lambda target, i: dict(
        how="cli", argv=[f"{HEAVY} + {i}", "-a", "x=0:1:1500", "-a", "y=0:1:1500", "-o", target, "--stream", "-q"])),
}


def formula_of(job):
    return job["formula"] if job["how"] != "cli" else job["argv"][0]


@pytest.mark.parametrize("family", RACES, ids=RACES)
def test_writers_of_one_target_leave_one_whole_output_and_the_others_refused(racers, reference, tmp_path, family):
    name, first, job_of = RACES[family]
    grid = BIG if name.endswith(".npy") else RACE
    draw = random.Random(family)
    for trial in range(4 if family == "to_zarr over a store" else 2):
        folder = tmp_path / str(trial)
        folder.mkdir()
        target = folder / name
        if first == "store":
            grid.to_zarr("x - y", target, chunks=20)
        elif first == "file":
            target.write_bytes(b"the user's own file\n")
        jobs = [job_of(str(target), i) for i in range(len(racers))]
        for worker, job in zip(racers, jobs):
            worker.send(**job, delay=draw.uniform(0, 0.2))
        answers = [worker.answer() for worker in racers]
        winners = [job for job, (status, _) in zip(jobs, answers) if status == 0]
        assert winners, answers
        for status, said in answers:
            if status == 0:
                continue
            assert "another writer" in said and name in said and "Traceback" not in said, said
            if jobs[0]["how"] == "cli":
                assert status == 2 and said.startswith("vemiral-grid: error: cannot write the values to ")
                assert said.count("\n") == 1
            else:
                assert said.startswith("BlockingIOError: ")
        assert os.listdir(folder) == [name]  # nothing hidden left
        found = contents(target)
        assert any(found == reference(target.suffix, formula_of(job), grid) for job in winners)


def test_writers_in_threads(tmp_path):
    target, refused, done = tmp_path / "w.zarr", [], []
    start = threading.Barrier(4)

    def write(i):
        start.wait()
        try:
            SMALL.to_zarr(f"x + {i}", target, chunks=10, overwrite=True)
            done.append(i)
        except BlockingIOError as error:
            refused.append(str(error))

    threads = [threading.Thread(target=write, args=(i,)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert done and len(done) + len(refused) == 4
    # The holder is named once it has written its process id, a moment after it took the lock.
    assert all(re.search(r"another writer( \(in this process\))? is writing it", text) and str(target) in text
               for text in refused)
    assert os.listdir(tmp_path) == ["w.zarr"]
    assert xr.open_zarr(target)["values"].attrs["formula"] in {f"x + {i}" for i in done}


# --- writers killed at any step ---------------------------------------------------------

# family: (target name, what is there first, the job, the later write)
KILLS = {
    "to_zarr over a store": ("w.zarr", "store", dict(how="zarr", flags={"overwrite": True})),
    "to_zarr, nothing there": ("w.zarr", None, dict(how="zarr", flags={})),
    "to_npy over a file": ("w.npy", "file", dict(how="npy")),
}
NEW = "sin(x*y) + x"


def later_write(target, resume):
    if target.suffix == ".zarr":
        return SMALL.to_zarr(NEW, target, chunks=10, overwrite=True, resume=resume)
    return SMALL.to_npy(NEW, target)


def lay(folder, name, first):
    folder.mkdir()
    target = folder / name
    if first == "store":
        SMALL.to_zarr("x - y", target, chunks=10)
    elif first == "file":
        target.write_bytes(b"the user's own file\n")
    return target


@pytest.mark.parametrize("family", KILLS, ids=KILLS)
def test_a_writer_killed_at_any_step_leaves_the_target_whole_and_the_next_write_cleans_up(
    killer, reference, tmp_path, family
):
    name, first, job = KILLS[family]
    job = dict(job, grid=axes_of(SMALL), formula=NEW, kill=True)
    new = reference(Path(name).suffix, NEW, SMALL)
    killer.send(**job, target=str(lay(tmp_path / "count", name, first)))
    status, steps = killer.answer()
    steps = json.loads(steps)
    assert status == 0 and steps
    # Every step on a name beside the target (the lock, the hidden store, the
    # swap, the old store's removal), and a few others (chunks written, files
    # synced, the old store's files removed).
    beside = [step for step in steps if step.endswith(" *")]
    moments = [("beside", j, step) for j, step in enumerate(beside, 1)]
    moments += [("any", k, steps[k - 1]) for k in random.Random(family).sample(range(1, len(steps) + 1), 4)]
    for trial, (kind, n, step) in enumerate(moments):
        folder = tmp_path / str(trial)
        target = lay(folder, name, first)
        old = contents(target)
        killer.send(**job, target=str(target), at=(kind, n))
        status, _ = killer.answer()
        assert status == -9, f"{step} ({kind} step {n}) was not reached"
        assert contents(target) in (old, new), f"killed before {step} ({kind} step {n})"
        later_write(target, resume=trial % 2 == 0)
        assert os.listdir(folder) == [name], f"killed before {step} ({kind} step {n})"
        assert contents(target) == new


# --- stores holding what to_zarr did not write ----------------------------------------------

W = "x*y"


def extra_array(target):
    zarr.open_group(target, mode="r+").create_array("mask", shape=(3,), dtype="i1")


def extra_variable(target):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # zarr's note on consolidated metadata
        xr.Dataset({"depth": (SMALL.names, np.zeros(SMALL.shape))}).to_zarr(target, mode="a")


def extra_attribute(target):
    zarr.open_array(target, path="values", mode="r+").attrs["units"] = "m"


FOREIGN = {
    # what is added to a finished store, the words of the refusal, the error with resume=True
    "an extra array": (extra_array, "an array 'mask'", FileExistsError),
    "an extra file": (lambda target: (target / "NOTES.txt").write_text("mine"), "a file 'NOTES.txt'", FileExistsError),
    "an extra xarray variable": (extra_variable, "an array 'depth'", FileExistsError),
    "a file among the chunks": (lambda target: (target / "values" / "c" / "README").write_text("x"),
                                "a file 'values/c/README'", FileExistsError),
    "an attribute of the group": (lambda target: zarr.open_group(target, mode="r+").attrs.update(source="me"),
                                  "an attribute 'source' of the group", FileExistsError),
    # An attribute of the values may have been given to to_zarr (attrs=): a store of other values.
    "an attribute of the values": (extra_attribute, r"another set of attributes, \{'units': 'm'\}", ValueError),
    "another formula": (lambda target: SMALL.to_zarr("x + y", target, chunks=10, overwrite=True),
                        "another formula, 'x [+] y'", ValueError),
}


@pytest.mark.parametrize("resume", [False, True], ids=["plain", "resume"])
@pytest.mark.parametrize("change, words, resumed", FOREIGN.values(), ids=FOREIGN)
def test_a_store_with_what_to_zarr_did_not_write_is_refused(reference, tmp_path, change, words, resumed, resume):
    target = SMALL.to_zarr(W, tmp_path / "w.zarr", chunks=10)
    change(target)
    before = {p.name: contents(p) for p in tmp_path.iterdir()}
    error = resumed if resume else FileExistsError
    with pytest.raises(error, match=words + (".*overwrite=True" if error is FileExistsError else "")):
        SMALL.to_zarr(W, target, chunks=10, resume=resume)
    assert {p.name: contents(p) for p in tmp_path.iterdir()} == before
    SMALL.to_zarr(W, target, chunks=10, resume=resume, overwrite=True)
    assert contents(target) == reference(".zarr", W, SMALL)
    assert os.listdir(tmp_path) == ["w.zarr"]


# --- when an existing target is replaced, kept or refused ------------------------------------


def interrupted(formula):
    def make(target):
        seen = []

        def progress(done, total):
            seen.append(done)
            if len(seen) >= 3:
                raise KeyboardInterrupt

        with pytest.raises(KeyboardInterrupt):
            SMALL.to_zarr(formula, target, chunks=10, progress=progress, overwrite=True)

    return make


STATES = {
    "nothing": lambda target: None,
    "this store": lambda target: SMALL.to_zarr(W, target, chunks=10),
    "another formula": lambda target: SMALL.to_zarr("x + y", target, chunks=10),
    "a file": lambda target: target.write_text("mine"),
    "a folder": lambda target: (target.mkdir(), (target / "kept.txt").write_text("mine")),
    "an interrupted write": interrupted(W),
    "an interrupted write of another formula": interrupted("x + y"),
}
NONE, RESUME, OVERWRITE, BOTH = {}, {"resume": True}, {"overwrite": True}, {"resume": True, "overwrite": True}
RULES = [
    # what is there, the flags, what comes of it (written, resumed, kept, or the error and its words)
    ("nothing", NONE, "written", None),
    ("nothing", RESUME, "written", None),
    ("this store", NONE, FileExistsError, "a store of these values.*overwrite=True.*or resume=True"),
    ("this store", RESUME, "kept", None),
    ("this store", OVERWRITE, "written", None),
    ("another formula", NONE, FileExistsError, "another formula.*overwrite=True"),
    ("another formula", RESUME, ValueError, "cannot resume .*another formula"),
    ("another formula", OVERWRITE, "written", None),
    ("another formula", BOTH, "written", None),
    ("a file", NONE, FileExistsError, "a file.*overwrite=True"),
    ("a file", RESUME, FileExistsError, "a file.*overwrite=True"),
    ("a file", OVERWRITE, "written", None),
    ("a folder", NONE, FileExistsError, "no store of vemiral values"),
    ("a folder", OVERWRITE, "written", None),
    ("an interrupted write", NONE, "written", None),
    ("an interrupted write", RESUME, "resumed", None),
    ("an interrupted write of another formula", RESUME, ValueError, "cannot resume .*another formula"),
    ("an interrupted write of another formula", BOTH, "written", None),
]


@pytest.mark.parametrize("state, flags, outcome, words", RULES,
                         ids=[f"{r[0]}-{'+'.join(r[1]) or 'plain'}" for r in RULES])
def test_an_existing_target_is_replaced_kept_or_refused(reference, tmp_path, state, flags, outcome, words):
    target = tmp_path / "w.zarr"
    STATES[state](target)
    before = {p.name: contents(p) for p in tmp_path.iterdir()}
    if isinstance(outcome, type):
        with pytest.raises(outcome, match=words):
            SMALL.to_zarr(W, target, chunks=10, **flags)
        assert {p.name: contents(p) for p in tmp_path.iterdir()} == before
        return
    reported = []
    SMALL.to_zarr(W, target, chunks=10, progress=lambda done, total: reported.append(done), **flags)
    if outcome == "kept":
        assert {p.name: contents(p) for p in tmp_path.iterdir()} == before and reported == []
    else:
        assert os.listdir(tmp_path) == ["w.zarr"]
        assert contents(target) == reference(".zarr", W, SMALL)
        # A resumed write starts from the chunks done before; a new one from one chunk.
        assert (reported[0] > 10 * 10) == (outcome == "resumed")


# --- what dead writers leave beside a target ---------------------------------------------

TOKEN = "0123456789ab"
LEFT = {
    # name beside the target, a folder (or a file), what is found after a write
    "a temporary file": (f".w.zarr.{TOKEN}.part", False, []),
    "a store on its way in or out": (f".w.zarr.replaced-{TOKEN}", True, []),
    "a store set aside, the target there": (f".w.zarr.previous-{TOKEN}", True, []),
    "a lock of a dead writer": (".w.zarr.lock", False, []),
    "another target's hidden folder": (".w.zarr.b.incomplete", True, [".w.zarr.b.incomplete"]),
    "a name with a token of another length": (f".w.zarr.replaced-{TOKEN}0", True, [f".w.zarr.replaced-{TOKEN}0"]),
    "a temporary file of another target": (f".w.zarr.b.{TOKEN}.part", False, [f".w.zarr.b.{TOKEN}.part"]),
}


@pytest.mark.parametrize("name, folder, kept", LEFT.values(), ids=LEFT)
def test_what_a_dead_writer_left_is_removed_and_nothing_else(tmp_path, name, folder, kept):
    target = SMALL.to_zarr("x - y", tmp_path / "w.zarr", chunks=10)
    if folder:
        (tmp_path / name).mkdir()
        (tmp_path / name / "zarr.json").write_text("{}")
    else:
        (tmp_path / name).write_text("99999999\n")  # a process id no process has
    SMALL.to_zarr(W, target, chunks=10, overwrite=True)
    assert sorted(os.listdir(tmp_path)) == sorted(["w.zarr", *kept])


def test_a_store_set_aside_while_its_target_was_missing_is_put_back(tmp_path):
    # Where folders cannot be exchanged in one step, a writer killed between its
    # two renames leaves the old store set aside: the next writer puts it back.
    target = tmp_path / "w.zarr"
    old = contents(SMALL.to_zarr("x - y", tmp_path / f".w.zarr.previous-{TOKEN}", chunks=10))
    with pytest.raises(FileExistsError, match="another formula"):
        SMALL.to_zarr(W, target, chunks=10)
    assert os.listdir(tmp_path) == ["w.zarr"] and contents(target) == old


def test_a_held_lock_refuses_other_writers_and_says_who(racers, tmp_path):
    target = _files.target_of(tmp_path / "w.npy")
    with _files.claimed(target):
        with pytest.raises(BlockingIOError, match=r"another writer \(in this process\) is writing it.*w\.npy"):
            SMALL.to_npy(W, target)
        racers[0].send(how="npy", grid=axes_of(SMALL), formula=W, target=str(target))
        status, said = racers[0].answer()
        assert status == 1 and f"another writer (process {os.getpid()}) is writing it" in said
        assert os.listdir(tmp_path) == [".w.npy.lock"]
    assert os.listdir(tmp_path) == []
