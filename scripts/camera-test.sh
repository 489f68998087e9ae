#!/bin/bash
# camera-test.sh TARGET [CUTS]: the scenarios on the emulated camera of a
# target, each reported as it ends, then one line "camera-TARGET: N
# passed, M failed". A boot at the host's time (the platform, the tools,
# an update, capture2's parent dying, the clock stepped), a boot in June
# 2038, then a power cut at every file-changing call of an update
# (scripts/camera-cuts.sh); with CAMERA_CUTS_RANDOM=1, CUTS cuts at random
# moments instead (10 by default). Each cut is followed by a boot from the
# same disk.
set -uo pipefail
cd "$(dirname "$0")/.."
. scripts/camera-boot.sh
target=${1:?usage: camera-test.sh TARGET [CUTS]}
cuts=${2:-10}
# The version the runner reports.
version=$(sed -n 's/^#define APP_VERSION "\(.*\)"$/\1/p' common/version.h)
start_time=$(date +%s)
passed=0 failed=0
result() { # ok|fail NAME [WHY]
    if [ "$1" = ok ]; then
        passed=$((passed + 1)); echo "  ok    $2"
    else
        failed=$((failed + 1)); echo "  FAIL  $2${3:+: $3}"
    fi
}
finish() {
    camera_end 0
    echo "camera-$target: $passed passed, $failed failed ($(( $(date +%s) - start_time )) s)"
    exit $(( failed > 0 ))
}
camera_prepare "$target" || { failed=1; finish; }
trap 'camera_end 0' EXIT
trap 'echo "camera-$target: interrupted"; camera_end 0; exit 130' INT TERM
# A free port of its own, so a demo on 8080 can go on meanwhile.
port=$((20000 + $$ % 12000))
while ! port_free "$port" 2>/dev/null; do port=$((port + 1)); done
disk=$CAM_DIR/disk-test.img
camera_disk "$disk" || { result fail disk "mkfs.ext4 could not make $disk"; finish; }

