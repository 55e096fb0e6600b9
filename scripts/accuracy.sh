#!/usr/bin/env bash
# Sets everything up and prints the error-growth table (exact values by mpmath).
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
exec "$PY" "$ROOT/bench/accuracy.py" "$@"
