#pragma once

#include <stddef.h>

// The log writer's queue: each message as the datagram syslog(3) would
// send for it, one after the other in an arena, and where each lies. Plain
// GLib memory: the runner does without the C++ library.

struct Record {
    size_t offset;        // in the arena
    size_t len;           // the whole datagram
    size_t consoleOffset; // where "ident[pid]: " begins: the console's part
};

struct LogQueue {
    char *arena;
    size_t arenaLen, arenaCap;
    Record *records;
    size_t count, cap;
    size_t head;     // first record not yet sent
    size_t headSent; // bytes of it sent already (stream sockets only)
};

extern LogQueue q;

// The identity and pid of every datagram's header.
void logQueueOpen(const char *ident, int pid);
// Queues one message, stamped with the current time.
void logQueueAdd(const char *message, size_t len);
// Empties the queue (everything in it was sent).
void logQueueReset();
void logQueueFree();