# host_status NAME: the status document through the forwarded port.
host_status() {
    local body code want="{\"vqId\":\"camera-1\",\"runnerVersion\":\"$version\", \"workerVersion\":\"camera-test\", \"uptime\":"
    body=$(curl -s --max-time 10 -w '\n%{http_code}' "http://127.0.0.1:$port/local/lanternhill/status")
    code=${body##*$'\n'} body=${body%$'\n'*}
    if [ "$code" = 200 ] && [ "${body%\"[0-9]*\"\}}" = "$want" ] && [[ "$body" =~ \"uptime\":\"[0-9]+\"\}$ ]]; then
        result ok "$1"
    else
        result fail "$1" "HTTP $code: $body"
    fi
}
# host_jpeg NAME: base64 lines up to @@end, decoded as a JPEG here.
host_jpeg() {
    local b64=$CAM_DIR/frame.b64 size
    : >"$b64"
    while camera_line 30 && [ "$LINE" != @@end ]; do printf '%s\n' "$LINE" >>"$b64"; done
    base64 -d "$b64" >"$CAM_DIR/frame.jpg" 2>/dev/null
    size=$(djpeg "$CAM_DIR/frame.jpg" 2>/dev/null | head -c 15 | sed -n '2p')
    if djpeg "$CAM_DIR/frame.jpg" >/dev/null 2>&1 && [ "$size" = "160 120" ]; then
        result ok "$1"
    else
        result fail "$1" "$CAM_DIR/frame.jpg does not decode as a 160x120 JPEG"
    fi
}

# run_boot MODE DISK PORT RTC [APPEND...]: boots, answers the camera's
# requests and takes its results until it ends; false, with one line and
# the console's last lines, when it did not reach its scenarios within
# 60 s, hung (or took 5 minutes), or ended otherwise than asked: before
# its last scenario, in a kernel panic, or with lh.cut= or lh.call=,
# without the cut (for lh.call=, its announcement and the kernel's reset).
# The calls the camera listed for each owner in LISTED[root|user].
span_ms=1000 success=0 state= runner= started= after= cutat=
declare -A LISTED=()
run_boot() {
    local mode=$1 reached=0 done=0 limit end cut=0 cut_seen=0 off=0 panic=0 why= exact=0 reset=0 owner=
    [[ " $* " == *" lh.cut="* ]] && cut=1
    [[ " $* " == *" lh.call="* ]] && cut=1 exact=1
    camera_boot "$@"
    limit=$(( $(date +%s) + 60 )) end=$(( $(date +%s) + 300 ))
    success=0 state= runner= started= after= cutat=
    while :; do
        camera_line 1
        case $? in
            0) ;;
            1) break ;;
            *)
            if [ "$(date +%s)" -ge "$limit" ] || [ "$(date +%s)" -ge "$end" ]; then
                camera_end 0
                if [ $reached -eq 0 ]; then
                    echo "The $target camera did not reach its scenarios within 60 s ($mode boot); its console's last lines:" >&2
                else
                    echo "The $target camera stopped answering for 60 s or ran for 5 minutes ($mode boot); its console's last lines:" >&2
                fi
                camera_console_tail
                return 1
            fi
            continue ;;
        esac
        limit=$(( $(date +%s) + 60 ))
        case $LINE in
            @@booted) reached=1 ;;
            @@done) done=1 ;;
            "@@after "*) after=${LINE#@@after } ;;
            "camera: powering off"*) off=1 ;;
            *"Kernel panic"*|*"Attempted to kill init"*) panic=1 ;;
            "@@state "*) reached=1; state=${LINE#@@state } ;;
            "@@ok "*) result ok "${LINE#@@ok }" ;;
            "@@fail "*) local f=${LINE#@@fail }; result fail "${f%%: *}" "${f#*: }" ;;
            "@@host status "*) host_status "${LINE#@@host status }"; camera_send done ;;
            "@@host jpeg "*) host_jpeg "${LINE#@@host jpeg }"; camera_send done ;;
            "@@cut "*) success=0 cut_seen=1 started=${LINE##* } ;;
            "@@runner "*) runner=${LINE#@@runner } ;;
            "@@list "*) owner=${LINE#@@list } LISTED[$owner]= ;;
            "@@call "*) LISTED[$owner]+="$owner ${LINE#@@call }"$'\n' ;;
            "@@cutat "*) cutat=${LINE#@@cutat } ;;
            *"sysrq: Resetting"*) reset=1 ;;
            "camera: lanternhill exited 14 at "*)
                success=1
                # The update's span, start to exit 14, on the camera's clock,
                # as the first boot measures it.
                [ "$mode" = scenarios ] && [[ "$started ${LINE##* }" =~ ^[0-9]+\ [0-9]+$ ]] &&
                    span_ms=$(( (10#${LINE##* } - 10#$started) * 10 )) ;;
            "camera: the package disk"*) result fail "$mode-clean-poweroff" "${LINE#camera: }" ;;
            "camera: uptime "*|"camera: t "*) echo "  ($LINE)" ;;
        esac
    done
    camera_end 0
    if [ $reached -eq 0 ]; then
        why="ended before its scenarios"
    elif [ $panic -eq 1 ]; then
        why="ended in a kernel panic"
    elif [ $cut -eq 1 ] && { [ $cut_seen -eq 0 ] || [ $done -eq 1 ] || [ $off -eq 1 ]; }; then
        why="was not cut off where asked"
    elif [ $exact -eq 1 ] && { [ -z "$cutat" ] || [ $reset -eq 0 ]; }; then
        why="showed no cut of its own (announced: '${cutat:-nothing}', reset seen: $reset)"
    elif [ $cut -eq 0 ] && [ $done -eq 0 ]; then
        why="ended before its last scenario"
    fi
    [ -z "$why" ] && return 0
    echo "The $target camera $why ($mode boot); its console's last lines:" >&2
    camera_console_tail
    return 1
}

echo "=== camera-$target: the platform, the tools, an update, the clock"
t0=$(date +%s)
run_boot scenarios "$disk" "$port" utc || result fail scenarios-boot "see $CAM_LOG"
echo "  (boot and scenarios: $(( $(date +%s) - t0 )) s; update span $span_ms ms)"

echo "=== camera-$target: June 2038"
t0=$(date +%s)
# A copy of the disk, the package installed: files stamped past 2038 are
# beyond the camera's BusyBox (its stat() fails on them), which later
# boots use.
disk2038=$CAM_DIR/disk-2038.img
cp --sparse=always "$disk" "$disk2038" || { result fail disk "could not copy $disk to $disk2038"; finish; }
run_boot clock2038 "$disk2038" "$port" 2038-06-01T00:00:00 || result fail clock2038-boot "see $CAM_LOG"
echo "  (boot and scenarios: $(( $(date +%s) - t0 )) s)"

