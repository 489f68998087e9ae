// The emulated camera's exact power cut: preloaded into the runner's first
// start of a cut round, it counts the calls that change files and, on
// entry of call LH_CUT (or at the exit, for the call after the last),
// announces it on the console and resets the camera at once through
// /proc/sysrq-trigger, without a sync. LH_CUT=list announces every call
// with its outcome and cuts nothing. Console lines:
//   @@call N NAME ARGS = 0|ERRNO  (list)
//   @@cutat N NAME ARGS     (cut; NAME "exit" after the last call)
// The plain symbols are wanted here, not the 64-bit redirects nor the
// fortified inlines: they are what a program built either way ends in.
#undef _FORTIFY_SOURCE
#undef _TIME_BITS
#undef _FILE_OFFSET_BITS
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

int calls;
int cutAt = -1; // 0: list every call; -1: nothing to do

void writeAll(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return;
        p += w;
        n -= static_cast<size_t>(w);
    }
}

// The serial console's own buffer is lost in a reset: the line must have
// left before the cut.
void announce(const char *what, int n, const char *name, const char *a, const char *b)
{
    char line[600];
    int len = snprintf(line, sizeof line, "@@%s %d %s%s%s%s%s\n", what, n, name, a[0] ? " " : "", a,
                       b[0] ? " " : "", b);
    if (len < 0)
        return;
    int fd = open("/dev/console", O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return;
    writeAll(fd, line, len < static_cast<int>(sizeof line) ? static_cast<size_t>(len) : sizeof line - 1);
    (void)tcdrain(fd);
    (void)close(fd);
}

void cut()
{
    int fd = open("/proc/sysrq-trigger", O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
        writeAll(fd, "b", 1);
        (void)close(fd);
    }
    // Still here: the host sees no reset and fails the round.
    announce("cutfailed", calls, strerror(errno), "", "");
}

// A descriptor's or a /proc/self/fd path's file, as the plan names it.
void resolve(const char *path, int fd, char *out, size_t len)
{
    char link[64];
    if (fd >= 0)
        (void)snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    else if (path != nullptr && strncmp(path, "/proc/self/fd/", 14) == 0)
        (void)snprintf(link, sizeof link, "%s", path);
    else {
        (void)snprintf(out, len, "%s", path != nullptr ? path : "");
        return;
    }
    ssize_t n = readlink(link, out, len - 1);
    out[n > 0 ? n : 0] = '\0';
}

// The call being listed, for its outcome; none is nested in another.
char listed[560];

void at(const char *name, const char *a, const char *b)
{
    if (cutAt < 0)
        return;
    int saved = errno;
    int n = ++calls;
    if (cutAt == 0)
        (void)snprintf(listed, sizeof listed, "%s%s%s%s%s", name, a[0] ? " " : "", a, b[0] ? " " : "", b);
    else if (n == cutAt) {
        announce("cutat", n, name, a, b);
        cut();
    }
    errno = saved;
}

int outcome(int result)
{
    if (cutAt == 0 && listed[0] != '\0') {
        int saved = errno;
        char call[sizeof listed];
        // Taken first: the announcement's own open comes through here.
        (void)snprintf(call, sizeof call, "%s", listed);
        listed[0] = '\0';
        const char *e = result >= 0 ? "0" : strerrorname_np(saved);
        announce("call", calls, call, "=", e != nullptr ? e : "?");
        errno = saved;
    }
    return result;
}

void atPath(const char *name, const char *path, const char *b = "")
{
    char p[512];
    resolve(path, -1, p, sizeof p);
    at(name, p, b);
}

void atFd(const char *name, int fd)
{
    char p[512];
    resolve(nullptr, fd, p, sizeof p);
    at(name, p, "");
}

void atMode(const char *name, const char *path, mode_t mode)
{
    char m[16];
    (void)snprintf(m, sizeof m, "%04o", static_cast<unsigned>(mode));
    atPath(name, path, m);
}

template <typename F>
F real(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

__attribute__((constructor)) void start()
{
    const char *v = getenv("LH_CUT");
    if (v == nullptr)
        return;
    char *end = nullptr;
    long n = strtol(v, &end, 10);
    if (strcmp(v, "list") == 0)
        cutAt = 0;
    else if (end != v && *end == '\0' && n > 0 && n < 100000)
        cutAt = static_cast<int>(n);
    // The runner's children are not counted.
    (void)unsetenv("LD_PRELOAD");
    (void)unsetenv("LH_CUT");
}

// The cut after the last call: the update is over, the runner leaves.
__attribute__((destructor)) void finish()
{
    if (cutAt == 0)
        announce("calls", calls, "in all", "", "");
    else if (cutAt == calls + 1) {
        announce("cutat", cutAt, "exit", "", "");
        cut();
    }
}

// open and its kin change a file only when they create or truncate it.
bool changes(int flags) { return (flags & (O_CREAT | O_TRUNC)) != 0; }

} // namespace

extern "C" {

int rename(const char *a, const char *b)
{
    at("rename", a, b);
    return outcome(real<int (*)(const char *, const char *)>("rename")(a, b));
}

int renameat(int da, const char *a, int db, const char *b)
{
    at("renameat", a, b);
    return outcome(real<int (*)(int, const char *, int, const char *)>("renameat")(da, a, db, b));
}

int renameat2(int da, const char *a, int db, const char *b, unsigned flags)
{
    at("renameat2", a, b);
    return outcome(real<int (*)(int, const char *, int, const char *, unsigned)>("renameat2")(da, a, db, b, flags));
}

int link(const char *a, const char *b)
{
    at("link", a, b);
    return outcome(real<int (*)(const char *, const char *)>("link")(a, b));
}

int linkat(int da, const char *a, int db, const char *b, int flags)
{
    at("linkat", a, b);
    return outcome(real<int (*)(int, const char *, int, const char *, int)>("linkat")(da, a, db, b, flags));
}

int symlink(const char *a, const char *b)
{
    at("symlink", a, b);
    return outcome(real<int (*)(const char *, const char *)>("symlink")(a, b));
}

int unlink(const char *a)
{
    at("unlink", a, "");
    return outcome(real<int (*)(const char *)>("unlink")(a));
}

int unlinkat(int d, const char *a, int flags)
{
    at("unlinkat", a, "");
    return outcome(real<int (*)(int, const char *, int)>("unlinkat")(d, a, flags));
}

int remove(const char *a)
{
    at("remove", a, "");
    return outcome(real<int (*)(const char *)>("remove")(a));
}

int rmdir(const char *a)
{
    at("rmdir", a, "");
    return outcome(real<int (*)(const char *)>("rmdir")(a));
}

int mkdir(const char *a, mode_t mode)
{
    atMode("mkdir", a, mode);
    return outcome(real<int (*)(const char *, mode_t)>("mkdir")(a, mode));
}

int fsync(int fd)
{
    atFd("fsync", fd);
    return outcome(real<int (*)(int)>("fsync")(fd));
}

int fdatasync(int fd)
{
    atFd("fdatasync", fd);
    return outcome(real<int (*)(int)>("fdatasync")(fd));
}

void sync()
{
    at("sync", "", "");
    real<void (*)()>("sync")();
    (void)outcome(0);
}

int syncfs(int fd)
{
    atFd("syncfs", fd);
    return outcome(real<int (*)(int)>("syncfs")(fd));
}

int chmod(const char *a, mode_t mode)
{
    atMode("chmod", a, mode);
    return outcome(real<int (*)(const char *, mode_t)>("chmod")(a, mode));
}

int fchmod(int fd, mode_t mode)
{
    char p[512], m[16];
    resolve(nullptr, fd, p, sizeof p);
    (void)snprintf(m, sizeof m, "%04o", static_cast<unsigned>(mode));
    at("fchmod", p, m);
    return outcome(real<int (*)(int, mode_t)>("fchmod")(fd, mode));
}

int fchmodat(int d, const char *a, mode_t mode, int flags)
{
    atMode("fchmodat", a, mode);
    return outcome(real<int (*)(int, const char *, mode_t, int)>("fchmodat")(d, a, mode, flags));
}

// open and its kin: the mode argument is there only when the flags ask
// for one.
#define LH_OPEN(name)                                                          \
    int name(const char *a, int flags, ...)                                    \
    {                                                                          \
        va_list ap;                                                            \
        va_start(ap, flags);                                                   \
        mode_t mode = __OPEN_NEEDS_MODE(flags) ? va_arg(ap, mode_t) : 0;       \
        va_end(ap);                                                            \
        if (changes(flags))                                                    \
            atPath(#name, a);                                                  \
        return outcome(real<int (*)(const char *, int, ...)>(#name)(a, flags, mode)); \
    }
#define LH_OPENAT(name)                                                        \
    int name(int d, const char *a, int flags, ...)                             \
    {                                                                          \
        va_list ap;                                                            \
        va_start(ap, flags);                                                   \
        mode_t mode = __OPEN_NEEDS_MODE(flags) ? va_arg(ap, mode_t) : 0;       \
        va_end(ap);                                                            \
        if (changes(flags))                                                    \
            atPath(#name, a);                                                  \
        return outcome(real<int (*)(int, const char *, int, ...)>(#name)(d, a, flags, mode)); \
    }
LH_OPEN(open)
LH_OPEN(open64)
LH_OPENAT(openat)
LH_OPENAT(openat64)

int creat(const char *a, mode_t mode)
{
    atPath("creat", a);
    return outcome(real<int (*)(const char *, mode_t)>("creat")(a, mode));
}
}
