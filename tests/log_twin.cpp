// The runner's log writer driven by itself, for the tests:
//   log_twin PATH      sends the same messages through syslog(3), to
//                      /dev/log, and through the writer, to PATH: a test
//                      compares the two byte for byte;
//   log_twin --cut PATH  a long record cut by a stalled stream receiver at
//                      PATH, the console fallback ("cut" on standard
//                      output), then a line on a new connection.
#include <stdio.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include <string>

#include "log_writer.h"

static int twin(const char *path)
{
    const std::string messages[] = {
        "lhr, 1.0.812, axis, Started. Args: 1, List:",
        "W: a worker line\n",
        "W: a line without its end",
        "W: " + std::string(1023, 'a'),
        "W: " + std::string(977, 'a') + "\n",
    };
    openlog("lanternhill", LOG_PID | LOG_CONS, LOG_USER);
    logWriterOpen("lanternhill", path, 10000);
    for (const std::string &m : messages) {
        syslog(LOG_INFO, "%s", m.c_str());
        logWriterAdd(m.c_str(), m.size(), false);
    }
    logWriterSend();
    LogState state = logWriterState();
    logWriterClose();
    closelog();
    return state == LOG_SENDING ? 0 : 1;
}

static void add(const std::string &m)
{
    logWriterAdd(m.c_str(), m.size(), false);
    logWriterSend();
}

static int cut(const char *path)
{
    logWriterOpen("lanternhill", path, 100);
    // Larger than the socket's buffers: the receiver reads nothing yet.
    add("W: " + std::string(1 << 20, 'a') + "\n");
    if (logWriterState() != LOG_WAITING)
        return 1;
    usleep(200 * 1000);
    add("W: to the console");
    if (logWriterState() != LOG_CONSOLE)
        return 2;
    (void)!write(1, "cut\n", 4);
    // After the reconnect's pause, a new connection takes it.
    usleep(400 * 1000);
    add("W: back");
    LogState state = logWriterState();
    logWriterClose();
    return state == LOG_SENDING ? 0 : 3;
}

int main(int argc, char **argv)
{
    if (argc == 2)
        return twin(argv[1]);
    if (argc == 3 && strcmp(argv[1], "--cut") == 0)
        return cut(argv[2]);
    return 2;
}
