#!/bin/bash
# Runs the host build of the runner with the demo worker on the simulated
# camera, in a private mount namespace, until Ctrl-C.
set -uo pipefail
cd "$(dirname "$0")/.."
top=$PWD

port=${SIMCAM_HTTP_PORT:-8080}
status_url="http://127.0.0.1:$port/local/lanternhill/status"
echo "Demo: the runner starts the demo worker and relays its lines every second."
echo "It answers the status request at $status_url (try: curl -i $status_url);"
echo "the demo asks it twice: before the worker pairs (a pairing URL) and after (an identity)."
echo "Then it moves the simulated PTZ head with doer and saves a frame with capture2."
echo "Stop it with Ctrl-C: the runner forwards SIGTERM to the worker and exits with its status."
echo

bash scripts/install-deps.sh demo || exit 1
echo "Building the host configuration (a minute or two the first time)..."
cmake --preset host >/dev/null && cmake --build --preset host -j"$(nproc)" >/dev/null ||
    { echo "The host build failed: run 'cmake --build --preset host' to see why." >&2; exit 1; }

. scripts/sandbox.sh
sandbox_check || exit 1
# Something else answering on the port would take the demo's requests.
if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
    echo "Port $port is in use: stop what listens there, or choose another port, e.g. SIMCAM_HTTP_PORT=8081 make demo." >&2
    exit 1
fi

demo=$top/build/host/demo
rm -rf "$demo"
mkdir -p "$demo/pkg"
cp demo/lanternhillworker "$demo/pkg/lanternhillworker"
echo
sandbox_args "$demo/pkg"
bw=("${SANDBOX[@]}")
tool=("${bw[@]}")
# The runner's system log: BusyBox's syslogd in the runner's sandbox, its
# file in the package folder; it ends with the sandbox.
bw+=(--unshare-pid --setenv SIMCAM_HTTP_PORT "$port" --info-fd 3)
syslog=/usr/local/packages/lanternhill/syslog.txt

# The sandbox ignores Ctrl-C; this script turns it into SIGTERM for the runner.
( trap '' INT; exec "${bw[@]}" -- sh -c "busybox syslogd -O $syslog && exec $top/build/host/bin/lanternhill" ) 3>"$demo/info" &
sandbox=$!
runner=
for _ in $(seq 50); do
    # The sandbox's own first process stands between: the runner is its child.
    init=$(sed -n 's/.*"child-pid": *\([0-9]*\).*/\1/p' "$demo/info" 2>/dev/null)
    [ -n "$init" ] && runner=$(pgrep -P "$init" -x lanternhill)
    [ -n "$runner" ] && break
    sleep 0.1
done
if [ -z "$runner" ]; then
    wait "$sandbox"
    echo "The sandbox did not start (bubblewrap needs permission for mount namespaces: run as root)." >&2
    exit 1
fi
ask_status() {
    sleep "$1"
    echo "Demo: curl $status_url"
    echo "  $(curl -s --max-time 5 "$status_url" || echo "(no answer)")"
}
run_tools() {
    echo "Demo: doer \"ptz:2;xxxxxWait\" (moves the simulated PTZ head to preset 2 under the control queue)"
    "${tool[@]}" -- "$top/build/host/bin/doer" "ptz:2;xxxxxWait" | sed 's/^/  doer| /'
    echo "  doer exit code: ${PIPESTATUS[0]}"
    echo "Demo: capture2 \"resolution=640x360\" (one frame from the simulated camera)"
    "${tool[@]}" -- "$top/build/host/bin/capture2" "resolution=640x360" >"$demo/frame.jpg"
    echo "  capture2 exit code: $?; frame saved at $demo/frame.jpg ($(stat -c %s "$demo/frame.jpg") bytes)"
}
( ask_status 3; ask_status 13; run_tools ) &
asker=$!
trap 'kill "$asker" 2>/dev/null; kill -TERM "$runner" 2>/dev/null' INT TERM
while :; do
    wait "$sandbox"
    rc=$?
    kill -0 "$sandbox" 2>/dev/null || break
done
kill "$asker" 2>/dev/null
wait "$asker" 2>/dev/null
echo
echo "Demo: the runner exited with status $rc. Its system log: $demo/pkg/syslog.txt"
