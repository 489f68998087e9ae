#include "records.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#include <glib.h>

#include "limits.h"

Record *recordsRing = nullptr;

namespace {

const size_t kRing = kRecordsRing;
static_assert((kRing & (kRing - 1)) == 0, "a power of two");
Record *&ring = recordsRing;
uint32_t tail = 0, head = 0;
size_t own = 0;

// The arena is used as a circle whose records never wrap: one that
// doesn't fit at the end starts again at its front.
char *arena = nullptr;
size_t used = 0;      // where the oldest of the worker's records begins
size_t next = 0;      // where the next one goes
size_t wrapEnd = 0;   // after a wrap: where the records at the end stop
bool wrapped = false;
size_t workerKept = 0;
char *begun = nullptr;

char identity[64];
int pidNumber;

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
    // <14>: LOG_USER | LOG_INFO.
    const int n = snprintf(header, sizeof header, "<14>%s %s[%d]: ", stamp, identity, pidNumber);
    headerConsole = strlen(stamp) + 5;
    headerLen = static_cast<size_t>(n);
}

// Where a record of len bytes and the zero byte after it go in the
// arena, or nullptr.
char *place(size_t len)
{
    const size_t n = len + 1;
    if (!wrapped && kRecordsBytes - next >= n)
        return arena + next;
    if (!wrapped && used >= n)
        return arena;
    if (wrapped && used - next >= n)
        return arena + next;
    return nullptr;
}

void push(const Record &r)
{
    ring[head++ & (kRing - 1)] = r;
}

} // namespace

void recordsOpen(const char *ident, int pid)
{
    (void)snprintf(identity, sizeof identity, "%s", ident);
    pidNumber = pid;
    headerSecond = -1;
    // Pages not yet written cost no memory.
    if (ring == nullptr) {
        ring = static_cast<Record *>(g_malloc(kRing * sizeof *ring));
        arena = static_cast<char *>(g_malloc(kRecordsBytes));
    }
}

void recordsClose()
{
    recordsRelease(head);
    g_free(ring);
    g_free(arena);
    ring = nullptr;
    arena = nullptr;
}

uint32_t recordsHead()
{
    return head;
}

bool recordsRoomFor(size_t most)
{
    if (head - tail + kOwnMax >= kRing)
        return false;
    return place(headerLen + most) != nullptr;
}

bool recordsRoomForPass()
{
    return recordsRoomFor(kPassRoom);
}

char *recordsBegin(size_t most)
{
    if (!recordsRoomFor(most))
        return nullptr;
    stampHeader();
    begun = place(headerLen + most);
    if (begun == nullptr)
        return nullptr;
    memcpy(begun, header, headerLen);
    return begun + headerLen;
}

void recordsCommit(size_t len)
{
    const size_t n = headerLen + len;
    begun[n] = '\0';
    if (begun == arena && !wrapped && workerKept > 0) {
        wrapEnd = next;
        wrapped = true;
    }
    if (workerKept == 0)
        used = static_cast<size_t>(begun - arena);
    next = static_cast<size_t>(begun - arena) + n + 1;
    workerKept++;
    push({begun, static_cast<uint32_t>(n), static_cast<uint16_t>(headerConsole), static_cast<uint16_t>(headerLen), 0,
          false, false});
    begun = nullptr;
}

bool recordsAddOwn(const char *message, size_t len, unsigned noted, bool ownNoted)
{
    if (own >= kOwnMax || head - tail >= kRing)
        return false;
    stampHeader();
    len = MIN(len, kOwnBytesMax);
    char *data = static_cast<char *>(g_malloc(headerLen + len + 1));
    memcpy(data, header, headerLen);
    memcpy(data + headerLen, message, len);
    data[headerLen + len] = '\0';
    push({data, static_cast<uint32_t>(headerLen + len), static_cast<uint16_t>(headerConsole),
          static_cast<uint16_t>(headerLen), noted, true, ownNoted});
    own++;
    return true;
}

size_t recordsOwn()
{
    return own;
}

void recordsRelease(uint32_t upTo)
{
    for (; tail < upTo && tail < head; tail++) {
        Record &r = ring[tail & (kRing - 1)];
        if (r.own) {
            g_free(const_cast<char *>(r.data));
            own--;
            continue;
        }
        used = static_cast<size_t>(r.data - arena) + r.len + 1;
        if (wrapped && used == wrapEnd) {
            used = 0;
            wrapped = false;
        }
        if (--workerKept == 0)
            used = next = 0, wrapped = false;
    }
}

uint32_t recordsRebase(uint32_t from)
{
    if (tail < from || tail < 2 * kRing)
        return 0;
    const uint32_t by = (tail - kRing) & ~static_cast<uint32_t>(kRing - 1);
    tail -= by;
    head -= by;
    return by;
}
