# The relay's cost on the camera: three senders of the same lines into the
# camera's syslogd, round after round, each round in another order: the
# runner (run by the package user, its worker `cat` of the lines), `cat`
# of the lines into BusyBox's logger, and floorrelay, the floor (run as the
# runner is, with the same worker). Each first with a worker that writes
# nothing, for its start and stop. With lh.before=1, the runner from before
# the relay's rework (left by the host on the package disk) is a sender as
# well, run as the runner is. A spin of known length opens every
# round: it gives the instructions in a clock tick of this boot.
# "@@start|@@bench SENDER USER SYSTEM DAEMON WAITS PREEMPTED": the
# command's ticks (children included), syslogd's own meanwhile, and how
# often syslogd waited for a datagram or was preempted (how the two take
# turns at a queue of 10).
# The worker stays, asleep, until the log has its last line: the runner's
# stop sends what the log hasn't taken 3 s after the worker's exit to the
# console instead, and would then be measured relaying fewer lines.
. /camera/checks.sh
lines=$(arg lines)
rounds=$(arg rounds)
spin=$(arg spin)
senders="runner logger floor"
if [ "$(arg before)" = 1 ]; then
    cp /usr/local/lanternhill-before "$PKG/lanternhill-before" && chmod 755 "$PKG/lanternhill-before" || {
        echo "camera: no runner from before the rework on the package disk"
        poweroff -f
    }
    senders="runner before logger floor"
fi
awk -v n="$lines" 'BEGIN { for (i = 1; i <= n; i++) printf "relay line %06d abcdefghijklmnopqrstuvwxyz0123456789abcdefghijklmnopqrstuvwxyz\n", i }' >/tmp/lines
printf '#!/bin/sh\necho $$ >/tmp/worker.pid\ncat "$(cat /tmp/worker.input)"\nexec sleep 3600\n' >"$PKG/lanternhillworker"
sync
echo "@@booted"
daemon=$(pidof syslogd)
# "TICKS WAITS PREEMPTED" of syslogd so far.
daemon_use() {
    read -r s </proc/"$daemon"/stat
    set -- $s
    echo "$((${14} + ${15})) $(sed -n 's/^\(nonvoluntary\|voluntary\)_ctxt_switches:[[:space:]]*//p' /proc/"$daemon"/status | tr '\n' ' ')"
}
# measure MARKER SENDER INPUT
measure() {
    case $2 in
        runner) command="cd $PKG && su -s /bin/sh -c ./lanternhill $PKG_USER" ;;
        before) command="cd $PKG && su -s /bin/sh -c ./lanternhill-before $PKG_USER" ;;
        logger) command="cat $3 | logger -t relay" ;;
        floor) command="cd $PKG && su -s /bin/sh -c '/usr/bin/floorrelay ./lanternhillworker' $PKG_USER" ;;
    esac
    echo "$3" >/tmp/worker.input
    rm -f /tmp/worker.pid
    # A last line of the log that no sender wrote.
    logger -t bench "$1 $2"
    [ "$2" = logger ] || release "$3" &
    before=$(daemon_use)
    used=$(sh -c "$command"' >/dev/null 2>&1; read -r s </proc/$$/stat; set -- $s; echo "${16} ${17}"')
    after=$(daemon_use)
    echo "@@$1 $2 $used $(echo "$before $after" | awk '{ print $4 - $1, $5 - $2, $6 - $3 }')"
    wait
}
last_line() { tail -n 1 /var/log/messages | grep -qF ": W: relay line $(printf %06d "$lines") "; }
# release INPUT: ends the worker's sleep once the log has all of INPUT.
release() {
    wait_for 600 test -s /tmp/worker.pid || return
    [ "$1" = /dev/null ] || wait_for 600 last_line
    kill "$(cat /tmp/worker.pid)"
}
for sender in $senders $senders; do
    measure start $sender /dev/null
done
order=$senders
round=0
while [ $round -lt "$rounds" ]; do
    echo "@@bench spin $(/usr/bin/benchspin "$spin")"
    for sender in $order; do
        measure bench $sender /tmp/lines
    done
    order="${order#* } ${order%% *}"
    round=$((round + 1))
done
# Every line arrived: the runners' and the floor's by their "W: ", logger's
# by its tag; runs of the same sender counted at once.
echo "@@bench lines $(grep -oF -e ': W: relay line ' -e ' relay: relay line ' /var/log/messages | uniq -c |
    awk '{ n[$2] += $1 } END { print n[":"] + 0, n["relay:"] + 0 }')"
echo "@@done"
