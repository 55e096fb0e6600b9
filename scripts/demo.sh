#!/usr/bin/env bash
# Sets up what the demo needs (the package and matplotlib) and runs it.
VEMIRAL_DEPENDENCIES=DEMO_DEPENDENCIES
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
exec "$PY" "$ROOT/examples/demo.py" "$@"
