#pragma once

// A byte output the runner writes without ever blocking on it: standard
// output (each message and "\n") and the console (its syslog(3) form,
// "ident[pid]: message\r\n"). It writes the records from its cursor up to
// the record its caller gives it; one that refuses past its hold is
// passed by until it polls writable again, and a record it leaves cut gets
// its end before anything else.

#include "limits.h"
#include "state.h"

// Writes what it is given as far as it takes it. What the console passes
// by of what it was given is counted as left out (state.h).
void sinkPush(Sink &s, gint64 now, Output o);
// Passes by all it was given.
void sinkPassBy(Sink &s);
// Everything it was given is written.
bool sinkDone(const Sink &s);
// It has records left to write, which it holds; an end it owes is not one.
inline bool sinkHolds(const Sink &s)
{
    return s.at.seq < s.until;
}
// The descriptor to watch for writability, or -1.
int sinkWaitFd(const Sink &s);

// Passes by what it was given and can't write; at the very end the end of
// a record left cut, then a last line (or nullptr), each tried once and once
// more after a short wait; closes it.
void sinkClose(Sink &s, const char *last);
