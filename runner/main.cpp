#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include "axhttp.h"
#include "child.h"
#include "globals.h"
#include "log.h"
#include "relay/relay.h"
#include "signals.h"
#include "status.h"
#include "string_helpers.h"
#include "update.h"
#include "version.h"

#define WORKER_COMMAND "./lanternhillworker --platform=axis --lhrversion=%s 1>&2"

// A missing standard stream would let the next pipe or socket take its
// number, and every echo would land in it.
static void ensureStdDescriptors()
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) < 0)
            (void)open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    }
}

static void logArguments(int argc, char **argv)
{
    LOGINFO("lhr, %s, axis, Started. Args: %d, List:", APP_VERSION, argc);
    if (argv == nullptr)
        return;
    for (int i = 0; i < argc; i++)
        LOGINFO("Arg%d='%s'", i, argv[i] != nullptr ? argv[i] : "(null)");
}

static void startWorker()
{
    char lhwArgs[128];
    memset(lhwArgs, 0, sizeof lhwArgs);
    // "exec": the shell becomes the worker, so lhwPid is the worker's own id
    // and a forwarded SIGTERM reaches it, not just the shell.
    (void)snprintf(lhwArgs, sizeof lhwArgs, "exec " WORKER_COMMAND, APP_VERSION);
    _fp = execAndDoNotWait(lhwArgs);
    forwardPendingStop();
}

static int collectWorker()
{
    if (_fp == nullptr)
        return 0;
    relayToTheEnd();
    int st = mypclose(_fp);
    _fp = nullptr;
    int exitCode = (st & 0x7f) != 0 ? -2 : (st >> 8) & 0xff;
    LOGINFO("lhr, lhw exited, ExitCode: %d", exitCode);
    return exitCode;
}

int main(int argc, char **argv)
{
    holdSigterm();
    ensureStdDescriptors();
    // A closed reader of standard output must not end the runner, nor a
    // terminal with tostop stop it: it leads a process group of its own.
    (void)signal(SIGPIPE, SIG_IGN);
    (void)signal(SIGTTOU, SIG_IGN);

    openSystemLog();
    startedAt = time(nullptr);
    startedAtMonotonic = g_get_monotonic_time();
    logArguments(argc, argv);

    if (argc > 1 && argv != nullptr && argv[1] != nullptr && startsWith(argv[1], "ptz:")) {
        LOGINFO("lhr, ptz moved to doer");
        closeSystemLog();
        endIfStopPending();
        return 1;
    }

    if (handleUpgrade() == 1) {
        // The platform starts the runner again, from its new file.
        LOGINFO("lhr, updated, restarting..");
        closeSystemLog();
        endIfStopPending();
        return 14;
    }

    init_signals();
    _loop = g_main_loop_new(nullptr, FALSE);
    guint timer_source_id = g_timeout_add(1000, application_iterate, nullptr);
    AXHttpHandler *handler = ax_http_handler_new(request_handler, nullptr);
    if (chdir(PACKAGE_DIR) != 0) {
        // Ignored: the worker's start then fails and is logged.
    }
    LOGINFO("lhr, Running..");
    startWorker();
    relayStart();

    g_main_loop_run(_loop);

    LOGINFO("lhr, Stopping..");
    // The timer removes itself at the end of the worker's output.
    if (g_main_context_find_source_by_id(nullptr, timer_source_id) != nullptr)
        g_source_remove(timer_source_id);

    int exitCode = collectWorker();
    // A full log is waited for while the handler still answers.
    relayHandOn();

    ax_http_handler_free(handler);
    g_main_loop_unref(_loop);
    _loop = nullptr;
    release_signals();
    LOGINFO("lhr, %s, axis, Stopped.", APP_VERSION);
    closeSystemLog();
    return exitCode;
}
