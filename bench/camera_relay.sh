#!/bin/bash
# The relay on the emulated camera (mipsel, or TARGET): the runner against
# BusyBox's logger relaying the same lines into the camera's syslogd, CPU
# per line; a section of bench/RESULTS.md on standard output.
set -uo pipefail
cd "$(dirname "$0")/.."
. scripts/camera-boot.sh
target=${1:-mipsel}
lines=${CAMERA_BENCH_LINES:-10000}
camera_prepare "$target" >&2 || exit 1
trap 'camera_end 0' EXIT
port=$((20000 + $$ % 20000))
while ! port_free "$port" 2>/dev/null; do port=$((port + 1)); done
disk=$CAM_DIR/disk-bench.img
camera_disk "$disk" || exit 1
hz=100 # the camera kernel's clock ticks of /proc/PID/stat
# The camera's clock counts emulated instructions, not the host's time:
# its CPU figures then don't depend on how busy the host is.
CAM_EMU_ARGS="-icount shift=0,sleep=off" camera_boot bench "$disk" "$port" utc "lh.lines=$lines"
runner=() logger=() starts=() counts=
while camera_line 600; do
    case $LINE in
        "@@start "*) starts+=("${LINE#@@start }") ;;
        "@@bench "*) read -r _ _ _ a _ b <<<"$LINE"; runner+=("$a"); logger+=("$b") ;;
        "camera: "*lines*) counts=${LINE#camera: } ;;
        @@done) break ;;
    esac
done
camera_end 30
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
[ ${#runner[@]} -gt 0 ] || { echo "camera bench: no result; its console: $CAM_LOG" >&2; exit 1; }
r=$(median "${runner[@]}") l=$(median "${logger[@]}") s=$(median "${starts[@]}")
per_line() { awk -v t="$1" -v n="$lines" -v hz=$hz 'BEGIN { printf "%.0f", t / hz * 1e6 / n }'; }
echo "## 8. Log relay on the emulated camera ($target)"
echo
echo "The emulated $target camera (its Debian kernel under $T_SYSTEM_EMU, \`make bench\`): $lines lines of 80 bytes into BusyBox's"
echo "syslogd at /dev/log (the kernel's default queue of 10 datagrams). CPU (user + sys) of the whole command, in the camera's"
echo "clock ticks: the runner run by the package user with a worker that is \`cat\` of the lines, and \`cat\` of the lines into"
echo "BusyBox \`logger\`; the median of ${#runner[@]} rounds, each the runner then logger ($counts). The camera's clock counts emulated"
echo "instructions (\`-icount shift=0\`: one a nanosecond), so the figures don't depend on the host's load; compare the two, not the figures with section 1."
echo "Ticks per round: lanternhill ${runner[*]}; logger ${logger[*]}; the runner's start and stop ${starts[*]}."
echo
echo "| | CPU per line | ratio |"
echo "|---|---|---|"
echo "| lanternhill | $(per_line "$r") us | $(awk -v a="$r" -v b="$l" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }') |"
echo "| lanternhill less its start and stop ($((s * 10)) ms, a worker that writes nothing) | $(per_line $((r - s))) us | $(awk -v a="$((r - s))" -v b="$l" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }') |"
echo "| BusyBox logger | $(per_line "$l") us | 1.00 |"
echo
