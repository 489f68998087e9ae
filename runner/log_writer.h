#pragma once

#include <stddef.h>

// The runner's own writer for the system log: the datagrams syslog(3) would
// send for LOG_USER | LOG_INFO with LOG_PID, byte for byte, but from a queue
// and a non-blocking socket, so that a stalled or restarting log daemon
// never blocks the runner and nothing is lost meanwhile.

enum LogState {
    LOG_SENT,    // nothing waits
    LOG_WAITING, // the socket is full: wait until it is writable
    LOG_DOWN,    // no log socket (daemon gone or restarting): try again later
};

// Names the identity and the socket (normally "/dev/log"); connects lazily.
void logWriterOpen(const char *ident, const char *path);

// Queues one message, stamped with the current time.
void logWriterAdd(const char *message, size_t len);

// Sends what is queued, as much as the socket takes, in batches.
LogState logWriterSend();

// The socket to watch for writability while LOG_WAITING, else -1.
int logWriterFd();

size_t logWriterPending();

// What is queued goes to the console, as LOG_CONS says, and leaves the queue.
void logWriterToConsole();

// At exit: waits up to timeoutMs for the log to take what is queued, sends
// the rest to the console, and closes the socket.
void logWriterClose(int timeoutMs);
