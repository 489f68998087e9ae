// The floor for a relay of the worker's lines into the system log, for the
// benchmark on the camera: the worker runs through /bin/sh with its output
// a pipe, and each line becomes the datagram syslog(3) sends for
// LOG_USER | LOG_INFO with LOG_PID and the runner's identity, up to 64 a
// call. No event loop, no queue beyond one read of the pipe: what a relay
// costs above this is its own.
//   floorrelay COMMAND   exits with the worker's status
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

namespace {

constexpr int kBatch = 64;          // datagrams a sendmmsg
constexpr int kLine = 1024;         // a longer line goes in pieces of this
constexpr int kHeader = 64;         // "<14>Mmm dd hh:mm:ss lanternhill[PID]: W: "
constexpr size_t kRead = 64 * 1024; // one read of the pipe

struct Batch {
    char text[kBatch][kHeader + kLine + 1];
    struct iovec iov[kBatch];
    struct mmsghdr msg[kBatch];
    int count = 0;
};

Batch batch;
char input[kRead];
char header[kHeader];
time_t headerTime = -1;

int fail(const char *what)
{
    fprintf(stderr, "floorrelay: %s: %s\n", what, strerror(errno));
    return -1;
}

// As syslog(3) stamps it: local time, English month, day padded by a space.
void stamp()
{
    time_t now = time(nullptr);
    if (now == headerTime)
        return;
    static const char months[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    struct tm tm;
    if (localtime_r(&now, &tm) == nullptr)
        memset(&tm, 0, sizeof tm);
    (void)snprintf(header, sizeof header, "<14>%s %2d %02d:%02d:%02d lanternhill[%d]: W: ",
                   months[tm.tm_mon % 12], tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                   static_cast<int>(getpid()));
    headerTime = now;
}

int connectLog()
{
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return fail("socket");
    struct sockaddr_un sa;
    memset(&sa, 0, sizeof sa);
    sa.sun_family = AF_UNIX;
    (void)snprintf(sa.sun_path, sizeof sa.sun_path, "%s", "/dev/log");
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0) {
        int saved = errno;
        (void)close(fd);
        errno = saved;
        return fail("/dev/log");
    }
    return fd;
}

// Sends the batch whole: a full queue is waited out, nothing dropped.
int flush(int log)
{
    int sent = 0;
    while (sent < batch.count) {
        int n = sendmmsg(log, batch.msg + sent, static_cast<unsigned>(batch.count - sent), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return fail("sendmmsg");
        if (n > 0)
            sent += n;
        // Short of the batch, the queue was full at the next one: a second
        // try before it drains would only fail again.
        struct pollfd p = {log, POLLOUT, 0};
        if (sent < batch.count && poll(&p, 1, -1) < 0 && errno != EINTR)
            return fail("poll");
    }
    batch.count = 0;
    return 0;
}

int add(int log, const char *line, size_t len)
{
    if (batch.count == kBatch && flush(log) != 0)
        return -1;
    if (batch.count == 0)
        stamp();
    char *text = batch.text[batch.count];
    int n = snprintf(text, sizeof batch.text[0], "%s%.*s", header, static_cast<int>(len), line);
    batch.iov[batch.count].iov_base = text;
    batch.iov[batch.count].iov_len = static_cast<size_t>(n);
    batch.count++;
    return 0;
}

// Every whole line of the pipe, pieces of kLine for longer ones, the rest
// of the last one at the end.
int relay(int in, int log)
{
    size_t have = 0;
    for (;;) {
        ssize_t r = read(in, input + have, sizeof input - have);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return fail("reading the worker");
        if (r == 0)
            break;
        have += static_cast<size_t>(r);
        size_t start = 0;
        for (;;) {
            size_t left = have - start;
            const char *nl = static_cast<const char *>(memchr(input + start, '\n', left <= kLine ? left : kLine + 1));
            if (nl != nullptr) {
                size_t len = static_cast<size_t>(nl - (input + start));
                if (add(log, input + start, len) != 0)
                    return -1;
                start += len + 1;
            } else if (left > static_cast<size_t>(kLine)) {
                if (add(log, input + start, kLine) != 0)
                    return -1;
                start += kLine;
            } else {
                break;
            }
        }
        memmove(input, input + start, have - start);
        have -= start;
        if (flush(log) != 0)
            return -1;
    }
    if (have > 0 && add(log, input, have) != 0)
        return -1;
    return flush(log);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: floorrelay COMMAND\n");
        return 2;
    }
    for (int i = 0; i < kBatch; i++) {
        batch.msg[i].msg_hdr.msg_iov = &batch.iov[i];
        batch.msg[i].msg_hdr.msg_iovlen = 1;
    }
    int log = connectLog();
    if (log < 0)
        return 1;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        (void)fail("pipe");
        return 1;
    }
    posix_spawn_file_actions_t actions;
    (void)posix_spawn_file_actions_init(&actions);
    // dup2 clears close-on-exec on the worker's copy only.
    (void)posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    char sh[] = "sh", dashC[] = "-c";
    char *args[] = {sh, dashC, argv[1], nullptr};
    pid_t worker;
    int rc = posix_spawn(&worker, "/bin/sh", &actions, nullptr, args, environ);
    (void)posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        errno = rc;
        (void)fail("/bin/sh");
        return 1;
    }
    (void)close(pipeFds[1]);
    int relayed = relay(pipeFds[0], log);
    (void)close(pipeFds[0]);
    int status = 0;
    while (waitpid(worker, &status, 0) < 0 && errno == EINTR) {
    }
    if (relayed != 0)
        return 1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
