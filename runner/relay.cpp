// The worker's output into the system log.
//
// The one-second tick starts a pass over the worker's pipe. A pass relays at
// most kSliceLines pieces (a line, or 1023 bytes of a longer one), queues
// them in the log writer and sends them in batches. While more is waiting,
// in the pipe or in the queue, a low-priority watch on the log socket goes
// on as soon as the log can take more: a slice (or a batch) per dispatch,
// so that status requests and the stop get their turn in between. The watch
// stays for the whole burst: adding and removing a watched descriptor wakes
// the loop each time, which would cost more than the lines.
//
// When the log can't take more (full, or gone while its daemon restarts),
// the pipe is left alone and the worker's lines wait there, in order, until
// the socket is writable again (or a reconnect try, four times a second,
// finds the daemon back). Only a log that has refused for kHoldMs gets the
// console instead, as LOG_CONS says, for as long as it refuses.
//
// A piece cut where the pipe's content ended gets one more look kGraceMs
// later, by a timer: nothing here waits for data.

#include "relay.h"

#include <errno.h>
#include <glib-unix.h>
#include <poll.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "globals.h"
#include "log.h"
#include "log_writer.h"
#include "version.h"

namespace {

const int kSliceLines = 256;  // about 0.3 ms of work for 80-byte lines
const int kGraceMs = 10;      // for the rest of a line cut by the pipe's end
const int kHoldMs = 10000;    // a daemon restart takes about a second
const int kStopHoldMs = 500;  // at the stop the console is the better place
const int kRetryMs = 250;     // reconnect tries while the log is gone
const int kAfterExitMs = 500; // what a leftover writer adds after the worker's exit

char inbuf[16384];
size_t inLen = 0, inPos = 0;
size_t pieceLen = 0;   // the piece in _stdReadBuf
gint64 graceUntil = 0; // a cut piece is held until then; 0: none held
bool eof = false;
bool moreWaiting = false;
bool inSlice = false;
bool running = false;

LogState logState = LOG_SENT;
gint64 refusedSince = 0;
bool toConsole = false;
int holdMs = kHoldMs;

guint flowWatch = 0, continuation = 0, graceTimer = 0, retryTimer = 0;
int flowFd = -1;
bool inFlow = false;

void schedule();

void pushLog()
{
    LogState state = logWriterSend();
    if (state == LOG_SENT) {
        refusedSince = 0;
        toConsole = false;
    } else {
        gint64 now = g_get_monotonic_time();
        if (refusedSince == 0)
            refusedSince = now;
        if (toConsole || now - refusedSince >= holdMs * G_GINT64_CONSTANT(1000)) {
            logWriterToConsole();
            toConsole = true;
            state = LOG_SENT;
        }
    }
    // Lines may have piled up in the pipe while the log refused.
    if (logState != LOG_SENT && state == LOG_SENT)
        moreWaiting = true;
    logState = state;
    schedule();
}

void runnerLog(const char *message, size_t len)
{
    logWriterAdd(message, len);
    // A slice sends its lines at once, at its end.
    if (!inSlice)
        pushLog();
}

void emitPiece()
{
    // A zero byte would end the message there: it is written as "#000", as
    // syslog daemons show control characters, and the line goes on.
    char message[3 + 4 * sizeof _stdReadBuf];
    memcpy(message, "W: ", 3);
    size_t n = 3;
    if (memchr(_stdReadBuf, '\0', pieceLen) == nullptr) {
        memcpy(message + n, _stdReadBuf, pieceLen);
        n += pieceLen;
    } else {
        for (size_t i = 0; i < pieceLen; i++) {
            if (_stdReadBuf[i] == '\0') {
                memcpy(message + n, "#000", 4);
                n += 4;
            } else {
                message[n++] = _stdReadBuf[i];
            }
        }
    }
    message[n] = '\0';
    loginfoMessage(message, n);
    pieceLen = 0;
    graceUntil = 0;
}

// Moves input into the piece; true when the piece is whole (its line's end,
// or 1023 bytes).
bool takePiece()
{
    const size_t room = sizeof _stdReadBuf - 1 - pieceLen;
    size_t n = inLen - inPos < room ? inLen - inPos : room;
    const char *src = inbuf + inPos;
    const char *nl = static_cast<const char *>(memchr(src, '\n', n));
    if (nl != nullptr)
        n = static_cast<size_t>(nl - src) + 1;
    memcpy(_stdReadBuf + pieceLen, src, n);
    pieceLen += n;
    inPos += n;
    return nl != nullptr || pieceLen == sizeof _stdReadBuf - 1;
}

enum Input { INPUT_GOT, INPUT_NONE, INPUT_END };

Input fillInput()
{
    inPos = inLen = 0;
    for (;;) {
        ssize_t n = read(fileno(_fp), inbuf, sizeof inbuf);
        if (n > 0) {
            inLen = static_cast<size_t>(n);
            return INPUT_GOT;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return INPUT_NONE;
        // The end, or a pipe that can't be read any more.
        return INPUT_END;
    }
}

void relaySlice()
{
    moreWaiting = false;
    if (_fp == nullptr || eof || logState != LOG_SENT)
        return;
    inSlice = true;
    loginfoHoldEcho(true);
    for (int lines = 0;;) {
        if (lines == kSliceLines) {
            moreWaiting = true;
            break;
        }
        if (inPos == inLen) {
            Input in = fillInput();
            if (in == INPUT_END)
                eof = true;
            if (in != INPUT_GOT)
                break;
        }
        if (takePiece()) {
            emitPiece();
            lines++;
        }
    }
    if (pieceLen > 0) {
        gint64 now = g_get_monotonic_time();
        if (eof || (graceUntil != 0 && now >= graceUntil))
            emitPiece();
        else if (graceUntil == 0)
            graceUntil = now + kGraceMs * G_GINT64_CONSTANT(1000);
    }
    loginfoHoldEcho(false);
    inSlice = false;
    pushLog();
}

// While running: the end of the worker's output ends the loop.
void sliceAndCheckEnd()
{
    bool ended = eof;
    relaySlice();
    if (eof && !ended) {
        LOGINFO("lhr, lhw read end.");
        g_main_loop_quit(_loop);
    }
}

// Work that waits for the log to take more.
bool flowNeeded()
{
    return logState == LOG_WAITING || (logState == LOG_SENT && moreWaiting && !eof && _fp != nullptr);
}

gboolean onFlow(gint, GIOCondition, gpointer)
{
    inFlow = true;
    if (logState != LOG_SENT)
        pushLog();
    else
        sliceAndCheckEnd();
    inFlow = false;
    if (flowNeeded() && flowFd == logWriterFd())
        return G_SOURCE_CONTINUE;
    flowWatch = 0;
    schedule();
    return G_SOURCE_REMOVE;
}

// A one-shot slice: the grace for a cut line, or a continuation where
// there is no socket to watch (the log went to the console). The source's
// own id is the user data.
gboolean onSlice(gpointer id)
{
    *static_cast<guint *>(id) = 0;
    sliceAndCheckEnd();
    return G_SOURCE_REMOVE;
}

gboolean onRetry(gpointer)
{
    retryTimer = 0;
    pushLog();
    return G_SOURCE_REMOVE;
}

void dropSource(guint *id)
{
    if (*id != 0)
        g_source_remove(*id);
    *id = 0;
}

guint addFlowWatch(int fd)
{
    GSource *source = g_unix_fd_source_new(fd, G_IO_OUT);
    g_source_set_priority(source, G_PRIORITY_LOW);
    // GLib takes a dispatching source's descriptor out of the poll set and
    // puts it back after, waking the loop twice per dispatch; this one is
    // never dispatched recursively, so it can stay.
    g_source_set_can_recurse(source, TRUE);
    g_source_set_callback(source, G_SOURCE_FUNC(onFlow), nullptr, nullptr);
    guint id = g_source_attach(source, nullptr);
    g_source_unref(source);
    return id;
}

// The sources the relay's state calls for, and no others.
void schedule()
{
    if (!running)
        return;
    const bool flow = flowNeeded();
    const int fd = logWriterFd();
    // The watch that is dispatching decides about itself when it returns.
    if (!inFlow) {
        if (flow && fd >= 0) {
            if (flowWatch != 0 && flowFd != fd)
                dropSource(&flowWatch);
            if (flowWatch == 0) {
                flowWatch = addFlowWatch(fd);
                flowFd = fd;
            }
        } else {
            dropSource(&flowWatch);
        }
    }
    if (flow && fd < 0 && logState == LOG_SENT) {
        if (continuation == 0)
            continuation = g_idle_add_full(G_PRIORITY_LOW, onSlice, &continuation, nullptr);
    } else {
        dropSource(&continuation);
    }
    if (logState == LOG_SENT && !eof && _fp != nullptr && graceUntil != 0) {
        if (graceTimer == 0)
            graceTimer = g_timeout_add(kGraceMs, onSlice, &graceTimer);
    } else {
        dropSource(&graceTimer);
    }
    if (logState == LOG_DOWN) {
        if (retryTimer == 0)
            retryTimer = g_timeout_add(kRetryMs, onRetry, nullptr);
    } else {
        dropSource(&retryTimer);
    }
}

bool hasExited(pid_t pid)
{
    siginfo_t info = {};
    int r;
    do {
        r = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    } while (r < 0 && errno == EINTR);
    // ECHILD: nothing left to wait for.
    return r < 0 || info.si_pid != 0;
}

} // namespace

void openSystemLog()
{
    logWriterOpen(APP_NAME, "/dev/log");
    loginfoSetSink(runnerLog);
}

void closeSystemLog()
{
    logWriterClose(kStopHoldMs);
    loginfoSetSink(nullptr);
}

void relayStart()
{
    running = true;
    schedule();
}

gboolean application_iterate(gpointer)
{
    if (_fp == nullptr)
        return TRUE;
    // A log that refuses is looked at once a second at least, for the hold.
    if (logState != LOG_SENT)
        pushLog();
    sliceAndCheckEnd();
    return eof ? FALSE : TRUE;
}

void drainWorkerOutput()
{
    running = false;
    dropSource(&flowWatch);
    dropSource(&continuation);
    dropSource(&graceTimer);
    dropSource(&retryTimer);
    holdMs = kStopHoldMs;
    pid_t worker = lhwPid;
    if (_fp == nullptr || worker <= 0)
        return;
    gint64 exitedAt = 0;
    while (!eof) {
        relaySlice();
        if (eof)
            break;
        gint64 now = g_get_monotonic_time();
        if (exitedAt == 0 && hasExited(worker))
            exitedAt = now;
        if (exitedAt != 0 && now - exitedAt >= kAfterExitMs * G_GINT64_CONSTANT(1000))
            break;
        if (moreWaiting)
            continue;
        struct pollfd fds[1];
        nfds_t n = 0;
        if (logState == LOG_SENT)
            fds[n++] = {fileno(_fp), POLLIN, 0};
        else if (logState == LOG_WAITING)
            fds[n++] = {logWriterFd(), POLLOUT, 0};
        (void)poll(fds, n, graceUntil != 0 ? kGraceMs : 100);
        if (logState != LOG_SENT)
            pushLog();
    }
    if (pieceLen > 0)
        emitPiece();
    pushLog();
}
