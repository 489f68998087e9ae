#include "stream_out.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The runner's own lines beyond this are dropped; the worker's come only
// into an empty buffer, a pass at a time.
const size_t kBufferLimit = 128 * 1024;
// At the close, for the end of a record cut short and a last line: a slow
// serial console takes them at once, a pipe once its reader took a page.
const int kLastWriteMs = 250;

enum How {
    HOW_PLAIN,  // a write never blocks: a file, or a description of our own made non-blocking
    HOW_SOCKET, // a socket: each send asks not to block
    HOW_POLLED, // a shared pipe: a write no larger than what poll promises
};

ssize_t writeSome(const StreamOut *o, const char *p, size_t n)
{
    if (o->how == HOW_SOCKET)
        return send(o->fd, p, n, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (o->how == HOW_POLLED) {
        struct pollfd pfd = {o->fd, POLLOUT, 0};
        int r = poll(&pfd, 1, 0);
        if (r <= 0) {
            if (r == 0)
                errno = EAGAIN;
            return -1;
        }
        n = MIN(n, o->chunk);
    }
    return write(o->fd, p, n);
}

// The worker's records not yet written whole are left out.
void dropBuffer(StreamOut *o)
{
    size_t i = o->endCount;
    while (i > 0 && o->ends[i - 1] > o->off)
        i--;
    o->lost += o->endCount - i;
    o->endCount = 0;
    o->len = o->off = 0;
    // A burst's buffer is not kept for the quiet hours after it.
    if (o->cap > 65536) {
        g_free(o->buf);
        g_free(o->ends);
        o->buf = nullptr;
        o->ends = nullptr;
        o->cap = o->endCap = 0;
    }
}

void start(StreamOut *o, int fd, bool own, How how, size_t chunk, int holdMs)
{
    o->fd = fd;
    o->ownFd = own;
    o->how = how;
    o->chunk = chunk;
    o->state = OUT_TAKES;
    o->refusedSince = 0;
    o->holdMs = holdMs;
}

} // namespace

void streamOutOpenStdout(StreamOut *o, int holdMs)
{
    struct stat st;
    if (fstat(STDOUT_FILENO, &st) != 0) {
        o->state = OUT_GONE;
        return;
    }
    if (S_ISSOCK(st.st_mode)) {
        start(o, STDOUT_FILENO, false, HOW_SOCKET, 0, holdMs);
        return;
    }
    const bool tty = isatty(STDOUT_FILENO) == 1;
    o->state = OUT_GONE;
    if (!S_ISFIFO(st.st_mode) && !tty) {
        // A file or /dev/null: writes don't wait for a reader.
        start(o, STDOUT_FILENO, false, HOW_PLAIN, 0, holdMs);
        return;
    }
    // O_NONBLOCK on the inherited description would reach every process
    // that shares it: a description of our own carries it instead.
    int fd = open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    const char *name = fd < 0 && tty ? ttyname(STDOUT_FILENO) : nullptr;
    if (name != nullptr)
        fd = open(name, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
        start(o, fd, true, HOW_PLAIN, 0, holdMs);
        return;
    }
    // Not ours to open again (another user's pipe, no /proc): a pipe takes
    // PIPE_BUF bytes without blocking once it polls writable. A terminal
    // may block a write of any size, whatever poll says: it gets no echo.
    if (!tty)
        start(o, STDOUT_FILENO, false, HOW_POLLED, PIPE_BUF, holdMs);
}

