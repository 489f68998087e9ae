#pragma once

#include <glib.h>
#include <signal.h>
#include <stdio.h>
#include <sys/types.h>
#include <time.h>

#define PACKAGE_DIR "/usr/local/packages/" PACKAGE_NAME

// Process-wide state of the runner, shared by the main loop, the timer,
// the HTTP handler and the SIGTERM handler.
extern GMainLoop *_loop;
extern FILE *_fp;
extern time_t startedAt;
// The start on the monotonic clock (microseconds), taken with startedAt:
// the uptime counts from it whatever the wall clock does meanwhile
// (NTP steps it once a camera without a battery-backed clock reaches its
// time server).
extern gint64 startedAtMonotonic;
// Written once per started child, read by the SIGTERM handler.
extern volatile pid_t lhwPid;
