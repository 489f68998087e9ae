#include "child.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "globals.h"
#include "log.h"

// Child ids indexed by the parent's pipe descriptor; never freed.
static pid_t *childpid = nullptr;
static int maxfd = 0;

static pid_t waitRetrying(pid_t pid, int *status)
{
    pid_t r;
    do {
        r = waitpid(pid, status, 0);
    } while (r < 0 && errno == EINTR);
    return r;
}

// Runs in the forked child: only async-signal-safe calls until exec.
[[noreturn]] static void execChild(const char *cmdstring, int parentEnd, int childEnd,
                                   int target, const sigset_t *mask, pid_t parent)
{
    // A runner killed outright (SIGKILL, the OOM killer) must not leave its
    // worker running beside the next runner: the worker then gets the
    // SIGTERM it would have had. Kept across the exec of the shell.
    (void)prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent)
        _exit(127);
    (void)close(parentEnd);
    if (childEnd != target) {
        (void)dup2(childEnd, target);
        (void)close(childEnd);
    } else {
        // Opened close-on-exec, but this one is the child's stream.
        (void)fcntl(target, F_SETFD, 0);
    }
    for (int i = 0; i < maxfd; i++) {
        if (childpid[i] > 0 && i != target)
            (void)close(i);
    }
    // The runner ignores SIGPIPE and SIGTTOU for itself; the shell gets the
    // defaults back, and the signal mask the runner was started with.
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    (void)sigaction(SIGPIPE, &dfl, nullptr);
    (void)sigaction(SIGTTOU, &dfl, nullptr);
    (void)sigaction(SIGTERM, &dfl, nullptr);
    (void)sigprocmask(SIG_SETMASK, mask, nullptr);
    execl("/bin/sh", "sh", "-c", cmdstring, (char *)nullptr);
    _exit(127);
}

FILE *mypopen(const char *cmdstring, const char *type)
{
    if (type == nullptr || (type[0] != 'r' && type[0] != 'w' && type[0] != 'e') || type[1] != '\0') {
        errno = EINVAL;
        return nullptr;
    }
    if (childpid == nullptr) {
        childpid = static_cast<pid_t *>(calloc(256, sizeof(pid_t)));
        if (childpid == nullptr)
            return nullptr;
        maxfd = 256;
    }

    int pfd[2];
    if (pipe2(pfd, O_CLOEXEC) < 0)
        return nullptr;
    const bool parentReads = type[0] != 'w';
    const int parentEnd = parentReads ? pfd[0] : pfd[1];
    const int childEnd = parentReads ? pfd[1] : pfd[0];
    const int target = type[0] == 'e' ? STDERR_FILENO : type[0] == 'r' ? STDOUT_FILENO : STDIN_FILENO;

    // The table can't track this descriptor: refuse before anything starts.
    if (parentEnd >= maxfd) {
        (void)close(pfd[0]);
        (void)close(pfd[1]);
        errno = EMFILE;
        return nullptr;
    }

    // No signal handler may run in the child before it has reset them.
    sigset_t all, old;
    sigfillset(&all);
    (void)sigprocmask(SIG_SETMASK, &all, &old);
    const pid_t self = getpid();
    pid_t pid = fork();
    if (pid == 0)
        execChild(cmdstring, parentEnd, childEnd, target, &old, self);
    int forkErrno = errno;
    if (pid > 0)
        lhwPid = pid;
    (void)sigprocmask(SIG_SETMASK, &old, nullptr);
    if (pid < 0) {
        (void)close(pfd[0]);
        (void)close(pfd[1]);
        errno = forkErrno;
        return nullptr;
    }

    (void)close(childEnd);
    FILE *fp = fdopen(parentEnd, parentReads ? "r" : "w");
    if (fp == nullptr) {
        // Nobody could talk to the child: don't leave it running or unreaped.
        int saved = errno;
        (void)close(parentEnd);
        (void)kill(pid, SIGKILL);
        int status;
        (void)waitRetrying(pid, &status);
        if (lhwPid == pid)
            lhwPid = 0;
        errno = saved;
        return nullptr;
    }
    int flags = fcntl(parentEnd, F_GETFL);
    if (flags >= 0)
        (void)fcntl(parentEnd, F_SETFL, flags | O_NONBLOCK);
    childpid[parentEnd] = pid;
    return fp;
}

int mypclose(FILE *fp)
{
    if (childpid == nullptr) {
        errno = EINVAL;
        return -1;
    }
    int fd = fp != nullptr ? fileno(fp) : -1;
    if (fd < 0 || fd >= maxfd || childpid[fd] == 0) {
        errno = EINVAL;
        return -1;
    }
    pid_t pid = childpid[fd];
    childpid[fd] = 0;
    bool closed = fclose(fp) == 0;
    int closeErrno = errno;

    // Wait without reaping first: while the child is a zombie its id can't
    // be reused, so a SIGTERM forwarded meanwhile can't reach a stranger.
    siginfo_t info;
    int r;
    do {
        r = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
    } while (r < 0 && errno == EINTR);
    if (r == 0 && lhwPid == pid)
        lhwPid = 0;

    int status;
    if (waitRetrying(pid, &status) < 0)
        return -1;
    if (!closed) {
        errno = closeErrno;
        return -1;
    }
    return status;
}

FILE *execAndDoNotWait(const char *cmd)
{
    FILE *fp = mypopen(cmd, "e");
    if (fp == nullptr) {
        LOGINFO("lhr, fp null..");
        return nullptr;
    }
    // Room for a burst between two ticks of the pump, so that the worker
    // does not stall in the middle of its work; best effort.
    for (int size = 1 << 20; size > 65536; size /= 2) {
        if (fcntl(fileno(fp), F_SETPIPE_SZ, size) >= 0)
            break;
    }
    return fp;
}
