#include "limits.h"

#include "state.h"

namespace {

// 0 is none: as unsigned, one less is the largest of all.
gint64 earliest(gint64 a, gint64 b)
{
    return static_cast<guint64>(a - 1) < static_cast<guint64>(b - 1) ? a : b;
}

const int kLeadMs[] = {kEchoLeadMs, kLogLeadMs, 0, 0};

} // namespace

void boundStart(gint64 now)
{
    if (R.boundFrom == 0)
        R.boundFrom = now;
}

gint64 stopLimit(Output o)
{
    return R.boundFrom == 0 ? 0 : R.boundFrom + ms(kStopBoundMs - kLeadMs[o]);
}

gint64 holdEnd(gint64 since, Output o)
{
    if (since == 0)
        return 0;
    gint64 end = since + ms(kHoldMs);
    if (R.boundFrom != 0) {
        // A refusal of the log under way when the bound starts ends within
        // the stop's hold: the console is the better place. The console is
        // the last: it has until the bound to finish what it began.
        if (o == OUT_LOG)
            end = MIN(end, MAX(since, R.boundFrom) + ms(kStopHoldMs));
        // Past its limit an output is not waited for, but a refusal that
        // begins then still gets the stop's hold, within the bound.
        end = MIN(end, MAX(stopLimit(o), since + ms(kStopHoldMs)));
        end = MIN(end, stopLimit(OUT_END));
    }
    return end;
}

gint64 nextDeadline(gint64 now, uint32_t head, bool passRoom)
{
    gint64 at = 0;
    const bool pending = R.log.at.seq < head;
    if (pending && R.log.state != LOG_CONSOLE)
        at = earliest(holdEnd(R.log.since, OUT_LOG), stopLimit(OUT_LOG));
    if (pending && (R.log.state == LOG_RETRY || (R.log.state == LOG_CONSOLE && !R.log.full)))
        at = earliest(at, MAX(R.log.retryAt, now));
    if (R.console.state == SINK_WAITING)
        at = earliest(at, holdEnd(R.console.since, OUT_CONSOLE));
    if (R.console.state == SINK_GONE && logStalled(head))
        at = earliest(at, MAX(R.consoleOpenAt, now));
    if (R.echo.state == SINK_WAITING)
        at = earliest(at, holdEnd(R.echo.since, OUT_ECHO));
    if (R.input != IN_ENDED && passRoom)
        at = earliest(at, R.cutAt);
    if (R.input == IN_READING && logStalled(head))
        at = earliest(at, now + ms(kPipePollMs));
    if (R.stopping && R.boundFrom == 0)
        at = earliest(at, MAX(R.exitPollAt, now));
    if (R.input == IN_DRAINING && R.owed == 0)
        at = earliest(at, R.drainUntil);
    return earliest(at, stopLimit(OUT_END));
}
