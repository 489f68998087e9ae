#pragma once

// The system log's socket, datagram or stream as syslog(3) finds it, written
// without ever blocking: records go from the log's cursor in batches. A log
// that refuses past its hold hands the records to the console, which
// writes them until the socket takes one again; what neither can take
// waits in the records, and a note says, once the log takes again, how many
// of the worker's lines were left out.

#include <stdint.h>

#include <glib.h>

// The socket's path (normally "/dev/log"); connected lazily.
void logOpen(const char *path);
// Sends as far as the socket (or the console) takes.
void logPush(gint64 now);
// Every record is the log's or the console's, and written.
bool logDone();
// The records before upTo are passed by, the worker's counted as left out.
void logLeaveOut(uint32_t upTo);
// The socket to watch for writability, or -1.
int logWaitFd();
// Closes the socket and the console; the lines neither took, the worker's
// and the runner's own, not yet said in the log.
unsigned logClose();
