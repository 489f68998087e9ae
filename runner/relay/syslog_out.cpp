#include "syslog_out.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "limits.h"
#include "open.h"
#include "records.h"
#include "sink.h"
#include "state.h"

namespace {

char socketPath[sizeof(sockaddr_un::sun_path)];
bool took = false; // the last try put something on the socket

void disconnect()
{
    if (R.log.fd >= 0)
        (void)close(R.log.fd);
    R.log.fd = -1;
    // The daemon that saw part of a record is gone: the record goes whole.
    R.log.at.off = 0;
}

// The log's cursor moves on: a note passed by returns its count; records
// left out (not the console's) are counted.
void moveTo(uint32_t seq, bool left)
{
    for (; R.log.at.seq < seq; R.log.at = {R.log.at.seq + 1, 0}) {
        const Record &r = recordAt(R.log.at.seq);
        (r.ownNoted ? R.ownLeftOut : R.refused) += r.noted;
        if (left)
            countLeftOut(r);
    }
}

// A record no log takes goes to the console, as syslog(3) would send it,
// when the console's share ends right before it; else it is left out.
void tooLarge()
{
    Sink &c = R.console;
    const uint32_t seq = R.log.at.seq;
    if (c.state == SINK_GONE && !sinkHolds(c) && sinkOpenPath(c, "/dev/console"))
        c.at = {c.until = seq, 0};
    const bool next = c.until == seq && c.state != SINK_GONE;
    c.until += next;
    moveTo(seq + 1, !next);
}

// After a send failed: the state it leaves, or LOG_SENDING to go on.
LogState failedSend()
{
    R.log.full = false;
    if (errno == EINTR)
        return LOG_SENDING;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
        R.log.full = true;
        return LOG_WAITING;
    }
    // No buffers: the socket may well poll writable meanwhile, so a timer
    // brings the next try.
    if (errno == ENOBUFS)
        return LOG_RETRY;
    if (errno == EMSGSIZE) {
        tooLarge();
        return LOG_SENDING;
    }
    // The daemon is gone (ECONNREFUSED, ENOTCONN, ...): reconnect later.
    disconnect();
    return LOG_RETRY;
}

// A full daemon takes a few datagrams a call: the headers made for the
// rest are kept for the next call (the log's cursor only goes up, and a
// record stays as it is until every cursor has passed it).
LogState sendDatagrams()
{
    static struct mmsghdr msgs[kBatch];
    static struct iovec iov[kBatch];
    LogOut &log = R.log;
    const uint32_t head = recordsHead();
    while (log.at.seq < head) {
        if (log.at.seq < log.madeFrom || log.at.seq >= log.madeTo)
            log.madeFrom = log.madeTo = log.at.seq;
        for (; log.madeTo < head && log.madeTo - log.madeFrom < kBatch; log.madeTo++) {
            const Record &r = recordAt(log.madeTo);
            const size_t i = log.madeTo - log.madeFrom;
            iov[i] = {const_cast<char *>(r.data), r.len};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        const size_t n = log.madeTo - log.at.seq;
        int sent = sendmmsg(log.fd, msgs + (log.at.seq - log.madeFrom), static_cast<unsigned>(n), MSG_NOSIGNAL);
        if (sent > 0) {
            took = true;
            log.at.seq += static_cast<unsigned>(sent);
            // A short count: the next one would not go; its reason shows
            // when the socket is writable again.
            if (static_cast<size_t>(sent) < n) {
                log.full = true;
                return LOG_WAITING;
            }
            continue;
        }
        LogState s = failedSend();
        if (s != LOG_SENDING)
            return s;
    }
    return LOG_SENDING;
}

// A record and the zero byte after it, which ends it on a stream.
LogState sendStream()
{
    const uint32_t head = recordsHead();
    while (R.log.at.seq < head) {
        const Record &r = recordAt(R.log.at.seq);
        const ssize_t sent = send(R.log.fd, r.data + R.log.at.off, r.len + 1 - R.log.at.off, MSG_NOSIGNAL);
        if (sent >= 0) {
            took |= sent > 0;
            R.log.at.off += static_cast<size_t>(sent);
            if (R.log.at.off > r.len)
                R.log.at = {R.log.at.seq + 1, 0};
            continue;
        }
        LogState s = failedSend();
        if (s != LOG_SENDING)
            return s;
    }
    return LOG_SENDING;
}

void trySocket(gint64 now)
{
    LogOut &log = R.log;
    if ((log.state == LOG_RETRY || (log.state == LOG_CONSOLE && !R.log.full)) && now < log.retryAt)
        return;
    // Full: only its writability brings the next try.
    if (R.log.full && log.fd >= 0)
        return;
    if (log.fd < 0 && !logConnect(socketPath)) {
        log.retryAt = now + ms(kRetryMs);
        if (log.state == LOG_SENDING)
            log.since = now;
        if (log.state != LOG_CONSOLE)
            log.state = LOG_RETRY;
        return;
    }
    took = false;
    // Should the socket take again, the console ends with what it began,
    // and a record too large for the socket is the console's only right
    // after that.
    const uint32_t given = R.console.until;
    if (log.state == LOG_CONSOLE)
        R.console.until = MIN(given, log.at.seq);
    LogState s = log.stream ? sendStream() : sendDatagrams();
    if (s == LOG_RETRY)
        log.retryAt = now + ms(kRetryMs);
    // The console keeps the records until the log takes one.
    if (log.state == LOG_CONSOLE && !took) {
        R.console.until = MAX(R.console.until, given);
        return;
    }
    // Refusing is taking nothing: a log that takes slowly is waited for.
    if (s == LOG_SENDING)
        log.since = 0;
    else if (took || log.state == LOG_SENDING || log.state == LOG_CONSOLE)
        log.since = now;
    log.state = s;
}

void enterConsole(gint64 now)
{
    R.log.state = LOG_CONSOLE;
    // A stream daemon that has part of a record won't get its rest in
    // order: the console has it whole, before everything newer, and a new
    // connection starts on a record's boundary.
    if (R.log.stream && R.log.at.off > 0) {
        disconnect();
        R.log.full = false;
        R.log.retryAt = now + ms(kRetryMs);
    }
}

// What the console gives back that the log has passed is left out.
void pushConsole(gint64 now)
{
    const uint32_t given = R.console.until;
    sinkPush(R.console, now, OUT_CONSOLE);
    for (uint32_t seq = R.console.until; seq < MIN(given, R.log.at.seq); seq++)
        countLeftOut(recordAt(seq));
}

// The console writes the log's records; each it begins is its own.
void toConsole(gint64 now)
{
    Sink &c = R.console;
    // One gone in a record is opened again too: the record's end goes first.
    if (c.state == SINK_GONE && !sinkHolds(c) && now >= R.consoleOpenAt)
        (void)sinkOpenPath(c, "/dev/console");
    for (int round = 0; round < 2; round++) {
        // Once it has what it began before, it goes on where the log is.
        if (sinkDone(c) && c.until < R.log.at.seq)
            c.at = {c.until = R.log.at.seq, 0};
        if (consoleTakes() && c.until == R.log.at.seq)
            c.until = recordsHead();
        pushConsole(now);
        moveTo(MAX(R.log.at.seq, c.at.seq + (c.at.off > 0 ? 1 : 0)), false);
        // Writable again: what waited follows at once.
        if (c.state != SINK_TAKES || c.until == recordsHead())
            break;
    }
    // One that could not be opened, or failed a write, is opened again a
    // second later at the soonest.
    if (c.state == SINK_GONE && now >= R.consoleOpenAt)
        R.consoleOpenAt = now + ms(kConsoleRetryMs);
}

// A note of count lines left out, for the log: the count starts again
// once it is queued, and the note carries it, should the log refuse the
// note too.
void note(unsigned *count, const char *format)
{
    if (*count == 0)
        return;
    char text[80];
    int n = snprintf(text, sizeof text, format, *count);
    if (recordsAddOwn(text, static_cast<size_t>(n), *count, count == &R.ownLeftOut))
        *count = 0;
}

} // namespace

