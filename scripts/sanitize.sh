#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer into
# its own virtual environment (.venv-asan, build directory build/asan-<tag>),
# then runs the whole test suite under them in python3.12 with the sanitizer
# runtime preloaded. Any report (memory error, undefined behaviour, leak)
# fails the run. Extra arguments go to pytest.
#
# Leaks: LeakSanitizer checks at exit. Only the interpreter's own allocations
# are suppressed (scripts/lsan.supp matches frames in libpython and the python
# executable). Allocation stacks are kept short (malloc_context_size=2: the
# allocator and its direct caller) so that a suppression can only match an
# allocation made by the interpreter itself, never one made by our module
# that merely has the interpreter further up its call stack. To see a longer
# stack for a report, rerun with VEMIRAL_ASAN_CONTEXT=30.
#
# LeakSanitizer stops every thread with ptrace to scan the stacks. Where that
# machinery itself cannot work (under a debugger or tracer, or in a sandbox
# that breaks it) it prints "LeakSanitizer has encountered a fatal error" and
# exits with the error code although nothing was found. A short probe checks
# first; if the leak check cannot run here, the suite runs without it and says
# so. If it breaks only at the end of the real run, the run still passes when
# pytest passed and no sanitizer reported anything else, and says that the
# leak check did not run. A real report of any kind always fails the run.
#
# The fuzz test runs fewer examples here (VEMIRAL_FUZZ_EXAMPLES, default 40)
# since everything is several times slower under the sanitizers. The suite
# runs on every core, as scripts/test.sh runs it (VEMIRAL_TEST_WORKERS), each
# worker process under the sanitizers and the leak check of its own.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

source "$ROOT/scripts/common.sh"

CXX="${CXX:-g++}"
ASAN_RT="$("$CXX" -print-file-name=libasan.so)"
UBSAN_RT="$("$CXX" -print-file-name=libubsan.so)"
for rt in "$ASAN_RT" "$UBSAN_RT"; do
    if [ ! -e "$rt" ]; then
        echo "sanitizer runtime $rt not found (install the compiler's libasan/libubsan)" >&2
        exit 1
    fi
done

# The instrumented module gets an environment of its own that shares the test
# environment's packages (a .pth file puts .venv's site-packages after its
# own), so nothing is downloaded or installed twice; the module and
# vemiral_grid installed below come first on its path.
ensure_venv "$ROOT/.venv"
ensure_byte_code "$ROOT/.venv"
if [ ! -x "$ROOT/.venv-asan/bin/python" ]; then
    "$(find_python)" -m venv "$ROOT/.venv-asan"
fi
PY="$ROOT/.venv-asan/bin/python"
shared="$("$ROOT/.venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')"
echo "$shared" >"$("$PY" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')/vemiral-test-environment.pth"
# The build itself runs without the runtime preloaded.
"$PY" -m pip install --quiet --no-build-isolation --no-deps \
    -Cbuild-dir="build/asan-{wheel_tag}" \
    -Ccmake.build-type=RelWithDebInfo \
    -Ccmake.define.VEMIRAL_SANITIZE=ON \
    -Ccmake.define.VEMIRAL_WERROR=ON \
    "$ROOT"

# Python's small-object allocator hides objects from the sanitizers' view;
# plain malloc lets ASan see every Python object too.
export PYTHONMALLOC=malloc
# One BLAS thread: fewer threads for the leak check to stop at exit.
export OPENBLAS_NUM_THREADS=1
ASAN_BASE="malloc_context_size=${VEMIRAL_ASAN_CONTEXT:-2}:abort_on_error=0:halt_on_error=1:exitcode=86:detect_stack_use_after_return=0:check_initialization_order=1:strict_init_order=1:allocator_may_return_null=0"
export LSAN_OPTIONS="suppressions=$ROOT/scripts/lsan.supp:print_suppressions=0"
export VEMIRAL_FUZZ_EXAMPLES="${VEMIRAL_FUZZ_EXAMPLES:-40}"
export VEMIRAL_UNDER_SANITIZER=1

