# The relay's cost on the camera: the runner, with a worker that writes
# LINES lines, against BusyBox's logger fed the same lines from a pipe,
# both into the camera's syslogd; CPU (user + sys, children included, in
# clock ticks) of each whole command, round after round.
. /camera/checks.sh
lines=$(arg lines)
awk -v n="$lines" 'BEGIN { for (i = 1; i <= n; i++) printf "relay line %06d abcdefghijklmnopqrstuvwxyz0123456789abcdefghijklmnopqrstuvwxyz\n", i }' >/tmp/lines
printf '#!/bin/sh\nexec cat /tmp/lines\n' >"$PKG/lanternhillworker"
sync
echo "@@booted"
ticks() { sh -c "$1"' >/dev/null 2>&1; read -r s </proc/$$/stat; set -- $s; echo $((${16} + ${17}))'; }
# The runner's start and stop alone, with a worker that writes nothing.
printf '#!/bin/sh\nexit 0\n' >"$PKG/lanternhillworker"
for round in 1 2 3; do
    echo "@@start $(ticks "cd $PKG && su -s /bin/sh -c ./lanternhill $PKG_USER")"
done
printf '#!/bin/sh\nexec cat /tmp/lines\n' >"$PKG/lanternhillworker"
for round in 1 2 3 4 5; do
    a=$(ticks "cd $PKG && su -s /bin/sh -c ./lanternhill $PKG_USER")
    b=$(ticks "cat /tmp/lines | logger -t relay")
    echo "@@bench $round runner $a logger $b"
done
echo "camera: $(grep -c ': W: relay line ' /var/log/messages) runner lines and $(grep -c ' relay: relay line ' /var/log/messages) logger lines in the system log"
echo "@@done"
