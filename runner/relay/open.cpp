#include "open.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

void start(Sink &s, int fd, bool own, How how)
{
    s.fd = fd;
    s.ownFd = own;
    s.how = how;
    s.state = SINK_TAKES;
    s.since = 0;
}

} // namespace

void sinkOpenStdout(Sink &s)
{
    struct stat st;
    s.state = SINK_GONE;
    if (fstat(STDOUT_FILENO, &st) != 0)
        return;
    if (S_ISSOCK(st.st_mode)) {
        start(s, STDOUT_FILENO, false, HOW_SOCKET);
        return;
    }
    const bool tty = isatty(STDOUT_FILENO) == 1;
    if (!S_ISFIFO(st.st_mode) && !tty) {
        // A file or /dev/null: writes don't wait for a reader.
        start(s, STDOUT_FILENO, false, HOW_PLAIN);
        return;
    }
    // O_NONBLOCK on the inherited description would reach every process
    // that shares it: a description of its own carries it instead.
    int fd = open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    const char *name = fd < 0 && tty ? ttyname(STDOUT_FILENO) : nullptr;
    if (name != nullptr)
        fd = open(name, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
        start(s, fd, true, HOW_PLAIN);
        return;
    }
    // Not its own to open again (another user's pipe, no /proc): a pipe
    // takes PIPE_BUF bytes without blocking once it polls writable. A
    // terminal may block a write of any size, whatever poll says: it gets
    // no echo.
    if (!tty)
        start(s, STDOUT_FILENO, false, HOW_POLLED);
}

bool sinkOpenPath(Sink &s, const char *path)
{
    // Opened again each time the log refuses anew: a file standing for the
    // device must keep what it was given before.
    int fd = open(path, O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    start(s, fd, true, HOW_PLAIN);
    return true;
}

bool logConnect(const char *path)
{
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    (void)g_strlcpy(addr.sun_path, path, sizeof addr.sun_path);
    // A stream socket at /dev/log works too, as syslog(3) handles it.
    static const int types[] = {SOCK_DGRAM, SOCK_STREAM};
    for (int type : types) {
        int s = socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (s < 0)
            return false;
        if (connect(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
            R.log.fd = s;
            R.log.stream = type == SOCK_STREAM;
            return true;
        }
        int err = errno;
        (void)close(s);
        if (err != EPROTOTYPE)
            return false;
    }
    return false;
}
