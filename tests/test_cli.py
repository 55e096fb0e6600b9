"""The vemiral-grid command line: run as a process, its files read back, its refusals (one line, status 2)."""

import contextlib
import fcntl
import io
import json
import os
import pty
import struct
import subprocess
import sys
import termios
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

from vemiral_grid import Grid
from vemiral_grid._cli import run

# Starting interpreters is slow under the sanitizers; the in-process tests
# below still run there.
processes = pytest.mark.skipif(
    bool(os.environ.get("VEMIRAL_UNDER_SANITIZER")), reason="starts processes (skipped under the sanitizers)"
)
SCRIPT = Path(sys.executable).with_name("vemiral-grid")


def cli(*args, cwd, module=False, text=True):
    command = [sys.executable, "-m", "vemiral_grid"] if module else [str(SCRIPT)]
    return subprocess.run(command + list(args), cwd=cwd, capture_output=True, text=text, timeout=120)


@processes
@pytest.mark.parametrize("module", [False, True], ids=["vemiral-grid", "python-m"])
def test_writes_the_array_of_grid_evaluate_and_a_picture(tmp_path, module):
    done = cli("sin(x*y) + cos(x+y)", "-a", "x=0:1:120", "-a", "y=1:3:80", "-o", "wave.npy",
               "--png", "wave.png", cwd=tmp_path, module=module)
    assert done.returncode == 0, done.stderr
    expected = Grid(x=(0, 1, 120), y=(1, 3, 80)).evaluate("sin(x*y) + cos(x+y)")
    assert np.load(tmp_path / "wave.npy").tobytes() == expected.tobytes()
    with Image.open(tmp_path / "wave.png") as image:
        assert image.format == "PNG" and image.size == (700, 550)
        assert len(image.getcolors(1 << 20)) > 100  # a heat map, not a blank canvas
    assert done.stderr.splitlines() == ["vemiral-grid: wrote wave.npy", "vemiral-grid: wrote wave.png"]


@processes
def test_line_plot_for_one_dimension_and_a_named_slice_of_three(tmp_path):
    assert cli("sin(x)", "-a", "x=0:6.3:200", "--png", "line.png", "-q", cwd=tmp_path).returncode == 0
    done = cli("x*y*z", "-a", "x=0:1:20", "-a", "y=0:1:30", "-a", "z=0:1:5", "--at", "z=2", "--png", "cut.png",
               "--quiet", "--tile", "4,8,2", cwd=tmp_path)
    assert (done.returncode, done.stdout, done.stderr) == (0, "", "")
    with Image.open(tmp_path / "line.png") as line, Image.open(tmp_path / "cut.png") as cut:
        assert (line.size, cut.size) == ((700, 400), (700, 550))


MINUS = {
    "plain": (["-x*y", "-a", "x=0:1:3", "-s", "y=-1:2:2"], "-x*y"),
    "a function, an axis joined to -a": (["-sin(x)*y", "-ax=0:1:3", "-s", "y=-1:2:2"], "-sin(x)*y"),
    "leading-space": ([" -x*y", "-a", "x=0:1:3", "-a", "y=-1:1:2"], "-x*y"),
    "after-dashes": (["-a", "x=0:1:3", "-a", "y=-1:1:2", "--", "-x*y"], "-x*y"),
}


