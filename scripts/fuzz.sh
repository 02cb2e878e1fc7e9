#!/usr/bin/env bash
# Builds the fuzz targets (the "fuzz" preset) and runs each for RUNS inputs
# (default 1,000,000), starting from the seed corpus in fuzz/corpus/ and the
# corpus grown by earlier runs in build/fuzz/corpus/. A target that fails
# leaves its input in build/fuzz/failures/ and its output in
# build/fuzz/logs/. The last line:
#   fuzz: T targets, N inputs, F failures
#   scripts/fuzz.sh [RUNS]
set -eu
cd "$(dirname "$0")/.."
runs=${1:-1000000}
scripts/install-deps.sh fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" >/dev/null

# Absolute paths: the settings target works in a folder of its own.
out=$PWD/build/fuzz
failures_dir=$out/failures
mkdir -p "$out/logs" "$failures_dir"
# The targets write their files in a folder of their own under TMPDIR; a
# memory file system keeps a million of those writes quick.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi

targets=(fuzz_protocol fuzz_spool fuzz_settings fuzz_log fuzz_rfc2217)
total=0
failed=0
for t in "${targets[@]}"; do
    case "$t" in
    fuzz_protocol | fuzz_spool) seeds=$PWD/fuzz/corpus/protocol ;;
    fuzz_settings) seeds=$PWD/fuzz/corpus/settings ;;
    fuzz_log) seeds=$PWD/fuzz/corpus/log ;;
    fuzz_rfc2217) seeds=$PWD/fuzz/corpus/rfc2217 ;;
    esac
    corpus=$out/corpus/$t
    log=$out/logs/$t.log
    mkdir -p "$corpus"
    start=$(date +%s)
    status=0
    "$out/fuzz/$t" -runs="$runs" -max_len=4096 -timeout=20 -print_final_stats=1 \
        -artifact_prefix="$failures_dir/$t-" "$corpus" "$seeds" >"$log" 2>&1 || status=$?
    done_runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log" | tail -1)
    if [ -z "$done_runs" ]; then
        done_runs=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\).*/\1/p' "$log" | tail -1)
    fi
    done_runs=${done_runs:-0}
    total=$((total + done_runs))
    if [ "$status" != 0 ]; then
        failed=$((failed + 1))
        echo "$t: FAILED after $done_runs inputs ($(($(date +%s) - start)) s); input in ${failures_dir#$PWD/}/, output in ${log#$PWD/}"
        grep -m 3 -E 'PROPERTY FAILED|ERROR:|runtime error' "$log" || true
    else
        echo "$t: $done_runs inputs in $(($(date +%s) - start)) s, corpus $(ls "$corpus" | wc -l) inputs"
    fi
done

if [ "$failed" != 0 ]; then
    echo "fuzz: ${#targets[@]} targets, $total inputs, $failed failures (inputs in ${failures_dir#$PWD/}/)"
    exit 1
fi
echo "fuzz: ${#targets[@]} targets, $total inputs, 0 failures"