bool streamOutOpenPath(StreamOut *o, const char *path, int holdMs)
{
    // Opened again after each time the log took back: a file standing for
    // the device must keep what it was given before.
    int fd = open(path, O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    start(o, fd, true, HOW_PLAIN, 0, holdMs);
    return true;
}

bool streamOutAddLine(StreamOut *o, const char *text, size_t len, const char *end, bool own)
{
    const size_t endLen = strlen(end);
    if (o->state == OUT_GONE || o->state == OUT_DROPPING || (own && o->len - o->off + len + endLen > kBufferLimit))
        return false;
    o->end = end;
    if (o->len + len + endLen > o->cap) {
        o->cap = MAX(o->cap * 2, MAX(o->len + len + endLen, 4096));
        o->buf = static_cast<char *>(g_realloc(o->buf, o->cap));
    }
    memcpy(o->buf + o->len, text, len);
    memcpy(o->buf + o->len + len, end, endLen);
    o->len += len + endLen;
    if (!own) {
        if (o->endCount == o->endCap) {
            o->endCap = MAX(o->endCap * 2, 64);
            o->ends = static_cast<size_t *>(g_realloc_n(o->ends, o->endCap, sizeof *o->ends));
        }
        o->ends[o->endCount++] = o->len;
    }
    return true;
}

void streamOutFlush(StreamOut *o)
{
    if (o->state == OUT_GONE) {
        dropBuffer(o);
        return;
    }
    bool wrote = false;
    while (o->off < o->len) {
        ssize_t n = writeSome(o, o->buf + o->off, o->len - o->off);
        if (n > 0) {
            o->off += static_cast<size_t>(n);
            wrote = true;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            gint64 now = g_get_monotonic_time();
            // Refusing is taking nothing: a reader that takes slowly is
            // waited for.
            if (o->state == OUT_TAKES || wrote) {
                o->state = OUT_WAITING;
                o->refusedSince = now;
            }
            if (o->state == OUT_WAITING && now >= streamOutHoldEnd(o))
                o->state = OUT_DROPPING;
            return;
        }
        // EPIPE: the reader is gone for good. Other failures (a full disk)
        // lose what was written, as stdio would, and the next write tries
        // again.
        if (n < 0 && errno == EPIPE) {
            o->state = OUT_GONE;
            if (o->ownFd)
                (void)close(o->fd);
            o->fd = -1;
            o->ownFd = false;
        }
        break;
    }
    dropBuffer(o);
    if (o->state != OUT_GONE) {
        o->state = OUT_TAKES;
        o->refusedSince = 0;
    }
}

bool streamOutTakes(const StreamOut *o)
{
    return o->state == OUT_GONE || o->state == OUT_DROPPING || o->off == o->len;
}

bool streamOutIdle(const StreamOut *o)
{
    return o->off == o->len || o->state != OUT_WAITING;
}

int streamOutWaitFd(const StreamOut *o)
{
    return o->state == OUT_WAITING || o->state == OUT_DROPPING ? o->fd : -1;
}

gint64 streamOutHoldEnd(const StreamOut *o)
{
    if (o->state != OUT_WAITING)
        return 0;
    const gint64 end = o->refusedSince + o->holdMs * G_GINT64_CONSTANT(1000);
    const gint64 limit = stopLimit(o->role);
    return limit != 0 ? MIN(end, limit) : end;
}

void streamOutClose(StreamOut *o, const char *last)
{
    streamOutFlush(o);
    while (o->state == OUT_WAITING) {
        gint64 left = (streamOutHoldEnd(o) - g_get_monotonic_time()) / 1000;
        struct pollfd pfd = {o->fd, POLLOUT, 0};
        (void)poll(&pfd, 1, static_cast<int>(CLAMP(left, 0, 100)));
        streamOutFlush(o);
    }
    // A record cut short gets its end, so that what the reader gets next
    // doesn't join it; then the last line.
    char tail[160];
    size_t n = 0;
    if (o->end != nullptr) {
        const size_t endLen = strlen(o->end);
        if (o->off > 0 && o->off < o->len && memcmp(o->buf + o->off - MIN(o->off, endLen), o->end, endLen) != 0)
            n = g_strlcpy(tail, o->end, sizeof tail);
    }
    if (last != nullptr)
        n += static_cast<size_t>(snprintf(tail + n, sizeof tail - n, "%s%s", last, o->end != nullptr ? o->end : "\n"));
    n = MIN(n, sizeof tail - 1);
    struct pollfd pfd = {o->fd, POLLOUT, 0};
    // A pipe's last page may take it before poll says so.
    for (int tries = 0; n > 0 && o->fd >= 0 && tries < 2; tries++) {
        if (writeSome(o, tail, n) >= 0 || errno != EAGAIN || poll(&pfd, 1, kLastWriteMs) != 1)
            break;
    }
    dropBuffer(o);
    g_free(o->buf);
    g_free(o->ends);
    o->buf = nullptr;
    o->ends = nullptr;
    o->len = o->off = o->cap = o->endCap = 0;
    if (o->ownFd && o->fd >= 0)
        (void)close(o->fd);
    o->fd = -1;
    o->ownFd = false;
    o->state = OUT_GONE;
}
