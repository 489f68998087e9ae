#!/bin/bash
# Builds and tests every configuration; one summary line each at the end.
set -uo pipefail
cd "$(dirname "$0")/.."
. scripts/sandbox.sh
# Every system test runs in a sandbox: say so once rather than fail each.
sandbox_check || exit 1

jobs=$(nproc)
targets=($(grep -vE '^(#|$)' cmake/targets.txt | cut -d' ' -f1))
presets=(${PRESETS:-host asan ${targets[*]}})
is_target() { [[ " ${targets[*]} " == *" $1 "* ]]; }

# Nothing started here outlives the run, also when it is interrupted:
# background jobs of a script ignore Ctrl-C.
tree() { local c; echo "$1"; for c in $(cat /proc/"$1"/task/*/children 2>/dev/null); do tree "$c"; done; }
stop_jobs() {
    local pids= j
    for j in $(jobs -p); do pids+=" $(tree "$j")"; done
    [ -z "$pids" ] || kill $pids 2>/dev/null
}
trap stop_jobs EXIT
trap 'echo "Interrupted."; exit 130' INT TERM

# The camera targets' sysroots download meanwhile: the network, not the
# cores, is what they wait for.
# So do the emulated cameras' kernels and BusyBox.
mkdir -p build
declare -A sysroot_job kit_job
for p in "${presets[@]}"; do
    if is_target "$p"; then
        bash scripts/make-sysroot.sh "$p" "build/$p/sysroot" >"build/sysroot-$p.log" 2>&1 &
        sysroot_job[$p]=$!
        mkdir -p "build/$p"
        bash scripts/camera-kit.sh "$p" "build/$p/camera-kit" >"build/camera-kit-$p.log" 2>&1 &
        kit_job[$p]=$!
    fi
done
summary=()
failed=0
total_pass=0 total_fail=0

# ctest_stage NAME PRESET [CTEST ARGS...]: runs the tests, records a summary.
ctest_stage() {
    local name=$1 preset=$2 start out line total nfail nskip npass rc
    shift 2
    start=$(date +%s)
    echo "=== $name: test"
    out="build/$preset/ctest-$name.log"
    ctest --preset "$preset" -j"$jobs" "$@" 2>&1 | tee "$out"
    rc=${PIPESTATUS[0]}
    line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$out" | tail -n 1)
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
    nfail=$(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$line")
    nskip=$(grep -cE '\*\*\*Skipped|Not Run' "$out")
    if [ -z "$line" ]; then total=0; nfail=1; fi
    npass=$(( total - nfail - nskip ))
    [ "$rc" -eq 0 ] || failed=1
    total_pass=$((total_pass + npass)); total_fail=$((total_fail + nfail))
    summary+=("$name: $npass passed, $nfail failed, $nskip skipped ($(( $(date +%s) - start )) s)")
}

# camera_stage TARGET: its emulated camera in the background, while the
# other configurations build and test (an emulator uses one core); one
# camera at a time, in the order asked. Its log is shown at the end.
camera_jobs=()
camera_stage() {
    [ -f "build/$1/bin/camclock" ] || return 0
    if ! wait "${kit_job[$1]}"; then
        cat "build/camera-kit-$1.log"
        summary+=("camera-$1: camera kit failed"); failed=1; return 0
    fi
    # bash refuses [-1] of an empty array, default or not.
    local before=
    [ ${#camera_jobs[@]} -eq 0 ] || before=${camera_jobs[-1]}
    (
        [ -z "$before" ] || while kill -0 "$before" 2>/dev/null; do sleep 1; done
        bash scripts/camera-test.sh "$1" >"build/$1/camera-test.log" 2>&1
    ) &
    camera_jobs+=($!)
    camera_targets+=("$1")
}
camera_targets=()

# Every configuration is built first, the camera targets right after the
# host, so that the emulated cameras run beside every test stage.
declare -A built=()
build_order=()
for p in "${presets[@]}"; do [ "$p" = host ] && build_order+=("$p"); done
for p in "${presets[@]}"; do is_target "$p" && build_order+=("$p"); done
for p in "${presets[@]}"; do [ "$p" = host ] || is_target "$p" || build_order+=("$p"); done
for p in "${build_order[@]}"; do
    start=$(date +%s)
    echo "=== $p: configure and build"
    if is_target "$p"; then
        if ! wait "${sysroot_job[$p]}"; then
            cat "build/sysroot-$p.log"
            summary+=("$p: sysroot failed"); failed=1; continue
        fi
        cat "build/sysroot-$p.log"
    fi
    if ! cmake --preset "$p" >"build-$p.log" 2>&1 || ! cmake --build --preset "$p" -j"$jobs" >>"build-$p.log" 2>&1; then
        tail -n 40 "build-$p.log"
        summary+=("$p: build failed (build-$p.log)")
        failed=1
        continue
    fi
    rm -f "build-$p.log"
    echo "=== $p: built in $(( $(date +%s) - start )) s"
    built[$p]=1
    is_target "$p" && camera_stage "$p"
done

for p in "${presets[@]}"; do
    [ -n "${built[$p]:-}" ] || continue
    ctest_stage "$p" "$p"
    if [ "$p" = host ]; then
        # The programs under valgrind: no error, nothing definitely or
        # indirectly lost. (The parent-death case is left out: valgrind
        # does not keep the program's parent-death signal.)
        vglogs=$(mktemp -d)
        LH_TEST_WRAPPER="valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect --log-file=$vglogs/vg.%p.log" \
            ctest_stage valgrind host -R '^(Doer|Capture|StatusHttp|RunnerLifecycle)' -E 'EndsWhenItsParentDies'
        if grep -lE 'ERROR SUMMARY: [1-9]|definitely lost|indirectly lost' "$vglogs"/*.log 2>/dev/null; then
            cat "$vglogs"/*.log
        fi
        rm -rf "$vglogs"
    fi
done

# The fuzz targets beside the last emulated cameras (one core each).
fuzzing=
if [ -z "${PRESETS:-}" ] || [[ " ${PRESETS} " == *" fuzz "* ]]; then
    fuzz_start=$(date +%s)
    bash scripts/run-fuzz.sh "${FUZZ_SECONDS:-20}" >build/fuzz-run.log 2>&1 &
    fuzzing=$!
fi
for i in "${!camera_targets[@]}"; do
    p=${camera_targets[$i]}
    wait "${camera_jobs[$i]}"
    echo "=== camera-$p: the emulated camera"
    cat "build/$p/camera-test.log"
    line=$(grep -E "^camera-$p: [0-9]+ passed, [0-9]+ failed" "build/$p/camera-test.log" | tail -n 1)
    cp_=$(sed -nE 's/.* ([0-9]+) passed.*/\1/p' <<<"$line")
    cf=$(sed -nE 's/.* ([0-9]+) failed.*/\1/p' <<<"$line")
    [ -n "$line" ] && [ "$cf" -eq 0 ] || { failed=1; [ -n "$line" ] || { line="camera-$p: 0 passed, 1 failed"; cp_=0 cf=1; }; }
    total_pass=$((total_pass + cp_)); total_fail=$((total_fail + cf))
    summary+=("$line")
done

if [ -n "$fuzzing" ]; then
    start=$fuzz_start
    wait "$fuzzing"
    cat build/fuzz-run.log
    line=$(grep -E '^fuzz: [0-9]+ passed' build/fuzz-run.log | tail -n 1)
    fp=$(sed -E 's/fuzz: ([0-9]+) passed.*/\1/' <<<"${line:-fuzz: 0 passed}")
    ff=$(sed -E 's/.* ([0-9]+) failed/\1/' <<<"${line:-fuzz: 0 passed, 1 failed}")
    [ -n "$line" ] && [ "$ff" -eq 0 ] || failed=1
    total_pass=$((total_pass + fp)); total_fail=$((total_fail + ff))
    summary+=("fuzz: $fp passed, $ff failed, 0 skipped ($(( $(date +%s) - start )) s)")
fi

echo
echo "=== summary"
printf '%s\n' "${summary[@]}"
echo "all: $total_pass passed, $total_fail failed"
exit $failed
