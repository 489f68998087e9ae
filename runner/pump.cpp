#include "pump.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/wait.h>

#include "globals.h"
#include "log.h"

static bool readableSoon(int fd)
{
    struct pollfd pfd = {fd, POLLIN, 0};
    int r;
    do {
        r = poll(&pfd, 1, 10);
    } while (r < 0 && errno == EINTR);
    return r > 0;
}

static void relayWorkerLines()
{
    // The stream is non-blocking: fgets ends as soon as nothing is waiting,
    // handing over a line whose end has not arrived yet as it stands. A
    // line cut only where the pipe's content happened to end (a worker
    // writing fast) gets a moment for its rest, so that it stays whole.
    loginfoHoldEcho(true);
    while (fgets(_stdReadBuf, sizeof _stdReadBuf, _fp) != nullptr) {
        size_t len = strlen(_stdReadBuf);
        while (len > 0 && len < sizeof _stdReadBuf - 1 && _stdReadBuf[len - 1] != '\n' &&
               !feof(_fp) && readableSoon(fileno(_fp))) {
            if (fgets(_stdReadBuf + len, static_cast<int>(sizeof _stdReadBuf - len), _fp) == nullptr)
                break;
            len += strlen(_stdReadBuf + len);
        }
        LOGINFO("W: %s", _stdReadBuf);
    }
    loginfoHoldEcho(false);
}

gboolean application_iterate(gpointer)
{
    if (_fp == nullptr)
        return TRUE;
    relayWorkerLines();
    if (!feof(_fp))
        return TRUE;
    LOGINFO("lhr, lhw read end.");
    g_main_loop_quit(_loop);
    return FALSE;
}

static bool hasExited(pid_t pid)
{
    siginfo_t info = {};
    int r;
    do {
        r = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    } while (r < 0 && errno == EINTR);
    // ECHILD: nothing left to wait for.
    return r < 0 || info.si_pid != 0;
}

void drainWorkerOutput()
{
    pid_t worker = lhwPid;
    if (_fp == nullptr || worker <= 0)
        return;
    struct pollfd pfd = {fileno(_fp), POLLIN, 0};
    for (;;) {
        relayWorkerLines();
        if (feof(_fp))
            return;
        // A process the worker left behind may hold the pipe open: once the
        // worker itself is gone, take what is there and stop.
        if (hasExited(worker)) {
            relayWorkerLines();
            return;
        }
        (void)poll(&pfd, 1, 100);
    }
}
