#!/usr/bin/env bash
# Sets everything up (every extra, and Clang for the Clang build check) and
# runs the whole test suite, the documentation's build and examples included,
# on every core (pytest-xdist; VEMIRAL_TEST_WORKERS=N for another count, 0
# for one process). VEMIRAL_DEEP=1 runs the property and scale tests at
# their full counts and sizes, as CI does (tests/depth.py). Extra arguments
# go to pytest.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
ensure_clang
ensure_byte_code "$ROOT/.venv"
# NumPy's OpenBLAS starts a thread per core at import, which spins for a
# tenth of a second of processor time: the hundreds of interpreters the tests
# start (command lines, cluster workers) need no BLAS at all.
export OPENBLAS_NUM_THREADS="${OPENBLAS_NUM_THREADS:-1}"
exec "$PY" -m pytest -n "${VEMIRAL_TEST_WORKERS:-auto}" --dist worksteal "$@"
