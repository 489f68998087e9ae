#pragma once

// The relay's state, all of it: what decides what runs next is here and
// nowhere else. limits.h turns it into deadlines; relay.cpp arms the
// loop's sources from it.

#include <stddef.h>
#include <stdint.h>

#include <glib.h>

#include "records.h"

// A place in the records: the record's number and how many bytes of it
// (its part and its end) are written.
struct Cursor {
    uint32_t seq = 0;
    size_t off = 0;
};

// The worker's pipe.
enum InputState {
    IN_READING,  // the worker runs: a pass at each tick, and at once while more waits
    IN_DRAINING, // its exit was seen: what the pipe held then, and what a leftover writer adds for a moment
    IN_ENDED,    // the end of its output, or the stop's bound
};

// The log socket.
enum LogState {
    LOG_SENDING, // it takes
    LOG_WAITING, // full: until it polls writable
    LOG_RETRY,   // no socket (its daemon restarts) or no buffers: a timer tries again
    LOG_CONSOLE, // refused past the hold: the console writes the records until the socket takes one
};

// A byte output: standard output or the console.
enum SinkState {
    SINK_TAKES,    // writes go through
    SINK_WAITING,  // full: until it polls writable
    SINK_SKIPPING, // refused past its hold: it is passed by until it polls writable
    SINK_GONE,     // closed for good (EPIPE), or never there
};

struct Sink {
    int fd = -1;
    bool ownFd = false;     // opened by the runner, closed by it
    int how = 0;            // how a write is kept from blocking (sink.cpp)
    SinkState state = SINK_GONE;
    gint64 since = 0;       // refusing since (monotonic us); 0 while it takes
    Cursor at;              // the next byte it writes
    uint32_t until = 0;     // the records it is given end before this one
    size_t endOwed = 0;     // bytes of a record's end owed to a record it left cut
    bool console = false;   // the console's form: "ident[pid]: text\r\n"; else "text\n"
};

struct LogOut {
    int fd = -1;
    bool stream = false;    // a stream socket: records end with a zero byte
    LogState state = LOG_SENDING;
    gint64 since = 0;       // refusing since (monotonic us); 0 while it takes
    gint64 retryAt = 0;     // LOG_RETRY, LOG_CONSOLE: the next try of the socket
    bool full = false;      // it refused for want of room: its writability brings the next try
    Cursor at;              // the next record the log is to get, and bytes of it sent (stream)
    uint32_t madeFrom = 0, madeTo = 0; // the records whose datagrams' headers are made
};

struct Relay {
    InputState input = IN_READING;
    bool live = false;      // the loop's sources are armed
    bool stopping = false;  // the stop is served: the worker's exit is awaited
    gint64 boundFrom = 0;   // when the worker's exit was seen (or the close began): the stop's bound runs from it; 0 before
    bool askExit = false;   // SIGCHLD or a tick: has the worker exited?
    gint64 exitPollAt = 0;  // during the stop, should a SIGCHLD go unseen
    bool passDue = false;   // a tick came, or the pipe polled readable
    bool more = false;      // the last pass stopped at its bound: go on at once
    gint64 cutAt = 0;       // a piece cut where the pipe ended goes as it is then; 0: none waits
    gint64 drainUntil = 0;  // IN_DRAINING: a leftover writer is read until then
    size_t owed = 0;        // IN_DRAINING: bytes the pipe held at the exit, not yet in the records
    unsigned refused = 0;   // the worker's lines neither the log nor a console took, not yet said in the log
    unsigned ownLeftOut = 0; // the runner's own lines left out for want of room, not yet said
    gint64 consoleOpenAt = 0; // the console may be opened again then
    LogOut log;
    Sink console, echo;
};

extern Relay R;

// A record of the log's that nobody will write: the worker's lines and
// the runner's own are counted apart. A note's count was taken again as
// the log passed it.
inline void countLeftOut(const Record &r)
{
    R.refused += !r.own;
    R.ownLeftOut += r.own && r.noted == 0;
}

inline bool consoleTakes()
{
    return R.console.state == SINK_TAKES || R.console.state == SINK_WAITING;
}

// Nobody takes the log's records (head: the next record's number): the log
// is refused past its hold, and the console is missing or refuses too.
inline bool logStalled(uint32_t head)
{
    return R.log.state == LOG_CONSOLE && !consoleTakes() && R.log.at.seq < head;
}
