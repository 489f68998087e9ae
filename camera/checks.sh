# Sourced by the test modes: results and requests to the host, one console
# line each (@@ok, @@fail, @@host), and what the scenarios share.
ok() { echo "@@ok $1"; }
fail() { echo "@@fail $1: $2"; }
# expect NAME CONDITION...: ok when the command succeeds, else fail with it.
expect() {
    name=$1
    shift
    if "$@"; then ok "$name"; else fail "$name" "$*"; fi
}
# host REQUEST NAME: the host does it (and judges it); waits for its word.
host() {
    echo "@@host $1 $2"
    read -r _
}
as_user() { su -s /bin/sh -c "cd $PKG && $1" "$PKG_USER"; }
# wait_for SECONDS COMMAND...: until the command succeeds, every 0.1 s.
wait_for() {
    n=$(($1 * 10))
    shift
    until "$@"; do
        n=$((n - 1))
        [ $n -gt 0 ] || return 1
        usleep 100000
    done
}
logged() { grep -qF "$1" /var/log/messages; }
status() { timeout 10 wget -q -O - http://10.0.2.15:8080/local/lanternhill/status; }
uptime_now() { status | sed -n 's/.*"uptime":"\(-*[0-9]*\)".*/\1/p'; }
centiseconds() { cut -d' ' -f1 /proc/uptime | tr -d .; }
sum() { md5sum <"$1" | cut -d' ' -f1; }
# The two programs an update replaces, as shipped (old) and as updated
# (new: the same program with a few bytes more, so it still runs).
UPDATED="lanternhill doer"
make_versions() {
    mkdir -p /tmp/old /tmp/new
    tar -xzf /camera/package.tar.gz -C /tmp/old
    for f in $UPDATED; do
        cp /tmp/old/$f /tmp/new/$f
        echo "update for the camera test" >>/tmp/new/$f
    done
}
# stage_new: as the worker stages an update: as the package user, under a
# temporary name, flushed, then renamed into ./update/.
stage_new() {
    for f in $UPDATED; do
        as_user "mkdir -p update && cp /tmp/new/$f update/.$f.tmp && sync && mv update/.$f.tmp update/$f"
    done
    sync
}
# A worker that writes LINES numbered lines, keeps the status files, and
# runs until SIGTERM.
test_worker() {
    cat >"$PKG/lanternhillworker" <<WORKER
#!/bin/sh
s=
trap 'kill \$s 2>/dev/null; exit 0' TERM
mkdir -p localdata/config
printf '{"version":"camera-test"}' >localdata/config/lh.version.config
printf '{"vqId":"camera-1"}' >localdata/config/lh.config
i=1
while [ \$i -le $1 ]; do echo "line \$i"; i=\$((i + 1)); done
while :; do sleep 1 & s=\$!; wait \$s; done
WORKER
    chmod 755 "$PKG/lanternhillworker"
    sync
}
