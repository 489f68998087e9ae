#pragma once

// Every time limit and size of the relay, with its reason, and the only
// code that turns the state into deadlines.

#include <stddef.h>
#include <stdint.h>

#include <glib.h>

// Times, in ms.
const int kCutWaitMs = 1000;   // a line cut where the pipe's content ended waits this long for its rest: the tick
const int kHoldMs = 10000;     // an output that takes nothing this long is passed by: a daemon restarts in about a second
const int kStopHoldMs = 500;   // once the bound runs, a refusing log is passed by for the console sooner
const int kAfterExitMs = 500;  // what a process the worker left behind adds after its exit is read this long
const int kStopBoundMs = 4000; // from the worker's exit to the runner's end: the promise is 5 s, the rest is the release
const int kEchoLeadMs = 1500;  // standard output is waited for until this long before the bound,
const int kLogLeadMs = 1000;   // the log until this long before it, so that the console gets what it leaves
const int kRetryMs = 250;      // the socket is tried again this often while its daemon is gone or out of buffers
const int kConsoleRetryMs = 1000; // a console that could not be opened, or failed, is tried again this often
const int kExitPollMs = 100;   // during the stop, should the worker's SIGCHLD go unseen
const int kPipePollMs = 100;   // while nobody takes the log's records: how full the pipe is, so that the worker never waits on it
const int kLastWriteMs = 250;  // at the very end, for a pipe's reader to take its last page

// Sizes.
const size_t kPieceMax = 1023;        // a longer line is cut into pieces of this many bytes
const size_t kInputBytes = 32768;     // one read of the pipe: each read that frees room wakes a worker blocked on it
const size_t kRecordsBytes = 256 * 1024; // the worker's records waiting for an output; beyond, its lines wait in its pipe
const size_t kOwnMax = 64;            // the runner's own records waiting; beyond, they are counted, and the count logged
const size_t kOwnBytesMax = 32 * 1024; // a longer own message is cut there
const int kPassLines = 256;           // a pass: about 0.3 ms of work for 80-byte lines,
const size_t kPassBytes = 32 * 1024;  // and no more for long ones
const size_t kPassRoom = 64 * 1024;   // a pass starts only with this much room, so that a slow log gets batches, not single lines
const size_t kBatch = 64;             // datagrams a call
const size_t kGather = 2 * kPassLines; // pieces of a byte output's write: two a record, a pass in one write
const uint32_t kRebaseAt = 1u << 31;  // the records' numbers go down once the oldest passes this

// The outputs the stop waits for, each until its own limit.
enum Output { OUT_ECHO, OUT_LOG, OUT_CONSOLE, OUT_END };

// Starts the stop's bound from now; later calls keep the first.
void boundStart(gint64 now);
// Until when the stop waits for this output (monotonic us); 0 before the bound runs.
gint64 stopLimit(Output o);
// When an output refusing since then is passed by (its hold, shorter once
// the bound runs, and its limit); 0 when it isn't refusing.
gint64 holdEnd(gint64 since, Output o);
// The earliest moment at which the state changes by itself; 0 for none.
// head: the next record's number; passRoom: the records have room for a
// pass, which is what sends a piece cut short.
gint64 nextDeadline(gint64 now, uint32_t head, bool passRoom);

// One of microseconds.
inline gint64 ms(int n)
{
    return n * G_GINT64_CONSTANT(1000);
}
