#pragma once

// The relay's one GLib source: the descriptors the state waits for, and a
// ready time, now for a pass that goes on, or the earliest deadline. At a
// low priority, so that status requests and SIGTERM come first.

#include <glib.h>

enum Watched { FD_LOG, FD_CONSOLE, FD_ECHO, FD_PIPE, FD_COUNT };

// Attached on first use; each dispatch calls step.
void sourceWatch(Watched which, int fd, GIOCondition cond, void (*step)());
// Dispatched at this monotonic time (0: at once, -1: never).
void sourceReadyAt(gint64 at);
// The descriptor polled ready (the pipe readable, or its end; an output
// writable) this dispatch.
bool sourceReady(Watched which);
void sourceDestroy();
