#pragma once

#include <stddef.h>

// The logging convention of the runner and of doer: the message goes to the
// system log at LOG_INFO, then the same text to standard output with one
// newline added.
void loginfo(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

#define LOGINFO(...) loginfo(__VA_ARGS__)

// The same for a message already made; message[len] is its zero byte.
void loginfoMessage(const char *message, size_t len);

// Where messages go: syslog(3) and stdio, unless a program sets its own
// writer for both the log and the echo (nullptr: back to those).
using LogSink = void (*)(const char *message, size_t len);
void loginfoSetSink(LogSink sink);
