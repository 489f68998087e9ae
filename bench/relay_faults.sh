#!/bin/bash
# The relay where cameras fail: status latency while the worker floods or
# drips and while the log stalls, and the lines lost across a log daemon's
# restart and stall. bench/relay_faults.sh [[NAME=]RUNNER...] prints
# Markdown; RUNNER defaults to the host build's (several stand side by side,
# each case run by one after the other, so a drift of the machine falls on
# all).
set -uo pipefail
cd "$(dirname "$0")/.."
. scripts/sandbox.sh
bin=$PWD/build/host/bin
args=("$@")
[ ${#args[@]} -gt 0 ] || args=("$bin/lanternhill")
names=() runners=()
for a in "${args[@]}"; do
    if [[ "$a" == *=* ]]; then names+=("${a%%=*}") runners+=("${a#*=}"); else names+=("$(realpath --relative-to="$PWD" "$a")") runners+=("$a"); fi
done
work=$(mktemp -d /tmp/lhfaults.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/pkg"
sock=$work/log.sock

# start_runner WORKER-BODY SINK-ARGS...: a counting log sink and the runner
# with that worker; /dev/log is a link to the sink's path, so the sink can
# go away and come back as a daemon does.
start_runner() {
    printf '#!/bin/sh\ntrap "exit 0" TERM\n%s\n' "$1" >"$work/pkg/lanternhillworker"
    chmod 755 "$work/pkg/lanternhillworker"
    shift
    # exec: SINK_PID is then the sink's, which SIGTERM ends at once (a shell
    # between would die and leave it to its two minutes' idle end).
    coproc SINK { exec "$bin/bench_log_sink" "$sock" 1000000000 "$@"; }
    read -r _ <&"${SINK[0]}"
    sandbox_args "$work/pkg"
    rm -f "$work/port" "$work/info"
    "${SANDBOX[@]}" --symlink "$sock" /dev/log --setenv SIMCAM_HTTP_PORT 0 \
        --setenv SIMCAM_HTTP_PORT_FILE "$work/port" --info-fd 3 -- "$runner" >/dev/null 2>&1 3>"$work/info" &
    sandbox=$!
    for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
    port=$(cat "$work/port" 2>/dev/null)
    pid=$(sed -n 's/.*"child-pid": *\([0-9]*\).*/\1/p' "$work/info")
}

# stop_runner: SIGTERM, the runner's exit, then the sink's count.
stop_runner() {
    kill -TERM "$pid" 2>/dev/null
    local t0=$(date +%s%N)
    wait "$sandbox" 2>/dev/null
    stop_ms=$(( ($(date +%s%N) - t0) / 1000000 ))
    sleep 0.5
    kill -TERM "$SINK_PID" 2>/dev/null
    read -r sink_count sink_numbered sink_behind <&"${SINK[0]}"
    wait "$SINK_PID" 2>/dev/null
}

# requests N: N status requests, 25 a second; each "code seconds" a line. A
# runner that does not answer costs 5 s a request: give up after 30 s.
requests() {
    local url="http://127.0.0.1:$port/local/lanternhill/status" t0=$SECONDS
    : >"$work/times"
    for _ in $(seq "$1"); do
        curl -s -o /dev/null --max-time 5 -w '%{http_code} %{time_total}\n' "$url" >>"$work/times"
        [ $((SECONDS - t0)) -ge 30 ] && break
        sleep 0.04
    done
}

# latency_row: p50, p99, max of the answered requests, and the count.
latency_row() {
    local n ok
    n=$(wc -l <"$work/times")
    awk '$1 == 200 { print $2 * 1000 }' "$work/times" | sort -n >"$work/ok"
    ok=$(wc -l <"$work/ok")
    if [ "$ok" -eq 0 ]; then
        echo "| - | - | - | 0 of $n"
        return
    fi
    at() { sed -n "${1}p" "$work/ok"; }
    printf '| %.1f ms | %.1f ms | %.1f ms | %d of %d' "$(at $(( (ok + 1) / 2 )))" \
        "$(at $(( (ok * 99 + 99) / 100 )))" "$(at "$ok")" "$ok" "$n"
}

# each_runner TEXT CASE...: CASE... once per runner, a row each (what it
# leaves in case_row), TEXT its first cell.
each_runner() {
    local text=$1 k
    shift
    for k in "${!runners[@]}"; do
        runner=${runners[$k]}
        "$@"
        echo "| $text | ${names[$k]} $case_row"
    done
}
flood() {
    start_runner "exec seq 1 1000000000"
    sleep 1
    requests 120
    stop_runner
    case_row="$(latency_row) | $stop_ms ms |"
}
drip() {
    start_runner 'i=0; while :; do printf x; sleep 0.002; i=$((i+1)); [ $((i % 1000)) = 0 ] && echo; done'
    sleep 1
    requests 120
    stop_runner
    case_row="$(latency_row) | $stop_ms ms |"
}
log_stall() {
    start_runner 'i=0; while :; do i=$((i+1)); echo "n $i"; [ $((i % 20)) = 0 ] && sleep 0.01; done' --stall 5000 --after 200
    sleep 0.5
    requests 120
    stop_runner
    case_row="$(latency_row) | $stop_ms ms |"
}
runners_text() {
    local k
    for k in "${!runners[@]}"; do
        printf '%s`%s`: `%s`' "$([ "$k" -gt 0 ] && echo '; ')" "${names[$k]}" "$(realpath --relative-to="$PWD" "${runners[$k]}")"
    done
}

echo "## 6. Status requests while the worker or the log misbehaves (goal: p99 at most 50 ms)"
echo
echo "Runners: $(runners_text). 120 requests, 25 a second, each by curl (\`time_total\`), 5 s at most each."
echo
echo "| while | runner | p50 | p99 | max | answered | stop after SIGTERM |"
echo "|---|---|---|---|---|---|---|"
each_runner "the worker floods (seq)" flood
each_runner "the worker drips a character every few ms" drip
each_runner "the log stops reading for 5 s" log_stall
echo

# Lines lost: 2000 numbered lines over about 2.5 s; the daemon fails after 200.
lost_run() {
    start_runner 'i=1; while [ $i -le 2000 ]; do echo "n $i"; i=$((i+1)); [ $((i % 20)) = 0 ] && sleep 0.02; done; sleep 20' "$@"
    # The lines take 2.5 s, the failure up to 5 s more: then stop.
    sleep 10
    stop_runner
    case_row="| $((2000 - sink_numbered)) | $sink_behind |"
}
echo "## 7. Lines lost when the log daemon fails (goal: 0)"
echo
echo "2000 numbered lines over about 2.5 s; after 200 datagrams the log daemon fails."
echo
echo "| daemon | runner | lines lost | lines out of order |"
echo "|---|---|---|---|"
each_runner "restarts: its socket gone for 1 s" lost_run --restart 1000
each_runner "stalls: reads nothing for 5 s" lost_run --stall 5000
echo
