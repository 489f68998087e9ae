#include "update.h"

#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "globals.h"
#include "log.h"
#include "version.h"

static const char *const managedFiles[] = {"lanternhillworker", "capture2", "capture3", "doer",
                                           "lanternhill"};

// Renames must reach the disk before the runner goes on: a power cut must
// never leave a program half there.
static void syncPackageDir()
{
    int fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        (void)fsync(fd);
        (void)close(fd);
    }
}

static int removeEntry(const char *path, const struct stat *, int, struct FTW *)
{
    (void)remove(path);
    return 0;
}

// Removes whatever stands at a staged or a backup name, a directory too,
// without following anything it points to.
static void removeEntryAt(const char *path)
{
    struct stat st;
    if (lstat(path, &st) != 0)
        return;
    if (S_ISDIR(st.st_mode))
        (void)nftw(path, removeEntry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
    else
        (void)unlink(path);
}

// The runner's own kind of ELF program: what the camera can start.
#if defined(__x86_64__)
#define LH_ELF_MACHINE EM_X86_64
#elif defined(__i386__)
#define LH_ELF_MACHINE EM_386
#elif defined(__aarch64__)
#define LH_ELF_MACHINE EM_AARCH64
#elif defined(__arm__)
#define LH_ELF_MACHINE EM_ARM
#elif defined(__mips__)
#define LH_ELF_MACHINE EM_MIPS
#else
#error "name this processor's ELF machine (EM_*) for the staged programs' check"
#endif
static const unsigned char ownClass = sizeof(void *) == 8 ? ELFCLASS64 : ELFCLASS32;
static const unsigned char ownData =
    __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB;

// A script, or an ELF file of the runner's own class, byte order and
// machine. Nothing more is checked: a program that passes may still fail,
// but one that fails could never start here.
static bool runsHere(int fd)
{
    unsigned char h[EI_NIDENT + 4];
    ssize_t n;
    do {
        n = pread(fd, h, sizeof h, 0);
    } while (n < 0 && errno == EINTR);
    if (n >= 2 && h[0] == '#' && h[1] == '!')
        return true;
    if (n < static_cast<ssize_t>(sizeof h) || h[EI_MAG0] != ELFMAG0 || h[EI_MAG1] != ELFMAG1 ||
        h[EI_MAG2] != ELFMAG2 || h[EI_MAG3] != ELFMAG3 || h[EI_CLASS] != ownClass ||
        h[EI_DATA] != ownData)
        return false;
    // e_machine follows e_type, in the file's (here the runner's) byte order.
    uint16_t machine;
    memcpy(&machine, h + EI_NIDENT + 2, sizeof machine);
    return machine == LH_ELF_MACHINE;
}

// Checks that the staged entry is a non-empty regular file without needing
// to read it (its owner may have made it unreadable), gives it its mode,
// checks that it can run here and flushes it; every step acts on the same
// file. Returns 0, or the log line of the step that failed.
static const char *prepareStaged(const char *path)
{
    struct stat st;
    int pathFd = open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (pathFd < 0 || fstat(pathFd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (pathFd >= 0)
            (void)close(pathFd);
        return "lhr, Error staged file is not a regular file";
    }
    // What an unflushed copy leaves after a power cut.
    if (st.st_size == 0) {
        (void)close(pathFd);
        return "lhr, Error staged file is empty";
    }
    char self[32];
    (void)snprintf(self, sizeof self, "/proc/self/fd/%d", pathFd);
    // Not world-writable: anyone could otherwise replace a program the
    // platform runs.
    const char *failed = nullptr;
    if (chmod(self, 0755) != 0) {
        failed = "lhr, Error setting exec permission";
    } else {
        int fd = open(self, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            failed = "lhr, Error reading staged file";
        else if (!runsHere(fd))
            failed = "lhr, Error staged file is not a program for this camera";
        else if (fsync(fd) != 0)
            failed = "lhr, Error flushing staged file";
        if (fd >= 0)
            (void)close(fd);
    }
    (void)close(pathFd);
    return failed;
}

int handleUpgradeForFile(const char *fileName)
{
    char newWorker[80], oldWorker[80], targetWorker[80];
    (void)snprintf(newWorker, sizeof newWorker, "./update/%s", fileName);
    (void)snprintf(oldWorker, sizeof oldWorker, "./%s.old", fileName);
    (void)snprintf(targetWorker, sizeof targetWorker, "./%s", fileName);

    struct stat st;
    if (lstat(newWorker, &st) != 0)
        return 0;
    LOGINFO("lhr, Update detected, %s", fileName);
    removeEntryAt(oldWorker);
    struct stat target;
    bool targetExists = stat(targetWorker, &target) == 0;

    // A second name of the installed program (staged by ln or cp -l): a
    // rename between two names of one file does nothing, so the program is
    // already in place and only the staged name goes.
    if (lstat(targetWorker, &target) == 0 && st.st_dev == target.st_dev &&
        st.st_ino == target.st_ino) {
        (void)unlink(newWorker);
        syncPackageDir();
        return 0;
    }

    if (const char *failed = prepareStaged(newWorker)) {
        LOGINFO("%s", failed);
        removeEntryAt(newWorker);
        return 0;
    }

    if (!targetExists) {
        LOGINFO("lhr, No target");
        if (rename(newWorker, targetWorker) == 0) {
            syncPackageDir();
            return 1;
        }
        LOGINFO("lhr, Error upgrade state 3");
        (void)unlink(newWorker);
        return 0;
    }

    // The backup is a second name of the installed file, so that the
    // program never leaves its own name (a power cut between two renames
    // would leave the camera without it, the runner itself included).
    // Where the system refuses a hard link (a file of another owner, with
    // protected hard links) there is none: the staged file then replaces
    // the program in one rename, and a failed rename leaves it as it was.
    const bool linked = link(targetWorker, oldWorker) == 0;
    if (!linked && errno != EPERM) {
        LOGINFO("lhr, Error upgrading stage 1");
        (void)unlink(newWorker);
        return 0;
    }
    syncPackageDir();
    if (rename(newWorker, targetWorker) == 0) {
        syncPackageDir();
        if (linked) {
            (void)unlink(oldWorker);
            syncPackageDir();
        }
        return 1;
    }
    LOGINFO("lhr, Error upgrading stage 2");
    // The installed program is still in place: only the backup goes.
    if (linked && unlink(oldWorker) != 0)
        LOGINFO("lhr, Error rolling back upgrade");
    syncPackageDir();
    (void)unlink(newWorker);
    return 0;
}

int handleUpgrade()
{
    if (chdir(PACKAGE_DIR) != 0) {
        // Ignored: the paths below then find nothing to update.
    }
    // An update folder that is a link could pull files in from anywhere.
    struct stat st;
    if (lstat("./update", &st) != 0 || !S_ISDIR(st.st_mode))
        return 0;
    int result = 0;
    for (const char *name : managedFiles)
        result = handleUpgradeForFile(name);
    return result;
}
