#include "log_queue.h"

#include <stdio.h>
#include <string.h>
#include <syslog.h>
#include <time.h>

#include <glib.h>

LogQueue q;

namespace {

char identity[64];
int pid;

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

void append(const char *bytes, size_t len)
{
    if (q.arenaLen + len > q.arenaCap) {
        q.arenaCap = MAX(q.arenaCap * 2, MAX(q.arenaLen + len, 4096));
        q.arena = static_cast<char *>(g_realloc(q.arena, q.arenaCap));
    }
    memcpy(q.arena + q.arenaLen, bytes, len);
    q.arenaLen += len;
}

} // namespace

void logQueueOpen(const char *ident, int p)
{
    (void)snprintf(identity, sizeof identity, "%s", ident);
    pid = p;
    headerSecond = -1;
}

void logQueueAdd(const char *message, size_t len, bool own)
{
    stampHeader();
    if (q.count == q.cap) {
        q.cap = MAX(q.cap * 2, 64);
        q.records = static_cast<Record *>(g_realloc_n(q.records, q.cap, sizeof *q.records));
    }
    q.records[q.count++] = {q.arenaLen, headerLen + len, headerConsole, own, 0};
    q.ownPending += own;
    append(header, headerLen);
    append(message, len);
}

void logQueueAdvance(size_t n)
{
    for (size_t i = 0; i < n && q.head < q.count; i++)
        q.ownPending -= q.records[q.head++].own;
    q.headSent = 0;
}

void logQueueReset()
{
    q.arenaLen = 0;
    q.count = 0;
    q.head = 0;
    q.headSent = 0;
    q.ownPending = 0;
    // A flood's queue is not kept for the quiet hours after it.
    if (q.arenaCap > 65536)
        logQueueFree();
}

void logQueueFree()
{
    g_free(q.arena);
    g_free(q.records);
    q = LogQueue();
}
