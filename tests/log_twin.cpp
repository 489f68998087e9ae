// The runner's log writer driven by itself, for the tests:
//   log_twin PATH      sends the same messages through syslog(3), to
//                      /dev/log, and through the writer, to PATH: a test
//                      compares the two byte for byte;
//   log_twin --cut PATH  a long record cut by a stalled stream receiver at
//                      PATH, the console fallback ("cut" on standard
//                      output), then a line on a new connection.
//   log_twin --again PATH  a datagram log at PATH, read by the twin itself,
//                      refuses three times with the log taking in between,
//                      once for a single line: what it took goes to
//                      standard output, one text a line.
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
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

// Adds numbered lines until the log refuses one; the next number.
static int fill(int n)
{
    while (logWriterState() != LOG_WAITING && n < 100000)
        add("W: n " + std::to_string(n++) + "\n");
    return n;
}

static void take(int receiver, int most)
{
    char buf[4096];
    ssize_t got;
    while (most-- > 0 && (got = recv(receiver, buf, sizeof buf, MSG_DONTWAIT)) > 0) {
        const char *text = static_cast<const char *>(memmem(buf, static_cast<size_t>(got), "]: ", 3));
        if (text != nullptr)
            printf("%.*s%s", static_cast<int>(buf + got - text - 3), text + 3, buf[got - 1] == '\n' ? "" : "\n");
    }
}

static int again(const char *path)
{
    int receiver = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    (void)snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path);
    if (receiver < 0 || bind(receiver, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        return 1;
    logWriterOpen("lanternhill", path, 100);
    const int all = 1 << 20;
    int n = 1;
    for (int round = 0; round < 3; round++) {
        n = fill(n);
        usleep(200 * 1000);
        add("W: n " + std::to_string(n++) + "\n");
        if (logWriterState() != LOG_CONSOLE)
            return 2;
        if (round == 1) {
            // Room for one line: the log takes it, and then refuses what
            // follows, a note of lines lost among it.
            take(receiver, 1);
            add("W: n " + std::to_string(n++) + "\n");
            add("W: n " + std::to_string(n++) + "\n");
            if (logWriterState() != LOG_WAITING)
                return 4;
            usleep(200 * 1000);
            add("W: n " + std::to_string(n++) + "\n");
            if (logWriterState() != LOG_CONSOLE)
                return 5;
        }
        // The log takes again: the console is let go.
        take(receiver, all);
        add("W: n " + std::to_string(n++) + "\n");
        if (logWriterState() != LOG_SENDING)
            return 3;
    }
    logWriterClose();
    take(receiver, all);
    close(receiver);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc == 2)
        return twin(argv[1]);
    if (argc == 3 && strcmp(argv[1], "--cut") == 0)
        return cut(argv[2]);
    if (argc == 3 && strcmp(argv[1], "--again") == 0)
        return again(argv[2]);
    return 2;
}
