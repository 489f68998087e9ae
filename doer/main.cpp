#include <signal.h>
#include <stddef.h>
#include <syslog.h>

#include "log.h"
#include "ptz.h"
#include "string_helpers.h"
#include "version.h"

int main(int argc, char **argv)
{
    // A reader that went away must not stop a move halfway, with the PTZ
    // control queue still held.
    (void)signal(SIGPIPE, SIG_IGN);
    openlog(APP_NAME, LOG_PID | LOG_CONS, LOG_USER);
    LOGINFO("doer, %s, started. Args: %d, List:", APP_VERSION, argc);
    if (argv != nullptr) {
        for (int i = 0; i < argc; i++)
            LOGINFO("Arg%d='%s'", i, argv[i] != nullptr ? argv[i] : "(null)");
    }

    if (argv != nullptr && argc >= 2 && argv[1] != nullptr && startsWith(argv[1], "ptz:")) {
        int exitCode = doPtz(argv[1]);
        closelog();
        // After closelog: the system library logs this line under its own
        // default identity, the program's name.
        if (exitCode != 0)
            LOGINFO("doer, ptz, finish.. %d", exitCode);
        closelog();
        return exitCode;
    }
    LOGINFO("doer, finish.. %d", 0);
    closelog();
    return 0;
}
