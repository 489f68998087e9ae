#pragma once

#include <glib.h>

// The system log of the runner: its own messages and the worker's lines.
void openSystemLog();
// Waits a moment for the log to take what is queued; the rest goes to the
// console.
void closeSystemLog();

// The relay runs from the main loop from here on.
void relayStart();

// The one-second timer: relays what the worker wrote, quits the loop at the
// end of its output.
gboolean application_iterate(gpointer state);

// After a stop: relays the worker's last lines until its output ends, or
// for a moment after the worker has exited (a process it left behind may
// hold the pipe), so that nothing it wrote is lost and it never writes into
// a closed pipe.
void drainWorkerOutput();
