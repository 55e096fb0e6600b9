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
# The fuzz test runs fewer examples here (VEMIRAL_FUZZ_EXAMPLES, default 40)
# since everything is several times slower under the sanitizers.
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

ensure_venv "$ROOT/.venv-asan"
PY="$ROOT/.venv-asan/bin/python"
# The build itself runs without the runtime preloaded.
"$PY" -m pip install --quiet --no-build-isolation --no-deps \
    -Cbuild-dir="build/asan-{wheel_tag}" \
    -Ccmake.build-type=RelWithDebInfo \
    -Ccmake.define.VEMIRAL_SANITIZE=ON \
    "$ROOT"

# Python's small-object allocator hides objects from the sanitizers' view;
# plain malloc lets ASan see every Python object too.
export PYTHONMALLOC=malloc
# Reports go to files: pytest captures the standard error of each test, so a
# report written there by a process that then dies would be lost.
REPORTS="$(mktemp -d)"
export ASAN_OPTIONS="log_path=$REPORTS/asan:detect_leaks=1:malloc_context_size=${VEMIRAL_ASAN_CONTEXT:-2}:abort_on_error=0:halt_on_error=1:exitcode=86:detect_stack_use_after_return=0:check_initialization_order=1:strict_init_order=1:allocator_may_return_null=0"
export LSAN_OPTIONS="suppressions=$ROOT/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="log_path=$REPORTS/ubsan:print_stacktrace=1:halt_on_error=1:exitcode=87"
export VEMIRAL_FUZZ_EXAMPLES="${VEMIRAL_FUZZ_EXAMPLES:-40}"
export VEMIRAL_UNDER_SANITIZER=1

LOG="$(mktemp)"
trap 'rm -rf "$LOG" "$REPORTS"' EXIT
set +e
# The redzones AddressSanitizer puts around locals make every native frame
# several times larger; trees at the depth limit recurse 10,000 levels, which
# fits the usual 8 MiB stack in a normal build but not instrumented.
ulimit -s 65536 2>/dev/null || true
LD_PRELOAD="$ASAN_RT:$UBSAN_RT" "$PY" -m pytest -p no:cacheprovider "$@" 2>&1 | tee "$LOG"
status=${PIPESTATUS[0]}
set -e
# A report printed without changing the exit status (a recovered UBSan
# diagnostic, for instance) fails the run as well.
if compgen -G "$REPORTS/*" >/dev/null; then
    cat "$REPORTS"/* >&2
    echo "sanitize.sh: the sanitizers reported a problem (see above)" >&2
    [ "$status" -ne 0 ] || status=1
elif grep -qE '^(==[0-9]+==ERROR|SUMMARY: (Address|Leak|UndefinedBehavior)Sanitizer)|runtime error:' "$LOG"; then
    echo "sanitize.sh: the sanitizers reported a problem (see above)" >&2
    [ "$status" -ne 0 ] || status=1
fi
exit "$status"
