// The worker's output into the system log and onto standard output.
//
// The state is one struct, one enum for each side:
// - the input, the worker's pipe: READING while the worker runs (a pass at
//   each one-second tick, and at once while more waits), STOPPING after
//   SIGTERM (read as it comes, for as long as the worker takes to exit),
//   DRAINING once it has exited, with or without a stop (everything that
//   was in the pipe then, and what a process left behind adds for
//   kAfterExitMs), ENDED at the end of the output. A piece cut where the pipe's content ended waits up to the
//   next tick for its rest.
// - the outputs: the log writer's state (sending, waiting for the socket,
//   retrying, console) and the echo's (takes, waiting, dropping, gone).
//   Input is read only when both take; otherwise the worker's lines wait in
//   its pipe, in order, and the outputs' own holds make sure that neither
//   waits for ever.
// The stop has one bound, from the worker's exit (stop_limit.h): every
// output, and the stop itself, reads its limit from there.
// step() does what the state allows; schedule() reads only the state and
// arms the sources that leave it: the log socket's, the console's and
// standard output's writability, the pipe's readability (at the stop), an
// idle continuation, and one timer for the earliest deadline. Every pass
// is a bounded slice, so status requests and SIGTERM get their turn.

#include "relay.h"

#include <errno.h>
#include <glib-unix.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "globals.h"
#include "log.h"
#include "log_writer.h"
#include "stop_limit.h"
#include "stream_out.h"
#include "version.h"
#include "worker_input.h"

