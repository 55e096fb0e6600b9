# Sourced by the other scripts: finds python3.12 and makes a virtual
# environment holding the build and test dependencies.

find_python() {
    if command -v python3.12 >/dev/null 2>&1 && python3.12 -c 'import sys' >/dev/null 2>&1; then
        command -v python3.12
        return
    fi
    local candidate
    for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.12*/bin/python3.12 /usr/bin/python3.12 /usr/local/bin/python3.12; do
        if [ -x "$candidate" ]; then
            echo "$candidate"
            return
        fi
    done
    echo "python3.12 not found (looked on PATH and under ~/.pyenv/versions)" >&2
    return 1
}

# What each script needs, as lists of pip requirements. pyproject.toml's extras
# say the same: keep them in step (tests/test_packaging.py compares them).
BUILD_DEPENDENCIES=("scikit-build-core>=0.10" "pybind11>=3.0" cmake ninja)
RUNTIME_DEPENDENCIES=("numpy>=1.24" "tqdm>=4.60")
# The demo: the package and its plot extra, nothing more, so a first run is quick.
DEMO_DEPENDENCIES=("${BUILD_DEPENDENCIES[@]}" "${RUNTIME_DEPENDENCIES[@]}" "matplotlib>=3.7")
# The test environment exercises every extra (SymPy, plotting, Dask, xarray,
# Zarr, the documentation, the benchmark peers).
DEPENDENCIES=(
    "${DEMO_DEPENDENCIES[@]}"
    "pytest>=8" "pytest-xdist>=3.5" "hypothesis>=6" "mpmath>=1.3" "scipy>=1.11"
    "sympy>=1.12" "pillow>=10"
    "dask[array]>=2024.1" "distributed>=2024.1"
    "xarray>=2024.1" "zarr>=3.0"
    "sphinx>=7.2" "myst-parser>=3.0" "furo>=2024.1"
    "numexpr>=2.8" "numba>=0.59" "jax>=0.4"
    "mypy>=1.8"
)

# The test suite checks that the extension also builds with Clang. Debian's
# clang package is installed when it is missing and we may (root, apt-get);
# elsewhere that test is skipped and says why.
ensure_clang() {
    if command -v clang++ >/dev/null 2>&1; then
        return
    fi
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        echo "installing clang for the Clang build check" >&2
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends clang >/dev/null 2>&1 ||
            { apt-get update -q >/dev/null 2>&1 &&
              DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends clang >/dev/null 2>&1; } ||
            echo "could not install clang: the Clang build check will be skipped" >&2
    fi
}

# on_machine TOOL: whether the machine has CMake (3.20 or newer) or Ninja
# already, which the build then uses from PATH: their wheels are the largest
# download of a first run, and of no use beside the machine's own.
on_machine() {
    local version
    case "$1" in
        cmake)
            version="$(cmake --version 2>/dev/null | sed -n 's/^cmake version \([0-9.]*\).*/\1/p')" || return 1
            [ -n "$version" ] && [ "$(printf '%s\n' 3.20 "$version" | sort -V | head -n 1)" = 3.20 ] ;;
        ninja) ninja --version >/dev/null 2>&1 ;;
        *) return 1 ;;
    esac
}

# ensure_venv DIR [REQUIREMENT...]: creates DIR with python3.12 unless it
# exists, and installs the requirements (default: DEPENDENCIES) that it has
# not installed before and the machine does not provide; DIR/.deps-installed
# lists those it has.
ensure_venv() {
    local venv="$1"
    shift
    local wanted=("$@")
    [ "${#wanted[@]}" -gt 0 ] || wanted=("${DEPENDENCIES[@]}")
    if [ ! -x "$venv/bin/python" ]; then
        "$(find_python)" -m venv "$venv"
    fi
    local missing=() requirement
    for requirement in "${wanted[@]}"; do
        grep -qxF -- "$requirement" "$venv/.deps-installed" 2>/dev/null || on_machine "$requirement" ||
            missing+=("$requirement")
    done
    if [ "${#missing[@]}" -gt 0 ]; then
        # Without --no-compile pip byte-compiles every module of every package
        # up front; Python compiles those it imports, once, on its own.
        "$venv/bin/python" -m pip install --quiet --disable-pip-version-check --no-compile "${missing[@]}"
        printf '%s\n' "${missing[@]}" >>"$venv/.deps-installed"
    fi
}

# ensure_byte_code DIR: byte-compiles the packages of DIR once after each
# install, where PYTHONDONTWRITEBYTECODE is set (CI images often set it).
# Python then writes no byte code as it imports, and ensure_venv installs
# without it: each of the hundreds of interpreters the tests start (the
# command line's, the clusters' workers, Sphinx, mypy) would compile NumPy and
# the rest from source again, a quarter of a second each before any work.
ensure_byte_code() {
    local venv="$1"
    [ -n "${PYTHONDONTWRITEBYTECODE:-}" ] || return 0
    [ "$venv/.byte-compiled" -nt "$venv/.deps-installed" ] && return 0
    # A few packages ship files that are not Python 3 (templates, tests of
    # old syntax): those stay uncompiled, as pip leaves them.
    "$venv/bin/python" -m compileall -qq -j 0 "$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')" || true
    touch "$venv/.byte-compiled"
}
