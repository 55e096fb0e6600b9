"""bench/zoo.py: a short run's table, summary and saved report, and its NumPy column's in-place arithmetic."""

import importlib
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

BENCH = Path(__file__).resolve().parent.parent / "bench"

processes = pytest.mark.skipif(
    bool(os.environ.get("VEMIRAL_UNDER_SANITIZER")), reason="starts processes (skipped under the sanitizers)"
)


@pytest.fixture(scope="module")
def zoo():
    sys.path.insert(0, str(BENCH))
    try:
        yield importlib.import_module("zoo")
    finally:
        sys.path.remove(str(BENCH))


def rows(text):
    """The table's rows by key: the cells after the key, as printed."""
    found = {}
    for line in text.splitlines():
        words = line.split()
        if len(words) == 13 and words[1].isdigit():
            found[words[0]] = words[1:]
    return found


@pytest.mark.slow
@processes
def test_a_quick_run_prints_each_formula_its_times_ratios_and_errors(tmp_path):
    report = tmp_path / "zoo.txt"
    done = subprocess.run([sys.executable, str(BENCH / "zoo.py"), "--quick", "--only", "tone,W100",
                           "--save", str(report)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    table = rows(done.stdout)
    assert set(table) == {"tone", "W100"}
    # --quick cuts the tone's 10^6 samples to 1/16 and keeps W's small grid whole.
    assert table["tone"][0] == "62500" and table["tone"][-1] == "62500"
    assert table["W100"][0] == "10000" and table["W100"][-1] == "100x100"
    for key, cells in table.items():
        first, mine, numpy = float(cells[1]), float(cells[2]), float(cells[3])
        assert first > 0 and mine > 0 and numpy > 0
        # The ratio is the quotient of the columns shown (each rounded to 2 decimals).
        assert float(cells[6].rstrip("x")) == pytest.approx(numpy / mine, rel=0.05, abs=0.02)
        # Both against mpmath at the grid's coordinates: a tone of 1.3 s at 440 Hz
        # loses ~1e-13 to the rounding of its phase, W nothing beyond an ulp or two.
        limit = 1e-11 if key == "tone" else 1e-15
        assert float(cells[9]) < limit and float(cells[10]) < limit
    assert "first call of W on 100x100:" in done.stdout
    assert "geometric mean of NumPy/vemiral over 2 formulas:" in done.stdout
    assert "vemiral at least as fast as NumPy: " in done.stdout
    saved = report.read_text()
    assert saved.splitlines()[0].startswith("formula zoo, ")
    assert saved.splitlines()[1].startswith("machine: ") and saved.splitlines()[2].startswith("versions: Python ")
    assert rows(saved) == table
    assert not list(tmp_path.glob("zoo.txt.*"))  # no temporary file left beside it


@processes
def test_an_unknown_formula_is_refused_with_the_known_keys():
    done = subprocess.run([sys.executable, str(BENCH / "zoo.py"), "--only", "tone,nosuch"],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode != 0
    assert "no formula or group nosuch" in done.stderr and "yukawa" in done.stderr


def test_the_numpy_column_reuses_temporaries_yet_gives_plain_numpys_bits(zoo):
    plain = {name: getattr(np, name) for name in ("exp", "sin", "cos", "sqrt", "tanh", "log1p", "expm1", "hypot",
                                                  "where", "arctan2")}
    plain |= {"abs": np.absolute, "atan2": np.arctan2, "pi": np.pi}
    formulas = {f.key: f for f in zoo.zoo()}
    # r is named and used twice (Yukawa): a function writing into it would change the second use.
    for key in ("beam", "yukawa", "lennard_jones", "disc", "rational", "atan2_xy", "heat24", "fm"):
        formula = formulas[key]
        grid = zoo.make_grid(formula, 4096)
        axes = zoo.axis_arrays(grid, np.arange)
        fast = zoo.numpy_evaluator(formula, zoo.numpy_namespace())(axes)
        expected = zoo.evaluator(formula, plain)(axes)
        assert fast.shape == expected.shape and fast.tobytes() == expected.tobytes(), key
    # The temporaries are written into: one array for exp(-2x²/w)/w, not three.
    x, w = zoo.Spare(np.ones((64, 1)), held=True), zoo.Spare(np.full((1, 128), 2.0), held=True)
    ns = zoo.numpy_namespace()
    inner = -2 * x**2 / w
    assert ns["exp"](inner).a is inner.a
    assert (inner / w).a is inner.a and (w * inner).a is inner.a
    assert (x * w).a is not x.a and x.a.shape == (64, 1)


def test_every_surface_and_volume_of_the_zoo_is_as_accurate_as_numpy(zoo):
    # Against mpmath at the grid's coordinates, at 40 points of a grid of about
    # 1/64 of the benchmark's: within max(2 x NumPy's error, 2e-15) relative to
    # max(1, |exact|). (Signals step their phases from the exact points, which
    # the coordinates round: tests/test_accuracy.py bounds them there.)
    import mpmath

    numpy_ns = zoo.numpy_namespace()
    for formula in zoo.zoo():
        if formula.group == "signals" or formula.key == "sum1000":
            continue
        grid = zoo.make_grid(formula, 64)
        values = grid.evaluate(zoo.spelt_out(formula), **formula.params)
        axes = zoo.axis_arrays(grid, lambda n: np.arange(n, dtype=np.float64))
        direct = np.broadcast_to(zoo.numpy_evaluator(formula, numpy_ns)(axes), grid.shape)
        points = zoo.sample_points(grid.shape, 40, seed=7)
        with mpmath.workdps(40):
            exact = zoo.exact_values(formula, grid, points, mpmath)
            ours, theirs = zoo.max_error(values, points, exact), zoo.max_error(direct, points, exact)
        assert ours <= max(2 * theirs, 2e-15), (formula.key, ours, theirs)
