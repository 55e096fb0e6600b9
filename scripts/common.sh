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

# ensure_venv DIR: creates DIR with python3.12 unless it exists, and installs
# the dependencies into it once.
ensure_venv() {
    local venv="$1"
    if [ ! -x "$venv/bin/python" ]; then
        "$(find_python)" -m venv "$venv"
    fi
    if [ ! -f "$venv/.deps-installed" ]; then
        "$venv/bin/python" -m pip install --quiet --upgrade pip
        "$venv/bin/python" -m pip install --quiet "scikit-build-core>=0.10" "pybind11>=3.0" cmake ninja \
            "numpy>=1.24" "pytest>=8" "hypothesis>=6"
        touch "$venv/.deps-installed"
    fi
}
