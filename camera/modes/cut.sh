# A power-cut round. First what the last cut left: each updated program
# old, new or damaged (missing, empty or mixed) and whether executable,
# then whether the runner starts and answers, then what it left: each
# program old, new or damaged, nothing staged (a backup left by a cut may
# stay: it goes with the next update of its program). Then the next round:
# the old programs installed again by root (owned by the package user with
# lh.owner=user, so that the runner's backup is a hard link), an update
# staged by the package user, and the camera reboots without a sync:
#   lh.list=1  first the update's file-changing calls listed, for either
#              owner, by the cut preload (nothing is cut)
#   lh.call=N  at the runner's Nth such call (the preload announces it and
#              resets the camera through /proc/sysrq-trigger)
#   lh.cut=MS  MS ms after the platform starts the runner (or sMS: after
#              it saw the runner exit 14), for the random soak
# What the guest's page cache held is lost, as in a power cut; the
# emulator writes through to the disk image, so a disk's own write cache
# losing what it acknowledged is not played.
. /camera/checks.sh
make_versions
# whole FILE: old, new or damaged, and whether executable.
whole() {
    case "$(sum "$PKG/$1" 2>/dev/null)" in
        "$(sum /tmp/old/$1)") w=old ;;
        "$(sum /tmp/new/$1)") w=new ;;
        *) w=damaged ;;
    esac
    [ -x "$PKG/$1" ] || w="$w,not-executable"
    echo "$1=$w"
}
state=
for f in $UPDATED; do state="$state $(whole $f)"; done
echo "@@state$state"
platform_start
if wait_for 30 eval 'status | grep -q "\"uptime\""'; then echo "@@runner started"; else echo "@@runner silent"; fi
platform_stop
after=
for f in $UPDATED; do after="$after $(whole $f)"; done
echo "@@after staged=$(ls -A "$PKG/update" 2>/dev/null | wc -l) backups=$(ls -d "$PKG"/*.old 2>/dev/null | wc -l)$after"

# round OWNER: the old programs again, durably; then the update staged as
# the package user stages it, without a sync: the runner's own flushes
# must make it durable.
round() {
    for f in $UPDATED; do
        cp "/tmp/old/$f" "$PKG/.$f.tmp" && mv "$PKG/.$f.tmp" "$PKG/$f"
        [ "$1" = user ] && chown "$PKG_USER:$PKG_USER" "$PKG/$f"
    done
    rm -rf "$PKG/update" "$PKG"/*.old
    sync
    for f in $UPDATED; do
        [ "$(sum "$PKG/$f")" = "$(sum /tmp/old/$f)" ] || fail cut-round-set-up "$f is not the old program again"
    done
    for f in $UPDATED; do
        as_user "mkdir -p update && cp /tmp/new/$f update/.$f.tmp && mv update/.$f.tmp update/$f"
    done
}
preload=/usr/lib/libcutpoint.so
if [ "$(arg list)" = 1 ]; then
    chown "$PKG_USER" /dev/console
    for owner in root user; do
        round $owner
        echo "@@list $owner"
        as_user "exec env LD_PRELOAD=$preload LH_CUT=list ./lanternhill" >>/var/log/runner.out 2>&1
        echo "@@listed $owner exit $?"
    done
    chown root /dev/console
fi
call=$(arg call)
delay=$(arg cut)
if [ -n "$call" ]; then
    round "$(arg owner)"
    # For this round only: the next boot makes them root's again.
    chown "$PKG_USER" /dev/console /proc/sysrq-trigger
    echo "@@cut call $call at $(centiseconds)"
    platform_start LD_PRELOAD=$preload LH_CUT=$call
    sleep 60
elif [ -n "$delay" ]; then
    round "$(arg owner)"
    sync
    : >/run/runner.exits
    echo "@@cut $delay at $(centiseconds)"
    (
        n=0
        while [ "$delay" != "${delay#s}" ] && ! grep -qx 14 /run/runner.exits; do
            n=$((n + 1))
            [ $n -le 3000 ] || exit 0
            usleep 10000
        done
        usleep $((${delay#s} * 1000))
        echo b >/proc/sysrq-trigger
    ) &
    platform_start
    sleep 60
fi
echo "@@done"
