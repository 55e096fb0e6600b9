# Sourced by the other scripts: creates .venv beside the project with the
# dependencies (the list in VEMIRAL_DEPENDENCIES, by name, default the test
# environment's DEPENDENCIES) and builds the module into it.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

source "$ROOT/scripts/common.sh"
ENV_LIST="${VEMIRAL_DEPENDENCIES:-DEPENDENCIES}[@]"
# The build needs only the build tools: the rest is downloaded and installed
# while the module compiles, which on a first run saves most of the install.
ensure_venv "$ROOT/.venv" "${BUILD_DEPENDENCIES[@]}"
ensure_venv "$ROOT/.venv" "${!ENV_LIST}" &
INSTALLING=$!
PY="$ROOT/.venv/bin/python"
# Rebuilds incrementally in build/<wheel tag>.
# Warnings are errors here and in CI (not by default for a plain pip install).
if ! "$PY" -m pip install --quiet --no-build-isolation --no-deps -Ccmake.define.VEMIRAL_WERROR=ON "$ROOT"; then
    wait "$INSTALLING" || true
    exit 1
fi
wait "$INSTALLING"
