#pragma once

#include <glib.h>

// The system log of the runner: its own messages and the worker's lines.
void openSystemLog();
// Waits, until the stop's limits, for the log to take what is queued (the
// rest goes to the console) and for standard output to take the echo.
void closeSystemLog();

// The relay runs from the main loop from here on.
void relayStart();

// The one-second timer: relays what the worker wrote, quits the loop at the
// end of its output.
gboolean application_iterate(gpointer state);

// The worker may have exited (SIGCHLD came).
void relayWorkerChanged();

// After a stop: serves the loop until the worker has exited, however long
// it takes, and then relays all that it wrote before its exit, and for a
// moment what a process it left behind adds, within the stop's bound.
void drainWorkerOutput();
