# A power-cut round. First what the last cut left: each updated program
# old, new or damaged (missing, empty or mixed), then whether the runner
# starts and answers, then what it left: every program new and executable,
# nothing staged (a backup left by a cut may stay: it goes with the next
# update of its program). Then, with lh.cut=MS (or sMS): the old programs
# installed again by root (owned by the package user with lh.owner=user,
# so that the runner's backup is a hard link), an update staged by the
# package user, and the
# camera reboots without a sync MS ms after the platform starts the runner
# (or after it saw the runner exit 14). What the guest's page cache held
# is lost, as in a power cut; the emulator writes through to the disk
# image, so a disk's own write cache losing what it acknowledged is not
# played.
. /camera/checks.sh
make_versions
state=
for f in $UPDATED; do
    case "$(sum "$PKG/$f" 2>/dev/null)" in
        "$(sum /tmp/old/$f)") state="$state $f=old" ;;
        "$(sum /tmp/new/$f)") state="$state $f=new" ;;
        *) state="$state $f=damaged" ;;
    esac
done
echo "@@state$state"
platform_start
if wait_for 30 eval 'status | grep -q "\"uptime\""'; then echo "@@runner started"; else echo "@@runner silent"; fi
platform_stop
after=
for f in $UPDATED; do
    [ "$(sum "$PKG/$f" 2>/dev/null)" = "$(sum /tmp/new/$f)" ] || after="$after $f=not-new"
    [ -x "$PKG/$f" ] || after="$after $f=not-executable"
done
echo "@@after staged=$(ls -A "$PKG/update" 2>/dev/null | wc -l) backups=$(ls "$PKG"/*.old 2>/dev/null | wc -l)$after"
delay=$(arg cut)
if [ -n "$delay" ]; then
    for f in $UPDATED; do
        cp "/tmp/old/$f" "$PKG/.$f.tmp" && mv "$PKG/.$f.tmp" "$PKG/$f"
        [ "$(arg owner)" = user ] && chown "$PKG_USER:$PKG_USER" "$PKG/$f"
    done
    rm -rf "$PKG/update" "$PKG"/*.old
    sync
    for f in $UPDATED; do
        [ "$(sum "$PKG/$f")" = "$(sum /tmp/old/$f)" ] || fail cut-round-set-up "$f is not the old program again"
    done
    stage_new
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
