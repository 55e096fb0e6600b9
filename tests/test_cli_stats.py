"""The command line's summary with --stats: each statistic is NumPy's of the evaluated
array, in the text line and in --json, and a request it cannot meet is refused in one line."""

import json
import os
import shlex
import subprocess
import sys
import warnings
from pathlib import Path

import numpy as np
import pytest

from vemiral_grid import Grid

pytestmark = pytest.mark.skipif(
    bool(os.environ.get("VEMIRAL_UNDER_SANITIZER")), reason="starts processes (skipped under the sanitizers)"
)
SCRIPT = Path(sys.executable).with_name("vemiral-grid")

NUMPY = {
    "std": np.std, "var": np.var, "nanmean": np.nanmean, "nanstd": np.nanstd, "nanvar": np.nanvar,
    "prod": np.prod, "any": np.any, "all": np.all, "count_nonzero": np.count_nonzero, "ptp": np.ptp,
    "median": np.median,
}
# Exactly NumPy's: order statistics, their interpolation, a difference of extrema.
EXACT = {"median", "ptp"}
EVERY = ",".join(NUMPY) + ",q0,q0.25,q0.9,q1"


def numpy_statistic(name, values):
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # an empty slice, no degrees of freedom
        if name.startswith("q"):
            return np.quantile(values, float(name[1:]))
        return NUMPY[name](values)


def cli(*args, cwd):
    return subprocess.run([str(SCRIPT), *args], cwd=cwd, capture_output=True, text=True, timeout=120)


def mixed(*axes):
    return Grid._of([grid.axes[0] for grid in axes])


# formula, its axes on the command line, the same grid, the statistics asked for
REQUESTS = {
    "smooth 2-D": ("sin(x*y) + cos(x+y)", ["-a", "x=0:1:40", "-a", "y=1:3:30"], Grid(x=(0, 1, 40), y=(1, 3, 30)),
                   EVERY),
    "NaN and -inf": ("log(x)/x", ["-s", "x=-1:0.5:5"], Grid.from_steps(x=(-1, 0.5, 5)), EVERY),
    "zeros": ("floor(2*x)", ["-a", "x=0:1:11"], Grid(x=(0, 1, 11)), "any,all,count_nonzero,prod,median,q0.5,nanmean"),
    "+inf": ("1/x", ["-a", "x=-1:1:3"], Grid(x=(-1, 1, 3)), "std,var,nanvar,ptp,prod,median,q0.75"),
    "even count": ("x**3 - x", ["-a", "x=-1:2:100"], Grid(x=(-1, 2, 100)), "median,q0.33,var,std,q0.5"),
    "3-D, a step axis": ("x*y - z", ["-a", "x=-1:1:7", "-s", "y=0:0.25:6", "-a", "z=0:2:5"],
                         mixed(Grid(x=(-1, 1, 7)), Grid.from_steps(y=(0, 0.25, 6)), Grid(z=(0, 2, 5))), EVERY),
    "a constant": ("2 + 0*x", ["-a", "x=0:1:9"], Grid(x=(0, 1, 9)), "std,var,ptp,median,q0.1,all,prod"),
}


def decoded(value):
    """A value of --json: JSON's text for NaN and the infinities read back."""
    return float(value) if isinstance(value, str) else value


@pytest.mark.parametrize("formula, axes, grid, asked", REQUESTS.values(), ids=REQUESTS)
def test_each_statistic_is_numpys_of_the_evaluated_values(tmp_path, formula, axes, grid, asked):
    done = cli(formula, *axes, "--stats", asked, "--json", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    summary = json.loads(done.stdout)
    stats = {name: decoded(value) for name, value in summary["stats"].items()}
    assert list(stats) == asked.split(",")
    values = grid.evaluate(formula)
    for name, got in stats.items():
        expected = np.asarray(numpy_statistic(name, values)).item()  # a bool, int or float
        if isinstance(expected, bool | int):
            assert (type(got), got) == (type(expected), expected), name
        elif name in EXACT or name.startswith("q"):
            assert np.array_equal(got, expected, equal_nan=True), (name, got, expected)
        else:
            np.testing.assert_allclose(got, expected, rtol=1e-13, atol=0, equal_nan=True, err_msg=name)

    # The text line gives the same values, in the order asked, after the summary's own.
    line = cli(formula, *axes, "--stats", asked, cwd=tmp_path).stdout
    told = ", ".join(f"{name} {value!r}" for name, value in stats.items())
    assert f", mean {decoded(summary['mean'])!r}, {told} (" in line


REFUSALS = {
    "unknown": (["--stats", "std,mode"], "unknown statistic 'mode'"),
    "a summary figure": (["--stats", "mean"], "unknown statistic 'mean' (the summary gives it)"),
    "a native reduction": (["--stats", "sum"], "unknown statistic 'sum'"),
    "q alone": (["--stats", "q"], "unknown statistic 'q'"),
    "q above 1": (["--stats", "q1.5"], "--stats q1.5: the quantile's Q is a number in [0, 1]"),
    "q below 0": (["--stats", "q-0.1"], "--stats q-0.1: the quantile's Q is a number in [0, 1]"),
    "q NaN": (["--stats", "qnan"], "--stats qnan: the quantile's Q"),
    "empty entry": (["--stats", "std,,var"], "malformed --stats 'std,,var'"),
    "empty": (["--stats", ""], "malformed --stats ''"),
    "named twice": (["--stats", "median,std,median"], "--stats names median twice"),
    "given twice": (["--stats", "std", "--stats", "var"], "--stats is given twice"),
    "with -o": (["--stats", "std", "-o", "v.npy"], "--stats prints the summary, which -o and --png replace"),
    "with --png": (["--stats", "std", "--png", "v.png"], "--stats prints the summary, which -o and --png replace"),
    "with --explain": (["--stats", "std", "--explain"], "--explain computes nothing: leave out -o, --png, --json and --stats"),
}


@pytest.mark.parametrize("args, message", REFUSALS.values(), ids=REFUSALS)
def test_a_request_it_cannot_meet_is_refused_in_one_line(tmp_path, args, message):
    done = cli("x*y", "-a", "x=0:1:5", "-a", "y=0:1:4", *args, cwd=tmp_path)
    assert (done.returncode, done.stdout) == (2, "")
    assert len(done.stderr.splitlines()) == 1 and message in done.stderr, done.stderr
    assert "one of std, var" in done.stderr or "unknown" not in message
    assert os.listdir(tmp_path) == []


def sessions():
    """The `$ vemiral-grid ...` lines of the command line's reference and the line each shows."""
    lines = (Path(__file__).resolve().parents[1] / "docs" / "reference" / "cli.md").read_text().splitlines()
    return [(line[2:], shown) for line, shown in zip(lines, lines[1:]) if line.startswith("$ vemiral-grid ")]


@pytest.mark.parametrize("command, shown", sessions())
def test_the_references_sessions_print_what_they_show(tmp_path, command, shown):
    args = shlex.split(command)[1:]
    done = cli(*args, cwd=tmp_path)
    assert (done.returncode, done.stdout) == (0, shown + "\n"), done.stderr
