#pragma once

#include <glib.h>

// The stop's one bound. Once the worker's exit is seen (or the runner
// stops without a worker), the runner has a fixed time to hand on what is
// left and exit, whatever its outputs do. Each output is waited for until
// a little before that, so that what it leaves still reaches the next:
// standard output first, then the log (the console gets the rest), the
// console last.

enum StopOutput { STOP_ECHO, STOP_LOG, STOP_CONSOLE, STOP_EXIT };

// Starts the bound from now; later calls keep the first.
void stopLimitStart();
// Until when the stop waits for this output (monotonic us); 0 before the
// bound has started.
gint64 stopLimit(StopOutput o);
