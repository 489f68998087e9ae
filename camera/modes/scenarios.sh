# The camera test's first boot: the platform, the tools, a staged update,
# capture2's parent dying, the clock stepped under the runner.
. /camera/checks.sh
make_versions
test_worker 200
platform_start
echo "@@booted"

# 1. The package user's runner relays every line once, in order.
wait_for 20 logged "lhr, Running.."
runner=$(cat /run/runner.pid 2>/dev/null)
expect runner-is-the-package-user [ "$(stat -c %u "/proc/$runner" 2>/dev/null)" = 1000 ]
expect runner-in-the-package-directory [ "$(readlink "/proc/$runner/cwd")" = "$PKG" ]
wait_for 30 logged ": W: line 200"
relayed=$(sed -n 's/.* lanternhill\[[0-9]*\]: W: line //p' /var/log/messages | tr '\n' ' ')
expect every-line-once-in-order [ "$relayed" = "$(seq 1 200 | tr '\n' ' ')" ]
host status status-from-the-host

# 2. The tools, as the package user; the head stops at once.
printf 'moving = still\n' >/tmp/ptz
export SIMCAM_PTZ_SCENARIO=/tmp/ptz
as_user './doer "ptz:1;xxxxxWait"' >/tmp/doer.out 2>&1
expect doer-known-preset-0 [ $? -eq 0 ]
as_user './doer "ptz:77;xxxxxWait"' >/tmp/doer.out 2>&1
expect doer-unknown-preset-123 [ $? -eq 123 ]
as_user './capture2 "resolution=160x120"' >/tmp/frame.jpg 2>/tmp/capture2.err
expect capture2-exit-0 [ $? -eq 0 ]
echo "@@host jpeg capture2-frame-is-a-jpeg"
base64 /tmp/frame.jpg
echo "@@end"
read -r _

# 6. capture2 ends when its parent dies (its parent killed outright).
printf 'frame_delay_ms = 20000\n' >/tmp/slow
SIMCAM_CAPTURE_SCENARIO=/tmp/slow sh -c '$0 >/dev/null & echo $! >/tmp/c2.pid; wait' "$PKG/capture2" &
parent=$!
wait_for 5 [ -s /tmp/c2.pid ]
c2=$(cat /tmp/c2.pid)
usleep 500000
running=$(cat "/proc/$c2/comm" 2>/dev/null)
kill -KILL "$parent"
ended() { [ ! -e "/proc/$c2" ] || grep -q '^State:.*Z' "/proc/$c2/status"; }
expect capture2-ends-with-its-parent eval '[ "$running" = capture2 ] && wait_for 3 ended'

# 3. A staged update of doer and of the runner itself.
platform_stop
stage_new
echo "@@cut none at $(centiseconds)"
platform_start
wait_for 20 logged "platform: lanternhill exited 14"
wait_for 20 eval '[ "$(grep -c "lhr, Running.." /var/log/messages)" -ge 2 ]'
runner=$(cat /run/runner.pid 2>/dev/null)
expect update-restarting-logged logged "lhr, updated, restarting.."
expect update-new-runner-runs [ "$(sum "/proc/$runner/exe")" = "$(sum /tmp/new/lanternhill)" ]
expect update-new-doer-installed [ "$(sum "$PKG/doer")" = "$(sum /tmp/new/doer)" ]
as_user './doer "ptz:2;xxxxxWait"' >/tmp/doer.out 2>&1
expect update-new-doer-runs [ $? -eq 0 ]
expect update-no-backup-nor-staged-file [ -z "$(ls "$PKG"/*.old "$PKG"/update/* 2>/dev/null)" ]

# 7. The clock stepped a year forward, then a day back: the uptime counts on.
clock=$(/usr/bin/camclock show %s)
before=$(uptime_now)
/usr/bin/camclock step 31536000
stepped=$(($(/usr/bin/camclock show %s) - clock))
sleep 1
forward=$(uptime_now)
/usr/bin/camclock step -86400
sleep 1
back=$(uptime_now)
echo "camera: uptime $before, a year later $forward, a day back $back"
expect clock-stepped [ "$stepped" -ge 31536000 -a "$stepped" -le 31536005 ]
expect uptime-through-a-step-forward [ "$forward" -ge $((before + 1)) -a "$forward" -le $((before + 5)) ]
expect uptime-through-a-step-back [ "$back" -ge $((forward + 1)) -a "$back" -le $((forward + 5)) ]
echo "@@done"
