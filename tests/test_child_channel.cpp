#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "child.h"
#include "globals.h"

static std::string readAll(FILE *fp)
{
    // The stream is non-blocking: wait for data, stop at end-of-file.
    std::string out;
    char buf[256];
    struct pollfd pfd = {fileno(fp), POLLIN, 0};
    for (;;) {
        while (fgets(buf, sizeof buf, fp) != nullptr)
            out += buf;
        if (feof(fp))
            return out;
        if (poll(&pfd, 1, 5000) <= 0)
            return out + "<timeout>";
    }
}

static double secondsSince(const struct timespec &t0)
{
    struct timespec t1;
    clock_gettime(CLOCK_MONOTONIC, &t1);
    return (t1.tv_sec - t0.tv_sec) + (t1.tv_nsec - t0.tv_nsec) / 1e9;
}

TEST(ChildChannel, CloseBeforeAnyOpenIsEinval)
{
    // Runs in a fresh process, where the table was never allocated.
    EXPECT_EXIT(
        {
            FILE *f = fopen("/dev/null", "r");
            errno = 0;
            int r = mypclose(f);
            _exit(r == -1 && errno == EINVAL ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST(ChildChannel, ModesConnectTheRightStream)
{
    FILE *r = mypopen("echo out; echo err >&2", "r");
    ASSERT_NE(nullptr, r);
    EXPECT_EQ("out\n", readAll(r));
    EXPECT_EQ(0, mypclose(r));

    FILE *e = mypopen("echo out >/dev/null; echo err >&2", "e");
    ASSERT_NE(nullptr, e);
    EXPECT_EQ("err\n", readAll(e));
    EXPECT_EQ(0, mypclose(e));

    char path[] = "/tmp/lhpopen.XXXXXX";
    int tmp = mkstemp(path);
    ASSERT_GE(tmp, 0);
    close(tmp);
    std::string cmd = std::string("cat > ") + path;
    FILE *w = mypopen(cmd.c_str(), "w");
    ASSERT_NE(nullptr, w);
    EXPECT_TRUE(fcntl(fileno(w), F_GETFL) & O_NONBLOCK);
    fputs("to the child\n", w);
    EXPECT_EQ(0, mypclose(w));
    FILE *check = fopen(path, "r");
    ASSERT_NE(nullptr, check);
    char buf[64] = {};
    EXPECT_NE(nullptr, fgets(buf, sizeof buf, check));
    fclose(check);
    unlink(path);
    EXPECT_STREQ("to the child\n", buf);
}

TEST(ChildChannel, BadModesAreEinval)
{
    for (const char *type : {"x", "rw", "", "re", "R", "w+", "e "}) {
        errno = 0;
        EXPECT_EQ(nullptr, mypopen("true", type)) << type;
        EXPECT_EQ(EINVAL, errno) << type;
    }
    errno = 0;
    EXPECT_EQ(nullptr, mypopen("true", nullptr));
    EXPECT_EQ(EINVAL, errno);
}

TEST(ChildChannel, CloseOfForeignStreamIsEinval)
{
    FILE *own = mypopen("true", "r"); // the table exists from here on
    ASSERT_NE(nullptr, own);
    FILE *f = fopen("/dev/null", "r");
    ASSERT_NE(nullptr, f);
    errno = 0;
    EXPECT_EQ(-1, mypclose(f));
    EXPECT_EQ(EINVAL, errno);
    fclose(f);
    EXPECT_EQ(0, mypclose(own));
}

TEST(ChildChannel, ReadDoesNotBlockBeforeTheLineArrives)
{
    FILE *fp = mypopen("sleep 0.5; echo late >&2", "e");
    ASSERT_NE(nullptr, fp);
    char buf[64];
    struct timespec t0;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    errno = 0;
    EXPECT_EQ(nullptr, fgets(buf, sizeof buf, fp));
    EXPECT_EQ(EAGAIN, errno);
    EXPECT_FALSE(feof(fp));
    EXPECT_LT(secondsSince(t0), 0.4);
    EXPECT_EQ("late\n", readAll(fp));
    EXPECT_EQ(0, mypclose(fp));
}

TEST(ChildChannel, WaitStatusOfExitAndSignal)
{
    FILE *fp = mypopen("exit 5", "r");
    ASSERT_NE(nullptr, fp);
    int st = mypclose(fp);
    EXPECT_EQ(0, st & 0x7f);
    EXPECT_EQ(5, (st >> 8) & 0xff);

    fp = mypopen("kill -KILL $$", "e");
    ASSERT_NE(nullptr, fp);
    st = mypclose(fp);
    EXPECT_EQ(SIGKILL, st & 0x7f);
}

TEST(ChildChannel, ChildIdIsKeptUntilTheChildIsCollected)
{
    FILE *fp = mypopen("echo $$", "r");
    ASSERT_NE(nullptr, fp);
    pid_t started = lhwPid;
    EXPECT_EQ(started, atoi(readAll(fp).c_str()));
    EXPECT_EQ(0, mypclose(fp));
    // Once reaped, the id may belong to anyone: it must not be signalled.
    EXPECT_EQ(0, lhwPid);
}

TEST(ChildChannel, SecondChildDoesNotHoldTheFirstChildsPipe)
{
    FILE *first = mypopen("cat >/dev/null", "w");
    ASSERT_NE(nullptr, first);
    FILE *second = mypopen("sleep 3", "r");
    ASSERT_NE(nullptr, second);
    // cat ends only when every write end is closed.
    struct timespec t0;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    EXPECT_EQ(0, mypclose(first));
    EXPECT_LT(secondsSince(t0), 2.0);
    EXPECT_EQ(0, mypclose(second));
}

static unsigned long long ownBlockedMask()
{
    FILE *f = fopen("/proc/self/status", "r");
    char line[256];
    unsigned long long blk = ~0ULL;
    while (f != nullptr && fgets(line, sizeof line, f) != nullptr) {
        if (sscanf(line, "SigBlk:\t%llx", &blk) == 1)
            break;
    }
    if (f != nullptr)
        fclose(f);
    return blk;
}

TEST(ChildChannel, ChildGetsDefaultSigpipeAndTheCallersMask)
{
    signal(SIGPIPE, SIG_IGN);
    unsigned long long callerMask = ownBlockedMask();
    // exec: the shell forks with every signal blocked, so it is read only
    // by the program that replaces it.
    FILE *fp = mypopen("exec grep -E '^Sig(Ign|Blk)' /proc/self/status", "r");
    ASSERT_NE(nullptr, fp);
    std::string out = readAll(fp);
    EXPECT_EQ(0, mypclose(fp));
    signal(SIGPIPE, SIG_DFL);
    unsigned long long ign = 0, blk = 0;
    ASSERT_EQ(2, sscanf(out.c_str(), "SigBlk:\t%llx\nSigIgn:\t%llx", &blk, &ign)) << out;
    EXPECT_EQ(0u, ign & (1ULL << (SIGPIPE - 1))) << out;
    EXPECT_EQ(callerMask, blk) << out;
}

TEST(ChildChannel, DescriptorBeyondTheTableIsRefused)
{
    EXPECT_EXIT(
        {
            int fd;
            while ((fd = open("/dev/null", O_RDONLY)) >= 0 && fd < 255) {
            }
            if (fd != 255)
                _exit(2);
            errno = 0;
            FILE *fp = mypopen("true", "r");
            int err = errno;
            // Nothing was started, and the pipe is closed again.
            bool noChild = waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD;
            int next = open("/dev/null", O_RDONLY);
            _exit(fp == nullptr && err == EMFILE && noChild && next == 256 ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}
