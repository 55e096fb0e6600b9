#!/usr/bin/env bash
# Sets everything up and runs a benchmark: `bash scripts/bench.sh` runs
# bench/bench.py (every method against NumPy, numexpr and numba), and
# `bash scripts/bench.sh peers` runs bench/peers.py (the default evaluate
# against NumPy, numexpr, numba and JAX, with its speed targets); any other
# bench/NAME.py by name, e.g. `bash scripts/bench.sh functions` (the
# functions and conditions against NumPy and numexpr, and the error of each
# pointwise function), `bash scripts/bench.sh special` (the error of the gamma
# and Bessel functions and logaddexp against mpmath, beside SciPy's) or
# `bash scripts/bench.sh zoo` (formulas of physics, signals and data against
# NumPy, numexpr and JAX; `--quick` for a short run) or `bash scripts/bench.sh
# complex` (plane waves, a chirp and a Gaussian beam in complex values against
# NumPy, numexpr, numba and JAX).
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
script=bench
if [ "$#" -gt 0 ] && [ -f "$ROOT/bench/$1.py" ]; then
    script="$1"
    shift
fi
exec "$PY" "$ROOT/bench/$script.py" "$@"
