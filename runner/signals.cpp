#include "signals.h"

#include <errno.h>
#include <fcntl.h>
#include <glib-unix.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include "globals.h"
#include "relay/relay.h"

// The handler only writes a byte here; the main loop does the quitting.
static int stopPipe[2] = {-1, -1};
static guint stopSourceId = 0;
static volatile sig_atomic_t stopRequested = 0;

static gboolean onStopRequested(gint fd, GIOCondition, gpointer)
{
    char drain[16];
    bool term = false, child = false;
    for (ssize_t n; (n = read(fd, drain, sizeof drain)) > 0;) {
        term |= memchr(drain, 'T', static_cast<size_t>(n)) != nullptr;
        child |= memchr(drain, 'C', static_cast<size_t>(n)) != nullptr;
    }
    if (child)
        relayWorkerChanged();
    // Once: the loop then serves the stop, which another SIGTERM must not
    // cut short.
    static bool quit = false;
    if (term && _loop != nullptr && !quit) {
        g_main_loop_quit(_loop);
        quit = true;
    }
    return G_SOURCE_CONTINUE;
}

void handle_sigterm(int)
{
    int saved = errno;
    stopRequested = 1;
    if (stopPipe[1] >= 0)
        (void)!write(stopPipe[1], "T", 1);
    pid_t pid = lhwPid;
    // ESRCH: the worker was already gone; nothing to tell it.
    if (pid > 0)
        (void)kill(pid, SIGTERM);
    errno = saved;
}

// The worker's exit starts the stop's bound, also while a process it left
// behind keeps its output open.
static void handle_sigchld(int)
{
    int saved = errno;
    if (stopPipe[1] >= 0)
        (void)!write(stopPipe[1], "C", 1);
    errno = saved;
}

static void maskSigterm(int how)
{
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    (void)sigprocmask(how, &term, nullptr);
}

void holdSigterm()
{
    maskSigterm(SIG_BLOCK);
}

void init_signals()
{
    (void)setpgid(0, 0);
    if (pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) == 0)
        stopSourceId = g_unix_fd_add(stopPipe[0], G_IO_IN, onStopRequested, nullptr);
    struct sigaction sa = {};
    sa.sa_handler = handle_sigterm;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    (void)sigaction(SIGTERM, &sa, nullptr);
    sa.sa_handler = handle_sigchld;
    sa.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    (void)sigaction(SIGCHLD, &sa, nullptr);
    // A SIGTERM held since the start is handled now, as a stop request.
    maskSigterm(SIG_UNBLOCK);
}

void endIfStopPending()
{
    sigset_t pending;
    if (sigpending(&pending) != 0 || sigismember(&pending, SIGTERM) != 1)
        return;
    // Ended by the signal, as without the hold: exit 14 would read as
    // "start me again" to a platform that asked for a stop.
    (void)signal(SIGTERM, SIG_DFL);
    maskSigterm(SIG_UNBLOCK);
}

void forwardPendingStop()
{
    pid_t pid = lhwPid;
    if (stopRequested && pid > 0)
        (void)kill(pid, SIGTERM);
}

void release_signals()
{
    // The worker has been collected; a late SIGTERM has nobody to reach and
    // must not write into a descriptor that is closed below.
    (void)signal(SIGTERM, SIG_IGN);
    (void)signal(SIGCHLD, SIG_DFL);
    if (stopSourceId != 0)
        g_source_remove(stopSourceId);
    stopSourceId = 0;
    for (int &fd : stopPipe) {
        if (fd >= 0)
            (void)close(fd);
        fd = -1;
    }
}
