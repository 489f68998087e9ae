#include "worker.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>

#include "globals.h"
#include "limits.h"
#include "state.h"

namespace {

bool hasExited(pid_t pid)
{
    // With WNOHANG, si_pid stays as it was when nothing has exited.
    siginfo_t info;
    info.si_pid = 0;
    int ret;
    do {
        ret = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    } while (ret < 0 && errno == EINTR);
    // ECHILD: nothing left to wait for.
    return ret < 0 || info.si_pid != 0;
}

} // namespace

bool workerExited(gint64 now)
{
    if (R.boundFrom != 0 || _fp == nullptr || lhwPid <= 0)
        return false;
    if (!R.askExit && !(R.stopping && now >= R.exitPollAt))
        return false;
    R.askExit = false;
    R.exitPollAt = now + ms(kExitPollMs);
    return hasExited(lhwPid);
}

int pipeFill()
{
    int fill = 0;
    return _fp != nullptr && ioctl(fileno(_fp), FIONREAD, &fill) == 0 ? fill : 0;
}

int pipeSize()
{
    static int size = 0;
    if (size <= 0 && _fp != nullptr)
        size = fcntl(fileno(_fp), F_GETPIPE_SZ);
    return size > 0 ? size : 65536;
}
