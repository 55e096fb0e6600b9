# Sourced by the other scripts: finds python3.12, creates .venv beside the
# project, installs the build and test dependencies and builds the module.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

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

VENV="$ROOT/.venv"
if [ ! -x "$VENV/bin/python" ]; then
    "$(find_python)" -m venv "$VENV"
fi
PY="$VENV/bin/python"
if [ ! -f "$VENV/.deps-installed" ]; then
    "$PY" -m pip install --quiet --upgrade pip
    "$PY" -m pip install --quiet "scikit-build-core>=0.10" "pybind11>=3.0" cmake ninja \
        "numpy>=1.24" "pytest>=8" "hypothesis>=6"
    touch "$VENV/.deps-installed"
fi
# Rebuilds incrementally in build/<wheel tag>.
"$PY" -m pip install --quiet --no-build-isolation --no-deps "$ROOT"
