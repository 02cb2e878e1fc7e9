#!/usr/bin/env bash
# The whole test run: install what is missing, check the include layering,
# build both targets, run the native suite, a short fuzz pass (50,000 inputs
# per target), the native suite under AddressSanitizer+UBSan and under
# ThreadSanitizer, and the Windows suite under Wine.
#
# The Wine suite mostly waits on Wine, so it runs in the background from the
# Windows build on, beside the native, fuzz and sanitizer phases; its output
# follows theirs. It runs in a network namespace of its own: under Wine the
# sockets belong to the wineserver, which the suite starts, so the namespace
# must hold the whole suite, not each program.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh check
jobs=$(nproc)
# The test programs mostly wait on sockets, devices and timers: two per core.
test_jobs=$((jobs * 2))
start=$SECONDS

step() { printf '\n=== %s (at %d s) ===\n' "$*" $((SECONDS - start)); }

wine_pid=""
wine_log=build/windows/wine-suite.log
# On any exit, a Wine suite still running is stopped with its Wine.
stop_wine() {
    if [ -n "$wine_pid" ] && kill -0 "$wine_pid" 2>/dev/null; then
        kill -TERM -- "-$wine_pid" 2>/dev/null || true
        tests/wine/wine-run.sh --cleanup || true
    fi
}
trap stop_wine EXIT

step "include layering"
scripts/check-includes.sh

step "native build"
cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs"

step "windows build"
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"

step "windows tests (Wine) started in the background"
tests/wine/wine-run.sh --check
rm -f "$wine_log"
# setsid: its own process group, which stop_wine can end whole.
setsid -w tests/netns.sh ctest --preset windows -j "$jobs" >"$wine_log" 2>&1 </dev/null &
wine_pid=$!

step "native tests"
ctest --preset native -j "$test_jobs"

step "fuzz, 50,000 inputs per target"
scripts/fuzz.sh 50000

for s in asan tsan; do
    step "$s build"
    cmake --preset "$s" >/dev/null
    cmake --build --preset "$s" -j "$jobs"
    step "$s tests"
    ASAN_OPTIONS=detect_leaks=1 TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --preset "$s" -j "$test_jobs"
done

step "windows tests (Wine)"
wine_status=0
wait "$wine_pid" || wine_status=$?
wine_pid=""
cat "$wine_log"
if [ "$wine_status" -ne 0 ]; then
    echo "the Windows suite failed (status $wine_status)" >&2
    exit "$wine_status"
fi
step "all suites passed"
