# The camera test's boot in June 2038, its clock from the emulator's
# real-time clock: the runner's datagrams carry the date, and the uptime
# counts. The date is read with camclock (a 64-bit time_t): BusyBox's own
# tools fail past January 2038.
. /camera/checks.sh
echo "@@booted"
expect clock-in-june-2038 [ "$(/usr/bin/camclock show %Y-%m)" = 2038-06 ]
platform_start
wait_for 20 logged "lhr, Running.."
first=$(uptime_now)
sleep 1
second=$(uptime_now)
echo "camera: uptime $first, 1 s later $second"
expect uptime-counts-in-2038 [ "$first" -ge 0 -a "$first" -le 60 -a "$second" -ge $((first + 1)) -a "$second" -le $((first + 6)) ]
today=$(/usr/bin/camclock show '%b %e')
lines=$(grep -c ' lanternhill\[' /var/log/messages)
dated=$(grep -c "^$today [0-9:]* .* lanternhill\[" /var/log/messages)
echo "camera: $dated of $lines datagrams of the runner dated $today"
expect datagrams-dated-2038 [ "$lines" -gt 0 -a "$dated" = "$lines" ]
echo "@@done"
