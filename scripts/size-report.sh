#!/bin/bash
# Stripped size and NEEDED list of every program in the camera package.
set -euo pipefail
cd "$(dirname "$0")/.."
stage=build/mipsel/package-root
[ -d "$stage" ] || { echo "No camera package yet: run 'make package' first." >&2; exit 1; }
declare -A goal=([lanternhill]=65536 [doer]=49152 [capture2]=16384)
for f in "$stage"/*; do
    name=$(basename "$f")
    size=$(stat -c %s "$f")
    verdict="no goal"
    if [ -n "${goal[$name]:-}" ]; then
        [ "$size" -le "${goal[$name]}" ] && verdict="within $((goal[$name] / 1024)) KiB" || verdict="OVER $((goal[$name] / 1024)) KiB"
    fi
    needed=$(mipsel-linux-gnu-readelf -d "$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
    printf '%-12s %7d bytes (%s)  NEEDED: %s\n' "$name" "$size" "$verdict" "$needed"
done
