#!/bin/bash
# build-package.sh TARGET: the camera package of one target, quietly; the
# build's log only when it fails.
set -uo pipefail
cd "$(dirname "$0")/.."
t=${1:?usage: build-package.sh TARGET}
bash scripts/make-sysroot.sh "$t" "build/$t/sysroot" || exit 1
echo "Building the camera package ($t)..."
log=build/$t-package.log
if ! { cmake --preset "$t" && cmake --build --preset "$t" -j"$(nproc)" --target camera-package; } >"$log" 2>&1; then
    echo "The $t build failed: see $log." >&2
    exit 1
fi
grep '^package: ' "$log" && rm -f "$log"