# after_check: what the runner left in a boot after a cut (AFTER): in BAD
# what is wrong (something staged, a program damaged or not executable),
# in NOT_NEW the programs left old.
after_check() {
    local f w
    BAD= NOT_NEW=
    [[ "$after" =~ ^staged=0\ backups=[0-9]+\  ]] || BAD="something is still staged ($after)"
    for f in lanternhill doer; do
        w=$(sed -n "s/.* $f=\([^ ]*\).*/\1/p" <<<" $after ")
        case $w in
            new) ;;
            old) NOT_NEW+=" $f" ;;
            *) BAD="${BAD:+$BAD; }$f after the next start: ${w:-missing}" ;;
        esac
    done
}

if [ "${CAMERA_CUTS_RANDOM:-0}" != 1 ]; then
    . scripts/camera-cuts.sh
    exact_cuts
    finish
fi

# Random power cuts (make camera-soak): the camera reboots without a sync
# at a chosen moment of an update; the next boot from the same disk finds
# every updated program whole under its own name, old or new (new once
# the update reported success: exit 14), and the runner starts. The
# moments, in ms after the platform starts the runner: a fifth after the
# success (sN, N ms after the platform saw exit 14), the rest over the
# update's span as the first boot measured it.
echo "=== camera-$target: $cuts power cuts during an update"
t0=$(date +%s)
lost=0 moments=() after_success=0 why=() backups=0
for i in $(seq 0 "$cuts"); do
    if [ "$i" -lt "$cuts" ]; then
        if [ $((RANDOM % 5)) -eq 0 ]; then d=s$((RANDOM % 1000)); else d=$(( RANDOM * span_ms / 32768 )); fi
        moments+=("$d")
        # Every other round the old programs are the package user's, as
        # after a first update: the runner's backup is then a hard link.
        owner=root
        [ $((i % 2)) -eq 1 ] && owner=user
        run_boot cut "$disk" "$port" utc "lh.cut=$d" "lh.owner=$owner" || { lost=$((lost + 1)); why+=("cut $i at $d: the boot failed"); break; }
    else
        run_boot cut "$disk" "$port" utc || { lost=$((lost + 1)); why+=("last check: the boot failed"); break; }
    fi
    # The update the runner finished in this boot, whatever came before.
    after_check
    bad=$BAD
    [ -z "$NOT_NEW" ] || bad="${bad:+$bad; }the update was not finished after the boot ($after)"
    backups=$((backups + $(sed -n 's/.*backups=\([0-9]*\).*/\1/p' <<<"$after")))
    if [ "$i" -eq 0 ]; then
        [ -z "$bad" ] || { lost=$((lost + 1)); why+=("first round: $bad"); }
        last_success=$success
        continue
    fi
    d=${moments[$((i - 1))]}
    echo "  (cut at $d ms:$state; then $after)"
    for f in lanternhill doer; do
        case " $state " in
            *" $f=new "*) ;;
            *" $f=old "*) [ "$last_success" = 1 ] && bad="${bad:+$bad; }$f: the update was undone after its success" ;;
            *) bad="${bad:+$bad; }$f is not whole ($state)" ;;
        esac
    done
    [[ $d == s* ]] && [ "$last_success" != 1 ] && bad="${bad:+$bad; }the update did not report success before the cut"
    [ "$runner" = started ] || bad="${bad:+$bad; }the runner did not start"
    if [ -n "$bad" ]; then lost=$((lost + 1)); why+=("cut at $d ms: $bad"); fi
    after_success=$((after_success + last_success))
    last_success=$success
done
echo "  (update span $span_ms ms; $after_success of $cuts cuts after the update's success; $backups backups left by a cut)"
echo "  ($cuts cuts in $(( $(date +%s) - t0 )) s, $lost lost)"
if [ "$lost" -eq 0 ]; then result ok "power-cuts: $cuts, none lost"; else result fail "power-cuts: $lost of $cuts lost" "${why[*]}"; fi
finish
