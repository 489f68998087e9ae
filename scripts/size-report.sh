#!/bin/bash
# Per camera target and program: the stripped size, its size compressed as
# in the package, and the NEEDED list; then the package's own size.
set -euo pipefail
cd "$(dirname "$0")/.."
declare -A goal=([lanternhill]=65536 [doer]=49152 [capture2]=16384)
grep -vE '^(#|$)' cmake/targets.txt | while read -r t _ triplet _; do
    stage=build/$t/package-root
    [ -d "$stage" ] || { echo "No $t package yet: run 'make package' first." >&2; exit 1; }
    echo "$t:"
    for f in "$stage"/*; do
        name=$(basename "$f")
        size=$(stat -c %s "$f")
        packed=$(gzip -9c "$f" | wc -c)
        verdict="no goal"
        if [ -n "${goal[$name]:-}" ]; then
            [ "$size" -le "${goal[$name]}" ] && verdict="within $((goal[$name] / 1024)) KiB" || verdict="OVER $((goal[$name] / 1024)) KiB"
        fi
        needed=$("$triplet-readelf" -d "$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
        printf '  %-12s %7d bytes (%s), %6d compressed  NEEDED: %s\n' "$name" "$size" "$verdict" "$packed" "$needed"
    done
    tarball=$(ls build/"$t"/lanternhill-*-"$t".tar.gz)
    printf '  package      %7d bytes  %s\n' "$(stat -c %s "$tarball")" "$tarball"
done
