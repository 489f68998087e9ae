#pragma once

// What the relay asks of the worker's side: whether the worker has exited,
// and how full its pipe is.

#include <glib.h>

// The worker has exited, asked only when there is a reason to (SIGCHLD, a
// tick, or during the stop every so often): a syscall per pass is a cost a
// camera sees.
bool workerExited(gint64 now);
// Bytes waiting in the worker's pipe, and its size.
int pipeFill();
int pipeSize();
