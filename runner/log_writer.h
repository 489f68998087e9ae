#pragma once

#include <stddef.h>

#include <glib.h>

// The runner's own writer for the system log: the datagrams syslog(3) would
// send for LOG_USER | LOG_INFO with LOG_PID, byte for byte, but from a queue
// and a non-blocking socket, so that a stalled or restarting log daemon
// never blocks the runner and nothing is lost meanwhile.

enum LogState {
    LOG_SENDING, // the socket takes what is queued
    LOG_WAITING, // the socket is full: wait until it is writable
    LOG_RETRY,   // no socket (its daemon restarts) or no buffers: try again on a timer
    LOG_CONSOLE, // refused for longer than the hold, or still behind at the
                 // stop's limit for it: the console has the messages until
                 // the log takes one again
};

// Names the identity and the socket (normally "/dev/log"); connects lazily.
// A log that refuses for holdMs hands its messages to the console.
void logWriterOpen(const char *ident, const char *path, int holdMs);
// A new hold; a refusal under way ends at the latest holdMs from now.
void logWriterSetHold(int holdMs);

// Queues one message, stamped with the current time. The runner's own
// (own) beyond a bound, while the log refuses, are counted instead, and
// the count is logged when there is room again.
void logWriterAdd(const char *message, size_t len, bool own);

// Sends what is queued as far as the log (or the console) takes it.
void logWriterSend();

LogState logWriterState();
// None of the worker's lines wait: more may be added.
bool logWriterTakes();
// Nothing waits that the log or the console will still be given time for.
bool logWriterIdle();

// What the writer waits for, so that the caller's loop can wake it: the
// socket's and the console's writability, and a time (monotonic us) for a
// reconnect try or the hold's end. -1 and 0 for none.
struct LogWait {
    int socketFd;
    int consoleFd;
    gint64 wakeAt;
};
LogWait logWriterWait();
// The connected socket, or -1.
int logWriterSocket();

// At exit: waits for the log to take what is queued until the stop's
// limit for it, sends the rest to the console, and closes everything.
// How many lines neither took and weren't counted in the log.
size_t logWriterClose();
