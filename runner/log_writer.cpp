#include "log_writer.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <glib.h>

namespace {

struct Record {
    size_t offset;  // in the arena
    size_t len;     // the whole datagram
    size_t consoleOffset; // where "ident[pid]: " begins: the console's part
};

char identity[64];
char socketPath[sizeof(sockaddr_un::sun_path)];
int pid;
int fd = -1;
bool stream = false;

// The queue: the datagrams one after the other in the arena, and where
// each lies. Plain GLib memory: the runner does without the C++ library.
char *arena = nullptr;
size_t arenaLen = 0, arenaCap = 0;
Record *records = nullptr;
size_t recordCount = 0, recordCap = 0;
size_t head = 0;     // first record not yet sent
size_t headSent = 0; // bytes of it sent already (stream sockets only)

// "<14>Mmm dd hh:mm:ss ident[pid]: ", made again only when the second changes.
char header[160];
size_t headerLen = 0, headerConsole = 0;
time_t headerSecond = -1;

const size_t kBatch = 64;

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

void disconnect()
{
    if (fd >= 0)
        (void)close(fd);
    fd = -1;
    // The daemon that saw part of the head record is gone: send it whole.
    headSent = 0;
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

// Records [from, to) to the console, in the console's form of syslog(3).
void toConsole(size_t from, size_t to)
{
    int console = open("/dev/console", O_WRONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (console < 0)
        return;
    for (size_t i = from; i < to; i++) {
        const Record &r = records[i];
        struct iovec iov[2] = {
            {arena + r.offset + r.consoleOffset, r.len - r.consoleOffset},
            {const_cast<char *>("\r\n"), 2},
        };
        (void)!writev(console, iov, 2);
    }
    (void)close(console);
}

// After a send failed: how the log stands, or true to go on sending.
bool failedSend(LogState *state)
{
    if (errno == EINTR)
        return true;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) {
        *state = LOG_WAITING;
        return false;
    }
    if (errno == EMSGSIZE) {
        // No log takes it: to the console, as syslog(3) would.
        toConsole(head, head + 1);
        head++;
        headSent = 0;
        return true;
    }
    // The daemon is gone (ECONNREFUSED, ENOTCONN, ...): reconnect later.
    disconnect();
    *state = LOG_DOWN;
    return false;
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
            head += static_cast<size_t>(sent);
            // A short count: the next one would not go; its reason shows
            // when the socket is writable again.
            if (static_cast<size_t>(sent) < n)
                return LOG_WAITING;
            continue;
        }
        LogState state = LOG_SENT;
        if (!failedSend(&state))
            return state;
    }
    return LOG_SENT;
}

LogState sendStream()
{
    static char zero = '\0';
    while (head < recordCount) {
        const Record &r = records[head];
        // syslog(3) ends each message with its zero byte on a stream.
        struct iovec iov[2];
        int n = 0;
        if (headSent < r.len)
            iov[n++] = {arena + r.offset + headSent, r.len - headSent};
        iov[n++] = {&zero, 1};
        struct msghdr msg = {};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<size_t>(n);
        ssize_t sent = sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (sent >= 0) {
            headSent += static_cast<size_t>(sent);
            if (headSent > r.len) {
                head++;
                headSent = 0;
            }
            continue;
        }
        LogState state = LOG_SENT;
        if (!failedSend(&state))
            return state;
    }
    return LOG_SENT;
}

} // namespace

void logWriterOpen(const char *ident, const char *path)
{
    (void)snprintf(identity, sizeof identity, "%s", ident);
    (void)snprintf(socketPath, sizeof socketPath, "%s", path);
    pid = static_cast<int>(getpid());
    headerSecond = -1;
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

LogState logWriterSend()
{
    if (head == recordCount) {
        resetQueue();
        return LOG_SENT;
    }
    if (fd < 0 && !connectLog())
        return LOG_DOWN;
    LogState state = stream ? sendStream() : sendDatagrams();
    if (state == LOG_SENT)
        resetQueue();
    return state;
}

int logWriterFd()
{
    return fd;
}

size_t logWriterPending()
{
    return recordCount - head;
}

void logWriterToConsole()
{
    toConsole(head, recordCount);
    resetQueue();
}

void logWriterClose(int timeoutMs)
{
    gint64 deadline = g_get_monotonic_time() / 1000 + timeoutMs;
    for (;;) {
        LogState state = logWriterSend();
        gint64 left = deadline - g_get_monotonic_time() / 1000;
        if (state == LOG_SENT || left <= 0)
            break;
        struct pollfd pfd = {fd, POLLOUT, 0};
        // Writable again, or the next reconnect try.
        (void)poll(&pfd, state == LOG_WAITING ? 1 : 0, left < 100 ? static_cast<int>(left) : 100);
    }
    if (logWriterPending() > 0)
        logWriterToConsole();
    disconnect();
    g_free(arena);
    g_free(records);
    arena = nullptr;
    records = nullptr;
    arenaCap = recordCap = 0;
}