# The redzones AddressSanitizer puts around locals make every native frame
# several times larger; trees at the depth limit recurse 10,000 levels, which
# fits the usual 8 MiB stack in a normal build but not instrumented.
ulimit -s 65536 2>/dev/null || true

LSAN_BROKE="LeakSanitizer has encountered a fatal error"
REAL_REPORT='ERROR: (AddressSanitizer|LeakSanitizer)|SUMMARY: (Address|Leak|UndefinedBehavior)Sanitizer|runtime error:'

# Does the leak check work here? The probe loads what the suite loads, runs
# the module on several threads and exits through the leak check.
detect_leaks=1
probe_log="$(ASAN_OPTIONS="$ASAN_BASE:detect_leaks=1" LD_PRELOAD="$ASAN_RT:$UBSAN_RT" \
    "$PY" -c 'import numpy, vemiral as vm
n = vm.ASTbin(vm.ADD, vm.ASTvar(0, 0.0, 1.0), vm.ASTvar(1, 0.0, 1.0))
n.crinit([300, 300])
assert n.crarray()[299, 299] == 598.0' 2>&1)" || true
if grep -qF "$LSAN_BROKE" <<<"$probe_log"; then
    echo "sanitize.sh: LeakSanitizer cannot run on this machine (its thread tracer failed);" \
         "running with AddressSanitizer and UBSan only: leaks are NOT checked" >&2
    detect_leaks=0
fi

# Reports go to files: pytest captures the standard error of each test, so a
# report written there by a process that then dies would be lost.
REPORTS="$(mktemp -d)"
export ASAN_OPTIONS="log_path=$REPORTS/asan:$ASAN_BASE:detect_leaks=$detect_leaks"
export UBSAN_OPTIONS="log_path=$REPORTS/ubsan:print_stacktrace=1:halt_on_error=1:exitcode=87"
# pytest's own exit status, written by the suite's conftest: the process's
# exit status may be the leak check's rather than pytest's.
PYTEST_STATUS="$(mktemp)"
export VEMIRAL_PYTEST_STATUS="$PYTEST_STATUS"
# No BLAS threads for the interpreters the tests start (see test.sh).
export OPENBLAS_NUM_THREADS="${OPENBLAS_NUM_THREADS:-1}"

LOG="$(mktemp)"
trap 'rm -rf "$LOG" "$REPORTS" "$PYTEST_STATUS"' EXIT
set +e
LD_PRELOAD="$ASAN_RT:$UBSAN_RT" "$PY" -m pytest -p no:cacheprovider -n "${VEMIRAL_TEST_WORKERS:-auto}" \
    --dist worksteal "$@" 2>&1 | tee "$LOG"
status=${PIPESTATUS[0]}
set -e
pytest_status="$(cat "$PYTEST_STATUS")"
if compgen -G "$REPORTS/*" >/dev/null; then
    cat "$REPORTS"/* >&2
fi
# Any report fails the run, also one printed without changing the exit status
# (a recovered UBSan diagnostic, for instance).
if grep -qsE "$REAL_REPORT" "$LOG" "$REPORTS"/*; then
    echo "sanitize.sh: the sanitizers reported a problem (see above)" >&2
    [ "$status" -ne 0 ] || status=1
elif grep -qsF "$LSAN_BROKE" "$LOG" "$REPORTS"/*; then
    if [ "$pytest_status" = 0 ]; then
        echo "sanitize.sh: every test passed and AddressSanitizer and UBSan reported nothing," \
             "but LeakSanitizer failed on its own at exit (see above): leaks were NOT checked in this run" >&2
        status=0
    else
        status="${pytest_status:-1}"
    fi
elif compgen -G "$REPORTS/*" >/dev/null; then
    echo "sanitize.sh: the sanitizers wrote a report (see above)" >&2
    [ "$status" -ne 0 ] || status=1
fi
exit "$status"
