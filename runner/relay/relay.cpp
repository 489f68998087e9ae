// The relay's steps; relay.h draws the pipeline.

#include "relay.h"

#include <stdio.h>
#include <unistd.h>

#include "globals.h"
#include "limits.h"
#include "log.h"
#include "open.h"
#include "pass.h"
#include "records.h"
#include "sink.h"
#include "source.h"
#include "state.h"
#include "syslog_out.h"
#include "version.h"

Relay R;

namespace {

GMainLoop *serving = nullptr; // the loop the stop or the close runs

void arm();
void quitWhenDone(gint64 now);

void rebase()
{
    if (const uint32_t by = recordsRebase(kRebaseAt)) {
        uint32_t *const cursors[] = {&R.log.at.seq, &R.log.madeFrom, &R.log.madeTo, &R.console.at.seq,
                                     &R.console.until, &R.echo.at.seq, &R.echo.until};
        for (uint32_t *seq : cursors)
            *seq -= MIN(*seq, by);
    }
}

void pushOutputs(gint64 now)
{
    logPush(now);
    R.echo.until = recordsHead();
    sinkPush(R.echo, now, OUT_ECHO);
    releaseRecords();
}

// Room for n more of the runner's own records; standard output holding
// them back past their reserve passes them by.
bool ownRoom(size_t n)
{
    if (recordsOwn() + n > kOwnMax && R.echo.at.seq < R.log.at.seq) {
        sinkPassBy(R.echo);
        releaseRecords();
    }
    return recordsOwn() + n <= kOwnMax;
}

void runnerLog(const char *message, size_t len)
{
    // One is kept for the note that counts those left out.
    if (!ownRoom(2) || !recordsAddOwn(message, len, 0)) {
        R.ownLeftOut++;
        return;
    }
    const gint64 now = g_get_monotonic_time();
    pushOutputs(now);
    // During the stop its line may be the last thing waited for.
    quitWhenDone(now);
    arm();
}

bool done(gint64 now)
{
    if (R.boundFrom == 0 || R.input != IN_ENDED)
        return false;
    const bool echoDone = sinkDone(R.echo) || R.echo.state == SINK_SKIPPING || R.echo.state == SINK_GONE;
    return (logDone() && echoDone) || now >= stopLimit(OUT_END);
}

void quitWhenDone(gint64 now)
{
    if (R.stopping && serving != nullptr && done(now))
        g_main_loop_quit(serving);
}

void step()
{
    rebase();
    gint64 now = g_get_monotonic_time();
    pushOutputs(now);
    checkExit(now);
    const bool due = R.passDue || R.more || (R.cutAt != 0 && now >= R.cutAt);
    if (_fp != nullptr && R.input != IN_ENDED && due) {
        pass(now);
        now = g_get_monotonic_time();
        pushOutputs(now);
        checkExit(now);
    }
    quitWhenDone(now);
    arm();
}

void stepFromLoop()
{
    // The pipe polled readable (or its end): a pass once there is room.
    if (sourceReady(FD_PIPE))
        R.passDue = true;
    if (sourceReady(FD_LOG))
        R.log.full = false;
    step();
}

// The source waits for what the state calls for, and nothing else.
void arm()
{
    if (!R.live)
        return;
    const bool reading = _fp != nullptr && R.input != IN_ENDED;
    const bool room = recordsRoomForPass();
    const bool pass = reading && (R.passDue || R.more) && (room || overflowing());
    sourceWatch(FD_LOG, logWaitFd(), G_IO_OUT, stepFromLoop);
    sourceWatch(FD_CONSOLE, sinkWaitFd(R.console), G_IO_OUT, stepFromLoop);
    sourceWatch(FD_ECHO, sinkWaitFd(R.echo), G_IO_OUT, stepFromLoop);
    sourceWatch(FD_PIPE, (R.stopping || R.boundFrom != 0) && reading && room && !pass ? fileno(_fp) : -1,
                static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), stepFromLoop);
    const gint64 at = pass ? 0 : nextDeadline(g_get_monotonic_time(), recordsHead(), room);
    sourceReadyAt(at != 0 || pass ? at : -1);
}

void disarm()
{
    R.live = false;
    sourceDestroy();
}

// Serves loop until done: other quits (a second SIGTERM) don't end it.
void serve(GMainLoop *loop)
{
    serving = loop;
    R.live = true;
    R.stopping = true;
    step();
    while (!done(g_get_monotonic_time())) {
        g_main_loop_run(loop);
        step();
    }
    serving = nullptr;
}

// Closing is stopping, with or without a worker: the same limits.
void handOn(GMainLoop *loop)
{
    boundStart(g_get_monotonic_time());
    if (R.input != IN_ENDED) {
        R.input = IN_ENDED;
        R.passDue = R.more = false;
    }
    serve(loop);
}

} // namespace

void openSystemLog()
{
    recordsOpen(APP_NAME, static_cast<int>(getpid()));
    logOpen("/dev/log");
    R.console.console = true;
    sinkOpenStdout(R.echo);
    loginfoSetSink(runnerLog);
}

void closeSystemLog()
{
    GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
    handOn(loop);
    g_main_loop_unref(loop);
    disarm();
    // What neither the log nor the console took, and what the bound left
    // unread, is said last on standard output.
    const unsigned left = logClose();
    char note[96];
    (void)snprintf(note, sizeof note, "lhr, At the stop, %u lines left out, %zu bytes of lhw unread", left, R.owed);
    sinkClose(R.echo, left > 0 || R.owed > 0 ? note : nullptr);
    recordsClose();
    loginfoSetSink(nullptr);
}

void relayWorkerChanged()
{
    R.askExit = true;
    if (R.live)
        step();
}

void relayStart()
{
    R.live = true;
    arm();
}

gboolean application_iterate(gpointer)
{
    if (_fp == nullptr)
        return TRUE;
    R.passDue = true;
    R.askExit = true;
    step();
    return R.input == IN_ENDED ? FALSE : TRUE;
}

void relayHandOn()
{
    handOn(_loop);
    // No status is answered from here on: the runner's last lines get a
    // last moment, not the rest of the bound.
    R.boundFrom = MIN(R.boundFrom, g_get_monotonic_time() + ms(kLastWriteMs - kStopBoundMs));
}

void relayToTheEnd()
{
    if (_fp == nullptr || lhwPid <= 0)
        return;
    R.passDue = true;
    R.askExit = true;
    serve(_loop);
}
