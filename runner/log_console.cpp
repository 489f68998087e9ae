#include "log_console.h"

#include "stream_out.h"

namespace {

// Its hold outlasts a close when the log takes again: it is the log
// writer's.
StreamOut console;
gint64 openAgainAt = 0; // a console that could not be opened is tried once a second

} // namespace

bool consoleAdd(const char *text, size_t len, bool own)
{
    if (console.state == OUT_GONE) {
        streamOutClose(&console, nullptr);
        const gint64 now = g_get_monotonic_time();
        if (now < openAgainAt)
            return false;
        if (!streamOutOpenPath(&console, "/dev/console", console.holdMs)) {
            openAgainAt = now + G_USEC_PER_SEC;
            return false;
        }
        console.role = STOP_CONSOLE;
    }
    return streamOutAddLine(&console, text, len, "\r\n", own);
}

void consoleFlush(bool stillNeeded)
{
    if (console.state == OUT_GONE)
        return;
    streamOutFlush(&console);
    if (!stillNeeded && console.off == console.len)
        streamOutClose(&console, nullptr);
}

bool consoleTakes()
{
    return streamOutTakes(&console);
}

int consoleWaitFd()
{
    return streamOutWaitFd(&console);
}

gint64 consoleHoldEnd()
{
    return streamOutHoldEnd(&console);
}

void consoleSetHold(int hold)
{
    console.holdMs = hold;
}

bool consoleIdle()
{
    return streamOutIdle(&console);
}

void consoleClose()
{
    streamOutClose(&console, nullptr);
}

size_t consoleTakeLost()
{
    const size_t n = console.lost;
    console.lost = 0;
    return n;
}
