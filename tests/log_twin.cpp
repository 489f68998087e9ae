// The runner's log writer driven by itself, for the tests:
//   log_twin PATH      sends the same messages through syslog(3), to
//                      /dev/log, and through the writer, to PATH: a test
//                      compares the two byte for byte;
//   log_twin --cut PATH  a long record cut by a stalled stream receiver at
//                      PATH, the console fallback, then the receiver reads
//                      again ("cut" on standard output when it may).
#include <poll.h>
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
        logWriterAdd(m.c_str(), m.size());
    }
    logWriterSend();
    LogState state = logWriterState();
    logWriterClose(2000);
    closelog();
    return state == LOG_SENDING ? 0 : 1;
}

static void add(const std::string &m)
{
    logWriterAdd(m.c_str(), m.size());
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
    // The rest of the cut record, once the receiver reads again.
    for (int i = 0; i < 100 && logWriterState() == LOG_CONSOLE; i++) {
        struct pollfd pfd = {logWriterWait().socketFd, POLLOUT, 0};
        (void)poll(&pfd, 1, 100);
        logWriterSend();
    }
    add("W: back");
    LogState state = logWriterState();
    logWriterClose(5000);
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
