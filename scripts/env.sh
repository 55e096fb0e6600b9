# Sourced by the other scripts: creates .venv beside the project with the
# build and test dependencies, and builds the module into it.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

source "$ROOT/scripts/common.sh"
ensure_venv "$ROOT/.venv"
ensure_clang
PY="$ROOT/.venv/bin/python"
# Rebuilds incrementally in build/<wheel tag>.
# Warnings are errors here and in CI (not by default for a plain pip install).
"$PY" -m pip install --quiet --no-build-isolation --no-deps -Ccmake.define.VEMIRAL_WERROR=ON "$ROOT"
