#!/bin/bash
# Where the relay's instructions go: the runner relaying LINES lines into a
# counting socket under callgrind, less its start and stop (a worker that
# writes nothing), and the functions that cost most. Instruction counts
# don't depend on the machine's load. bench/relay_profile.sh
# [[NAME=]RUNNER...] prints Markdown; RUNNER defaults to the host build's
# (several let a "before" stand beside an "after", the first the base of
# the others' ratio).
set -uo pipefail
cd "$(dirname "$0")/.."
. scripts/sandbox.sh
bin=$PWD/build/host/bin
runners=("$@")
[ ${#runners[@]} -gt 0 ] || runners=("$bin/lanternhill")
lines=20000
work=$(mktemp -d /tmp/lhprofile.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/pkg"
seq -f 'relay line %06.0f abcdefghijklmnopqrstuvwxyz0123456789abcdefghijklmnopqrstuvwxyz' 1 $lines >"$work/lines"

# profile RUNNER LINES OUT: callgrind's output of one relay of LINES lines.
profile() {
    if [ "$2" -gt 0 ]; then
        printf '#!/bin/sh\nexec cat %s\n' "$work/lines" >"$work/pkg/lanternhillworker"
    else
        printf '#!/bin/sh\nexit 0\n' >"$work/pkg/lanternhillworker"
    fi
    chmod 755 "$work/pkg/lanternhillworker"
    rm -f "$work/log.sock" "$work/sink.out"
    "$bin/bench_log_sink" "$work/log.sock" $(($2 + 7)) >"$work/sink.out" &
    local sink=$! got
    until [ -s "$work/sink.out" ]; do sleep 0.05; done
    sandbox_args "$work/pkg" "$work/log.sock"
    "${SANDBOX[@]}" -- valgrind --tool=callgrind --callgrind-out-file="$3" "$1" >/dev/null 2>&1
    wait "$sink"
    read -r got _ < <(tail -n 1 "$work/sink.out")
    [ "$got" = $(($2 + 7)) ] || echo "profile: $got of $(($2 + 7)) messages arrived" >&2
}
total() { callgrind_annotate "$1" 2>/dev/null | awk '/PROGRAM TOTALS/ { gsub(",", "", $1); print $1 }'; }
# The functions with the most instructions of their own in the relay,
# per line: the run with lines less the run without.
top() {
    local f
    for f in "$1" "$2"; do
        callgrind_annotate "$f" 2>/dev/null | awk -v tag="$f" '
            $1 ~ /^[0-9,]+$/ && $2 ~ /^\(/ && !/PROGRAM TOTALS/ {
                ir = $1; gsub(",", "", ir)
                name = $0; sub(/^ *[0-9,]+ +\([^)]*\) +/, "", name); sub(/ \[.*\]$/, "", name)
                sub(/^\?\?\?:/, "", name); sub(/^.*:/, "", name)
                print tag "\t" name "\t" ir }'
    done | awk -F'\t' -v relay="$1" -v n=$lines '
        $1 == relay { d[$2] += $3; next } { d[$2] -= $3 }
        END { for (k in d) if (d[k] > 0) printf "%.0f\t%s\n", d[k] / n, k }' |
        sort -t$'\t' -k1,1nr | head -n 12 | awk -F'\t' '{ printf "| `%s` | %s |\n", $2, $1 }'
}

echo "## 9. Where the relay's instructions go (host, callgrind)"
echo
echo "$lines lines of 80 bytes into a counting socket, the runner under callgrind: instructions per line less the"
echo "runner's start and stop (a worker that writes nothing), and the functions with the most instructions of their own"
echo "per line, the same difference. Instruction counts don't depend on the machine's load; on the host, -Os copies"
echo 'with `rep movsb`, which callgrind counts a byte at a time.'
first=
for arg in "${runners[@]}"; do
    runner=${arg#*=} name=
    [ "$runner" = "$arg" ] || name="${arg%%=*}: "
    profile "$runner" "$lines" "$work/relay.cg"
    profile "$runner" 0 "$work/idle.cg"
    relay=$(total "$work/relay.cg") idle=$(total "$work/idle.cg")
    per=$(awk -v a="$relay" -v b="$idle" -v n=$lines 'BEGIN { printf "%.0f", (a - b) / n }')
    than=
    [ -z "$first" ] || than=" ($(awk -v a="$per" -v b="$first" 'BEGIN { printf "%.2f", a / b }') of the first)"
    first=${first:-$per}
    echo
    echo "${name:-Runner }\`$(realpath --relative-to="$PWD" "$runner")\`: $per instructions per line$than."
    echo
    echo "| function | instructions per line |"
    echo "|---|---|"
    top "$work/relay.cg" "$work/idle.cg"
done
