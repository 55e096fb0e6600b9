"""Packaging: one version everywhere, a Clang build that computes the same bits, a wheel that works on its own."""

import importlib.metadata
import os
import shutil
import subprocess
import sys
import sysconfig
import tomllib
import zipfile
from pathlib import Path

import pytest

import vemiral as vm
import vemiral_grid

ROOT = Path(__file__).resolve().parents[1]
BIN = Path(sys.executable).parent
processes = pytest.mark.skipif(
    bool(os.environ.get("VEMIRAL_UNDER_SANITIZER")), reason="builds in processes (skipped under the sanitizers)"
)
# The same formula in every build: its bits must not depend on the compiler.
PROBE = (
    "import vemiral as vm, sys\n"
    "x, y = vm.ASTvar(0, 0.0, 0.01), vm.ASTvar(1, 1.0, 0.02)\n"
    "e = vm.sin(x*y) + vm.cos(x + y)/(y + 2) + vm.exp(-(x**2)) * vm.ln(y) ** 1.5\n"
    "e.crinit([37, 29])\n"
    "sys.stdout.write('\\n' + e.crarray().tobytes().hex() + ' ' + vm.__file__)\n"
)


def tool(name):
    """The build tool `name` of this environment, or the machine's (scripts/common.sh installs
    CMake and Ninja only where the machine has none)."""
    path = BIN / name
    return str(path) if path.exists() else shutil.which(name)


def run(command, **kwargs):
    done = subprocess.run(command, capture_output=True, text=True, timeout=600, **kwargs)
    assert done.returncode == 0, f"{command}\n{done.stdout}\n{done.stderr}"
    return done


def probe(python, **kwargs):
    # The last line: crinit prints the chain before it.
    bits, where = run([str(python), "-c", PROBE], **kwargs).stdout.splitlines()[-1].split(" ", 1)
    return bits, where


def test_one_version_everywhere():
    with open(ROOT / "pyproject.toml", "rb") as f:
        declared = tomllib.load(f)["project"]["version"]
    assert vm.__version__ == vemiral_grid.__version__ == importlib.metadata.version("vemiral") == declared


@pytest.mark.slow
@processes
@pytest.mark.skipif(shutil.which("clang++") is None, reason="clang++ is not installed (scripts/common.sh installs it as root)")
def test_the_extension_builds_with_clang_and_computes_the_same_bits(tmp_path):
    import pybind11

    # Beside the development build, kept between runs: a later run compiles
    # only what changed.
    build = ROOT / "build" / f"clang-{sys.implementation.cache_tag}"
    run([tool("cmake"), "-S", str(ROOT), "-B", str(build), "-G", "Ninja",
         f"-DCMAKE_MAKE_PROGRAM={tool('ninja')}", "-DCMAKE_CXX_COMPILER=clang++",
         # Unoptimised: the check is about the language and the warnings, and it compiles fast.
         "-DCMAKE_BUILD_TYPE=Debug", "-DVEMIRAL_WERROR=ON",
         f"-Dpybind11_DIR={pybind11.get_cmake_dir()}", f"-DPython_EXECUTABLE={sys.executable}"])
    run([tool("cmake"), "--build", str(build), "-j", "2"])
    module = next(build.glob("vemiral*" + sysconfig.get_config_var("EXT_SUFFIX")))
    env = dict(os.environ, PYTHONPATH=str(build))
    clang_bits, where = probe(sys.executable, env=env, cwd=tmp_path)
    assert Path(where) == module
    gcc_bits, where = probe(sys.executable, cwd=tmp_path)
    assert Path(where).parent != build
    assert clang_bits == gcc_bits


