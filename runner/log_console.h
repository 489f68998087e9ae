#pragma once

#include <stddef.h>

#include <glib.h>

// The console, where the log's messages go while the log refuses them, in
// the console's form of syslog(3): "ident[pid]: message\r\n". Opened on the
// first message, written without blocking; without a console the messages
// are dropped, as syslog(3) drops them.

// The runner's own lines (own) are bounded. False when it was dropped.
bool consoleAdd(const char *text, size_t len, bool own);
// Writes what waits; closes the console once it has taken everything, if
// the log no longer needs it.
void consoleFlush(bool stillNeeded);

// Nothing waits for the console: more may be added.
bool consoleTakes();
// The descriptor to watch for writability, or -1.
int consoleWaitFd();
// When its hold ends (monotonic us), or 0.
gint64 consoleHoldEnd();

void consoleSetHold(int holdMs);
// Nothing waits for it that it will still be given time for.
bool consoleIdle();

// Waits until what waits is written, its hold ends or the stop's limit
// for it passes; then closes it.
void consoleClose();
// The worker's lines it took but then lost (a failed write, the close),
// since the last call.
size_t consoleTakeLost();
