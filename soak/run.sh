#!/usr/bin/env bash
# The soak run: builds the program (natively, or the AddressSanitizer or
# ThreadSanitizer build) and the soak client, and runs them for SECONDS in a
# network namespace of their own, so the fixed port 1339 and the control
# ports meet no other program. The last line is the client's:
#   soak: S s, B bytes, J jobs, lost 0, reordered 0, rss A->B kB, fds A->B, threads A->B
#   soak/run.sh [SECONDS] [asan|tsan]
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-600}
san=${2:-}
case "$san" in
"") preset=native ;;
asan | tsan) preset=$san ;;
*) echo "usage: soak/run.sh [SECONDS] [asan|tsan]" >&2; exit 2 ;;
esac

scripts/install-deps.sh check >/dev/null
cmake --preset native >/dev/null
cmake --build --preset native -j "$(nproc)" --target kestrun ksoak >/dev/null
if [ "$preset" != native ]; then
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)" --target kestrun >/dev/null
fi

export KESTRUN_BIN=$PWD/build/$preset/kestrun
# A small quarantine, so resident memory measures the program, not ASan's
# store of freed blocks.
export ASAN_OPTIONS=detect_leaks=1:quarantine_size_mb=16
export UBSAN_OPTIONS=print_stacktrace=1
export TSAN_OPTIONS=second_deadlock_stack=1
mkdir -p build/soak
export SOAK_KEEP_STDERR=$PWD/build/soak/stderr-${preset}.txt
rm -f "$SOAK_KEEP_STDERR"
# Root may make a namespace at once; others through a user namespace.
if [ "$(id -u)" = 0 ]; then
    unshare=(unshare -n)
else
    unshare=(unshare -r -n)
fi
exec "${unshare[@]}" sh -c 'ip link set lo up && exec "$0" "$1"' build/native/soak/ksoak "$seconds"