@pytest.mark.slow
@processes
def test_the_wheel_works_in_a_fresh_environment(tmp_path):
    wheels = tmp_path / "wheels"
    # The same build directory as the development install: only the packing is new.
    run([sys.executable, "-m", "pip", "wheel", "--quiet", "--no-build-isolation", "--no-deps",
         "-Ccmake.define.VEMIRAL_WERROR=ON", "-w", str(wheels), str(ROOT)])
    (wheel,) = wheels.glob("vemiral-*.whl")
    names = set(zipfile.ZipFile(wheel).namelist())
    sources = {f"vemiral_grid/{p.name}" for p in (ROOT / "python" / "vemiral_grid").iterdir() if p.is_file()}
    assert sources <= names
    assert {"vemiral.pyi", "vemiral-stubs/__init__.pyi"} <= names

    venv = tmp_path / "venv"
    run([sys.executable, "-m", "venv", "--without-pip", str(venv)])
    python = venv / "bin" / "python"
    # The base install: NumPy and tqdm only, by this environment's pip (the
    # new one needs none of its own), without byte-compiling all of NumPy for
    # the three processes below.
    run([sys.executable, "-m", "pip", "--python", str(python), "install", "--quiet", "--no-compile", str(wheel)])
    work = tmp_path / "work"
    work.mkdir()
    bits, where = probe(python, cwd=work)
    assert Path(where).is_relative_to(venv)
    assert bits == probe(sys.executable, cwd=work)[0]
    smoke = run([str(python), "-I", "-c",
                 "import importlib.util as u, vemiral_grid as g, numpy as np\n"
                 "assert u.find_spec('sympy') is None and u.find_spec('matplotlib') is None\n"
                 "v = g.Grid(x=(0, 1, 5), y=(1, 2, 3)).evaluate('x*y + sqrt(y)')\n"
                 "print(v.shape, g.__version__, g.__file__)"], cwd=work).stdout.split()
    assert smoke[:2] == ["(5,", "3)"] and smoke[2] == vm.__version__ and Path(smoke[3]).is_relative_to(venv)
    run([str(venv / "bin" / "vemiral-grid"), "x + y", "-a", "x=0:1:4", "-a", "y=0:1:3", "-o", "s.npy", "-q"], cwd=work)
    import numpy as np

    assert np.load(work / "s.npy").shape == (4, 3)


def _script_list(name):
    done = run(["bash", "-c", f'source scripts/common.sh && printf "%s\\n" "${{{name}[@]}}"'], cwd=ROOT)
    return set(done.stdout.split())


def test_the_scripts_install_what_the_extras_name():
    with open(ROOT / "pyproject.toml", "rb") as f:
        project = tomllib.load(f)["project"]
    extras = project["optional-dependencies"]
    build, demo, test = (_script_list(n) for n in ("BUILD_DEPENDENCIES", "DEMO_DEPENDENCIES", "DEPENDENCIES"))
    # The demo: the build, the package and its plot extra, nothing more.
    assert demo == build | set(project["dependencies"]) | set(extras["plot"])
    # The tests: every extra.
    assert demo | set().union(*extras.values()) == test


@processes
@pytest.mark.parametrize("variable, stamped, compiled", [
    ("1", False, True),   # no byte code written by Python: compiled ahead
    ("1", True, False),   # nothing installed since the last time
    ("", False, False),   # Python writes its own as it imports
], ids=["without-byte-code", "already-compiled", "python-writes-it"])
def test_the_test_environment_is_byte_compiled_where_python_writes_none(tmp_path, variable, stamped, compiled):
    venv = tmp_path / "venv"
    run([sys.executable, "-m", "venv", "--without-pip", str(venv)])
    site = Path(run([str(venv / "bin" / "python"), "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"])
                .stdout.strip())
    (site / "probe.py").write_text("VALUE = 1\n")
    (venv / ".deps-installed").write_text("probe\n")
    if stamped:
        os.utime(venv / ".deps-installed", (1, 1))
        (venv / ".byte-compiled").touch()
    env = {**os.environ, "PYTHONDONTWRITEBYTECODE": variable}
    run(["bash", "-c", f'source scripts/common.sh && ensure_byte_code "{venv}"'], cwd=ROOT, env=env)
    assert any((site / "__pycache__").glob("probe.*.pyc")) == compiled
    assert (venv / ".byte-compiled").exists() == (compiled or stamped)
