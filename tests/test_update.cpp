// Staged program files in ./update/, applied by the runner at start.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sandbox.h"

using Lines = std::vector<std::string>;

static const char kPkg[] = "/usr/local/packages/lanternhill";

static void install(Sandbox &sb, const std::string &name, const std::string &content)
{
    sb.writeFile(name, content, 0755);
}

static void stage(Sandbox &sb, const std::string &name, const std::string &content)
{
    sb.writeFile("update/" + name, content, 0644);
}

static bool exists(const Sandbox &sb, const std::string &rel)
{
    struct stat st;
    return lstat((sb.pkgDir() + "/" + rel).c_str(), &st) == 0;
}

static std::string content(const Sandbox &sb, const std::string &rel)
{
    std::string c;
    return sb.readFile(rel, &c) ? c : "<missing>";
}

static unsigned mode(const Sandbox &sb, const std::string &rel)
{
    struct stat st;
    return stat((sb.pkgDir() + "/" + rel).c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// The lines of the update pass, in order.
static Lines updateLines(const RunResult &r)
{
    Lines out;
    for (const std::string &t : r.texts()) {
        if (t.rfind("lhr, Update", 0) == 0 || t.rfind("lhr, No target", 0) == 0 ||
            t.rfind("lhr, Error", 0) == 0 || t.rfind("lhr, updated", 0) == 0)
            out.push_back(t);
    }
    return out;
}

static bool logged(const RunResult &r, const std::string &text)
{
    for (const std::string &t : r.texts()) {
        if (t == text)
            return true;
    }
    return false;
}

static void quietWorker(Sandbox &sb)
{
    install(sb, "lanternhillworker", "#!/bin/sh\nexit 0\n");
}

TEST(Update, NothingStagedLogsNothing)
{
    Sandbox sb;
    quietWorker(sb);
    RunResult r = sb.run("lanternhill", {});
    EXPECT_EQ(0, r.status);
    EXPECT_TRUE(updateLines(r).empty());
    sb.writeFile("update/unrelated", "x");
    r = sb.run("lanternhill", {});
    EXPECT_TRUE(updateLines(r).empty());
    EXPECT_EQ("x", content(sb, "update/unrelated"));
}

TEST(Update, ReplacesAnInstalledProgram)
{
    Sandbox sb;
    quietWorker(sb);
    install(sb, "doer", "OLD");
    stage(sb, "doer", "#!NEW");
    RunResult r = sb.run("lanternhill", {});
    EXPECT_EQ(0, r.status); // the runner went on and ran its worker
    EXPECT_EQ(Lines{"lhr, Update detected, doer"}, updateLines(r));
    EXPECT_EQ("#!NEW", content(sb, "doer"));
    EXPECT_EQ(0755u, mode(sb, "doer"));
    EXPECT_FALSE(exists(sb, "doer.old"));
    EXPECT_FALSE(exists(sb, "update/doer"));
}

TEST(Update, InstallsWhereNothingWasInstalled)
{
    Sandbox sb;
    quietWorker(sb);
    stage(sb, "capture2", "#!NEW");
    RunResult r = sb.run("lanternhill", {});
    EXPECT_EQ((Lines{"lhr, Update detected, capture2", "lhr, No target"}), updateLines(r));
    EXPECT_EQ("#!NEW", content(sb, "capture2"));
    EXPECT_EQ(0755u, mode(sb, "capture2"));
    EXPECT_FALSE(exists(sb, "update/capture2"));
}

TEST(Update, AllFilesInOrderAndTheNewWorkerStarts)
{
    Sandbox sb;
    for (const char *n : {"lanternhillworker", "capture2", "capture3", "doer"})
        install(sb, n, "OLD");
    stage(sb, "doer", "#!NEW doer");
    stage(sb, "capture3", "#!NEW capture3");
    stage(sb, "capture2", "#!NEW capture2");
    stage(sb, "lanternhillworker", "#!/bin/sh\necho new worker\n");
    RunResult r = sb.run("lanternhill", {});
    EXPECT_EQ((Lines{"lhr, Update detected, lanternhillworker", "lhr, Update detected, capture2",
                     "lhr, Update detected, capture3", "lhr, Update detected, doer"}),
              updateLines(r));
    EXPECT_TRUE(logged(r, "W: new worker\n"));
    EXPECT_EQ("#!NEW capture3", content(sb, "capture3"));
}

TEST(Update, OwnFileMakesTheRunnerRestart)
{
    Sandbox sb;
    install(sb, "lanternhillworker", "#!/bin/sh\ntouch started\n");
    install(sb, "lanternhill", "OLD");
    stage(sb, "lanternhill", "#!NEW");
    stage(sb, "doer", "#!NEW doer");
    RunResult r = sb.run("lanternhill", {});
    EXPECT_EQ(14, r.status);
    EXPECT_EQ((Lines{"lhr, Update detected, doer", "lhr, No target",
                     "lhr, Update detected, lanternhill", "lhr, updated, restarting.."}),
              updateLines(r));
    EXPECT_EQ("lhr, updated, restarting..", r.texts().back());
    EXPECT_FALSE(logged(r, "lhr, Running.."));
    EXPECT_FALSE(exists(sb, "started"));
    EXPECT_EQ("#!NEW", content(sb, "lanternhill"));
    EXPECT_EQ("#!NEW doer", content(sb, "doer"));
}

TEST(Update, LeftoverBackupGoesOnlyWithANewUpdate)
{
    Sandbox sb;
    quietWorker(sb);
    install(sb, "lanternhillworker.old", "backup");
    RunResult r = sb.run("lanternhill", {});
    EXPECT_EQ("backup", content(sb, "lanternhillworker.old"));
    stage(sb, "lanternhillworker", "#!/bin/sh\nexit 0\n");
    r = sb.run("lanternhill", {});
    EXPECT_FALSE(exists(sb, "lanternhillworker.old"));
}

TEST(Update, OnlyRegularFilesAreInstalled)
{
    Sandbox sb;
    quietWorker(sb);
    install(sb, "doer", "OLD");
    install(sb, "capture2", "OLD");
    install(sb, "capture3", "OLD");
    // Outside the package: must stay exactly as it is.
    std::string outside = sb.scratchDir() + "/outside";
    { std::ofstream(outside) << "OUTSIDE"; }
    chmod(outside.c_str(), 0600);
    mkdir((sb.pkgDir() + "/update").c_str(), 0755);
    ASSERT_EQ(0, symlink(outside.c_str(), (sb.pkgDir() + "/update/doer").c_str()));
    sb.writeFile("update/capture2/inner", "x");
    ASSERT_EQ(0, symlink(outside.c_str(), (sb.pkgDir() + "/update/capture2/link").c_str()));
    ASSERT_EQ(0, mkfifo((sb.pkgDir() + "/update/capture3").c_str(), 0644));

    RunResult r = sb.run("lanternhill", {});
    EXPECT_FALSE(r.timedOut);
    const std::string refused = "lhr, Error staged file is not a regular file";
    EXPECT_EQ((Lines{"lhr, Update detected, capture2", refused, "lhr, Update detected, capture3",
                     refused, "lhr, Update detected, doer", refused}),
              updateLines(r));
    for (const char *n : {"doer", "capture2", "capture3"}) {
        EXPECT_EQ("OLD", content(sb, n)) << n;
        EXPECT_FALSE(exists(sb, std::string("update/") + n)) << n;
    }
    std::ifstream f(outside);
    std::string c((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    EXPECT_EQ("OUTSIDE", c);
    struct stat st;
    ASSERT_EQ(0, stat(outside.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
}

TEST(Update, UpdateFolderThatIsALinkIsNotFollowed)
{
    Sandbox sb;
    quietWorker(sb);
    std::string elsewhere = sb.scratchDir() + "/elsewhere";
    mkdir(elsewhere.c_str(), 0755);
    { std::ofstream(elsewhere + "/doer") << "FOREIGN"; }
    ASSERT_EQ(0, symlink(elsewhere.c_str(), (sb.pkgDir() + "/update").c_str()));
    RunResult r = sb.run("lanternhill", {});
    EXPECT_TRUE(updateLines(r).empty());
    EXPECT_FALSE(exists(sb, "doer"));
    struct stat st;
    EXPECT_EQ(0, stat((elsewhere + "/doer").c_str(), &st));
}

TEST(Update, UnprivilegedRunnerUpdatesProgramsOfAnotherOwner)
{
    // As on the camera: the package directory is the runner's user's, a
    // program in it may be root's, and a staged file may be unreadable to
    // all but its owner (who can always change that).
    const uid_t nobody = 65534;
    Sandbox sb;
    quietWorker(sb);
    install(sb, "doer", "OLD");
    stage(sb, "doer", "#!NEW");
    stage(sb, "capture2", "#!NEW capture2");
    ASSERT_EQ(0, chmod((sb.pkgDir() + "/update/capture2").c_str(), 0200));
    for (const char *rel : {"", "/update", "/update/doer", "/update/capture2"})
        ASSERT_EQ(0, chown((sb.pkgDir() + rel).c_str(), nobody, nobody)) << rel;
    StartOptions opts;
    opts.uid = static_cast<int>(nobody);
    RunResult r = sb.run("lanternhill", {}, 20000, opts);
    EXPECT_EQ(0, r.status) << r.err << r.out;
    EXPECT_EQ((Lines{"lhr, Update detected, capture2", "lhr, No target", "lhr, Update detected, doer"}),
              updateLines(r));
    EXPECT_EQ("#!NEW", content(sb, "doer"));
    EXPECT_EQ("#!NEW capture2", content(sb, "capture2"));
    EXPECT_EQ(0755u, mode(sb, "doer"));
    EXPECT_EQ(0755u, mode(sb, "capture2"));
    for (const char *gone : {"doer.old", "update/doer", "update/capture2"})
        EXPECT_FALSE(exists(sb, gone)) << gone;
}

// The runner as built: an ELF program of the camera's own kind, on every
// target (its tests run it under qemu-user).
static std::string ownProgram()
{
    std::ifstream f(Sandbox::programPath("lanternhill"), std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

TEST(UpdateSameFile, StagedSecondNameOfTheProgramIsUsedUpWithoutASwap)
{
    // As ln, cp -l or an rsync with links would stage it: no swap, no
    // restart, the program as it was.
    const std::string runner = ownProgram();
    ASSERT_GT(runner.size(), 64u);
    Sandbox sb;
    install(sb, "lanternhillworker", "#!/bin/sh\ntouch started\n");
    install(sb, "lanternhill", runner);
    install(sb, "doer", "#!OLD doer");
    mkdir((sb.pkgDir() + "/update").c_str(), 0755);
    for (const char *n : {"lanternhill", "doer"})
        ASSERT_EQ(0, link((sb.pkgDir() + "/" + n).c_str(), (sb.pkgDir() + "/update/" + n).c_str())) << n;
    for (int start = 1; start <= 2; start++) {
        RunResult r = sb.run("lanternhill", {});
        EXPECT_EQ(0, r.status) << start;
        EXPECT_TRUE(logged(r, "lhr, Running..")) << start;
        EXPECT_FALSE(logged(r, "lhr, updated, restarting..")) << start;
    }
    EXPECT_TRUE(exists(sb, "started"));
    EXPECT_EQ(runner, content(sb, "lanternhill"));
    EXPECT_EQ("#!OLD doer", content(sb, "doer"));
    for (const char *gone : {"update/lanternhill", "update/doer", "lanternhill.old", "doer.old"})
        EXPECT_FALSE(exists(sb, gone)) << gone;
}

TEST(UpdateRefused, ProgramsThatCanNeverStartHereAreNotInstalled)
{
    const std::string own = ownProgram();
    ASSERT_GT(own.size(), 64u);
    auto patched = [&own](size_t at, unsigned char value) {
        std::string p = own;
        p[at] = static_cast<char>(value);
        return p;
    };
    // e_machine of another processor, in the file's own byte order.
    const size_t machineAt = own[5] == 1 ? 18 : 19;
    const unsigned char otherMachine = static_cast<unsigned char>(own[machineAt]) == 8 ? 40 : 8;
    const std::string notHere = "lhr, Error staged file is not a program for this camera";
    const struct {
        const char *kind;
        std::string staged;
        std::string line;
    } refused[] = {
        {"empty", "", "lhr, Error staged file is empty"},
        {"another machine", patched(machineAt, otherMachine), notHere},
        {"another class", patched(4, own[4] == 1 ? 2 : 1), notHere},
        {"another byte order", patched(5, own[5] == 1 ? 2 : 1), notHere},
        {"a cut ELF header", own.substr(0, 12), notHere},
        {"zeros", std::string(4096, '\0'), notHere},
        {"an error page", "<html><body>404 Not Found</body></html>\n", notHere},
        {"a lone #", "#", notHere},
    };
    // Against an installed program of the camera's own kind and a script,
    // the runner's own file included (no restart then).
    for (const std::string &installed : {own, std::string("#!/bin/sh\nexit 0\n")}) {
        for (const auto &c : refused) {
            Sandbox sb;
            quietWorker(sb);
            install(sb, "doer", installed);
            install(sb, "lanternhill", installed);
            stage(sb, "doer", c.staged);
            stage(sb, "lanternhill", c.staged);
            RunResult r = sb.run("lanternhill", {});
            const std::string what = std::string(c.kind) + (installed == own ? " over ELF" : " over script");
            EXPECT_EQ(0, r.status) << what;
            EXPECT_EQ((Lines{"lhr, Update detected, doer", c.line, "lhr, Update detected, lanternhill", c.line}),
                      updateLines(r))
                << what;
            for (const char *n : {"doer", "lanternhill"}) {
                EXPECT_EQ(installed, content(sb, n)) << what << " " << n;
                EXPECT_EQ(0755u, mode(sb, n)) << what << " " << n;
                EXPECT_FALSE(exists(sb, std::string("update/") + n)) << what << " " << n;
                EXPECT_FALSE(exists(sb, std::string(n) + ".old")) << what << " " << n;
            }
        }
    }
}

TEST(UpdateRefused, ProgramsOfTheCamerasOwnKindAndScriptsAreInstalled)
{
    const std::string own = ownProgram();
    Sandbox sb;
    quietWorker(sb);
    install(sb, "doer", "#!OLD");
    install(sb, "capture2", own);
    stage(sb, "doer", own);
    stage(sb, "capture2", "#!/bin/sh\n");
    RunResult r = sb.run("lanternhill", {});
    EXPECT_EQ((Lines{"lhr, Update detected, capture2", "lhr, Update detected, doer"}), updateLines(r));
    EXPECT_EQ(own, content(sb, "doer"));
    EXPECT_EQ("#!/bin/sh\n", content(sb, "capture2"));
}

TEST(Update, LeftoverBackupOfAnyKindGoesWithANewUpdate)
{
    Sandbox sb;
    quietWorker(sb);
    install(sb, "doer", "#!OLD doer");
    install(sb, "capture2", "#!OLD capture2");
    // A directory with a link out of the package: removed, not followed.
    std::string outside = sb.scratchDir() + "/outside";
    mkdir(outside.c_str(), 0755);
    { std::ofstream(outside + "/kept") << "KEPT"; }
    sb.writeFile("doer.old/deeper/file", "x");
    ASSERT_EQ(0, symlink(outside.c_str(), (sb.pkgDir() + "/doer.old/out").c_str()));
    ASSERT_EQ(0, symlink(outside.c_str(), (sb.pkgDir() + "/capture2.old").c_str()));
    stage(sb, "doer", "#!NEW doer");
    stage(sb, "capture2", "#!NEW capture2");
    RunResult r = sb.run("lanternhill", {});
    EXPECT_EQ((Lines{"lhr, Update detected, capture2", "lhr, Update detected, doer"}), updateLines(r));
    EXPECT_EQ("#!NEW doer", content(sb, "doer"));
    EXPECT_EQ("#!NEW capture2", content(sb, "capture2"));
    for (const char *gone : {"doer.old", "capture2.old", "update/doer", "update/capture2"})
        EXPECT_FALSE(exists(sb, gone)) << gone;
    std::ifstream kept(outside + "/kept");
    std::string k((std::istreambuf_iterator<char>(kept)), std::istreambuf_iterator<char>());
    EXPECT_EQ("KEPT", k);
}

struct FaultCase {
    const char *faults;
    bool installed;
    Lines lines;
    const char *after;  // content of ./doer afterwards
    const char *backup; // content of ./doer.old afterwards
};

TEST(UpdateFaults, EveryFailureIsLoggedAndCleanedUp)
{
    const std::string d = "lhr, Update detected, doer";
    const char *none = "<missing>";
    const FaultCase cases[] = {
        {"chmod:1:EIO", true, {d, "lhr, Error setting exec permission"}, "OLD", none},
        {"fsync:1:EIO", true, {d, "lhr, Error flushing staged file"}, "OLD", none},
        // Hard link refused: no backup, the program replaced in one rename.
        {"link:1:EPERM", true, {d}, "#!NEW", none},
        {"link:1:EPERM,rename:1:EXDEV", true, {d, "lhr, Error upgrading stage 2"}, "OLD", none},
        {"link:1:EIO", true, {d, "lhr, Error upgrading stage 1"}, "OLD", none},
        {"rename:1:EXDEV", true, {d, "lhr, Error upgrading stage 2"}, "OLD", none},
        {"rename:1:EIO,unlink:1:EIO", true,
         {d, "lhr, Error upgrading stage 2", "lhr, Error rolling back upgrade"}, "OLD", "OLD"},
        {"rename:1:ENOSPC", false, {d, "lhr, No target", "lhr, Error upgrade state 3"}, none, none},
        {"chmod:1:EPERM", false, {d, "lhr, Error setting exec permission"}, none, none},
    };
    for (const FaultCase &c : cases) {
        Sandbox sb;
        quietWorker(sb);
        if (c.installed)
            install(sb, "doer", "OLD");
        stage(sb, "doer", "#!NEW");
        StartOptions opts;
        opts.faults = c.faults;
        RunResult r = sb.run("lanternhill", {}, 20000, opts);
        EXPECT_EQ(c.lines, updateLines(r)) << c.faults;
        EXPECT_EQ(c.after, content(sb, "doer")) << c.faults;
        EXPECT_EQ(c.backup, content(sb, "doer.old")) << c.faults;
        EXPECT_FALSE(exists(sb, "update/doer")) << c.faults;
        EXPECT_TRUE(logged(r, "lhr, Running..")) << c.faults;
    }
}

TEST(UpdateFaults, StopDuringTheUpdateIsAStopNotARestart)
{
    Sandbox sb;
    install(sb, "lanternhill", "OLD");
    stage(sb, "lanternhill", "#!NEW");
    StartOptions opts;
    opts.faults = "fsync:1:SLOW";
    ASSERT_TRUE(sb.start("lanternhill", {}, opts));
    ASSERT_TRUE(sb.waitForLog("lhr, Update detected, lanternhill", 10000));
    sb.signal(SIGTERM);
    RunResult r = sb.finish();
    EXPECT_EQ(128 + SIGTERM, r.status);
    EXPECT_TRUE(logged(r, "lhr, updated, restarting.."));
    EXPECT_EQ("#!NEW", content(sb, "lanternhill"));
}

TEST(UpdateFaults, AFailureForOneFileDoesNotStopTheOthers)
{
    Sandbox sb;
    quietWorker(sb);
    install(sb, "doer", "OLD");
    stage(sb, "capture2", "#!NEW capture2");
    stage(sb, "doer", "#!NEW");
    StartOptions opts;
    opts.faults = "chmod:1:EIO"; // capture2's, handled first
    RunResult r = sb.run("lanternhill", {}, 20000, opts);
    EXPECT_EQ((Lines{"lhr, Update detected, capture2", "lhr, Error setting exec permission",
                     "lhr, Update detected, doer"}),
              updateLines(r));
    EXPECT_FALSE(exists(sb, "capture2"));
    EXPECT_FALSE(exists(sb, "update/capture2"));
    EXPECT_EQ("#!NEW", content(sb, "doer"));
}

TEST(UpdateDurability, EveryRenameIntoPlaceIsFlushedBeforeAndAfter)
{
    Sandbox sb;
    quietWorker(sb);
    install(sb, "doer", "OLD");
    stage(sb, "doer", "#!NEW");
    stage(sb, "capture2", "#!NEW");
    StartOptions opts;
    opts.faultTrace = sb.scratchDir() + "/trace";
    RunResult r = sb.run("lanternhill", {}, 20000, opts);
    ASSERT_EQ(0, r.status);
    Lines t = readLines(opts.faultTrace);
    const std::string dirSync = std::string("fsync ") + kPkg;
    int renames = 0;
    for (size_t i = 0; i < t.size(); i++) {
        if (t[i].rfind("rename ./update/", 0) != 0)
            continue;
        renames++;
        std::string name = t[i].substr(16, t[i].find(' ', 16) - 16);
        std::string fileSync = std::string("fsync ") + kPkg + "/update/" + name;
        bool flushedBefore = false;
        for (size_t j = 0; j < i; j++)
            flushedBefore |= t[j] == fileSync;
        EXPECT_TRUE(flushedBefore) << t[i];
        ASSERT_LT(i + 1, t.size());
        EXPECT_EQ(dirSync, t[i + 1]) << t[i];
    }
    EXPECT_EQ(2, renames);
    // The installed program never leaves its own name during the swap.
    for (const std::string &line : t)
        EXPECT_NE("rename ./doer ./doer.old", line);
}

TEST(UpdateDurability, KilledAtAnyStepEveryProgramStaysWhole)
{
    // Count the file-changing calls of one update, then kill the runner on
    // entry of each of them (and after the last) and start it again; with
    // the backup's hard link and where it is refused.
    auto prepare = [](Sandbox &sb) {
        quietWorker(sb);
        install(sb, "doer", "OLD doer");
        stage(sb, "doer", "#!NEW doer");
        stage(sb, "capture2", "#!NEW capture2");
    };
    for (const std::string refused : {"", "link:1:EPERM,"}) {
        int calls = 0;
        {
            Sandbox sb;
            prepare(sb);
            StartOptions opts;
            opts.faults = refused;
            opts.faultTrace = sb.scratchDir() + "/trace";
            sb.run("lanternhill", {}, 20000, opts);
            calls = static_cast<int>(readLines(opts.faultTrace).size());
        }
        ASSERT_GT(calls, 5) << refused;
        for (int k = 1; k <= calls + 1; k++) {
            Sandbox sb;
            prepare(sb);
            StartOptions opts;
            opts.faults = refused + "any:" + std::to_string(k) + ":KILL";
            RunResult killed = sb.run("lanternhill", {}, 20000, opts);
            if (k <= calls) {
                EXPECT_EQ(128 + SIGKILL, killed.status) << refused << k;
            }
            // Every program is whole under its own name even before the next start.
            std::string doer = content(sb, "doer");
            EXPECT_TRUE(doer == "OLD doer" || doer == "#!NEW doer") << refused << k << ": " << doer;
            RunResult again = sb.run("lanternhill", {});
            EXPECT_EQ(0, again.status) << refused << k;
            EXPECT_EQ("#!NEW doer", content(sb, "doer")) << refused << k;
            EXPECT_EQ(0755u, mode(sb, "doer")) << refused << k;
            std::string c2 = content(sb, "capture2");
            EXPECT_TRUE(c2 == "#!NEW capture2") << refused << k << ": " << c2;
            EXPECT_EQ(0755u, mode(sb, "capture2")) << refused << k;
            EXPECT_FALSE(exists(sb, "update/doer")) << refused << k;
            EXPECT_FALSE(exists(sb, "update/capture2")) << refused << k;
        }
    }
}
