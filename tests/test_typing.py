"""Typing: mypy --strict on vemiral_grid and on code using the stub; stubtest of the stub against the built module."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

pytestmark = pytest.mark.skipif(
    bool(os.environ.get("VEMIRAL_UNDER_SANITIZER")), reason="runs mypy in processes (skipped under the sanitizers)"
)
ROOT = Path(__file__).resolve().parents[1]
CACHE = ROOT / "build" / "mypy-cache"

USES = '''
import numpy as np
import numpy.typing as npt
import vemiral as vm
from vemiral_grid import Grid

x = vm.ASTvar(0, 0.0, 0.5)
e: vm.ASTbin = vm.sin(x) * 2 + 1
u: vm.ASTun = -e
left: vm.ASTnode = e.left
grid = Grid(x=(0, 1, 10))
values: npt.NDArray[np.float64] = grid.evaluate("sin(x)")
'''
MISUSES = '''
import vemiral as vm
vm.sin("x")
vm.ASTvar(0, 0.0, 0.5).start = 1.0
'''


def mypy(*args):
    command = [sys.executable, "-m", "mypy", "--config-file", str(ROOT / "pyproject.toml"), "--cache-dir", str(CACHE)]
    return subprocess.run(command + list(args), cwd=ROOT, capture_output=True, text=True, timeout=300)


def test_vemiral_grid_passes_mypy_strict():
    done = mypy(str(ROOT / "python" / "vemiral_grid"))
    assert done.returncode == 0, done.stdout + done.stderr


def test_the_stub_types_code_that_uses_the_module(tmp_path):
    (tmp_path / "uses.py").write_text(USES)
    (tmp_path / "misuses.py").write_text(MISUSES)
    good = mypy(str(tmp_path / "uses.py"))
    assert good.returncode == 0, good.stdout + good.stderr
    bad = mypy(str(tmp_path / "misuses.py"))
    assert bad.returncode == 1
    assert 'Argument 1 to "sin" has incompatible type "str"' in bad.stdout
    assert 'Property "start" defined in "ASTvar" is read-only' in bad.stdout


def test_stub_matches_the_built_module():
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "vemiral", "--allowlist", str(ROOT / "tests" / "stubtest_allowlist.txt"),
         "--mypy-config-file", str(ROOT / "pyproject.toml")],
        cwd=ROOT, capture_output=True, text=True, timeout=300,
    )
    assert done.returncode == 0, done.stdout + done.stderr
