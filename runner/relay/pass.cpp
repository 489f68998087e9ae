// The worker's side of a step; relay.h draws the pipeline.

#include "pass.h"

#include "globals.h"
#include "input.h"
#include "limits.h"
#include "log.h"
#include "records.h"
#include "sink.h"
#include "state.h"
#include "syslog_out.h"
#include "worker.h"

namespace {

void relayed(size_t bytes)
{
    R.owed -= MIN(R.owed, bytes);
}

void endInput()
{
    R.input = IN_ENDED;
    R.passDue = R.more = false;
    R.cutAt = 0;
    relayed(inputCut());
    // Its output ended without a stop: the run ends.
    if (R.live && !R.stopping) {
        LOGINFO("lhr, lhw read end.");
        g_main_loop_quit(_loop);
    }
}

// Only records the log alone holds are freed by leaving them out.
bool logAlone()
{
    return !sinkHolds(R.echo) || R.echo.at.seq > R.log.at.seq;
}

void leaveOutOldest()
{
    const int fill = pipeFill();
    const size_t need = CLAMP(static_cast<size_t>(fill - pipeSize() / 4), kPassRoom, kRecordsBytes / 2);
    while (!recordsRoomFor(need) && R.log.at.seq < recordsHead() && logAlone()) {
        logLeaveOut(R.log.at.seq + 1);
        releaseRecords();
    }
}

} // namespace

void releaseRecords()
{
    uint32_t upTo = R.log.at.seq;
    if (sinkHolds(R.console))
        upTo = MIN(upTo, R.console.at.seq);
    if (sinkHolds(R.echo))
        upTo = MIN(upTo, R.echo.at.seq);
    recordsRelease(upTo);
}

// While the worker runs and nobody takes the log's records, they wait,
// and the pipe holds what comes after them; only when the pipe is half
// full, so that the worker might soon block, are the oldest left out.
bool overflowing()
{
    return R.input == IN_READING && logStalled(recordsHead()) && logAlone() && pipeFill() >= pipeSize() / 2;
}

void pass(gint64 now)
{
    if (!recordsRoomForPass() && overflowing())
        leaveOutOldest();
    // Past its limit, standard output that holds the records back is
    // passed by: a slow reader must not slow what is left for the log.
    const gint64 echoLimit = stopLimit(OUT_ECHO);
    if (!recordsRoomForPass() && echoLimit != 0 && now >= echoLimit && R.echo.at.seq < R.log.at.seq) {
        sinkPassBy(R.echo);
        releaseRecords();
    }
    if (!recordsRoomForPass())
        return;
    R.passDue = R.more = false;
    const Pass p = inputPass(fileno(_fp));
    relayed(p.took);
    if (p.end == PASS_END) {
        endInput();
        return;
    }
    R.more = p.end == PASS_BOUND || p.end == PASS_FULL;
    if (!inputPieceWaits()) {
        R.cutAt = 0;
    } else if (R.cutAt == 0 || p.pieces > 0) {
        // A piece that follows one this pass ended is cut anew: its
        // second starts now.
        R.cutAt = now + ms(kCutWaitMs);
    } else if (now >= R.cutAt) {
        relayed(inputCut());
        R.cutAt = 0;
    }
}

void checkExit(gint64 now)
{
    if (workerExited(now)) {
        boundStart(now);
        if (R.input == IN_READING) {
            // What the pipe holds now, and what was read of it, is the
            // worker's: all of it is relayed.
            R.input = IN_DRAINING;
            R.owed = static_cast<size_t>(pipeFill()) + inputHeld();
            R.drainUntil = now + ms(kAfterExitMs);
            R.passDue = true;
        }
    }
    if (R.input == IN_DRAINING && R.owed == 0 && now >= R.drainUntil)
        endInput();
    // The bound holds whatever is left.
    if (R.boundFrom != 0 && R.input != IN_ENDED && now >= stopLimit(OUT_END))
        endInput();
}