@processes
@pytest.mark.parametrize("args, formula", MINUS.values(), ids=MINUS.keys())
def test_an_expression_beginning_with_a_minus(tmp_path, args, formula):
    done = cli("-o", "m.npy", "-q", *args, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert np.load(tmp_path / "m.npy").tobytes() == Grid(x=(0, 1, 3), y=(-1, 1, 2)).evaluate(formula).tobytes()


def on_a_terminal(*args, cwd):
    """stderr of the command run with standard error on a pseudo-terminal."""
    leader, follower = pty.openpty()
    # A terminal of 80 columns: tqdm draws nothing on one without a width.
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    child = subprocess.Popen([str(SCRIPT), *args], cwd=cwd, stdout=subprocess.DEVNULL, stderr=follower)
    os.close(follower)
    seen = b""
    with contextlib.suppress(OSError):  # EIO once the child has closed its end
        while chunk := os.read(leader, 1 << 16):
            seen += chunk
    os.close(leader)
    assert child.wait(120) == 0
    return seen.decode(errors="replace")


@processes
def test_a_large_grid_shows_progress_on_a_terminal_only(tmp_path):
    large = ["x + y", "-a", "x=0:1:2100", "-a", "y=0:1:2000"]
    done = cli(*large, cwd=tmp_path)
    assert done.returncode == 0 and done.stderr == ""  # a pipe: no bar unasked
    summary = done.stdout.split(" (0 NaN")[0]
    assert summary.startswith("shape (2100, 2000), min 0.0, max ")
    assert float(summary.split("max ")[1].split(",")[0]) == pytest.approx(2.0, abs=1e-12)
    assert float(summary.split("mean ")[1]) == pytest.approx(1.0, abs=1e-12)
    assert done.stdout.endswith("(0 NaN skipped; write them with -o FILE.npy, draw them with --png FILE.png)\n")
    assert "vemiral summary" in on_a_terminal(*large, cwd=tmp_path)
    assert on_a_terminal(*large, "--no-progress", cwd=tmp_path) == ""
    assert on_a_terminal(*large, "-q", cwd=tmp_path) == ""


BARS = {
    # Forced on small grids: each bar is named after what it does, and counts points, not rows.
    "summary": ([], "vemiral summary"),
    "evaluate 1-D": (["-o", "v.npy"], "vemiral evaluate"),
    "npy streamed": (["-o", "v.npy", "--stream"], "vemiral to_npy"),
    "zarr": (["-o", "v.zarr"], "vemiral to_zarr"),
    "standard output": (["-o", "-"], "vemiral to standard output"),
}


@processes
@pytest.mark.parametrize("args, title", BARS.values(), ids=BARS.keys())
def test_progress_bars_on_request_are_named_after_what_they_do(tmp_path, args, title):
    done = cli("sin(t)", "-s", "t=0:1/8000:8000", "--progress", "-q", *args, cwd=tmp_path, text=False)
    assert done.returncode == 0, done.stderr
    assert title in done.stderr.decode() and "row" not in done.stderr.decode()


def read_npz(path):
    with np.load(path) as archive:
        return archive["values"], {name: archive[name] for name in archive.files if name != "values"}


def read_netcdf(path):
    xr = pytest.importorskip("xarray")
    with xr.open_dataarray(path) as array:
        assert array.attrs["formula"] == FORMULA and array.attrs["method"] == "accurate"
        return array.values, {name: array.coords[name].values for name in array.dims}


def read_zarr(path):
    zarr = pytest.importorskip("zarr")
    return zarr.open_array(path, path="values")[...], None


FORMULA = "sin(x*y) - 1/3"
TWO = (["-a", "x=0:1:7", "-s", "y=-1:0.5:5"], Grid._of([Grid(x=(0, 1, 7)).axes[0], Grid.from_steps(y=(-1, 0.5, 5)).axes[0]]))
ONE = (["-a", "x=0:1:7", "-p", "y=3"], Grid(x=(0, 1, 7)))
FORMATS = {
    # -o NAME, the axes (and the grid they make), how the file reads back: (values, coordinates or None).
    "npy": ("v.npy", *TWO, lambda p: (np.load(p), None)),
    "npz": ("v.npz", *TWO, read_npz),
    "csv 2-D": ("v.csv", *TWO, lambda p: (np.loadtxt(p, delimiter=",", ndmin=2), None)),
    "csv 1-D": ("v.csv", *ONE, lambda p: (np.loadtxt(p, delimiter=","), None)),
    "nc": ("v.nc", *TWO, read_netcdf),
    "upper case npy": ("V.NPY", *TWO, lambda p: (np.load(p), None)),
    "upper case zarr": ("W.ZARR", *TWO, read_zarr),
}


@processes
@pytest.mark.parametrize("name, axes, grid, read", FORMATS.values(), ids=FORMATS.keys())
def test_the_extension_names_the_format(tmp_path, name, axes, grid, read):
    done = cli(FORMULA, *axes, "-o", name, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    expected = grid.evaluate(FORMULA, params={"y": 3.0}) if grid.ndim == 1 else grid.evaluate(FORMULA)
    values, coords = read(tmp_path / name)
    assert values.dtype == np.float64 and values.tobytes() == expected.tobytes()
    assert coords is None or all(np.array_equal(coords[n], grid.coords[n]) for n in grid.names)
    assert os.listdir(tmp_path) == [name]  # no temporary left beside it


@processes
@pytest.mark.parametrize("target", ["-", "/dev/stdout"])
@pytest.mark.parametrize("extra", [[], ["--png", "p.png"]], ids=["streamed", "with a picture"])
def test_the_values_go_to_standard_output_as_npy(tmp_path, target, extra):
    done = cli("x*y", "-a", "x=0:1:300", "-s", "y=0:1/3:70", "--dtype", "float32", "-o", target, *extra,
               cwd=tmp_path, text=False)
    assert done.returncode == 0, done.stderr
    expected = Grid._of([Grid(x=(0, 1, 300)).axes[0], Grid.from_steps(y=(0, 1 / 3, 70)).axes[0]]).evaluate("x*y")
    assert np.load(io.BytesIO(done.stdout)).tobytes() == expected.astype(np.float32).tobytes()
    assert os.listdir(tmp_path) == (["p.png"] if extra else [])


@processes
def test_the_summary_counts_nan_and_infinities(tmp_path):
    args = ["log(x)/x", "-s", "x=-1:0.5:5"]  # NaN twice, -inf, log(0.5)/0.5, 0
    summary = json.loads(cli(*args, "--json", cwd=tmp_path).stdout)
    assert summary == {"shape": [5], "axes": ["x"], "points": 5, "min": "-inf", "max": 0.0, "mean": "-inf",
                       "nan": 2, "infinite": 1}
    assert ", max 0.0, mean -inf (2 NaN skipped; " in cli(*args, cwd=tmp_path).stdout
    finite = json.loads(cli("x", "-a", "x=0:1:5", "--json", cwd=tmp_path).stdout)
    assert (finite["mean"], finite["nan"], finite["infinite"]) == (0.5, 0, 0)


@processes
@pytest.mark.parametrize("length", [250, 255, 256])
@pytest.mark.parametrize("suffix", [".npy", ".zarr"])
def test_names_as_long_as_a_folder_takes(tmp_path, length, suffix):
    name = "v" * (length - len(suffix)) + suffix
    done = cli("x", "-a", "x=0:1:3", "-o", name, "-q", cwd=tmp_path)
    if length <= 255:
        assert done.returncode == 0, done.stderr
        assert os.listdir(tmp_path) == [name]
    else:  # the name itself is too long: refused naming it
        assert done.returncode == 2 and f"{name}: File name too long" in done.stderr
        assert os.listdir(tmp_path) == []


BAD = [
    (["x +", "-a", "x=0:1:10"], "syntax error"),
    (["z", "-a", "x=0:1:10"], "unknown name 'z'"),
    (["x", "-a", "x=0:1"], "malformed axis 'x=0:1'"),
    (["x", "-a", "x=0:one:4"], "malformed axis"),
    (["x", "-a", "x=0:1:0"], "num must be at least 1"),
    (["x", "-a", "x=0:1:4", "-a", "x=0:1:4"], "named twice"),
    (["x"], "at least one axis"),
    (["x", "-a", "x=0:1:4", "-o", "/nonexistent/dir/a.npy"], "cannot write the values to /nonexistent/dir/a.npy"),
    (["x", "-a", "x=0:1:4", "--png", "/nonexistent/a.png"], "cannot write the picture to"),
    (["x", "-a", "x=0:1:4", "-a", "y=0:1:4", "-a", "z=0:1:4", "--png", "a.png"], "fix the others with --at"),
    (["x", "-a", "x=0:1:4", "-a", "y=0:1:4", "--at", "q=1", "--png", "a.png"], "--at q: no such axis"),
    (["x", "-a", "x=0:1:4", "--tile", "a"], "malformed --tile"),
    (["x", "-a", "x=0:1:4", "--bogus"], "unrecognized arguments: --bogus"),
    (["x.real", "-a", "x=0:1:4"], "attribute access is not allowed"),
    (["x", "-a", "x=0:1:4", "-o", "v.txt"], "v.txt: its extension names no format (.npy, .npz, .csv, .nc, .zarr"),
    (["x", "-a", "x=0:1:4", "-o", "a.npy", "--output", "b.npy"], "-o and --output are both given"),
    (["x", "-a", "x=0:1:4", "--tile", "2", "--tile", "4"], "--tile is given twice"),
    (["x", "-a", "x=0:1:4", "--progress", "--no-progress"], "--progress and --no-progress are both given"),
    (["x", "-a", "x=0:1:4", "-a", "y=0:1:4", "-a", "z=0:1:4", "--at", "z=0", "--at", "z=1", "--png", "a.png"],
     "--at z is given twice"),
    (["x", "-a", "x=0:1:4", "-a", "y=0:1:4", "-a", "z=0:1:4", "-o", "a.csv"], "holds one or two dimensions"),
    (["x", "-a", "x=0:1:4", "--json", "-o", "a.npy"], "--json prints the summary"),
    (["x", "-a", "x=0:1:4", "--method", "recurrence"], "reductions, which run the accurate method only"),
    (["x", "-a", "x=0:1:4", "--png", "-"], "--png writes a file"),
]
BAD_IDS = ["syntax", "unknown-axis", "range-two-parts", "range-word", "num-0", "twice", "no-axis",
           "npy-unwritable", "png-unwritable", "3-D-picture", "at-unknown", "tile", "option", "attribute",
           "extension", "output-twice", "tile-twice", "progress-both", "at-twice", "csv-3-D", "json-with-output",
           "summary-recurrence", "png-to-stdout"]


@processes
@pytest.mark.parametrize("args, words", BAD, ids=BAD_IDS)
def test_bad_command_lines_exit_2_with_one_line(tmp_path, args, words):
    done = cli(*args, cwd=tmp_path)
    assert done.returncode == 2 and done.stdout == ""
    assert len(done.stderr.splitlines()) == 1, done.stderr
    assert done.stderr.startswith("vemiral-grid: error: ") and words in done.stderr
    assert list(tmp_path.iterdir()) == []  # nothing half-written


# argparse's own refusals leave through SystemExit: those run as processes only.
IN_PROCESS = [i for i, name in enumerate(BAD_IDS) if name not in ("option", "output-twice", "tile-twice", "progress-both")]


@pytest.mark.parametrize("args, words", [BAD[i] for i in IN_PROCESS], ids=[BAD_IDS[i] for i in IN_PROCESS])
def test_bad_input_in_process(tmp_path, capsys, monkeypatch, args, words):
    monkeypatch.chdir(tmp_path)
    assert run(args) == 2
    out, err = capsys.readouterr()
    assert out == "" and err.count("\n") == 1 and words in err


def test_a_failed_evaluation_removes_the_opened_files(tmp_path, capsys):
    target = tmp_path / "a.npy"
    # A grid beyond memory fails at evaluation, after the file was opened: it goes.
    assert run(["x", "-a", "x=0:1:4", "-a", f"y=0:1:{2**40}", "-o", str(target), "-q"]) == 2
    assert "error" in capsys.readouterr().err and not target.exists()


OUTPUTS = {
    # A step axis mixed with a range axis, in the order given, a quotient as the step.
    "npy float32": (["-s", "t=0:1/8000:800", "-a", "f=100:400:4", "--dtype", "float32", "-o", "v.npy"],
                    Grid.from_steps(t=(0.0, 1 / 8000, 800), f=(100.0, 100.0, 4)), np.float32),
    "npy float32 streamed": (["-s", "t=0:1/8000:800", "-s", "f=100:100:4", "--dtype", "float32", "-o", "v.npy",
                              "--stream"], Grid.from_steps(t=(0.0, 1 / 8000, 800), f=(100.0, 100.0, 4)), np.float32),
    "zarr float64": (["-a", "f=100:400:4", "-s", "t=0:1/8000:800", "-o", "v.zarr", "--chunks", "3,128"],
                     Grid._of([Grid(f=(100, 400, 4)).axes[0], Grid.from_steps(t=(0, 1 / 8000, 800)).axes[0]]),
                     np.float64),
    "zarr float32": (["-s", "t=0:1/8000:800", "-s", "f=100:100:4", "--dtype", "float32", "-o", "v.zarr"],
                     Grid.from_steps(t=(0.0, 1 / 8000, 800), f=(100.0, 100.0, 4)), np.float32),
}


@processes
@pytest.mark.parametrize("args, grid, dtype", OUTPUTS.values(), ids=OUTPUTS.keys())
def test_outputs_by_type_and_format(tmp_path, args, grid, dtype):
    done = cli("sin(2*pi*f*t)", *args, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    output = tmp_path / args[args.index("-o") + 1]
    if output.suffix == ".zarr":
        import zarr

        values = zarr.open_array(output, path="values")[...]
    else:
        values = np.load(output)
    expected = grid.evaluate("sin(2*pi*f*t)").astype(dtype)
    assert values.dtype == dtype and values.tobytes() == expected.tobytes()
    assert done.stderr == f"vemiral-grid: wrote {output.name}{' (streamed)' if '--stream' in args else ''}\n"


@processes
def test_a_zarr_store_is_resumed_and_drawn(tmp_path):
    args = ["x*y", "-a", "x=0:1:30", "-a", "y=0:1:20", "-o", "p.zarr", "-q"]
    assert cli(*args, "--png", "p.png", cwd=tmp_path).returncode == 0
    assert cli(*args, "--resume", cwd=tmp_path).returncode == 0
    refused = cli("x+y", *args[1:], "--resume", cwd=tmp_path)
    assert refused.returncode == 2 and "another formula, 'x*y'" in refused.stderr
    with Image.open(tmp_path / "p.png") as image:
        assert image.size == (700, 550)


ZARR_BAD = {
    "chunks without zarr": (["-o", "a.npy", "--chunks", "4"], "go with -o DIR.zarr"),
    "resume without zarr": (["--resume"], "go with -o DIR.zarr"),
    "step axis": (["-s", "t=0:1/0:4"], "malformed axis 't=0:1/0:4'"),
    "step axis parts": (["-s", "t=0:4"], "expected NAME=START:STEP:NUM"),
    "chunks": (["-o", "a.zarr", "--chunks", "0"], "at least 1"),
    "dtype": (["--dtype", "int8"], "invalid choice"),
}


@pytest.mark.parametrize("args, words", ZARR_BAD.values(), ids=ZARR_BAD.keys())
def test_bad_output_options_in_process(tmp_path, capsys, monkeypatch, args, words):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(SystemExit) if "--dtype" in args else contextlib.nullcontext():
        assert run(["x", "-a", "x=0:1:4", *args]) == 2
    assert words in capsys.readouterr().err and list(tmp_path.iterdir()) == []


@processes
def test_explain_prints_the_plan_and_writes_nothing(tmp_path):
    formula = "exp(-2*x**2/(1 + (z/5)**2))/(1 + (z/5)**2)"
    done = cli(formula, "-a", "x=-3:3:601", "-a", "z=-10:10:801", "--explain", cwd=tmp_path)
    assert done.returncode == 0 and done.stderr == "" and list(tmp_path.iterdir()) == []
    assert done.stdout == Grid(x=(-3, 3, 601), z=(-10, 10, 801)).explain(formula)
    refused = cli("x", "-a", "x=0:1:3", "--explain", "-o", "x.npy", cwd=tmp_path)
    assert refused.returncode == 2 and "--explain computes nothing" in refused.stderr