namespace {

// A pass: about 0.3 ms of work for 80-byte lines, and no more for long
// ones (a line of zero bytes is four times its length).
const int kPassLines = 256;
const size_t kPassBytes = 32 * 1024;
const int kCutWaitMs = 1000;  // for the rest of a line cut by the pipe's end: the tick
const int kHoldMs = 10000;    // a daemon restart takes about a second
const int kStopHoldMs = 500;  // once the worker has exited the console is the better place
const int kAfterExitMs = 500; // what a leftover writer adds after the worker's exit
const int kSocketPollMs = 20; // at the stop, a socket that took everything may still poll full
const int kExitPollMs = 100;  // at the stop, should its SIGCHLD go unseen

enum InputState { IN_READING, IN_STOPPING, IN_DRAINING, IN_ENDED };

struct Relay {
    InputState input = IN_READING;
    bool stopping = false; // the loop serves the stop: the worker's exit is awaited
    bool exited = false;   // the worker's exit was seen: the stop's bound runs
    bool askExit = false;  // SIGCHLD or a tick: has the worker exited?
    gint64 exitPollAt = 0; // during the stop, in case a SIGCHLD went unseen
    bool ready = false;    // a tick came, or the pipe polled readable
    bool more = false;     // the last pass stopped at its bound
    gint64 cutUntil = 0;   // the cut piece waits for its rest until then
    gint64 drainUntil = 0; // DRAINING: a leftover writer is read until then
    size_t owed = 0;       // DRAINING: bytes of the pipe at the exit not yet relayed
    size_t passBytes = 0;  // the pass's messages so far
    bool running = false;  // the main loop serves the relay
    bool inSlice = false;
} r;

StreamOut echo;

struct Watch {
    guint id = 0;
    int fd = -1;
};
Watch socketWatch, consoleWatch, echoWatch, pipeWatch;
guint continuation = 0, wakeTimer = 0;
gint64 wakeTimerAt = 0;

void schedule();

bool outputsTake()
{
    return logWriterTakes() && streamOutTakes(&echo);
}

void pushOutputs()
{
    logWriterSend();
    streamOutFlush(&echo);
}

void toOutputs(const char *message, size_t len, bool own)
{
    logWriterAdd(message, len, own);
    streamOutAddLine(&echo, message, len, "\n", own);
    // A pass sends its lines at once, at its end.
    if (!r.inSlice) {
        pushOutputs();
        schedule();
    }
}

void runnerLog(const char *message, size_t len)
{
    toOutputs(message, len, true);
}

void relayed(size_t bytes)
{
    r.owed -= MIN(r.owed, bytes);
}

void endInput()
{
    r.input = IN_ENDED;
    r.more = r.ready = false;
    r.cutUntil = 0;
    // What was read goes out as one batch.
    const bool inSlice = r.inSlice;
    r.inSlice = true;
    relayed(flushPieces());
    r.inSlice = inSlice;
    if (!inSlice)
        pushOutputs();
    // Its output ended without a stop: the run ends.
    if (r.running && !r.stopping) {
        LOGINFO("lhr, lhw read end.");
        g_main_loop_quit(_loop);
    }
}

void slice(gint64 now)
{
    r.ready = r.more = false;
    r.inSlice = true;
    r.passBytes = 0;
    int lines = 0;
    for (;;) {
        if (lines == kPassLines || r.passBytes >= kPassBytes) {
            r.more = true;
            break;
        }
        PieceResult p = takePiece();
        if (p == PIECE_WHOLE) {
            relayed(emitPiece());
            lines++;
            continue;
        }
        if (p == PIECE_END)
            endInput();
        break;
    }
    if (pieceWaiting() && r.input != IN_ENDED) {
        // A piece that follows one this pass ended is cut anew: its second
        // starts now.
        if (r.cutUntil == 0 || lines > 0)
            r.cutUntil = now + kCutWaitMs * G_GINT64_CONSTANT(1000);
        else if (now >= r.cutUntil)
            relayed(emitPiece());
    }
    if (!pieceWaiting())
        r.cutUntil = 0;
    r.inSlice = false;
    pushOutputs();
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

bool outputsIdle()
{
    return logWriterIdle() && streamOutIdle(&echo);
}

bool stopDone(gint64 now)
{
    return r.exited && r.input == IN_ENDED && (outputsIdle() || now >= stopLimit(STOP_EXIT));
}

// Asks only when there is a reason to: a syscall per pass is a cost a
// camera sees.
bool workerExited(gint64 now)
{
    if (r.exited || _fp == nullptr || lhwPid <= 0)
        return false;
    if (!r.askExit && !(r.stopping && now >= r.exitPollAt))
        return false;
    r.askExit = false;
    r.exitPollAt = now + kExitPollMs * G_GINT64_CONSTANT(1000);
    return hasExited(lhwPid);
}

void checkStop(gint64 now)
{
    if (workerExited(now)) {
        r.exited = true;
        stopLimitStart();
        logWriterSetHold(kStopHoldMs);
        if (r.input == IN_READING || r.input == IN_STOPPING) {
            // What the pipe holds now, and what was read of it, is the
            // worker's: all of it is relayed.
            int waiting = 0;
            if (ioctl(fileno(_fp), FIONREAD, &waiting) != 0)
                waiting = 0;
            r.input = IN_DRAINING;
            r.owed = static_cast<size_t>(MAX(waiting, 0)) + inputHeld();
            r.drainUntil = now + kAfterExitMs * G_GINT64_CONSTANT(1000);
            r.ready = true;
        }
    }
    if (r.input == IN_DRAINING && r.owed == 0 && now >= r.drainUntil)
        endInput();
    // The bound holds whatever is left.
    if (r.exited && r.input != IN_ENDED && now >= stopLimit(STOP_EXIT))
        endInput();
}

bool slicePending(gint64 now)
{
    if (_fp == nullptr || r.input == IN_ENDED)
        return false;
    return r.ready || r.more || (r.cutUntil != 0 && now >= r.cutUntil);
}

void step()
{
    gint64 now = g_get_monotonic_time();
    pushOutputs();
    checkStop(now);
    if (slicePending(now) && outputsTake()) {
        slice(now);
        now = g_get_monotonic_time();
        checkStop(now);
    }
    if (r.stopping && stopDone(now))
        g_main_loop_quit(_loop);
    schedule();
}

gboolean onWatch(gint, GIOCondition, gpointer watch)
{
    // The pipe polled readable (or its end): a pass once the outputs take.
    Watch *w = static_cast<Watch *>(watch);
    if (w == &pipeWatch)
        r.ready = true;
    const guint self = w->id;
    step();
    // schedule() let this watch go, or put another in its place.
    return w->id == self ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

// A one-shot source: its id is the user data.
gboolean onOnce(gpointer id)
{
    *static_cast<guint *>(id) = 0;
    step();
    return G_SOURCE_REMOVE;
}

void dropSource(guint *id)
{
    if (*id != 0)
        g_source_remove(*id);
    *id = 0;
}

// Watches fd for cond, or nothing when fd is -1.
void setWatch(Watch *w, int fd, GIOCondition cond, int priority)
{
    if (w->id != 0 && w->fd == fd)
        return;
    // The source that is dispatching is removed by its own return.
    GSource *current = g_main_current_source();
    if (w->id != 0 && (current == nullptr || g_source_get_id(current) != w->id))
        g_source_remove(w->id);
    w->id = 0;
    w->fd = fd;
    if (fd < 0)
        return;
    GSource *source = g_unix_fd_source_new(fd, cond);
    g_source_set_priority(source, priority);
    // GLib takes a dispatching source's descriptor out of the poll set and
    // puts it back after, waking the loop twice per dispatch; these are
    // never dispatched recursively, so they can stay.
    g_source_set_can_recurse(source, TRUE);
    g_source_set_callback(source, G_SOURCE_FUNC(onWatch), w, nullptr);
    w->id = g_source_attach(source, nullptr);
    g_source_unref(source);
}

gint64 earliest(gint64 a, gint64 b)
{
    return a == 0 ? b : b == 0 ? a : MIN(a, b);
}

// The sources the relay's state calls for, and no others.
void schedule()
{
    if (!r.running)
        return;
    gint64 now = g_get_monotonic_time();
    const LogWait lw = logWriterWait();
    const bool takes = outputsTake();
    const bool live = _fp != nullptr && r.input != IN_ENDED;
    const bool pass = live && (r.ready || r.more) && takes;

    // During a burst the next pass waits for the log socket to poll
    // writable, so that its batch finds room in the daemon's queue; an idle
    // source brings it where there is no socket to wait for. A socket that
    // took everything may still poll full: then the tick brings the pass,
    // or at the stop a timer.
    int sock = lw.socketFd;
    const bool bySocket = pass && sock < 0 && logWriterState() == LOG_SENDING && logWriterSocket() >= 0;
    if (bySocket)
        sock = logWriterSocket();
    setWatch(&socketWatch, sock, G_IO_OUT, G_PRIORITY_LOW);
    setWatch(&consoleWatch, lw.consoleFd, G_IO_OUT, G_PRIORITY_LOW);
    setWatch(&echoWatch, streamOutWaitFd(&echo), G_IO_OUT, G_PRIORITY_LOW);
    setWatch(&pipeWatch, (r.stopping || r.exited) && live && takes && !pass ? fileno(_fp) : -1,
             static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), G_PRIORITY_LOW);

    if (pass && !bySocket) {
        if (continuation == 0)
            continuation = g_idle_add_full(G_PRIORITY_LOW, onOnce, &continuation, nullptr);
    } else {
        dropSource(&continuation);
    }

    gint64 at = earliest(lw.wakeAt, streamOutHoldEnd(&echo));
    if (live && takes)
        at = earliest(at, r.cutUntil);
    if (r.stopping && !r.exited)
        at = earliest(at, MAX(r.exitPollAt, now));
    if (bySocket && (r.stopping || r.exited))
        at = earliest(at, now + kSocketPollMs * G_GINT64_CONSTANT(1000));
    if (r.input == IN_DRAINING && r.owed == 0)
        at = earliest(at, r.drainUntil);
    if (r.exited)
        at = earliest(at, stopLimit(STOP_EXIT));
    if (wakeTimer != 0 && wakeTimerAt != at)
        dropSource(&wakeTimer);
    if (at != 0 && wakeTimer == 0) {
        guint ms = static_cast<guint>(MAX(at - now + 999, 0) / 1000);
        wakeTimer = g_timeout_add(ms, onOnce, &wakeTimer);
        wakeTimerAt = at;
    }
}

void stopSources()
{
    r.running = false;
    Watch *watches[] = {&socketWatch, &consoleWatch, &echoWatch, &pipeWatch};
    for (Watch *w : watches) {
        dropSource(&w->id);
        w->fd = -1;
    }
    dropSource(&continuation);
    dropSource(&wakeTimer);
}

} // namespace

void relayWorkerLine(const char *message, size_t len)
{
    r.passBytes += len;
    toOutputs(message, len, false);
}

void openSystemLog()
{
    logWriterOpen(APP_NAME, "/dev/log", kHoldMs);
    streamOutOpenStdout(&echo, kHoldMs);
    loginfoSetSink(runnerLog);
}

void closeSystemLog()
{
    stopSources();
    // What neither the log nor the console took, and what the stop's bound
    // left unread, is said last on standard output.
    const size_t left = logWriterClose();
    char note[96];
    (void)snprintf(note, sizeof note, "lhr, At the stop, %zu lines left out, %zu bytes of lhw unread", left, r.owed);
    streamOutClose(&echo, left > 0 || r.owed > 0 ? note : nullptr);
    loginfoSetSink(nullptr);
}

void relayWorkerChanged()
{
    r.askExit = true;
    if (r.running)
        step();
}

void relayStart()
{
    r.running = true;
    schedule();
}

gboolean application_iterate(gpointer)
{
    if (_fp == nullptr)
        return TRUE;
    r.ready = true;
    r.askExit = true;
    step();
    return r.input == IN_ENDED ? FALSE : TRUE;
}

void drainWorkerOutput()
{
    if (_fp == nullptr || lhwPid <= 0)
        return;
    if (r.input == IN_READING)
        r.input = IN_STOPPING;
    r.stopping = true;
    r.ready = true;
    r.askExit = true;
    // The loop serves the stop as it served the run, status requests too,
    // until the worker has exited and its last lines are handed on. Other
    // quits (a second SIGTERM) don't end it.
    while (!stopDone(g_get_monotonic_time())) {
        step();
        if (!stopDone(g_get_monotonic_time()))
            g_main_loop_run(_loop);
    }
    stopSources();
    relayed(flushPieces());
}
