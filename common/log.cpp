#include "log.h"

#include <stdarg.h>
#include <stdio.h>
#include <syslog.h>

static bool holdEcho = false;

void loginfo(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    va_list echo;
    va_copy(echo, ap);
    vsyslog(LOG_INFO, fmt, ap);
    va_end(ap);

    // A failed write (closed reader) is not the program's end.
    (void)vfprintf(stdout, fmt, echo);
    va_end(echo);
    (void)fputc('\n', stdout);
    // Flushed per message so a reader of standard output sees each line as
    // it is logged, unless a batch of them is on its way.
    if (!holdEcho)
        (void)fflush(stdout);
}

void loginfoHoldEcho(bool hold)
{
    holdEcho = hold;
    if (!hold)
        (void)fflush(stdout);
}
