// The runner's log output driven by itself, for the tests:
//   log_twin PATH      sends the same messages through syslog(3), to
//                      /dev/log, and through the runner's records and
//                      socket, to PATH: a test compares the two byte for byte;
//   log_twin --cut PATH  a long record cut by a stalled stream receiver at
//                      PATH, the console fallback ("cut" on standard
//                      output), then a line on a new connection.
//   log_twin --again PATH  a datagram log at PATH, read by the twin itself,
//                      refuses three times with the log taking in between,
//                      once for a single line: what it took goes to
//                      standard output, one text a line.
//   log_twin --share PATH  the same log, while the console (a FIFO at
//                      /dev/console) is full: the runner's own lines in the
//                      console's share when the log takes again.
// The twin starts a stop's bound for each refusal, so that the log is
// passed by after half a second rather than ten.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <string>

#include "relay/limits.h"
#include "relay/records.h"
#include "relay/sink.h"
#include "relay/state.h"
#include "relay/syslog_out.h"

static void push()
{
    // The runner's loop clears this when the socket polls writable.
    struct pollfd socket = {R.log.fd, POLLOUT, 0};
    if (R.log.fd >= 0 && poll(&socket, 1, 0) == 1)
        R.log.full = false;
    logPush(g_get_monotonic_time());
    recordsRelease(sinkDone(R.console) ? R.log.at.seq : MIN(R.log.at.seq, R.console.at.seq));
}

static void add(const std::string &m)
{
    char *d = recordsBegin(m.size());
    if (d == nullptr)
        return;
    memcpy(d, m.data(), m.size());
    recordsCommit(m.size());
    push();
}

static void open(const char *path)
{
    recordsOpen("lanternhill", static_cast<int>(getpid()));
    logOpen(path);
    R.console.console = true;
}

static void close()
{
    (void)logClose();
    recordsClose();
}

// A refusal from now on is passed by within the stop's hold.
static void newBound()
{
    R.boundFrom = 0;
    boundStart(g_get_monotonic_time());
}

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
    open(path);
    for (const std::string &m : messages) {
        syslog(LOG_INFO, "%s", m.c_str());
        if (m.rfind("lhr", 0) == 0)
            (void)recordsAddOwn(m.c_str(), m.size(), 0);
        else
            add(m);
    }
    push();
    const bool sent = logDone();
    close();
    closelog();
    return sent ? 0 : 1;
}

static int cut(const char *path)
{
    open(path);
    newBound();
    // Larger than the socket's buffers (and within the records' room): the
    // receiver reads nothing yet.
    add("W: " + std::string(240 << 10, 'a') + "\n");
    usleep(600 * 1000);
    add("W: to the console");
    (void)!write(1, "cut\n", 4);
    // After the reconnect's pause, a new connection takes it.
    usleep(400 * 1000);
    add("W: back");
    close();
    return 0;
}

