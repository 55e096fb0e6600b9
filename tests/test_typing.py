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


def mypy(cache, *args):
    # A cache of each test's own: the tests may run at once, in parallel workers.
    command = [sys.executable, "-m", "mypy", "--config-file", str(ROOT / "pyproject.toml"),
               "--cache-dir", str(CACHE / cache)]
    return subprocess.run(command + list(args), cwd=ROOT, capture_output=True, text=True, timeout=300)


@pytest.mark.slow
def test_vemiral_grid_passes_mypy_strict():
    done = mypy("package", str(ROOT / "python" / "vemiral_grid"))
    assert done.returncode == 0, done.stdout + done.stderr


def test_the_stub_types_code_that_uses_the_module(tmp_path):
    (tmp_path / "uses.py").write_text(USES)
    (tmp_path / "misuses.py").write_text(MISUSES)
    good = mypy("stub", str(tmp_path / "uses.py"))
    assert good.returncode == 0, good.stdout + good.stderr
    bad = mypy("stub", str(tmp_path / "misuses.py"))
    assert bad.returncode == 1
    assert 'Argument 1 to "sin" has incompatible type "str"' in bad.stdout
    assert 'Property "start" defined in "ASTvar" is read-only' in bad.stdout


@pytest.mark.slow
def test_stub_matches_the_built_module():
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "vemiral", "--allowlist", str(ROOT / "tests" / "stubtest_allowlist.txt"),
         "--mypy-config-file", str(ROOT / "pyproject.toml")],
        cwd=ROOT, capture_output=True, text=True, timeout=300,
    )
    assert done.returncode == 0, done.stdout + done.stderr


def _stub_functions():
    """(owner name or None, function name, parameter names with '*' and '/' markers) from the stub."""
    import ast

    tree = ast.parse((ROOT / "python" / "vemiral.pyi").read_text())
    for owner, body in [(None, tree.body)] + [(c.name, c.body) for c in tree.body if isinstance(c, ast.ClassDef)]:
        for f in body:
            if isinstance(f, ast.FunctionDef) and not any(
                isinstance(d, ast.Name) and d.id == "property" for d in f.decorator_list
            ):
                a = f.args
                names = [p.arg for p in a.posonlyargs] + (["/"] if a.posonlyargs else []) + [p.arg for p in a.args]
                names += [f"*{a.vararg.arg}"] if a.vararg else (["*"] if a.kwonlyargs else [])
                names += [p.arg for p in a.kwonlyargs] + ([f"**{a.kwarg.arg}"] if a.kwarg else [])
                yield owner, f.name, [n for n in names if n != "self"]


def _runtime_parameters(doc):
    """Parameter names from pybind11's signature line (the most general overload's)."""
    lines = [line for line in doc.splitlines() if line.strip()]
    line = lines[-1].split(". ", 1)[1] if "Overloaded function." in doc else lines[0]
    inside = line.split("(", 1)[1].rsplit(") ->", 1)[0]
    depth, current, parts = 0, "", []
    for ch in inside:
        depth += 1 if ch in "[(" else -1 if ch in "])" else 0
        if ch == "," and depth == 0:
            parts.append(current)
            current = ""
        else:
            current += ch
    names = [p.split(":")[0].split("=")[0].strip() for p in parts + [current] if p.strip()]
    return [n for n in names if n != "self"]


STUB_FUNCTIONS = list(_stub_functions())


@pytest.mark.parametrize(
    "owner, name, stub",
    STUB_FUNCTIONS,
    ids=[f"{owner}.{name}" if owner else name for owner, name, _ in STUB_FUNCTIONS],
)
def test_stub_parameters_match_the_bindings(owner, name, stub):
    # stubtest cannot see the parameters of pybind11's functions: their
    # signature lines say them.
    import vemiral as vm

    runtime = getattr(getattr(vm, owner) if owner else vm, name)
    wanted = _runtime_parameters(runtime.__doc__)
    if wanted and all(n.startswith("arg") for n in wanted):
        # Unnamed: callers can pass them by position only.
        assert stub[len(wanted)] == "/", stub
        stub = [f"arg{i}" for i in range(len(wanted))]
    assert stub == wanted, runtime.__doc__
