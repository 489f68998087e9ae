// A system-log socket that counts what arrives:
//   bench_log_sink PATH COUNT [--stall MS | --restart MS] [--after N]
// ends once COUNT datagrams came (or after 120 s without one, or on
// SIGTERM) and prints "COUNT NUMBERED BEHIND": the datagrams received, the
// numbered worker lines ("W: n K") among them, and how many of those came
// after a line with a higher number. With --stall it stops reading for MS after N
// datagrams (a daemon that hangs); with --restart its socket is gone for MS
// (a daemon restarting: it reads what it was sent before it goes).
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

static volatile sig_atomic_t stop = 0;

static void onTerm(int)
{
    stop = 1;
}

static int bindAt(const char *path)
{
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path);
    unlink(path);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        perror("bench_log_sink");
        exit(1);
    }
    int big = 8 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    return fd;
}

static long got = 0, numbered = 0, behind = 0, highest = 0;

// Receives one datagram and counts it; false when none came.
static bool take(int fd, int flags)
{
    static char buf[65536];
    ssize_t n = recv(fd, buf, sizeof buf - 1, flags);
    if (n < 0)
        return false;
    buf[n] = '\0';
    got++;
    const char *w = strstr(buf, ": W: n ");
    if (w != nullptr) {
        numbered++;
        long k = atol(w + 7);
        if (k < highest)
            behind++;
        else
            highest = k;
    }
    return true;
}

static void holdOff(long ms)
{
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000};
    while (nanosleep(&t, &t) != 0 && errno == EINTR && !stop) {
    }
}

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: bench_log_sink PATH COUNT [--stall MS | --restart MS] [--after N]\n");
        return 2;
    }
    const char *path = argv[1];
    long want = atol(argv[2]);
    long stallMs = 0, goneMs = 0, after = 100;
    for (int i = 3; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--stall") == 0)
            stallMs = atol(argv[i + 1]);
        else if (strcmp(argv[i], "--restart") == 0)
            goneMs = atol(argv[i + 1]);
        else if (strcmp(argv[i], "--after") == 0)
            after = atol(argv[i + 1]);
    }
    struct sigaction sa = {};
    sa.sa_handler = onTerm;
    sigaction(SIGTERM, &sa, nullptr);
    int fd = bindAt(path);
    // Ready: the caller waits for this line before it starts the sender.
    printf("ready\n");
    fflush(stdout);
    struct pollfd pfd = {fd, POLLIN, 0};
    while (got < want && !stop && poll(&pfd, 1, 120000) > 0) {
        if (!take(fd, 0))
            continue;
        if (got == after && stallMs > 0)
            holdOff(stallMs);
        if (got == after && goneMs > 0) {
            while (take(fd, MSG_DONTWAIT)) {
            }
            close(fd);
            unlink(path);
            holdOff(goneMs);
            fd = pfd.fd = bindAt(path);
        }
    }
    printf("%ld %ld %ld\n", got, numbered, behind);
    close(fd);
    unlink(path);
    return got == want ? 0 : 1;
}
