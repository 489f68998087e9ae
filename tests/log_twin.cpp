// Sends the same messages through syslog(3), to /dev/log, and through the
// runner's log writer, to the socket named by its argument: a test compares
// the two byte for byte.
#include <string.h>
#include <syslog.h>

#include <string>

#include "log_writer.h"

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    const std::string messages[] = {
        "lhr, 1.0.812, axis, Started. Args: 1, List:",
        "W: a worker line\n",
        "W: a line without its end",
        "W: " + std::string(1023, 'a'),
        "W: " + std::string(977, 'a') + "\n",
    };
    openlog("lanternhill", LOG_PID | LOG_CONS, LOG_USER);
    logWriterOpen("lanternhill", argv[1]);
    for (const std::string &m : messages) {
        syslog(LOG_INFO, "%s", m.c_str());
        logWriterAdd(m.c_str(), m.size());
    }
    LogState state = logWriterSend();
    logWriterClose(2000);
    closelog();
    return state == LOG_SENT ? 0 : 1;
}
