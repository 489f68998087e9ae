// The relay, a pipeline:
//
//   pipe --input--> records --+-- log cursor -----> syslog_out (socket)
//   LOGINFO ---------^        |                        | refused past the hold
//                             |                        v
//                             +-- console cursor --> sink (/dev/console)
//                             +-- echo cursor -----> sink (standard output)
//
// input.cpp cuts the pipe into records and returns; records.cpp keeps
// them, numbered, until every cursor has passed; each output writes from
// its own cursor and never blocks. state.h holds everything that decides
// what runs next, limits.h every limit and the deadlines made from them.
// step() does what the state allows, arm() reads the state and attaches
// the sources that leave it: the outputs' writability, the pipe's
// readability during the stop, an idle pass while more waits, and one
// timer for the earliest deadline. A pass is a bounded slice, so status
// requests and SIGTERM get their turn; the stop and the close are the same
// step under the same limits, served by the loop to the end.
//
//   input   READING --exit seen--> DRAINING --owed relayed and 0.5 s past, EOF or the bound--> ENDED
//           READING --EOF without a stop--> ENDED ("lhr, lhw read end.", the loop quits)
//   read    when a pass is due and the records have room for one
//   log     SENDING <-> WAITING | RETRY --refused past the hold--> CONSOLE --the socket takes--> SENDING
//   sink    TAKES <-> WAITING --past its hold--> SKIPPING --writable--> TAKES; EPIPE: GONE
//   done    exit seen, input ENDED and every cursor at the head, or the bound

#include "relay.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "globals.h"
#include "input.h"
#include "limits.h"
#include "log.h"
#include "records.h"
#include "sink.h"
#include "state.h"
#include "syslog_out.h"
#include "version.h"

Relay R;

