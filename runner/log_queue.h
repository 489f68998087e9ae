#pragma once

#include <stddef.h>

// The log writer's queue: each message as the datagram syslog(3) would
// send for it, one after the other in an arena, and where each lies. Plain
// GLib memory: the runner does without the C++ library.

struct Record {
    size_t offset;        // in the arena
    size_t len;           // the whole datagram
    size_t consoleOffset; // where "ident[pid]: " begins: the console's part
    bool own;             // the runner's own line, not the worker's
    unsigned noted;       // a note of that many lost lines: for the log only
};

struct LogQueue {
    char *arena;
    size_t arenaLen, arenaCap;
    Record *records;
    size_t count, cap;
    size_t head;     // first record not yet sent
    size_t headSent; // bytes of it sent already (stream sockets only)
    size_t ownPending; // the runner's own records from head on
};

extern LogQueue q;

// The identity and pid of every datagram's header.
void logQueueOpen(const char *ident, int pid);
// Queues one message, stamped with the current time.
void logQueueAdd(const char *message, size_t len, bool own);
// The head record and n-1 after it are done with (sent, or on the console).
void logQueueAdvance(size_t n);
// Empties the queue (everything in it was sent).
void logQueueReset();
void logQueueFree();
