#!/bin/bash
# camera.sh [TARGET]: boots the emulated camera of a target (mipsel by
# default) with the demo worker, interactively, until Ctrl-C.
set -uo pipefail
cd "$(dirname "$0")/.."
. scripts/camera-boot.sh
target=${1:-mipsel}
port=${SIMCAM_HTTP_PORT:-8080}
url="http://127.0.0.1:$port/local/lanternhill/status"
camera_prepare "$target" || exit 1
port_free "$port" || exit 1
echo "The emulated $target camera boots its own kernel under $T_SYSTEM_EMU (a few seconds); its platform"
echo "installs the package, then starts the runner as the package user with the demo worker."
echo "Its console shows the system log as it grows; type a command and Enter to run it in the camera"
echo "(e.g. cd /usr/local/packages/lanternhill && ./doer \"ptz:2;xxxxxWait\"; cat /var/log/messages)."
echo "The status from here: curl -i $url"
echo "Ctrl-C powers the camera off: the runner gets SIGTERM, the disk is synced and unmounted."
echo
# The package disk stays from one run to the next, as a camera's does.
disk=$CAM_DIR/disk-demo.img
[ -f "$disk" ] || camera_disk "$disk" || exit 1
camera_boot demo "$disk" "$port"
trap 'camera_end 0' EXIT
stopping=0
trap 'stopping=1; echo; echo "Powering the camera off..."; camera_send poweroff' INT TERM
while IFS= read -r line; do
    line=${line%$'\r'}
    printf '%s\n' "$line"
    printf '%s\n' "$line" >>"$CAM_LOG"
done <&"$CAM_CON_OUT" &
shown=$!
while [ $stopping -eq 0 ] && kill -0 "$CAM_PID" 2>/dev/null; do
    if IFS= read -r -t 1 cmd; then
        camera_send "$cmd"
    elif [ $? -le 128 ]; then
        # No more input: the camera runs until Ctrl-C.
        sleep 1
    fi
done
for _ in $(seq 300); do
    kill -0 "$CAM_PID" 2>/dev/null || break
    sleep 0.1
done
rc=0
kill -0 "$CAM_PID" 2>/dev/null && { echo "The camera did not power off within 30 s: the emulator is stopped." >&2; rc=1; }
camera_end 0
wait "$shown" 2>/dev/null
echo "The camera is off. Its console: $CAM_LOG; its package disk: $disk"
exit $rc
