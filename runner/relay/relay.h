#pragma once

// The worker's output, and the runner's own messages, into the system log
// and onto standard output: what main, the signals and the child see.

#include <glib.h>

// The system log of the runner: its own messages and the worker's lines.
void openSystemLog();
// Hands on what is left within the stop's bound, serving the loop's other
// sources meanwhile, and closes the outputs; what was left out is said
// last on standard output.
void closeSystemLog();

// The relay runs from the main loop from here on.
void relayStart();

// The one-second timer: relays what the worker wrote, quits the loop at the
// end of its output.
gboolean application_iterate(gpointer state);

// The worker may have exited (SIGCHLD came).
void relayWorkerChanged();

// After the loop was quit: serves it until the worker has exited, however
// long that takes, and what it wrote before its exit, and for a moment what
// a process it left behind adds, is handed on, within the stop's bound.
void relayToTheEnd();
