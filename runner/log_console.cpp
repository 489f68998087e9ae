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
        (void)streamOutClose(&console);
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
        (void)streamOutClose(&console);
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

size_t consoleClose()
{
    return streamOutClose(&console);
}
