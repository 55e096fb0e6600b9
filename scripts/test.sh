#!/usr/bin/env bash
# Sets everything up (every extra, and Clang for the Clang build check) and
# runs the whole test suite, the documentation's build and examples included.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
ensure_clang
exec "$PY" -m pytest "$@"
