#!/usr/bin/env bash
# The benchmark: Kestrun beside socat and ser2net on one pseudo-terminal device,
# natively and (when the Windows build can be made) under Wine. Prints the
# table and writes bench/results/<time>.{json,txt}; a whole run (no --quick,
# no --only) also replaces bench/results/latest.{json,txt}.
#   bench/run.sh [--quick] [--no-wine] [--only ID]
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)

wine=1
full=1
args=()
while [ $# -gt 0 ]; do
    case "$1" in
    --no-wine) wine=0 ;;
    --quick) args+=(--quick); full=0 ;;
    --only) args+=(--only "$2"); full=0; shift ;;
    *) echo "usage: bench/run.sh [--quick] [--no-wine] [--only ID]" >&2; exit 2 ;;
    esac
    shift
done

# What the build and the comparison need, when missing.
scripts/install-deps.sh bench

# The program and the benchmark client (built against the test support library).
cmake --preset native >/dev/null
cmake --build --preset native -j "$(nproc)" --target kestrun kbench >/dev/null

mkdir -p build/bench bench/results

wine_args=()
if [ "$wine" = 1 ] && command -v wine >/dev/null && command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
    if cmake --preset windows >/dev/null && cmake --build --preset windows -j "$(nproc)" --target kestrun >/dev/null; then
        wine_args=(--kestrun-exe "$root/build/windows/kestrun.exe" --wine-run "$root/tests/wine/wine-run.sh"
                   --wine-dir "$root/build/bench/wine")
    else
        echo "Windows build failed: no Wine figures" >&2
    fi
fi

stamp=$(date -u +%Y%m%d-%H%M%S)
json="bench/results/$stamp.json"
build/native/bench/kbench --root "$root" --kestrun "$root/build/native/kestrun" "${wine_args[@]}" \
    --json "$json" "${args[@]}" | tee "bench/results/$stamp.txt"
# Only a whole run replaces the latest results.
if [ "$full" = 1 ]; then
    cp "$json" bench/results/latest.json
    cp "bench/results/$stamp.txt" bench/results/latest.txt
fi
