// doer's command handling on any first argument, against a healthy
// simulated head: no write past a buffer, and a result of 0 or 123.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "fake_log.h"
#include "ptz.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // A head that stops at once: no pauses while fuzzing.
    static char path[] = "/tmp/lhfuzz-ptz.XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        abort();
    FILE *f = fdopen(fd, "w");
    fputs("moving = still\npresets = 1, 2, 3, Home\n", f);
    fclose(f);
    setenv("SIMCAM_PTZ_SCENARIO", path, 1);
    unsetenv("SIMCAM_PTZ_JOURNAL");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string command(reinterpret_cast<const char *>(data), size);
    int r = doPtz(command.c_str());
    loggedLines.clear();
    if (r != 0 && r != 123)
        abort();
    return 0;
}
