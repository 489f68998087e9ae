// Link-time stand-in for the logging convention: unit tests read back what
// was logged, and nothing reaches the host's system log.
#include "fake_log.h"

#include <stdarg.h>
#include <stdio.h>

std::vector<std::string> loggedLines;

void loginfo(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    char *s = nullptr;
    if (vasprintf(&s, fmt, ap) >= 0) {
        loggedLines.emplace_back(s);
        free(s);
    }
    va_end(ap);
}
