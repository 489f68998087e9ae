#pragma once

#include <stdio.h>

// popen with a third mode "e" (the child's standard error feeds the stream),
// a non-blocking parent end, and the child's id kept in lhwPid.
FILE *mypopen(const char *cmdstring, const char *type);

// Closes a stream of mypopen, waits for its child and returns the raw wait
// status, or -1 with errno set.
int mypclose(FILE *fp);

// Starts cmd with its standard error on the returned stream; logs and
// returns null when it can't.
FILE *execAndDoNotWait(const char *cmd);
