#include "update.h"

#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
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

// Removes a staged entry without following anything it points to.
static void removeStaged(const char *path)
{
    struct stat st;
    if (lstat(path, &st) != 0)
        return;
    if (S_ISDIR(st.st_mode))
        (void)nftw(path, removeEntry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
    else
        (void)unlink(path);
}

// Opens the staged file only if it is a regular file: the check and the
// mode change act on the same file.
static int openStagedRegular(const char *path)
{
    struct stat st;
    if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        (void)close(fd);
        return -1;
    }
    return fd;
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
    (void)unlink(oldWorker);
    bool targetExists = stat(targetWorker, &st) == 0;

    int fd = openStagedRegular(newWorker);
    if (fd < 0) {
        LOGINFO("lhr, Error staged file is not a regular file");
        removeStaged(newWorker);
        return 0;
    }
    // Not world-writable: anyone could otherwise replace a program the
    // platform runs.
    if (fchmod(fd, 0755) != 0) {
        LOGINFO("lhr, Error setting exec permission");
        (void)close(fd);
        (void)unlink(newWorker);
        return 0;
    }
    if (fsync(fd) != 0) {
        LOGINFO("lhr, Error flushing staged file");
        (void)close(fd);
        (void)unlink(newWorker);
        return 0;
    }
    (void)close(fd);

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

    // The backup is a second name of the installed file, so the program
    // never leaves its own name: the rename below replaces it in one step.
    if (link(targetWorker, oldWorker) != 0) {
        LOGINFO("lhr, Error upgrading stage 1");
        (void)unlink(newWorker);
        return 0;
    }
    syncPackageDir();
    if (rename(newWorker, targetWorker) == 0) {
        syncPackageDir();
        (void)unlink(oldWorker);
        syncPackageDir();
        return 1;
    }
    LOGINFO("lhr, Error upgrading stage 2");
    if (rename(oldWorker, targetWorker) != 0)
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
