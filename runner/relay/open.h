#pragma once

// The outputs opened so that no write to them can block: standard output,
// the console and the log socket.

#include "state.h"

enum How {
    HOW_PLAIN,  // a write never blocks: a file, or a description of its own made non-blocking
    HOW_SOCKET, // a socket: each send asks not to block
    HOW_POLLED, // a shared pipe: a write no larger than what poll promises
};

// Standard output; its own file description stays as the parent gave it.
void sinkOpenStdout(Sink &s);
// A device such as the console, opened non-blocking; false if it can't be.
bool sinkOpenPath(Sink &s, const char *path);
// The log's socket at path, datagram or stream; false while there is none.
bool logConnect(const char *path);
