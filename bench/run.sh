#!/bin/bash
# The benchmarks, each against the floor or the tool a user would pick, in
# one run on this machine; writes bench/RESULTS.md.
set -uo pipefail
cd "$(dirname "$0")/.."
top=$PWD
. scripts/sandbox.sh
sandbox_check || exit 1

cmake --preset host -DLH_BENCH=ON >/dev/null && cmake --build --preset host -j"$(nproc)" >/dev/null ||
    { echo "The host build failed: run 'cmake --build --preset host' to see why." >&2; exit 1; }
bin=$top/build/host/bin
# The runner from before the relay's rework, measured beside today's in
# sections 1, 6, 8 and 9; the bench fails at its end without it.
before_bin=$(bash bench/before.sh host) || before_bin=
before_rev=$(git -C build/before/src rev-parse --short HEAD 2>/dev/null)
now_rev="$(git rev-parse --short HEAD)$(git diff --quiet HEAD -- runner common platform 2>/dev/null || echo ' with changes not committed')"
work=$(mktemp -d /tmp/lhbench.XXXXXX)
trap 'rm -rf "$work"' EXIT
out=bench/RESULTS.md
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
cpu_of() { awk '{ print $1 + $2 }' "$1"; } # "user sys" seconds
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
# take_turns ROUNDS A B: runs the commands A and B ROUNDS times, taking
# turns (A first in odd rounds), and sets turn_a and turn_b to the median
# of what each printed: a drift of the machine falls on both.
take_turns() {
    local rounds=$1 a=$2 b=$3 round as=() bs=()
    for round in $(seq "$rounds"); do
        if [ $((round % 2)) -eq 1 ]; then
            as+=("$($a)"); bs+=("$($b)")
        else
            bs+=("$($b)"); as+=("$($a)")
        fi
    done
    turn_a=$(printf '%s\n' "${as[@]}" | median)
    turn_b=$(printf '%s\n' "${bs[@]}" | median)
}
# take_rounds ROUNDS NAME...: ROUNDS rounds of the commands NAME..., each
# round in the next order of them (for three: all six, so each comes before
# each other as often as after); what each printed, a round a line, in
# $work/rounds, a column each.
take_rounds() {
    local rounds=$1 round i
    shift
    local names=("$@") orders=() got=()
    if [ ${#names[@]} -eq 3 ]; then
        orders=("0 1 2" "1 2 0" "2 0 1" "0 2 1" "2 1 0" "1 0 2")
    else
        orders=("$(seq -s ' ' 0 $((${#names[@]} - 1)))" "$(seq -s ' ' $((${#names[@]} - 1)) -1 0)")
    fi
    : >"$work/rounds"
    for round in $(seq 0 $((rounds - 1))); do
        got=()
        for i in ${orders[$((round % ${#orders[@]}))]}; do got[$i]=$(${names[$i]}); done
        for i in "${!names[@]}"; do printf '%s ' "${got[$i]}"; done >>"$work/rounds"
        echo >>"$work/rounds"
    done
}
# column_stat N median|min: of column N of $work/rounds; the median of an
# even count is the mean of the middle two.
column_stat() {
    awk -v c="$1" '{ print $c }' "$work/rounds" | sort -n | awk -v s="$2" '{ v[NR] = $1 }
        END { if (s == "min") print v[1]; else printf "%.2f\n", (v[int((NR + 1) / 2)] + v[int(NR / 2) + 1]) / 2 }'
}
# rounds_ratio A B: the median of the rounds' A / B, each round's pair taken
# moments apart.
rounds_ratio() {
    awk -v a="$1" -v b="$2" '{ print $a / $b }' "$work/rounds" | sort -n |
        awk '{ v[NR] = $1 } END { printf "%.2f\n", (v[int((NR + 1) / 2)] + v[int(NR / 2) + 1]) / 2 }'
}

{
echo "# Benchmark results"
echo
echo "Machine: $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo), $(uname -sm), $(. /etc/os-release; echo "$PRETTY_NAME")."
echo "Command: \`make bench\` ($(date -u +%Y-%m-%d)). Host build (MinSizeRel)."
echo
} >"$out"

# 1. Log relay: CPU per line, runner against util-linux logger, same lines, same socket.
lines=100000
seq -f 'relay line %06.0f abcdefghijklmnopqrstuvwxyz0123456789abcdefghijklmnopqrstuvwxyz' 1 $lines >"$work/lines"
mkdir -p "$work/pkg"
printf '#!/bin/sh\nexec cat %s\n' "$work/lines" >"$work/pkg/lanternhillworker"
chmod 755 "$work/pkg/lanternhillworker"
relay_cpu() { # COUNT COMMAND... under a fresh sink; prints "user sys" of the command
    local sock=$work/log.sock want=$1 got t
    shift
    # The daemon's queue: the kernel's default of 10 datagrams, or as
    # systemd sets it (512), in a network namespace of the sink's own.
    coproc SINK { unshare -n sh -c 'echo "$0" >/proc/sys/net/unix/max_dgram_qlen && exec "$@"' \
        "$qlen" "$bin/bench_log_sink" "$sock" "$want"; }
    read -r _ <&"${SINK[0]}"
    t=$( { TIMEFORMAT='%3U %3S'; time "$@" >/dev/null 2>&1; } 2>&1 )
    read -r got _ <&"${SINK[0]}"
    wait "$SINK_PID"
    [ "$got" = "$want" ] || echo "relay: $got of $want messages arrived; the figure is not comparable" >&2
    echo "$t"
}
sandbox_args "$work/pkg" "$work/log.sock"
per_line() { awk -v t="$1" -v n=$lines 'BEGIN { split(t, a, " "); printf "%.2f\n", (a[1] + a[2]) * 1e6 / n }'; }
runner_relay() { # [RUNNER]
    # The runner also logs its own start and stop lines: 7 more datagrams.
    relay_cpu $((lines + 7)) "${SANDBOX[@]}" -- bash -c "TIMEFORMAT='%3U %3S'; time ${1:-$bin/lanternhill} >/dev/null" >"$work/runner.cpu" 2>&1
    per_line "$(tail -n 1 "$work/runner.cpu")"
}
before_relay() { runner_relay "$before_bin"; }
# logger reads the lines from a pipe, as the runner does; the CPU of the
# cat that feeds it counts, as the worker's does for the runner.
logger_relay() {
    per_line "$(relay_cpu $lines bash -c "cat '$work/lines' | logger --socket-errors=off -u '$work/log.sock' -t relay")"
}
relay_rounds=12
if [ -n "$before_bin" ]; then
    relay_senders=(runner_relay before_relay logger_relay)
else
    relay_senders=(runner_relay logger_relay)
fi
{
echo "## 1. Log relay (goal: runner at most 0.6 x logger, and below the runner from before the relay's rework at both queues)"
echo
echo "$lines lines of 80 bytes into a counting socket. CPU (user + sys) of the whole command: the runner"
echo "with its worker (\`cat\` of the lines), and \`cat\` of the lines into \`logger -u SOCKET\`. $relay_rounds rounds, each sender once a"
echo "round, in turn first (every order of them equally often): the median round and the fastest. The same binary against itself"
echo "varies by about 10 % here: the rounds' median of now / before, whose two runs are moments apart, is the steadiest figure."
echo "The runner now: $now_rev; before the relay's rework: ${before_rev:-not built} (bench/before.sh)."
echo "A log daemon's socket queues 10 datagrams by the kernel's default, 512 where systemd sets it: with 10, both"
echo "senders sleep and wake once per ten lines or so, and that dominates."
echo
if [ -n "$before_bin" ]; then
    echo "| daemon's queue | runner now: median (min) | runner before: median (min) | now / before: medians (mins; rounds' median) | logger: median (min) | now / logger |"
    echo "|---|---|---|---|---|---|"
else
    echo "| daemon's queue | runner now: median (min) | logger: median (min) | now / logger |"
    echo "|---|---|---|---|"
fi
} >>"$out"
for qlen in 10 512; do
    take_rounds $relay_rounds "${relay_senders[@]}"
    cp "$work/rounds" "$work/rounds.$qlen"
    now=$(column_stat 1 median) now_min=$(column_stat 1 min)
    lg=${#relay_senders[@]}
    log=$(column_stat "$lg" median) log_min=$(column_stat "$lg" min)
    if [ -n "$before_bin" ]; then
        was=$(column_stat 2 median) was_min=$(column_stat 2 min)
        echo "| $qlen datagrams | $now us ($now_min) | $was us ($was_min) | $(ratio "$now" "$was") ($(ratio "$now_min" "$was_min"); $(rounds_ratio 1 2)) | $log us ($log_min) | $(ratio "$now" "$log") |" >>"$out"
    else
        echo "| $qlen datagrams | $now us ($now_min) | $log us ($log_min) | $(ratio "$now" "$log") |" >>"$out"
    fi
done
echo >>"$out"
{
echo "Each round, us per line ($(printf '%s' "${relay_senders[*]}" | sed 's/_relay//g; s/runner/now/; s/ /, /g')): queue 10: $(awk '{ $1 = $1; printf "%s%s", (NR > 1 ? " / " : ""), $0 }' "$work/rounds.10");"
echo "queue 512: $(awk '{ $1 = $1; printf "%s%s", (NR > 1 ? " / " : ""), $0 }' "$work/rounds.512")."
echo
} >>"$out"

# From here on the runner logs into a sink that only counts: a log daemon
# that keeps up.
"$bin/bench_log_sink" "$work/quiet.sock" 1000000000 >/dev/null &
quiet_sink=$!
sleep 0.2

# 2. Worker stall: a 1 MiB burst right after a tick, with the pipe at 64 KiB and as the runner sets it.
burst() { # PIPE-SIZE-OPTION
    printf '#!/bin/sh\necho start\nsleep 1.2\nexec %s %s %s\n' "$bin/bench_burst_writer" "$1" "$work/burst.ms" >"$work/pkg/lanternhillworker"
    sandbox_args "$work/pkg" "$work/quiet.sock"
    "${SANDBOX[@]}" -- "$bin/lanternhill" >/dev/null 2>&1
    cat "$work/burst.ms"
}
before=$(burst --pipe-size=65536)
after=$(burst "")
{
echo "## 2. Worker stall (goal: a 1 MiB burst written without blocking)"
echo
echo "Time the worker needs to write 1 MiB of lines that starts 0.2 s after a tick of the one-second pump."
echo
echo "| pipe | burst written in |"
echo "|---|---|"
echo "| 64 KiB (the default, set by the worker itself) | $before ms |"
echo "| as the runner sets it (up to 1 MiB) | $after ms |"
echo
} >>"$out"

# 3. Status request: the handler against the floor, then end to end with wrk.
# Interleaved repetitions, medians: a drift of the machine falls on both.
"$bin/bench_status" --benchmark_repetitions=20 --benchmark_enable_random_interleaving=true \
    --benchmark_min_time=0.2 --benchmark_format=csv 2>/dev/null >"$work/status.csv"
handler_ns=$(awk -F, '/BM_RequestHandler_median/ { print $3 }' "$work/status.csv")
floor_ns=$(awk -F, '/BM_FloorReadBothFiles_median/ { print $3 }' "$work/status.csv")
mkdir -p "$work/pkg/localdata/config"
printf '{"version":"2.3.4"}\n' >"$work/pkg/localdata/config/lh.version.config"
printf '{"vqId":"bench-camera"}\n' >"$work/pkg/localdata/config/lh.config"
printf '#!/bin/sh\ntrap "exit 0" TERM\nwhile :; do sleep 1; done\n' >"$work/pkg/lanternhillworker"
sandbox_args "$work/pkg" "$work/quiet.sock"
"${SANDBOX[@]}" --setenv SIMCAM_HTTP_PORT 0 --setenv SIMCAM_HTTP_PORT_FILE "$work/port" --info-fd 3 \
    -- "$bin/lanternhill" >/dev/null 2>&1 3>"$work/info" &
sandbox=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
port=$(cat "$work/port")
runner=$(sed -n 's/.*"child-pid": *\([0-9]*\).*/\1/p' "$work/info")
sleep 2
fresh_rss=$(awk '/VmRSS/ { print $2 }' "/proc/$runner/status")
wrk -t2 -c8 -d10s "http://127.0.0.1:$port/local/lanternhill/status" >"$work/wrk.txt" 2>&1
rps=$(awk '/Requests\/sec/ { print $2 }' "$work/wrk.txt")
errors=$(grep -E 'Socket errors|Non-2xx' "$work/wrk.txt" | tr '\n' ' ')
{
echo "## 3. Status request (goal: handler at most 1.5 x the floor; wrk: 0 errors)"
echo
echo "| | time per request | ratio |"
echo "|---|---|---|"
echo "| request_handler | $(printf '%.0f' "$handler_ns") ns | $(ratio "$handler_ns" "$floor_ns") |"
echo "| floor: open, read, close both files | $(printf '%.0f' "$floor_ns") ns | 1.00 |"
echo
echo "End to end through the HTTP stand-in, \`wrk -t2 -c8 -d10s\` on loopback: $rps requests/s; errors: ${errors:-none}."
echo
} >>"$out"

# 4. Idle footprint: the same runner, idle, against a bare GLib main loop.
sleep 2
runner_rss=$(awk '/VmRSS/ { print $2 }' "/proc/$runner/status")
private_of() { awk '/^Private_(Clean|Dirty)/ { s += $2 } END { print s }' "/proc/$1/smaps_rollup"; }
runner_private=$(private_of "$runner")
"$bin/bench_idle_loop" &
floor=$!
sleep 2
floor_rss=$(awk '/VmRSS/ { print $2 }' "/proc/$floor/status")
floor_private=$(private_of "$floor")
SIMCAM_HTTP_PORT=0 "$bin/bench_idle_http" &
floor_http=$!
sleep 2
floor_http_rss=$(awk '/VmRSS/ { print $2 }' "/proc/$floor_http/status")
kill "$floor_http"
ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
t0=$(ticks "$runner")
sleep 60
t1=$(ticks "$runner")
kill "$floor"
kill -TERM "$runner"
wait "$sandbox" 2>/dev/null
kill "$quiet_sink"
hz=$(getconf CLK_TCK)
{
echo "## 4. Idle footprint (goal: resident memory at most 1.2 x a bare GLib main loop)"
echo
echo "| | resident memory | ratio |"
echo "|---|---|---|"
echo "| lanternhill, idle since its start, HTTP stand-in listening | $fresh_rss kB | $(ratio "$fresh_rss" "$floor_rss") |"
echo "| lanternhill, idle after the 10 s of wrk above | $runner_rss kB | $(ratio "$runner_rss" "$floor_rss") |"
echo "| a GLib main loop with a 1 s timer | $floor_rss kB | 1.00 |"
echo "| the same loop with a handler registered with the HTTP stand-in | $floor_http_rss kB | $(ratio "$floor_http_rss" "$floor_rss") |"
echo
echo "Against the loop that loads the same HTTP stand-in: $(ratio "$fresh_rss" "$floor_http_rss") since its start, $(ratio "$runner_rss" "$floor_http_rss") after wrk."
echo
echo "Of that, private to the process (not shared with other programs): lanternhill $runner_private kB,"
echo "the bare loop $floor_private kB (ratio $(ratio "$runner_private" "$floor_private")). The rest is the shared"
echo "libraries mapped, most of them the HTTP stand-in's (libsoup and what it loads), which the camera does not use."
echo
echo "CPU time of the idle runner over 60 s: $(awk -v t=$((t1 - t0)) -v hz="$hz" 'BEGIN { printf "%.2f", t / hz }') s."
echo
} >>"$out"

# 5. Frame output: capture2 writing a 4 MiB frame into a pipe, against cat.
head -c $((4 << 20)) /dev/urandom >"$work/frame.jpg"
runs=20 rounds=9
frame_time() { # seconds for $runs frames written into a pipe by COMMAND...
    local t
    t=$( { TIMEFORMAT='%3R'; time for _ in $(seq $runs); do "$@" | cat >/dev/null; done; } 2>&1 )
    echo "$t"
}
capture_frames() { SIMCAM_CAPTURE_FRAME=$work/frame.jpg frame_time "$bin/capture2"; }
cat_frames() { frame_time cat "$work/frame.jpg"; }
take_turns $rounds capture_frames cat_frames
cap_t=$turn_a cat_t=$turn_b
{
echo "## 5. Frame output (goal: capture2 at most 1.1 x cat)"
echo
echo "$rounds rounds, taking turns, of $runs runs each writing a 4 MiB frame into a pipe (wall time, process start included; the median round)."
echo
echo "| | per frame | ratio |"
echo "|---|---|---|"
echo "| capture2 | $(awk -v t="$cap_t" -v n=$runs 'BEGIN { printf "%.2f", t * 1000 / n }') ms | $(ratio "$cap_t" "$cat_t") |"
echo "| cat | $(awk -v t="$cat_t" -v n=$runs 'BEGIN { printf "%.2f", t * 1000 / n }') ms | 1.00 |"
} >>"$out"

echo >>"$out"
# With the runner from before the rework, when it built, beside today's.
before_arg=()
[ -z "$before_bin" ] || before_arg=("before $before_rev=$before_bin")
bash bench/relay_faults.sh "now=$bin/lanternhill" "${before_arg[@]}" >>"$out"

# 8. The relay on the emulated mipsel camera.
# It builds what it boots, and says on standard error why it can't measure.
camera_failed=0
echo >>"$out"
bash bench/camera_relay.sh mipsel ${before_bin:+--before} >>"$out" || camera_failed=1
echo >>"$out"
bash bench/relay_profile.sh "${before_arg[@]}" "now=$bin/lanternhill" >>"$out"

cat "$out"
[ "$camera_failed" = 0 ] || { echo "bench: the emulated camera's section is missing (see above)" >&2; exit 1; }
[ -n "$before_bin" ] || { echo "bench: the runner from before the rework did not build: measured without it (see above)" >&2; exit 1; }