namespace {

GMainLoop *serving = nullptr; // the loop the stop or the close runs
int pipeSize = 65536;

void arm();

void relayed(size_t bytes)
{
    R.owed -= MIN(R.owed, bytes);
}

void releaseRecords()
{
    uint64_t upTo = R.log.at.seq;
    if (!sinkDone(R.console))
        upTo = MIN(upTo, R.console.at.seq);
    if (!sinkDone(R.echo))
        upTo = MIN(upTo, R.echo.at.seq);
    recordsRelease(upTo);
}

void pushOutputs(gint64 now)
{
    logPush(now);
    R.echo.until = recordsHead();
    (void)sinkPush(R.echo, now, OUT_ECHO);
    releaseRecords();
}

// Room for n more of the runner's own records; standard output holding
// them back past their reserve passes them by.
bool ownRoom(size_t n)
{
    if (recordsOwn() + n > kOwnMax && R.echo.at.seq < R.log.at.seq) {
        (void)sinkPassBy(R.echo);
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
    pushOutputs(g_get_monotonic_time());
    arm();
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

// While the worker runs and nobody takes the log's records, they wait,
// and the pipe holds what comes after them; only when the pipe is half
// full, so that the worker might soon block, are the oldest left out.
int pipeFill()
{
    int fill = 0;
    return ioctl(fileno(_fp), FIONREAD, &fill) == 0 ? fill : 0;
}

// Nobody takes the log's records while the worker runs, and its pipe is
// near full.
bool overflowing()
{
    // Only records the log alone holds are freed by leaving them out.
    const bool logAlone = sinkDone(R.echo) || R.echo.at.seq > R.log.at.seq;
    return R.input == IN_READING && logStalled(recordsHead()) && logAlone && pipeFill() >= pipeSize / 2;
}

void leaveOutOldest()
{
    const int fill = pipeFill();
    const size_t need = CLAMP(static_cast<size_t>(fill - pipeSize / 4), kPassRoom, kRecordsBytes / 2);
    while (!recordsRoomFor(need) && R.log.at.seq < recordsHead() &&
           (sinkDone(R.echo) || R.echo.at.seq > R.log.at.seq)) {
        logLeaveOut(R.log.at.seq + 1);
        releaseRecords();
    }
}

void pass(gint64 now)
{
    if (!recordsRoomForPass() && overflowing())
        leaveOutOldest();
    // Past its limit, standard output that holds the records back is
    // passed by: a slow reader must not slow what is left for the log.
    const gint64 echoLimit = stopLimit(OUT_ECHO);
    if (!recordsRoomForPass() && echoLimit != 0 && now >= echoLimit && R.echo.at.seq < R.log.at.seq) {
        (void)sinkPassBy(R.echo);
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

bool hasExited(pid_t pid)
{
    siginfo_t info = {};
    int ret;
    do {
        ret = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    } while (ret < 0 && errno == EINTR);
    // ECHILD: nothing left to wait for.
    return ret < 0 || info.si_pid != 0;
}

// Asks only when there is a reason to: a syscall per pass is a cost a
// camera sees.
bool workerExited(gint64 now)
{
    if (R.boundFrom != 0 || _fp == nullptr || lhwPid <= 0)
        return false;
    if (!R.askExit && !(R.stopping && now >= R.exitPollAt))
        return false;
    R.askExit = false;
    R.exitPollAt = now + ms(kExitPollMs);
    return hasExited(lhwPid);
}

void checkExit(gint64 now)
{
    if (workerExited(now)) {
        boundStart(now);
        if (R.input == IN_READING) {
            // What the pipe holds now, and what was read of it, is the
            // worker's: all of it is relayed.
            int waiting = 0;
            if (ioctl(fileno(_fp), FIONREAD, &waiting) != 0)
                waiting = 0;
            R.input = IN_DRAINING;
            R.owed = static_cast<size_t>(MAX(waiting, 0)) + inputHeld();
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

bool done(gint64 now)
{
    if (R.boundFrom == 0 || R.input != IN_ENDED)
        return false;
    const bool echoDone = sinkDone(R.echo) || R.echo.state == SINK_SKIPPING || R.echo.state == SINK_GONE;
    return (logDone() && echoDone) || now >= stopLimit(OUT_END);
}

void step()
{
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
    if (R.stopping && serving != nullptr && done(now))
        g_main_loop_quit(serving);
    arm();
}

// The relay's one source: the descriptors the state waits for, and a
// ready time, now for a pass that goes on, or the earliest deadline.
enum { FD_LOG, FD_CONSOLE, FD_ECHO, FD_PIPE, FD_COUNT };
GSource *source = nullptr;
int watched[FD_COUNT] = {-1, -1, -1, -1};
gpointer tags[FD_COUNT];

gboolean dispatch(GSource *, GSourceFunc, gpointer)
{
    // The pipe polled readable (or its end): a pass once there is room.
    if (watched[FD_PIPE] >= 0 && g_source_query_unix_fd(source, tags[FD_PIPE]) != 0)
        R.passDue = true;
    step();
    return G_SOURCE_CONTINUE;
}

GSourceFuncs sourceFuncs = {nullptr, nullptr, dispatch, nullptr, nullptr, nullptr};

void watch(int which, int fd, GIOCondition cond)
{
    if (watched[which] == fd)
        return;
    if (watched[which] >= 0)
        g_source_remove_unix_fd(source, tags[which]);
    watched[which] = fd;
    if (fd >= 0)
        tags[which] = g_source_add_unix_fd(source, fd, cond);
}

// The source waits for what the state calls for, and nothing else.
void arm()
{
    if (!R.live)
        return;
    if (source == nullptr) {
        source = g_source_new(&sourceFuncs, sizeof(GSource));
        g_source_set_priority(source, G_PRIORITY_LOW);
        // GLib takes a dispatching source's descriptors out of the poll
        // set and puts them back after, waking the loop twice per
        // dispatch; it is never dispatched recursively, so they can stay.
        g_source_set_can_recurse(source, TRUE);
        (void)g_source_attach(source, nullptr);
    }
    const bool reading = _fp != nullptr && R.input != IN_ENDED;
    const bool room = recordsRoomForPass();
    const bool pass = reading && (R.passDue || R.more) && (room || overflowing());
    watch(FD_LOG, logWaitFd(), G_IO_OUT);
    watch(FD_CONSOLE, sinkWaitFd(R.console), G_IO_OUT);
    watch(FD_ECHO, sinkWaitFd(R.echo), G_IO_OUT);
    watch(FD_PIPE, (R.stopping || R.boundFrom != 0) && reading && room && !pass ? fileno(_fp) : -1,
          static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR));
    const gint64 at = pass ? 0 : nextDeadline(g_get_monotonic_time(), recordsHead(), recordsRoomFor(kPieceMax));
    g_source_set_ready_time(source, at != 0 || pass ? at : -1);
}

void disarm()
{
    R.live = false;
    if (source != nullptr) {
        g_source_destroy(source);
        g_source_unref(source);
    }
    source = nullptr;
    for (int &fd : watched)
        fd = -1;
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
    // Closing is stopping, with or without a worker: the same limits.
    boundStart(g_get_monotonic_time());
    if (R.input != IN_ENDED) {
        R.input = IN_ENDED;
        R.passDue = R.more = false;
    }
    GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
    serve(loop);
    g_main_loop_unref(loop);
    disarm();
    // What neither the log nor the console took, and what the bound left
    // unread, is said last on standard output.
    const unsigned left = logClose();
    char note[96];
    (void)snprintf(note, sizeof note, "lhr, At the stop, %u lines left out, %zu bytes of lhw unread", left, R.owed);
    (void)sinkClose(R.echo, left > 0 || R.owed > 0 ? note : nullptr);
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
    if (_fp != nullptr) {
        const int size = fcntl(fileno(_fp), F_GETPIPE_SZ);
        pipeSize = size > 0 ? size : pipeSize;
    }
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

void relayToTheEnd()
{
    if (_fp == nullptr || lhwPid <= 0)
        return;
    R.passDue = true;
    R.askExit = true;
    serve(_loop);
}
