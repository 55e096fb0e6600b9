# Sourced by the other scripts: creates .venv beside the project with the
# dependencies (the list in VEMIRAL_DEPENDENCIES, by name, default the test
# environment's DEPENDENCIES) and builds the module into it.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

source "$ROOT/scripts/common.sh"
ENV_LIST="${VEMIRAL_DEPENDENCIES:-DEPENDENCIES}[@]"
ensure_venv "$ROOT/.venv" "${!ENV_LIST}"
PY="$ROOT/.venv/bin/python"
# Rebuilds incrementally in build/<wheel tag>.
# Warnings are errors here and in CI (not by default for a plain pip install).
"$PY" -m pip install --quiet --no-build-isolation --no-deps -Ccmake.define.VEMIRAL_WERROR=ON "$ROOT"
