#include "sink.h"

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "open.h"
#include "records.h"

namespace {


const char *endOf(const Sink &s)
{
    return s.console ? "\r\n" : "\n";
}

size_t endLen(const Sink &s)
{
    return s.console ? 2 : 1;
}

// Where the part of a record this output writes begins.
inline size_t from(const Sink &s, const Record &r)
{
    return s.console ? r.console : r.message;
}

// What it writes of a record, the end included: nothing of a note of lost
// lines on the console, which is the log's alone.
inline size_t whole(const Sink &s, const Record &r)
{
    return s.console && r.noted != 0 ? 0 : r.len - from(s, r) + endLen(s);
}

// From the cursor on, at most most bytes: the end owed, then the records
// and their ends. Written whole, they leave the cursor at *next.
int gather(const Sink &s, struct iovec *iov, size_t most, size_t *all, Cursor *next)
{
    int n = 0;
    size_t total = 0;
    if (s.endOwed > 0) {
        iov[n++] = {const_cast<char *>(endOf(s) + endLen(s) - s.endOwed), s.endOwed};
        total = s.endOwed;
    }
    Cursor c = s.at;
    for (; c.seq < s.until && static_cast<size_t>(n) + 2 <= kGather && total < most; c = {c.seq + 1, 0}) {
        const Record &r = recordAt(c.seq);
        if (whole(s, r) == 0)
            continue;
        const size_t len = r.len - from(s, r);
        if (c.off < len) {
            iov[n++] = {const_cast<char *>(r.data + from(s, r) + c.off), len - c.off};
            total += len - c.off;
        }
        const size_t e = c.off > len ? c.off - len : 0;
        iov[n++] = {const_cast<char *>(endOf(s) + e), endLen(s) - e};
        total += endLen(s) - e;
    }
    *next = c;
    *all = total;
    // Cut to what may be written at once.
    while (total > most && n > 0) {
        const size_t over = MIN(total - most, iov[n - 1].iov_len);
        iov[n - 1].iov_len -= over;
        total -= over;
        if (iov[n - 1].iov_len == 0)
            n--;
    }
    return n;
}

void advance(Sink &s, size_t n)
{
    const size_t owed = MIN(n, s.endOwed);
    s.endOwed -= owed;
    n -= owed;
    while (s.at.seq < s.until) {
        const size_t rest = whole(s, recordAt(s.at.seq)) - s.at.off;
        if (n < rest) {
            s.at.off += n;
            return;
        }
        n -= rest;
        s.at = {s.at.seq + 1, 0};
    }
}

ssize_t writeSome(const Sink &s, const struct iovec *iov, int n)
{
    if (s.how == HOW_SOCKET) {
        struct msghdr msg = {};
        msg.msg_iov = const_cast<struct iovec *>(iov);
        msg.msg_iovlen = static_cast<size_t>(n);
        return sendmsg(s.fd, &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
    }
    if (s.how == HOW_POLLED) {
        struct pollfd pfd = {s.fd, POLLOUT, 0};
        int r = poll(&pfd, 1, 0);
        if (r <= 0) {
            if (r == 0)
                errno = EAGAIN;
            return -1;
        }
    }
    return writev(s.fd, iov, n);
}

// Leaves the record it began cut: its end is owed before anything else.
// Cut in its end, the record itself is whole and passed; else it goes back
// to whoever gave it.
void leaveCut(Sink &s)
{
    const Record &r = recordAt(s.at.seq);
    const size_t len = r.len - from(s, r);
    s.endOwed = s.at.off < len ? endLen(s) : whole(s, r) - s.at.off;
    s.at = {s.at.seq + (s.at.off < len ? 0 : 1), 0};
}

// Passes the records before to by; those of the log's it had on the
// console are counted as left out.
void skipTo(Sink &s, uint32_t to)
{
    if (s.at.off > 0)
        leaveCut(s);
    for (; s.at.seq < to; s.at.seq++) {
        if (s.console)
            countLeftOut(recordAt(s.at.seq));
    }
    s.until = MAX(s.until, s.at.seq);
}

// Gives back what it had not written whole.
void giveBack(Sink &s)
{
    if (s.at.off > 0)
        leaveCut(s);
    s.until = s.at.seq;
}

void closeFd(Sink &s)
{
    if (s.ownFd && s.fd >= 0)
        (void)close(s.fd);
    s.fd = -1;
    s.ownFd = false;
}

bool writable(const Sink &s)
{
    struct pollfd pfd = {s.fd, POLLOUT, 0};
    return poll(&pfd, 1, 0) == 1 && (pfd.revents & POLLOUT) != 0;
}

} // namespace

void sinkPush(Sink &s, gint64 now, Output o)
{
    if (s.state == SINK_GONE || s.state == SINK_SKIPPING) {
        skipTo(s, s.until);
        if (s.state == SINK_GONE || !writable(s))
            return;
        s.state = SINK_TAKES;
        s.since = 0;
    }
    bool wrote = false;
    struct iovec iov[kGather + 1];
    while (s.endOwed > 0 || s.at.seq < s.until) {
        size_t all;
        Cursor next;
        const int n = gather(s, iov, s.how == HOW_POLLED ? PIPE_BUF : SIZE_MAX, &all, &next);
        const ssize_t got = n > 0 ? writeSome(s, iov, n) : 0;
        if (got > 0 && static_cast<size_t>(got) == all) {
            s.endOwed = 0;
            s.at = next;
            wrote = true;
            continue;
        }
        if (got > 0) {
            advance(s, static_cast<size_t>(got));
            wrote = true;
            continue;
        }
        if (n == 0) {
            // Only notes the console doesn't show.
            advance(s, 0);
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // Refusing is taking nothing: a reader that takes slowly is
            // waited for.
            if (s.state == SINK_TAKES || wrote) {
                s.state = SINK_WAITING;
                s.since = now;
            }
            if (now >= holdEnd(s.since, o)) {
                s.state = SINK_SKIPPING;
                giveBack(s);
            }
            return;
        }
        // EPIPE: its reader is gone for good. Other failures (a full disk)
        // lose what standard output was given, as stdio would, and the next
        // write tries again; the console is opened again later.
        if ((got < 0 && errno == EPIPE) || s.console) {
            closeFd(s);
            s.state = SINK_GONE;
            giveBack(s);
            return;
        }
        skipTo(s, s.until);
        return;
    }
    s.state = SINK_TAKES;
    s.since = 0;
}

void sinkPassBy(Sink &s)
{
    skipTo(s, s.until);
}

bool sinkDone(const Sink &s)
{
    return s.at.seq >= s.until && s.endOwed == 0;
}

int sinkWaitFd(const Sink &s)
{
    return s.state == SINK_WAITING || s.state == SINK_SKIPPING ? s.fd : -1;
}

void sinkClose(Sink &s, const char *last)
{
    skipTo(s, s.until);
    // The end of a record left cut, so that what its reader gets next
    // doesn't join it; then the last line.
    const size_t lastLen = last != nullptr ? strlen(last) : 0;
    const struct iovec iov[] = {{const_cast<char *>(endOf(s) + endLen(s) - s.endOwed), s.endOwed},
                                {const_cast<char *>(last), lastLen},
                                {const_cast<char *>(endOf(s)), last != nullptr ? endLen(s) : 0}};
    struct pollfd pfd = {s.fd, POLLOUT, 0};
    // A pipe's last page may take it before poll says so.
    for (int tries = 0; s.endOwed + lastLen > 0 && s.fd >= 0 && tries < 2; tries++) {
        if (writeSome(s, iov, 3) >= 0 || errno != EAGAIN || poll(&pfd, 1, kLastWriteMs) != 1)
            break;
    }
    closeFd(s);
    s.state = SINK_GONE;
    s.endOwed = 0;
}
