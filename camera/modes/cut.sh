# A power-cut round. First what the last cut left: each updated program
# old, new or damaged (missing, empty or mixed), then whether the runner
# starts and answers. Then, with lh.cut=MS: the old programs installed
# again by root, an update staged by the package user, and the camera
# reboots without a sync MS ms after the platform starts the runner: for
# the disk, a power cut.
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
delay=$(arg cut)
if [ -n "$delay" ]; then
    for f in $UPDATED; do
        cp "/tmp/old/$f" "$PKG/.$f.tmp" && mv "$PKG/.$f.tmp" "$PKG/$f"
    done
    rm -rf "$PKG/update" "$PKG"/*.old
    sync
    stage_new
    echo "@@cut $delay at $(centiseconds)"
    (usleep $((delay * 1000)); echo b >/proc/sysrq-trigger) &
    platform_start
    sleep 60
fi
echo "@@done"
