#!/bin/bash
# The relay on the emulated camera (mipsel, or TARGET): the runner, BusyBox's
# logger and a minimal relay (the floor) sending the same lines into the
# camera's syslogd, in one boot; with --before, the runner from before the
# relay's rework too (bench/before.sh). A section of bench/RESULTS.md on
# standard output. Exits non-zero, with one line saying why, when the camera
# doesn't boot, hangs or loses lines. bench/camera_relay.sh [TARGET] [--before]
set -uo pipefail
cd "$(dirname "$0")/.."
. scripts/camera-boot.sh
target=${1:-mipsel}
with_before=
[ "${2:-}" = --before ] && with_before=1
lines=${CAMERA_BENCH_LINES:-10000}
rounds=${CAMERA_BENCH_ROUNDS:-5}
spin=${CAMERA_BENCH_SPIN:-100} # million instructions a round
boot_limit=180                 # seconds to the first round; 10-15 s is usual
quiet_limit=300                # seconds from one result to the next
camera_target "$target" || exit 1
bash scripts/build-package.sh "$target" >&2 &&
    cmake --build --preset "$target" --target camclock cutpoint benchspin floorrelay >/dev/null || {
    echo "camera bench: the $target package, camclock, the spin or the floor could not be built" >&2
    exit 1
}
# After the package: its sysroot is the one the before runner builds against.
if [ -n "$with_before" ]; then
    before_bin=$(bash bench/before.sh "$target") || { echo "camera bench: the $target runner from before the rework could not be built" >&2; exit 1; }
fi
camera_prepare "$target" >&2 || exit 1
trap 'camera_end 0' EXIT
port=$((20000 + $$ % 12000))
while ! port_free "$port" 2>/dev/null; do port=$((port + 1)); done
disk=$CAM_DIR/disk-bench.img
camera_disk "$disk" || exit 1
# The before runner rides on the package disk, stripped as the package's
# programs are: the image is made from the package alone.
senders=2
if [ -n "$with_before" ]; then
    . scripts/targets.sh
    "$T_TRIPLET-strip" -o "$CAM_DIR/lanternhill-before" "$before_bin" &&
        debugfs -w -R "write $CAM_DIR/lanternhill-before lanternhill-before" "$disk" >/dev/null 2>&1 ||
        { echo "camera bench: the runner from before the rework could not be put on the camera's disk" >&2; exit 1; }
    senders=3
fi
hz=100 # the camera kernel's clock ticks of /proc/PID/stat
give_up() {
    echo "camera bench: $*; its console: $CAM_LOG" >&2
    camera_console_tail
    exit 1
}
# The camera's clock counts emulated instructions (one a nanosecond), but
# its kernel fixes their rate to its own time at boot, against the host's
# time: the spin measures it. sleep=off hung under load.
CAM_EMU_ARGS="-icount shift=0" camera_boot bench "$disk" "$port" utc \
    "lh.lines=$lines lh.rounds=$rounds lh.spin=$spin lh.before=${with_before:-0}"
declare -A bench start
spins=() counts= booted= last=$SECONDS
while :; do
    camera_line 5
    case $? in
        1) give_up "the $target camera ended before its last round" ;;
        2) ;;
        *)
            case $LINE in
                @@booted) booted=1 last=$SECONDS ;;
                "@@bench spin "*) spins+=("${LINE#@@bench spin }") last=$SECONDS ;;
                "@@bench lines "*) counts=${LINE#@@bench lines } last=$SECONDS ;;
                "@@bench "*) read -r _ s u y d w p <<<"$LINE"; bench[$s]+="$u $y $d $w $p," last=$SECONDS ;;
                "@@start "*) read -r _ s u y d w p <<<"$LINE"; start[$s]+="$u $y $d $w $p," last=$SECONDS ;;
                @@done) break ;;
            esac ;;
    esac
    if [ -z "$booted" ] && [ $((SECONDS - last)) -ge $boot_limit ]; then
        give_up "the $target camera did not boot within $boot_limit s"
    elif [ $((SECONDS - last)) -ge $quiet_limit ]; then
        give_up "the $target camera hangs: no result for $quiet_limit s"
    fi
done
camera_end 30
read -r relayed logged <<<"$counts"
[ "${relayed:-0}" -eq $((senders * rounds * lines)) ] && [ "${logged:-0}" -eq $((rounds * lines)) ] ||
    give_up "lines lost: ${relayed:-?} of the runners' and the floor's $((senders * rounds * lines)), ${logged:-?} of logger's $((rounds * lines)) in the system log"

