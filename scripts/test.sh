#!/usr/bin/env bash
# Sets everything up and runs the whole test suite.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
exec "$PY" -m pytest "$@"
