#!/usr/bin/env bash
# The whole test run: install what is missing, check the include layering,
# build both targets, run the native suite, the native suite under
# AddressSanitizer+UBSan and under ThreadSanitizer, a short fuzz pass
# (50,000 inputs per target), and the Windows suite under Wine.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh check
jobs=$(nproc)

step() { printf '\n=== %s ===\n' "$*"; }

step "include layering"
scripts/check-includes.sh

step "native build"
cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs"
step "native tests"
ctest --preset native -j "$jobs"

step "fuzz, 50,000 inputs per target"
scripts/fuzz.sh 50000

step "windows build"
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"

for s in asan tsan; do
    step "$s build"
    cmake --preset "$s" >/dev/null
    cmake --build --preset "$s" -j "$jobs"
    step "$s tests"
    ASAN_OPTIONS=detect_leaks=1 TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --preset "$s" -j "$jobs"
done

step "windows tests (Wine)"
tests/wine/wine-run.sh --check
ctest --preset windows -j "$jobs"
step "all suites passed"