// Adds numbered lines until the log refuses one; the next number.
static int fill(int n)
{
    while (R.log.state != LOG_WAITING && n < 100000)
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

// The log's own datagram socket at path, which the twin reads; -1 when it
// can't be made. The writer is opened for it.
static int openWithReceiver(const char *path)
{
    int receiver = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    (void)snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path);
    if (receiver >= 0 && bind(receiver, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(receiver);
        receiver = -1;
    }
    if (receiver >= 0)
        open(path);
    return receiver;
}

static int again(const char *path)
{
    const int receiver = openWithReceiver(path);
    if (receiver < 0)
        return 1;
    const int all = 1 << 20;
    int n = 1;
    for (int round = 0; round < 3; round++) {
        newBound();
        n = fill(n);
        usleep(600 * 1000);
        add("W: n " + std::to_string(n++) + "\n");
        if (round == 1) {
            // Room for one line: the log takes it, and then refuses what
            // follows, a note of lines lost among it.
            take(receiver, 1);
            add("W: n " + std::to_string(n++) + "\n");
            add("W: n " + std::to_string(n++) + "\n");
            newBound();
            usleep(600 * 1000);
            add("W: n " + std::to_string(n++) + "\n");
        }
        // The log takes again: what waited follows.
        take(receiver, all);
        add("W: n " + std::to_string(n++) + "\n");
        for (int i = 0; i < 100 && !logDone(); i++) {
            take(receiver, all);
            usleep(10 * 1000);
            push();
        }
    }
    push();
    close();
    take(receiver, all);
    ::close(receiver);
    return 0;
}

// Two of the runner's own lines too large for the socket, a
// short one between them; then the log takes again.
static int large(const char *path)
{
    const int receiver = openWithReceiver(path);
    if (receiver < 0)
        return 1;
    add("W: first\n");
    const int small = 2304;
    if (setsockopt(R.log.fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small) != 0)
        return 1;
    const std::string big(6000, 'x');
    (void)recordsAddOwn(("lhr, A " + big).c_str(), big.size() + 7, 0);
    (void)recordsAddOwn("lhr, mid", 8, 0);
    (void)recordsAddOwn(("lhr, B " + big).c_str(), big.size() + 7, 0);
    push();
    // Read: the socket is writable again, and the rest is tried.
    take(receiver, 100);
    push();
    add("W: last\n");
    close();
    take(receiver, 100);
    ::close(receiver);
    return 0;
}

// In --share, the log as a daemon that reads as fast as it is sent to sees
// it: what waits is taken before each datagram, and a record longer than
// kLargest fails as on a socket with a small buffer.
static int drained = -1;
static bool refusing = false;
static const size_t kLargest = 4000;

extern "C" int sendmmsg(int fd, struct mmsghdr *msgs, unsigned int n, int flags)
{
    if (drained < 0)
        return static_cast<int>(syscall(SYS_sendmmsg, fd, msgs, n, flags));
    unsigned sent = 0;
    for (; sent < n; sent++) {
        take(drained, 1 << 20);
        errno = refusing ? EAGAIN : EMSGSIZE;
        if (refusing || msgs[sent].msg_hdr.msg_iov[0].iov_len > kLargest ||
            syscall(SYS_sendmmsg, fd, msgs + sent, 1, flags) != 1)
            break;
    }
    return sent > 0 ? static_cast<int>(sent) : -1;
}

static int share(const char *path)
{
    const int receiver = openWithReceiver(path);
    // The console full, so that it refuses; the twin holds its reader.
    const int console = ::open("/dev/console", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const int writer = ::open("/dev/console", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    char page[4096] = {};
    while (writer >= 0 && write(writer, page, sizeof page) > 0) {
    }
    ::close(writer);
    if (receiver < 0 || console < 0)
        return 1;
    drained = receiver;
    // The log refuses past its hold while 64 lines, one of the runner's too
    // large for the socket and a short one wait: the console has them all,
    // and takes nothing.
    refusing = true;
    newBound();
    for (int n = 1; n <= 64; n++)
        add("W: n " + std::to_string(n) + "\n");
    const std::string big(6000, 'x');
    (void)recordsAddOwn(("lhr, A " + big).c_str(), big.size() + 7, 0);
    (void)recordsAddOwn("lhr, mid", 8, 0);
    usleep(600 * 1000);
    push();
    // It takes again, 64 lines a call: the large one is past the console's
    // share, so it is left out.
    refusing = false;
    push();
    push();
    // Once more, the console taking a page of a long own line, left cut
    // when it is passed by.
    refusing = true;
    newBound();
    (void)!read(console, page, sizeof page);
    (void)recordsAddOwn(("lhr, C " + std::string(10000, 'y')).c_str(), 10007, 0);
    push();
    usleep(600 * 1000);
    push();
    usleep((kStopBoundMs - 600 + 100) * 1000);
    push();
    refusing = false;
    add("W: after\n");
    push();
    close();
    take(receiver, 1 << 20);
    ::close(receiver);
    ::close(console);
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
    if (argc == 3 && strcmp(argv[1], "--large") == 0)
        return large(argv[2]);
    if (argc == 3 && strcmp(argv[1], "--share") == 0)
        return share(argv[2]);
    return 2;
}
