#pragma once

// The worker's side of a step: a pass reads the pipe into the records as
// far as they have room, the oldest left out only while nobody takes them
// and the pipe fills; the worker's exit starts the drain and the bound.

#include <glib.h>

// Releases the records every output has passed.
void releaseRecords();
// Nobody takes the log's records while the worker runs, and its pipe is
// half full: the oldest are left out to make room.
bool overflowing();
// One pass, when the records have room (or are made room).
void pass(gint64 now);
// Looks whether the worker has exited, when there is a reason to, and ends
// the input when the drain or the bound is over.
void checkExit(gint64 now);
