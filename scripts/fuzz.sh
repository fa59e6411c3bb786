#!/usr/bin/env bash
# The libFuzzer targets of fuzz/ (clang, ASan + UBSan), built in build/fuzz and run one after
# the other from a copy of their seed corpus in fuzz/corpus/, so the repository is left as it
# is. Exits non-zero when any target crashes; the input is kept in build/fuzz/artifacts/.
#
#   scripts/fuzz.sh        the short run of the test command: a fixed number of inputs per
#                          target from seed 1 (reproducible), each capped at 15 seconds
#   scripts/fuzz.sh 600    the longer run: each target for that many seconds
#
# Replaying one input: build/fuzz/fuzz_<target> <file>
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

seconds=${1:-}
if [ -n "$seconds" ] && ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: scripts/fuzz.sh [seconds per target]" >&2
    exit 2
fi

cmake -S fuzz -B build/fuzz -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    >/dev/null
cmake --build build/fuzz -j"$(nproc)" >/dev/null

# Target and the inputs of its short run (about 10 seconds each here).
targets=(text:16000 datatag:4000)
passed=0
failed=0
for entry in "${targets[@]}"; do
    target=${entry%%:*}
    runs=${entry#*:}
    work=build/fuzz/run/$target
    artifacts=build/fuzz/artifacts/$target
    rm -rf "$work"
    mkdir -p "$work" "$artifacts"
    cp -r "fuzz/corpus/$target" "$work/corpus"
    if [ -n "$seconds" ]; then
        limits=(-max_total_time="$seconds")
    else
        limits=(-runs="$runs" -max_total_time=15)
    fi
    start=$(date +%s)
    if build/fuzz/fuzz_$target -seed=1 "${limits[@]}" -print_final_stats=1 \
        -artifact_prefix="$artifacts/" "$work/corpus" >"$work/log" 2>&1; then
        execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log")
        echo "fuzz $target: ok, ${execs:-?} inputs in $(($(date +%s) - start)) s"
        passed=$((passed + 1))
    else
        echo "fuzz $target: FAILED (log: $work/log)"
        grep -E 'ERROR|Assertion|runtime error|SUMMARY|Test unit written' "$work/log" | head -20
        failed=$((failed + 1))
    fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
