#pragma once

// The relay, a pipeline:
//
//   pipe --input--> records --+-- log cursor -----> syslog_out (socket)
//   LOGINFO ---------^        |                        | refused past the hold
//                             |                        v
//                             +-- console cursor --> sink (/dev/console)
//                             +-- echo cursor -----> sink (standard output)
//
// input.cpp cuts the pipe into records and returns, a pass at a time
// (pass.cpp, which also sees the worker's exit); records.cpp keeps
// them, numbered, until every cursor has passed; each output writes from
// its own cursor and never blocks (open.cpp opens them so). state.h holds
// everything that decides what runs next, limits.h every limit and the
// deadlines made from them; worker.cpp tells whether the worker has exited
// and how full its pipe is. step() does what the state allows; arm()
// reads the state and has the one source (source.cpp) wait for what
// leaves it: the outputs' writability, the pipe's readability during the
// stop, and a time, at once while a pass goes on or the earliest
// deadline. A pass is a bounded slice, so status requests and SIGTERM get
// their turn; the stop and the close are the same step under the same
// limits, served by the loop to the end.
//
//   input   READING --exit seen--> DRAINING --owed relayed and 0.5 s past, EOF or the bound--> ENDED
//           READING --EOF without a stop--> ENDED ("lhr, lhw read end.", the loop quits)
//   read    when a pass is due and the records have room for one
//   log     SENDING <-> WAITING | RETRY --refused past the hold--> CONSOLE --the socket takes--> SENDING
//   sink    TAKES <-> WAITING --past its hold--> SKIPPING --writable--> TAKES; EPIPE: GONE
//   done    exit seen, input ENDED and every cursor at the head, or the bound
//
// This header is what main, the signals and the child see.

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

// Before the status handler goes: serves the loop until what was logged is
// handed on, within the stop's bound; what is logged after gets a last
// moment only.
void relayHandOn();
