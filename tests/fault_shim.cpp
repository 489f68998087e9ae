// Preloaded into a program under test: fails or kills at a chosen call of
// the file-changing functions, and writes a trace of them.
//   LH_FAULTS="rename:2:EXDEV,link:1:ENOSPC"  the 2nd rename fails with EXDEV ...
//   LH_FAULTS="any:3:KILL"                    SIGKILL on entry of the 3rd call of any of them
//   LH_FAULTS="fsync:1:SLOW"                  the 1st fsync takes 700 ms longer
//   LH_FAULT_TRACE=/path                      one line per call
//   LH_SLEEP_LOG=/path                        sleep() returns at once; each pause is written there
//   LH_CLOCK_OFFSET=SECONDS                   time() reads that much later
//   LH_CLOCK_STEP_FILE=/path                  ... and later by the seconds this file
//                                             holds now: the test steps the clock
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

int counts[5];
int anyCount;
const char *const names[] = {"rename", "link", "unlink", "fsync", "chmod"};

int errnoByName(const char *n)
{
    static const struct { const char *name; int value; } table[] = {
        {"EIO", EIO}, {"ENOSPC", ENOSPC}, {"EXDEV", EXDEV}, {"EPERM", EPERM},
        {"EACCES", EACCES}, {"EROFS", EROFS}, {"EBUSY", EBUSY}};
    for (const auto &e : table) {
        if (strcmp(e.name, n) == 0)
            return e.value;
    }
    return EIO;
}

void trace(const char *fmt, const char *a, const char *b)
{
    const char *path = getenv("LH_FAULT_TRACE");
    if (path == nullptr)
        return;
    int saved = errno;
    if (FILE *f = fopen(path, "a")) {
        fprintf(f, fmt, a, b);
        fputc('\n', f);
        fclose(f);
    }
    errno = saved;
}

// 0: go on; else the errno to fail with.
int decide(int which)
{
    int nth = ++counts[which];
    int any = ++anyCount;
    const char *faults = getenv("LH_FAULTS");
    if (faults == nullptr)
        return 0;
    char buf[256];
    snprintf(buf, sizeof buf, "%s", faults);
    char *save = nullptr;
    // Every item that matches acts: a kill wins over a failure of the
    // same call.
    int fail = 0;
    for (char *item = strtok_r(buf, ",", &save); item; item = strtok_r(nullptr, ",", &save)) {
        char call[32], what[32];
        int n;
        if (sscanf(item, "%31[^:]:%d:%31s", call, &n, what) != 3)
            continue;
        bool isAny = strcmp(call, "any") == 0;
        if ((isAny && n == any) || (!isAny && strcmp(call, names[which]) == 0 && n == nth)) {
            if (strcmp(what, "KILL") == 0)
                raise(SIGKILL);
            if (strcmp(what, "SLOW") == 0) {
                struct timespec slow = {0, 700 * 1000 * 1000};
                while (nanosleep(&slow, &slow) != 0 && errno == EINTR) {
                }
            } else if (fail == 0) {
                fail = errnoByName(what);
            }
        }
    }
    return fail;
}

template <typename F>
F real(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

void fdPath(int fd, char *out, size_t len)
{
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, out, len - 1);
    out[n > 0 ? n : 0] = '\0';
}

// The step the test has written into LH_CLOCK_STEP_FILE, 0 before it.
long long clockStep()
{
    const char *path = getenv("LH_CLOCK_STEP_FILE");
    long long step = 0;
    if (path == nullptr)
        return 0;
    int saved = errno;
    if (FILE *f = fopen(path, "re")) {
        if (fscanf(f, "%lld", &step) != 1)
            step = 0;
        fclose(f);
    }
    errno = saved;
    return step;
}

} // namespace

extern "C" {

int rename(const char *a, const char *b)
{
    trace("rename %s %s", a, b);
    if (int e = decide(0)) {
        errno = e;
        return -1;
    }
    return real<int (*)(const char *, const char *)>("rename")(a, b);
}

int link(const char *a, const char *b)
{
    trace("link %s %s", a, b);
    if (int e = decide(1)) {
        errno = e;
        return -1;
    }
    return real<int (*)(const char *, const char *)>("link")(a, b);
}

int unlink(const char *a)
{
    trace("unlink %s%s", a, "");
    if (int e = decide(2)) {
        errno = e;
        return -1;
    }
    return real<int (*)(const char *)>("unlink")(a);
}

int fsync(int fd)
{
    char p[512];
    fdPath(fd, p, sizeof p);
    trace("fsync %s%s", p, "");
    if (int e = decide(3)) {
        errno = e;
        return -1;
    }
    return real<int (*)(int)>("fsync")(fd);
}

unsigned sleep(unsigned seconds)
{
    const char *log = getenv("LH_SLEEP_LOG");
    if (log == nullptr)
        return real<unsigned (*)(unsigned)>("sleep")(seconds);
    if (FILE *f = fopen(log, "a")) {
        fprintf(f, "%u\n", seconds);
        fclose(f);
    }
    return 0;
}

// Fails with EOVERFLOW where time_t can't hold the time, as the C library
// does: a build with a 32-bit time_t stops counting in 2038.
time_t time(time_t *out)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    const char *offset = getenv("LH_CLOCK_OFFSET");
    long long now = static_cast<long long>(ts.tv_sec) + (offset != nullptr ? atoll(offset) : 0) + clockStep();
    time_t t = static_cast<time_t>(now);
    if (static_cast<long long>(t) != now) {
        errno = EOVERFLOW;
        t = static_cast<time_t>(-1);
    }
    if (out != nullptr)
        *out = t;
    return t;
}

int chmod(const char *path, mode_t mode)
{
    trace("chmod %s%s", path, "");
    if (int e = decide(4)) {
        errno = e;
        return -1;
    }
    return real<int (*)(const char *, mode_t)>("chmod")(path, mode);
}
}
