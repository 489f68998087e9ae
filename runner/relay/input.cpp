#include "input.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "limits.h"
#include "records.h"

namespace {

char buf[kInputBytes];
size_t pos = 0, len = 0; // what was read and is not yet in the records
bool ended = false;      // the pipe's end was read

enum Read { READ_GOT, READ_NONE, READ_END };

Read readMore(int fd)
{
    if (pos == len)
        pos = len = 0;
    // A piece waiting for its rest moves to the front when the rest might
    // not fit after it.
    if (len + kPieceMax > sizeof buf) {
        memmove(buf, buf + pos, len - pos);
        len -= pos;
        pos = 0;
    }
    for (;;) {
        ssize_t n = read(fd, buf + len, sizeof buf - len);
        if (n > 0) {
            len += static_cast<size_t>(n);
            return READ_GOT;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return READ_NONE;
        // The end, or a pipe that can't be read any more.
        return READ_END;
    }
}

// One record of the n bytes at pos; false when there is no room for it.
bool emit(size_t n)
{
    const char *src = buf + pos;
    size_t zeros = 0;
    for (const char *z = src; (z = static_cast<const char *>(memchr(z, '\0', n - (z - src)))) != nullptr; z++)
        zeros++;
    char *dst = recordsBegin(3 + n + 3 * zeros);
    if (dst == nullptr)
        return false;
    memcpy(dst, "W: ", 3);
    size_t out = 3;
    if (zeros == 0) {
        memcpy(dst + out, src, n);
        out += n;
    } else {
        // A zero byte would end the message there: "#000", as syslog
        // daemons show control characters, and the line goes on.
        for (size_t i = 0; i < n; i++) {
            if (src[i] == '\0') {
                memcpy(dst + out, "#000", 4);
                out += 4;
            } else {
                dst[out++] = src[i];
            }
        }
    }
    recordsCommit(out);
    pos += n;
    return true;
}

} // namespace

Pass inputPass(int fd)
{
    Pass p = {PASS_EMPTY, 0, 0};
    size_t bytes = 0;
    for (;;) {
        if (p.pieces == kPassLines || bytes >= kPassBytes) {
            p.end = PASS_BOUND;
            return p;
        }
        const size_t avail = len - pos;
        const char *nl = static_cast<const char *>(memchr(buf + pos, '\n', MIN(avail, kPieceMax)));
        size_t n = nl != nullptr ? static_cast<size_t>(nl - (buf + pos)) + 1 : avail >= kPieceMax ? kPieceMax : 0;
        // At the end, a piece cut short goes as it is.
        if (n == 0 && ended)
            n = avail;
        if (n > 0) {
            if (!emit(n)) {
                p.end = PASS_FULL;
                return p;
            }
            p.took += n;
            p.pieces++;
            bytes += n;
            continue;
        }
        if (ended) {
            p.end = PASS_END;
            return p;
        }
        const Read r = readMore(fd);
        if (r == READ_NONE)
            return p;
        ended = r == READ_END;
    }
}

size_t inputCut()
{
    const size_t n = len - pos;
    if (n == 0 || n >= kPieceMax || memchr(buf + pos, '\n', n) != nullptr)
        return 0;
    return emit(n) ? n : 0;
}

size_t inputHeld()
{
    return len - pos;
}

bool inputPieceWaits()
{
    return len > pos && !ended;
}
