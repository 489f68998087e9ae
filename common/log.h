#pragma once

#include <stddef.h>

// The logging convention of the runner and of doer: the message goes to the
// system log at LOG_INFO, then the same text to standard output with one
// newline added.
void loginfo(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

#define LOGINFO(...) loginfo(__VA_ARGS__)

// The same for a message already made; message[len] is its zero byte.
void loginfoMessage(const char *message, size_t len);

// Where messages go: syslog(3) unless a program sets its own writer
// (nullptr: back to syslog(3)).
using LogSink = void (*)(const char *message, size_t len);
void loginfoSetSink(LogSink sink);

// While held, the echo on standard output is flushed only when the hold
// ends: one write for a batch of messages instead of one each.
void loginfoHoldEcho(bool hold);
