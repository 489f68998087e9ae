#include "log.h"

#include <glib.h>
#include <stdarg.h>
#include <stdio.h>
#include <syslog.h>

static void syslogSink(const char *message, size_t len)
{
    syslog(LOG_INFO, "%s", message);
    // A failed write (closed reader) is not the program's end.
    (void)fwrite(message, 1, len, stdout);
    (void)fputc('\n', stdout);
    // Flushed per message so a reader of standard output sees each line as
    // it is logged.
    (void)fflush(stdout);
}

static LogSink sink = syslogSink;

void loginfoSetSink(LogSink s)
{
    sink = s != nullptr ? s : syslogSink;
}

void loginfoMessage(const char *message, size_t len)
{
    sink(message, len);
}

void loginfo(const char *fmt, ...)
{
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    if (static_cast<size_t>(n) < sizeof buf) {
        loginfoMessage(buf, static_cast<size_t>(n));
        return;
    }
    va_start(ap, fmt);
    char *whole = g_strdup_vprintf(fmt, ap);
    va_end(ap);
    loginfoMessage(whole, static_cast<size_t>(n));
    g_free(whole);
}
