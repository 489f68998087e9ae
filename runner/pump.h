#pragma once

#include <glib.h>

// The one-second timer: relays what the worker wrote, quits the loop at the
// end of its output.
gboolean application_iterate(gpointer state);

// After a stop: relays the worker's last lines until its output ends or it
// has exited, so that nothing it wrote is lost and it never writes into a
// closed pipe.
void drainWorkerOutput();
