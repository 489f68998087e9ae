#pragma once

#include <glib.h>

// The system log of the runner: its own messages and the worker's lines.
void openSystemLog();
// Waits a moment for the log to take what is queued (the rest goes to the
// console) and for standard output to take the echo.
void closeSystemLog();

// The relay runs from the main loop from here on.
void relayStart();

// The one-second timer: relays what the worker wrote, quits the loop at the
// end of its output.
gboolean application_iterate(gpointer state);

// After a stop: relays the worker's last lines until its output ends: all
// that it wrote before it exited, and for a moment what a process it left
// behind adds. A worker that hasn't exited a few seconds after SIGTERM loses
// its read end.
void drainWorkerOutput();
