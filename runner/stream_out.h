#pragma once

#include <stddef.h>

#include <glib.h>

#include "stop_limit.h"

// A byte stream the runner writes without ever blocking on it: standard
// output (the echo of every message) and the console (the log's fallback).
// What it can't take yet waits in its buffer, in order, and the caller holds
// its input meanwhile; one that refuses for longer than its hold, or past
// its limit at the stop, drops what comes until it takes again, so that a
// reader gone to sleep can't stop the relay for good. Its buffer is
// bounded: the worker's lines come only when it is empty, and the runner's
// own beyond the bound are dropped.

enum OutState {
    OUT_TAKES,    // writes go through; the buffer empties at each flush
    OUT_WAITING,  // full: the rest waits until it is writable
    OUT_DROPPING, // refused for longer than the hold: new bytes are dropped
    OUT_GONE,     // closed for good (EPIPE), or never there: bytes are dropped
};

struct StreamOut {
    int fd = -1;
    bool ownFd = false; // opened here, closed here
    int how = 0;        // how a write is kept from blocking
    size_t chunk = 0;   // largest write that can't block, where that matters
    char *buf = nullptr;
    size_t len = 0, off = 0, cap = 0;
    OutState state = OUT_GONE;
    gint64 refusedSince = 0; // monotonic us; 0 while it takes
    int holdMs = 0;
    StopOutput role = STOP_ECHO; // which of the stop's limits it keeps
    const char *end = nullptr;   // the records' end (a literal)
    // Where each of the worker's records in the buffer ends, so that those
    // a failed write or the close leaves out are counted, exactly.
    size_t *ends = nullptr;
    size_t endCount = 0, endCap = 0;
    size_t lost = 0; // the worker's records left out so far
};

// Standard output; its own file description stays as the parent gave it.
void streamOutOpenStdout(StreamOut *o, int holdMs);
// A device such as the console, opened non-blocking; false if it can't be.
bool streamOutOpenPath(StreamOut *o, const char *path, int holdMs);

// Adds a line and its end (such as "\n"); one of the runner's own (own)
// only while the buffer is within its bound. False when it was dropped.
bool streamOutAddLine(StreamOut *o, const char *text, size_t len, const char *end, bool own);
// Writes what it can; the state tells what is left.
void streamOutFlush(StreamOut *o);

// Nothing waits in it: more may be added.
bool streamOutTakes(const StreamOut *o);
// Nothing waits in it, or nothing that will still be written.
bool streamOutIdle(const StreamOut *o);
// The descriptor to watch for writability, or -1.
int streamOutWaitFd(const StreamOut *o);
// When its hold ends (monotonic us), or 0 when it isn't refusing.
gint64 streamOutHoldEnd(const StreamOut *o);

// Waits until its buffer is written, its hold ends or its stop limit
// passes, then releases it. A record left cut short gets its end, and a
// last line (or nullptr) follows, as far as the output takes them then.
void streamOutClose(StreamOut *o, const char *last);
