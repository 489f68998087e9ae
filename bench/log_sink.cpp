// A system-log socket that counts what arrives:
//   bench_log_sink PATH COUNT [--stall MS | --restart MS] [--after N]
// ends once COUNT datagrams came (or after 120 s without one, or on
// SIGTERM) and prints "COUNT NUMBERED BEHIND": the datagrams received, the
// numbered worker lines ("W: n K") among them, and how many of those came
// after a line with a higher number. With --stall it stops reading for MS after N
// datagrams (a daemon that hangs); with --restart its socket is gone for MS
// (a daemon restarting: it reads what it was sent before it goes).
#include <errno.h>
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
    struct timeval idle = {120, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle);
    return fd;
}

static long got = 0, numbered = 0, behind = 0, highest = 0;

static void count(const char *buf, size_t n)
{
    got++;
    const char *w = static_cast<const char *>(memmem(buf, n, ": W: n ", 7));
    if (w != nullptr) {
        numbered++;
        long k = atol(w + 7);
        if (k < highest)
            behind++;
        else
            highest = k;
    }
}

// Receives what waits, up to a batch, in one call (blocking for the first
// unless flags say otherwise), so that the sink costs the sender as little
// as a daemon can; how many came, or -1.
static int take(int fd, int flags)
{
    enum { kBatch = 64, kSize = 16384 };
    static char bufs[kBatch][kSize];
    struct mmsghdr msgs[kBatch];
    struct iovec iov[kBatch];
    for (int i = 0; i < kBatch; i++) {
        iov[i] = {bufs[i], kSize};
        memset(&msgs[i], 0, sizeof msgs[i]);
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
    int n = recvmmsg(fd, msgs, kBatch, flags | MSG_WAITFORONE, nullptr);
    for (int i = 0; i < n; i++)
        count(bufs[i], msgs[i].msg_len);
    return n;
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
    // No SA_RESTART: SIGTERM ends a waiting receive.
    struct sigaction sa = {};
    sa.sa_handler = onTerm;
    sigaction(SIGTERM, &sa, nullptr);
    int fd = bindAt(path);
    // Ready: the caller waits for this line before it starts the sender.
    printf("ready\n");
    fflush(stdout);
    bool failed = false;
    while (got < want && !stop) {
        int n = take(fd, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break; // two minutes without a datagram, or worse
        }
        if (failed || got < after)
            continue;
        failed = true;
        if (stallMs > 0)
            holdOff(stallMs);
        if (goneMs > 0) {
            while (take(fd, MSG_DONTWAIT) > 0) {
            }
            close(fd);
            unlink(path);
            holdOff(goneMs);
            fd = bindAt(path);
        }
    }
    printf("%ld %ld %ld\n", got, numbered, behind);
    close(fd);
    unlink(path);
    return got == want ? 0 : 1;
}