void logOpen(const char *path)
{
    (void)snprintf(socketPath, sizeof socketPath, "%s", path);
}

void logPush(gint64 now)
{
    LogOut &log = R.log;
    // The counts of what was left out, once the log takes again.
    if (log.fd >= 0 && (log.state == LOG_SENDING || log.state == LOG_WAITING)) {
        note(&R.ownLeftOut, "lhr, Log refused, %u own lines left out");
        note(&R.refused, "lhr, Log and console refused, %u lines of lhw left out");
    }
    if (log.at.seq < recordsHead())
        trySocket(now);
    const gint64 limit = stopLimit(OUT_LOG);
    if (log.at.seq < recordsHead() && log.state != LOG_CONSOLE &&
        ((log.since != 0 && now >= holdEnd(log.since, OUT_LOG)) || (limit != 0 && now >= limit)))
        enterConsole(now);
    if (log.state == LOG_CONSOLE) {
        toConsole(now);
        // Past the log's limit, what no console takes is what the bound cuts.
        if (limit != 0 && now >= limit && !consoleTakes())
            logLeaveOut(recordsHead());
        return;
    }
    // What the console was given as too large, it finishes.
    pushConsole(now);
    if (R.console.state != SINK_GONE && sinkDone(R.console))
        sinkClose(R.console, nullptr);
}

bool logDone()
{
    // A console gone can't be given the end it owes.
    const Sink &c = R.console;
    return R.log.at.seq == recordsHead() && (sinkDone(c) || (c.state == SINK_GONE && !sinkHolds(c)));
}

void logLeaveOut(uint32_t upTo)
{
    moveTo(upTo, true);
}

int logWaitFd()
{
    return R.log.full && (R.log.state == LOG_WAITING || R.log.state == LOG_CONSOLE) ? R.log.fd : -1;
}

unsigned logClose()
{
    disconnect();
    // The console's share ends where the log's began. A note still waiting
    // returns the count it carried.
    R.console.until = MIN(R.console.until, R.log.at.seq);
    sinkClose(R.console, nullptr);
    moveTo(recordsHead(), true);
    const unsigned left = R.refused + R.ownLeftOut;
    R.refused = R.ownLeftOut = 0;
    R.log = LogOut();
    return left;
}