# Medians of each sender's rounds, less the median of its start and stop.
summary() {
    awk -v runs="${bench[$1]}" -v starts="${start[$1]}" -v spins="${spins[*]}" -v n="$lines" -v hz="$hz" '
        function median(a, k,   i, j, t) {
            for (i = 2; i <= k; i++) for (j = i; j > 1 && a[j - 1] > a[j]; j--) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
            return k % 2 ? a[(k + 1) / 2] : (a[k / 2] + a[k / 2 + 1]) / 2
        }
        function rounds(text, total, user, daemon, waits, preempted,   r, k, i, f) {
            k = split(text, r, ",") - 1
            for (i = 1; i <= k; i++) {
                split(r[i], f, " ")
                total[i] = f[1] + f[2]; user[i] = f[1]; daemon[i] = f[3]; waits[i] = f[4]; preempted[i] = f[5]
            }
            return k
        }
        BEGIN {
            k = rounds(runs, t, u, d, w, p); ks = rounds(starts, st, su, sd, sw, sp)
            m = split(spins, s, " ")
            for (i = 1; i <= m / 3; i++) rate[i] = s[3 * i - 2] / (s[3 * i - 1] + s[3 * i])
            perTick = median(rate, m / 3)
            net = median(t, k) - median(st, ks)
            printf "%.2f %.4f %.2f %.0f %.1f %.2f %.2f\n", net, (median(u, k) - median(su, ks)) / net, median(d, k), median(st, ks), perTick,
                median(w, k) / n, median(p, k) / n
        }'
}
read -r r_net r_user r_daemon r_start per_tick r_waits r_preempted <<<"$(summary runner)"
[ -z "$with_before" ] || read -r b_net b_user b_daemon b_start _ b_waits b_preempted <<<"$(summary before)"
read -r l_net l_user l_daemon l_start _ l_waits l_preempted <<<"$(summary logger)"
read -r f_net f_user f_daemon f_start _ f_waits f_preempted <<<"$(summary floor)"
# Ticks per line as camera microseconds and as instructions.
us() { awk -v t="$1" -v n="$lines" -v hz=$hz 'BEGIN { printf "%.0f", t / hz * 1e6 / n }'; }
ins() { awk -v t="$1" -v n="$lines" -v r="$per_tick" 'BEGIN { printf "%.0f", t * r / n }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
row() { # NAME NET USER-SHARE DAEMON
    echo "| $1 | $(us "$2") | $(ins "$2") | $(awk -v s="$3" 'BEGIN { printf "%.0f %%", 100 * s }') | $(us "$4") ($(ins "$4")) | $(ratio "$2" "$l_net") | $(ratio "$2" "$f_net") |"
}
rates=$(printf '%s\n' "${spins[@]}" |
    awk -v hz=$hz '{ printf "%s%.2f", (NR > 1 ? ", " : ""), $1 / ($2 + $3) / (1e6 / hz) }')
rounds() { local r=${bench[$1]%,}; echo "${r//,/ / }"; }
# The before runner's words, only when it ran.
if [ -n "$with_before" ]; then
    b_what=" the runner from before the relay's rework (\`lanternhill-before\`, bench/before.sh), run the same way;"
    b_start_ms=" before $((b_start * 10)) ms," b_turns=" before $b_waits and $b_preempted," b_rounds=" before $(rounds before);"
fi
echo "## 8. Log relay on the emulated camera ($target)"
echo
echo "The emulated $target camera (its Debian kernel under $T_SYSTEM_EMU \`-icount shift=0\`, \`make bench\`), one boot: $lines lines of 80 bytes"
echo "into BusyBox's syslogd at /dev/log (the kernel's default queue of 10 datagrams) from $((senders + 1)) senders: the runner, run by the package"
echo "user with a worker that is \`cat\` of the lines (then asleep until the log has the last one: the runner's stop would give the"
echo "console what the log hasn't taken 3 s after the worker's exit);${b_what:-} \`cat\` of the lines into BusyBox \`logger\`; and the floor,"
echo "\`floorrelay\` (bench/floor_relay.cpp: the same worker through /bin/sh and a pipe, the datagrams glibc's syslog(3) would send,"
echo "\`sendmmsg\` up to 64, no GLib). $rounds rounds, each sender once a round, in turn first; medians; every line arrived ($relayed of the runners and the floor,"
echo "$logged logger lines). CPU is user + system of the whole command, children included, in the camera's clock ticks, less the"
echo "sender's start and stop (its median with a worker or input of nothing: runner $((r_start * 10)) ms,${b_start_ms:-} logger $((l_start * 10)) ms,"
echo "floor $((f_start * 10)) ms). The camera's clock counts emulated instructions, but its kernel sets their rate against the host's"
echo "time at boot, so its microseconds differ from boot to boot: a spin of known instruction count (bench/spin.cpp) opens each round"
echo "and gives the rate of this boot, $(awk -v r="$per_tick" -v hz=$hz 'BEGIN { printf "%.2f", r / (1e6 / hz) }') instructions a camera microsecond (rounds: $rates)."
echo "Compare the ratios and the instructions, not the microseconds with section 1 or another boot. syslogd's CPU is its own meanwhile."
echo "The user share is what the clock's tick found running, and here the turns of sender and syslogd keep step with the tick: it"
echo "moves between boots much more than the totals do."
echo
echo "| sender | CPU per line (camera µs) | instructions per line | user share | syslogd per line (µs, instructions) | ratio to logger | ratio to the floor |"
echo "|---|---|---|---|---|---|---|"
row "the runner" "$r_net" "$r_user" "$r_daemon"
[ -z "$with_before" ] || row "the runner before the rework" "$b_net" "$b_user" "$b_daemon"
row "BusyBox \`cat \\| logger\`" "$l_net" "$l_user" "$l_daemon"
row "the floor" "$f_net" "$f_user" "$f_daemon"
echo
echo "syslogd's turns per line, waiting for a datagram and preempted by the sender it woke: runner $r_waits and $r_preempted,${b_turns:-}"
echo "logger $l_waits and $l_preempted, floor $f_waits and $f_preempted. A sender that needs little CPU of its own is run as soon as"
echo "syslogd takes a datagram, and sends one or two at a time, a wake and a switch each: that kernel path sets the floor at this queue."
echo "Ticks per round (user system syslogd waits preempted): runner $(rounds runner);${b_rounds:-} logger $(rounds logger); floor $(rounds floor)."
