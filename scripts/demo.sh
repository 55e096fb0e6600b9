#!/usr/bin/env bash
# Sets everything up and runs the demo.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
exec "$PY" "$ROOT/examples/demo.py" "$@"
