#!/bin/bash
# Builds and tests every configuration; one summary line each at the end.
set -uo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
presets=(${PRESETS:-host asan mipsel})
summary=()
failed=0
total_pass=0 total_fail=0

for p in "${presets[@]}"; do
    start=$(date +%s)
    echo "=== $p: configure and build"
    if [ "$p" = mipsel ]; then
        bash scripts/make-sysroot.sh "build/mipsel/sysroot" || { summary+=("$p: sysroot failed"); failed=1; continue; }
    fi
    if ! cmake --preset "$p" >"build-$p.log" 2>&1 || ! cmake --build --preset "$p" -j"$jobs" >>"build-$p.log" 2>&1; then
        tail -n 40 "build-$p.log"
        summary+=("$p: build failed (build-$p.log)")
        failed=1
        continue
    fi
    rm -f "build-$p.log"
    echo "=== $p: test"
    out="build/$p/ctest.log"
    ctest --preset "$p" -j"$jobs" 2>&1 | tee "$out"
    rc=${PIPESTATUS[0]}
    line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$out" | tail -n 1)
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
    nfail=$(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$line")
    nskip=$(grep -cE '\*\*\*Skipped|Not Run' "$out")
    npass=$(( ${total:-0} - ${nfail:-0} - nskip ))
    [ -n "$line" ] || { nfail=1; npass=0; }
    [ "$rc" -eq 0 ] || failed=1
    total_pass=$((total_pass + npass)); total_fail=$((total_fail + ${nfail:-1}))
    summary+=("$p: $npass passed, ${nfail:-1} failed, $nskip skipped ($(( $(date +%s) - start )) s)")
done

echo
echo "=== summary"
printf '%s\n' "${summary[@]}"
echo "all: $total_pass passed, $total_fail failed"
exit $failed
