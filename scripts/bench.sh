#!/usr/bin/env bash
# Sets everything up and runs the benchmark against NumPy, numexpr and numba.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
exec "$PY" "$ROOT/bench/bench.py" "$@"
