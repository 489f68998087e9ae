#include "log_writer.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "stream_out.h"

namespace {

struct Record {
    size_t offset;        // in the arena
    size_t len;           // the whole datagram
    size_t consoleOffset; // where "ident[pid]: " begins: the console's part
};

const int kRetryMs = 250; // reconnect tries while the log is gone
const size_t kBatch = 64;

char identity[64];
char socketPath[sizeof(sockaddr_un::sun_path)];
int pid;
int fd = -1;
bool stream = false;

LogState state = LOG_SENDING;
int holdMs = 0;
gint64 refusedSince = 0; // monotonic us; 0 while the log takes
gint64 nextTry = 0;      // LOG_RETRY: the next try

// The queue: the datagrams one after the other in the arena, and where
// each lies. Plain GLib memory: the runner does without the C++ library.
char *arena = nullptr;
size_t arenaLen = 0, arenaCap = 0;
Record *records = nullptr;
size_t recordCount = 0, recordCap = 0;
size_t head = 0;     // first record not yet sent
size_t headSent = 0; // bytes of it sent already (stream sockets only)

// A stream record cut by a partial send when the console took over: the
// daemon has its start, so its rest (and its zero byte) goes before
// anything else on that connection.
char *cut = nullptr;
size_t cutLen = 0, cutSent = 0, cutConsole = 0;
bool took = false; // the last send put something on the socket

StreamOut console;

// "<14>Mmm dd hh:mm:ss ident[pid]: ", made again only when the second changes.
char header[160];
size_t headerLen = 0, headerConsole = 0;
time_t headerSecond = -1;

void stampHeader()
{
    time_t now = time(nullptr);
    if (now == headerSecond)
        return;
    headerSecond = now;
    struct tm tm;
    char stamp[32] = "";
    if (localtime_r(&now, &tm) != nullptr)
        (void)strftime(stamp, sizeof stamp, "%h %e %T", &tm);
    int prefix = snprintf(header, sizeof header, "<%d>%s ", LOG_USER | LOG_INFO, stamp);
    int rest = snprintf(header + prefix, sizeof header - static_cast<size_t>(prefix), "%s[%d]: ", identity, pid);
    headerConsole = static_cast<size_t>(prefix);
    headerLen = static_cast<size_t>(prefix + rest);
}

void resetQueue()
{
    arenaLen = 0;
    recordCount = 0;
    head = 0;
    headSent = 0;
    // A flood's queue is not kept for the quiet hours after it.
    if (arenaCap > 65536) {
        g_free(arena);
        g_free(records);
        arena = nullptr;
        records = nullptr;
        arenaCap = recordCap = 0;
    }
}

void append(const char *bytes, size_t len)
{
    if (arenaLen + len > arenaCap) {
        arenaCap = MAX(arenaCap * 2, MAX(arenaLen + len, 4096));
        arena = static_cast<char *>(g_realloc(arena, arenaCap));
    }
    memcpy(arena + arenaLen, bytes, len);
    arenaLen += len;
}

// Bytes to the console, in the console's form of syslog(3); dropped when
// there is no console, as syslog(3) drops them.
void toConsole(const char *line, size_t len)
{
    if (console.state == OUT_GONE && !streamOutOpenPath(&console, "/dev/console", holdMs))
        return;
    streamOutAdd(&console, line, len);
    streamOutAdd(&console, "\r\n", 2);
}

void recordsToConsole(size_t from, size_t to)
{
    for (size_t i = from; i < to; i++) {
        const Record &r = records[i];
        toConsole(arena + r.offset + r.consoleOffset, r.len - r.consoleOffset);
    }
}

void dropCut()
{
    g_free(cut);
    cut = nullptr;
    cutLen = cutSent = 0;
}

void disconnect()
{
    if (fd >= 0)
        (void)close(fd);
    fd = -1;
    // The daemon that saw part of the head record is gone: send it whole.
    headSent = 0;
    // A cut record's connection is gone with its start: the console has
    // it whole.
    if (cut != nullptr) {
        toConsole(cut + cutConsole, cutLen - 1 - cutConsole);
        dropCut();
    }
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
        recordsToConsole(head, head + 1);
        head++;
        headSent = 0;
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
    while (head < recordCount) {
        size_t n = MIN(recordCount - head, kBatch);
        for (size_t i = 0; i < n; i++) {
            const Record &r = records[head + i];
            iov[i].iov_base = arena + r.offset;
            iov[i].iov_len = r.len;
            memset(&msgs[i], 0, sizeof msgs[i]);
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        int sent = sendmmsg(fd, msgs, static_cast<unsigned>(n), MSG_NOSIGNAL);
        if (sent > 0) {
            took = true;
            head += static_cast<size_t>(sent);
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
    while (head < recordCount) {
        const Record &r = records[head];
        ssize_t sent = sendStreamBytes(arena + r.offset, r.len, headSent);
        if (sent >= 0) {
            took |= sent > 0;
            headSent += static_cast<size_t>(sent);
            if (headSent > r.len) {
                head++;
                headSent = 0;
            }
            continue;
        }
        LogState s = failedSend();
        if (s != LOG_SENDING)
            return s;
    }
    return LOG_SENDING;
}

// The rest of a cut record; true once it is finished.
bool finishCut()
{
    while (fd >= 0 && cut != nullptr) {
        ssize_t sent = sendStreamBytes(cut, cutLen - 1, cutSent);
        if (sent >= 0) {
            took |= sent > 0;
            cutSent += static_cast<size_t>(sent);
            if (cutSent >= cutLen)
                dropCut();
            continue;
        }
        if (failedSend() != LOG_SENDING)
            return false;
    }
    return fd >= 0 && cut == nullptr;
}

void enterConsole()
{
    state = LOG_CONSOLE;
    if (stream && headSent > 0 && head < recordCount) {
        const Record &r = records[head];
        cutLen = r.len + 1;
        cut = static_cast<char *>(g_malloc(cutLen));
        memcpy(cut, arena + r.offset, r.len);
        cut[r.len] = '\0';
        cutSent = headSent;
        cutConsole = r.consoleOffset;
        head++;
        headSent = 0;
    }
}

// The queue to the socket; in console mode only once it takes again.
void sendQueue(gint64 now)
{
    if (state == LOG_RETRY && now < nextTry)
        return;
    if (fd < 0) {
        if (state == LOG_CONSOLE && now < nextTry)
            return;
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
    if (state == LOG_CONSOLE && !finishCut())
        return;
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
    (void)snprintf(identity, sizeof identity, "%s", ident);
    (void)snprintf(socketPath, sizeof socketPath, "%s", path);
    pid = static_cast<int>(getpid());
    headerSecond = -1;
    holdMs = hold;
}

void logWriterSetHold(int hold)
{
    // A refusal under way ends at the latest hold from now.
    const gint64 us = hold * G_GINT64_CONSTANT(1000);
    if (state == LOG_WAITING || state == LOG_RETRY)
        refusedSince = MIN(refusedSince + holdMs * G_GINT64_CONSTANT(1000), g_get_monotonic_time() + us) - us;
    holdMs = hold;
    streamOutSetHold(&console, hold);
}

void logWriterAdd(const char *message, size_t len)
{
    stampHeader();
    if (recordCount == recordCap) {
        recordCap = MAX(recordCap * 2, 64);
        records = static_cast<Record *>(g_realloc_n(records, recordCap, sizeof *records));
    }
    records[recordCount++] = {arenaLen, headerLen + len, headerConsole};
    append(header, headerLen);
    append(message, len);
}

void logWriterSend()
{
    gint64 now = g_get_monotonic_time();
    if (head < recordCount || cut != nullptr)
        sendQueue(now);
    if ((state == LOG_WAITING || state == LOG_RETRY) && now - refusedSince >= holdMs * G_GINT64_CONSTANT(1000))
        enterConsole();
    if (state == LOG_CONSOLE) {
        recordsToConsole(head, recordCount);
        head = recordCount;
    }
    if (head == recordCount)
        resetQueue();
    if (console.state != OUT_GONE) {
        streamOutFlush(&console);
        // Back to the log, once the console has what it was given.
        if (state != LOG_CONSOLE && console.off == console.len)
            streamOutClose(&console);
    }
}

LogState logWriterState()
{
    return state;
}

bool logWriterTakes()
{
    if (state == LOG_CONSOLE)
        return streamOutTakes(&console);
    return state == LOG_SENDING && head == recordCount;
}

LogWait logWriterWait()
{
    LogWait w = {-1, streamOutWaitFd(&console), 0};
    if (state == LOG_WAITING || (state == LOG_CONSOLE && cut != nullptr))
        w.socketFd = fd;
    if (state == LOG_RETRY)
        w.wakeAt = nextTry;
    if (state == LOG_WAITING || state == LOG_RETRY) {
        gint64 holdEnd = refusedSince + holdMs * G_GINT64_CONSTANT(1000);
        w.wakeAt = w.wakeAt != 0 ? MIN(w.wakeAt, holdEnd) : holdEnd;
    }
    gint64 consoleEnd = streamOutHoldEnd(&console);
    if (consoleEnd != 0)
        w.wakeAt = w.wakeAt != 0 ? MIN(w.wakeAt, consoleEnd) : consoleEnd;
    return w;
}

int logWriterSocket()
{
    return fd;
}

void logWriterClose(int timeoutMs)
{
    gint64 deadline = g_get_monotonic_time() + timeoutMs * G_GINT64_CONSTANT(1000);
    for (;;) {
        logWriterSend();
        gint64 now = g_get_monotonic_time();
        if ((head == recordCount && cut == nullptr) || state == LOG_CONSOLE || now >= deadline)
            break;
        struct pollfd pfd = {fd, POLLOUT, 0};
        gint64 left = (deadline - now) / 1000;
        // Writable again, or the next reconnect try.
        (void)poll(&pfd, state == LOG_WAITING ? 1 : 0, static_cast<int>(CLAMP(left, 0, 100)));
    }
    if (head < recordCount || cut != nullptr) {
        enterConsole();
        recordsToConsole(head, recordCount);
    }
    disconnect();
    streamOutClose(&console);
    g_free(arena);
    g_free(records);
    arena = nullptr;
    records = nullptr;
    arenaLen = arenaCap = recordCount = recordCap = head = headSent = 0;
    state = LOG_SENDING;
    refusedSince = 0;
}
