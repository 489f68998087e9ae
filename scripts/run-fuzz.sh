#!/bin/bash
# Builds the libFuzzer targets and runs each for SECONDS (default 20).
# New inputs go to a scratch folder; the seeds in fuzz/corpus stay as they
# are. A crash leaves its input in build/fuzz/artifacts: fix it, then add
# the input to the target's corpus as a regression case.
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}

cmake --preset fuzz >build-fuzz.log 2>&1 && cmake --build --preset fuzz -j"$(nproc)" >>build-fuzz.log 2>&1 ||
    { tail -n 30 build-fuzz.log; echo "fuzz: build failed (build-fuzz.log)"; exit 1; }
rm -f build-fuzz.log
mkdir -p build/fuzz/artifacts
pass=0 fail=0
for dir in fuzz/corpus/*/; do
    target=$(basename "$dir")
    scratch=$(mktemp -d)
    echo "=== fuzz_$target for $seconds s"
    if build/fuzz/bin/"fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$PWD/build/fuzz/artifacts/$target-" "$scratch" "$PWD/$dir" >"build/fuzz/$target.log" 2>&1; then
        grep -E '^Done|stat::number_of_executed_units' "build/fuzz/$target.log" | head -n 1
        pass=$((pass + 1))
    else
        tail -n 40 "build/fuzz/$target.log"
        fail=$((fail + 1))
    fi
    rm -rf "$scratch"
done
echo "fuzz: $pass passed, $fail failed"
[ "$fail" -eq 0 ]
