#include "log.h"

#include <stdarg.h>
#include <stdio.h>
#include <syslog.h>

void loginfo(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    va_list echo;
    va_copy(echo, ap);
    vsyslog(LOG_INFO, fmt, ap);
    va_end(ap);

    // Flushed per message so a reader of standard output sees each line as
    // it is logged; a failed write (closed reader) is not the runner's end.
    (void)vfprintf(stdout, fmt, echo);
    va_end(echo);
    (void)fputc('\n', stdout);
    (void)fflush(stdout);
}
