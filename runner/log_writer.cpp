#include "log_writer.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "log_console.h"
#include "log_queue.h"
#include "stop_limit.h"

namespace {

const int kRetryMs = 250; // reconnect tries while the log is gone
const size_t kBatch = 64;

char socketPath[sizeof(sockaddr_un::sun_path)];
int fd = -1;
bool stream = false;

LogState state = LOG_SENDING;
int holdMs = 0;
gint64 refusedSince = 0; // monotonic us; 0 while the log takes
gint64 nextTry = 0;      // after a failed connect or a lack of buffers: the next try

bool took = false; // the last send put something on the socket

// The runner's own lines wait in the queue while the log refuses, up to
// this many; the rest are counted, and the count is logged when there is
// room again. The worker's lines never are: they wait in its pipe.
const size_t kOwnLimit = 64;
unsigned leftOut = 0;
// The worker's lines that neither the log nor a console took: counted, and
// the count logged when the log takes again.
unsigned refusedLines = 0;

void recordsToConsole(size_t from, size_t to)
{
    for (size_t i = from; i < to; i++) {
        const Record &r = q.records[i];
        // A note of lost lines is the log's: refused, its count waits for
        // the next.
        if (r.noted != 0)
            refusedLines += r.noted;
        else if (!consoleAdd(q.arena + r.offset + r.consoleOffset, r.len - r.consoleOffset, r.own) && !r.own)
            refusedLines++;
    }
}

void addNote(const char *format, unsigned count)
{
    char note[80];
    int n = snprintf(note, sizeof note, format, count);
    logQueueAdd(note, static_cast<size_t>(n), true);
}

void disconnect()
{
    if (fd >= 0)
        (void)close(fd);
    fd = -1;
    // The daemon that saw part of the head record is gone: send it whole.
    q.headSent = 0;
}

bool connectLog()
{
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, socketPath, sizeof addr.sun_path);
    // A stream socket at /dev/log works too, as syslog(3) handles it.
    static const int types[] = {SOCK_DGRAM, SOCK_STREAM};
    for (int type : types) {
        int s = socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (s < 0)
            return false;
        if (connect(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
            fd = s;
            stream = type == SOCK_STREAM;
            return true;
        }
        int err = errno;
        (void)close(s);
        if (err != EPROTOTYPE)
            return false;
    }
    return false;
}

// After a send failed: the state it leaves, or LOG_SENDING to go on.
LogState failedSend()
{
    if (errno == EINTR)
        return LOG_SENDING;
    if (errno == EAGAIN || errno == EWOULDBLOCK)
        return LOG_WAITING;
    // No buffers: the socket may well poll writable meanwhile, so a timer,
    // not its writability, brings the next try.
    if (errno == ENOBUFS)
        return LOG_RETRY;
    if (errno == EMSGSIZE) {
        // No log takes it: to the console, as syslog(3) would.
        recordsToConsole(q.head, q.head + 1);
        logQueueAdvance(1);
        return LOG_SENDING;
    }
    // The daemon is gone (ECONNREFUSED, ENOTCONN, ...): reconnect later.
    disconnect();
    return LOG_RETRY;
}

LogState sendDatagrams()
{
    struct mmsghdr msgs[kBatch];
    struct iovec iov[kBatch];
    while (q.head < q.count) {
        size_t n = MIN(q.count - q.head, kBatch);
        for (size_t i = 0; i < n; i++) {
            const Record &r = q.records[q.head + i];
            iov[i].iov_base = q.arena + r.offset;
            iov[i].iov_len = r.len;
            memset(&msgs[i], 0, sizeof msgs[i]);
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        int sent = sendmmsg(fd, msgs, static_cast<unsigned>(n), MSG_NOSIGNAL);
        if (sent > 0) {
            took = true;
            logQueueAdvance(static_cast<size_t>(sent));
            // A short count: the next one would not go; its reason shows
            // when the socket is writable again.
            if (static_cast<size_t>(sent) < n)
                return LOG_WAITING;
            continue;
        }
        LogState s = failedSend();
        if (s != LOG_SENDING)
            return s;
    }
    return LOG_SENDING;
}

// Sends bytes and, after the last of them, the zero byte that ends a
// record on a stream; how many of them went, or -1.
ssize_t sendStreamBytes(const char *bytes, size_t len, size_t sent)
{
    static char zero = '\0';
    struct iovec iov[2];
    int n = 0;
    if (sent < len)
        iov[n++] = {const_cast<char *>(bytes) + sent, len - sent};
    iov[n++] = {&zero, 1};
    struct msghdr msg = {};
    msg.msg_iov = iov;
    msg.msg_iovlen = static_cast<size_t>(n);
    return sendmsg(fd, &msg, MSG_NOSIGNAL);
}

LogState sendStream()
{
    while (q.head < q.count) {
        const Record &r = q.records[q.head];
        ssize_t sent = sendStreamBytes(q.arena + r.offset, r.len, q.headSent);
        if (sent >= 0) {
            took |= sent > 0;
            q.headSent += static_cast<size_t>(sent);
            if (q.headSent > r.len)
                logQueueAdvance(1);
            continue;
        }
        LogState s = failedSend();
        if (s != LOG_SENDING)
            return s;
    }
    return LOG_SENDING;
}

void enterConsole(gint64 now)
{
    state = LOG_CONSOLE;
    // A stream daemon that has part of the head record won't get its rest
    // in order: the console has it whole, before everything newer, and a
    // new connection starts on a record's boundary.
    if (stream && q.headSent > 0) {
        disconnect();
        nextTry = now + kRetryMs * G_GINT64_CONSTANT(1000);
    }
}

// The queue to the socket; in console mode only once it takes again.
void sendQueue(gint64 now)
{
    // After a failed connect or a lack of buffers, only the timer tries.
    if ((state == LOG_RETRY || state == LOG_CONSOLE) && now < nextTry)
        return;
    if (fd < 0) {
        if (!connectLog()) {
            nextTry = now + kRetryMs * G_GINT64_CONSTANT(1000);
            if (state == LOG_SENDING)
                refusedSince = now;
            if (state != LOG_CONSOLE)
                state = LOG_RETRY;
            return;
        }
    }
    took = false;
    LogState s = stream ? sendStream() : sendDatagrams();
    // The console keeps the messages until the log takes one.
    if (state == LOG_CONSOLE && !took)
        return;
    if (s == LOG_SENDING) {
        refusedSince = 0;
    } else {
        if (s == LOG_RETRY)
            nextTry = now + kRetryMs * G_GINT64_CONSTANT(1000);
        // Refusing is taking nothing: a log that takes slowly is waited for.
        if (took || state == LOG_SENDING || state == LOG_CONSOLE)
            refusedSince = now;
    }
    state = s;
}

} // namespace

void logWriterOpen(const char *ident, const char *path, int hold)
{
    logQueueOpen(ident, static_cast<int>(getpid()));
    (void)snprintf(socketPath, sizeof socketPath, "%s", path);
    holdMs = hold;
    consoleSetHold(hold);
}

void logWriterSetHold(int hold)
{
    // A refusal under way ends at the latest hold from now.
    const gint64 us = hold * G_GINT64_CONSTANT(1000);
    if (state == LOG_WAITING || state == LOG_RETRY)
        refusedSince = MIN(refusedSince + holdMs * G_GINT64_CONSTANT(1000), g_get_monotonic_time() + us) - us;
    holdMs = hold;
    consoleSetHold(hold);
}

void logWriterAdd(const char *message, size_t len, bool own)
{
    if (own && q.ownPending + 1 >= kOwnLimit) {
        leftOut++;
        return;
    }
    if (own && leftOut > 0) {
        addNote("lhr, Log refused, %u own lines left out", leftOut);
        leftOut = 0;
    }
    logQueueAdd(message, len, own);
}

void logWriterSend()
{
    gint64 now = g_get_monotonic_time();
    refusedLines += static_cast<unsigned>(consoleTakeLost());
    if (refusedLines > 0 && (state == LOG_SENDING || state == LOG_WAITING) && fd >= 0) {
        addNote("lhr, Log and console refused, %u lines of lhw left out", refusedLines);
        q.records[q.count - 1].noted = refusedLines;
        refusedLines = 0;
    }
    if (q.head < q.count)
        sendQueue(now);
    const gint64 limit = stopLimit(STOP_LOG);
    if (q.head < q.count && state != LOG_CONSOLE &&
        ((state != LOG_SENDING && now - refusedSince >= holdMs * G_GINT64_CONSTANT(1000)) ||
         (limit != 0 && now >= limit)))
        enterConsole(now);
    if (state == LOG_CONSOLE) {
        recordsToConsole(q.head, q.count);
        logQueueAdvance(q.count - q.head);
    }
    if (q.head == q.count)
        logQueueReset();
    // Back to the log: the console goes once it has what it was given.
    consoleFlush(state == LOG_CONSOLE);
}

LogState logWriterState()
{
    return state;
}

bool logWriterTakes()
{
    if (state == LOG_CONSOLE)
        return consoleTakes();
    // The runner's own lines queued don't hold the worker's back: they are
    // bounded apart.
    return q.count - q.head == q.ownPending;
}

bool logWriterIdle()
{
    return q.head == q.count && consoleIdle();
}

LogWait logWriterWait()
{
    LogWait w = {-1, consoleWaitFd(), 0};
    const bool pending = q.head < q.count;
    if (state == LOG_WAITING && pending)
        w.socketFd = fd;
    if (state == LOG_RETRY && pending)
        w.wakeAt = nextTry;
    if ((state == LOG_WAITING || state == LOG_RETRY) && pending) {
        gint64 holdEnd = refusedSince + holdMs * G_GINT64_CONSTANT(1000);
        w.wakeAt = w.wakeAt != 0 ? MIN(w.wakeAt, holdEnd) : holdEnd;
    }
    const gint64 limit = stopLimit(STOP_LOG);
    if (pending && state != LOG_CONSOLE && limit != 0)
        w.wakeAt = w.wakeAt != 0 ? MIN(w.wakeAt, limit) : limit;
    gint64 consoleEnd = consoleHoldEnd();
    if (consoleEnd != 0)
        w.wakeAt = w.wakeAt != 0 ? MIN(w.wakeAt, consoleEnd) : consoleEnd;
    return w;
}

int logWriterSocket()
{
    return fd;
}

size_t logWriterClose()
{
    // Closing is stopping, with or without a worker.
    stopLimitStart();
    for (;;) {
        logWriterSend();
        gint64 now = g_get_monotonic_time();
        const gint64 limit = stopLimit(STOP_LOG);
        if (q.head == q.count || state == LOG_CONSOLE || now >= limit)
            break;
        struct pollfd pfd = {fd, POLLOUT, 0};
        gint64 left = (limit - now) / 1000;
        // Writable again, or the next reconnect try.
        (void)poll(&pfd, state == LOG_WAITING ? 1 : 0, static_cast<int>(CLAMP(left, 0, 100)));
    }
    if (q.head < q.count)
        enterConsole(g_get_monotonic_time());
    disconnect();
    recordsToConsole(q.head, q.count);
    consoleClose();
    const size_t left = refusedLines + consoleTakeLost();
    refusedLines = 0;
    logQueueFree();
    state = LOG_SENDING;
    refusedSince = 0;
    return left;
}
