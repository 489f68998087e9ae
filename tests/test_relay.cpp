// The relay where cameras fail in the field: a worker that floods or drips
// its output, a log daemon that stalls or restarts, a zero byte in a line.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "sandbox.h"

using Lines = std::vector<std::string>;

// One status request; its time in ms, or -1 when it got no answer.
static long long statusRequest(Sandbox &sb, const std::string &port)
{
    long long t0 = nowMs();
    std::string code = sb.hostCommand("curl -s -o /dev/null --max-time 10 -w '%{http_code}' "
                                      "'http://127.0.0.1:" + port + "/local/lanternhill/status'");
    return code == "200" ? nowMs() - t0 : -1;
}

// A few requests spread over ms; every one must be answered within bound.
static void expectAnswered(Sandbox &sb, const std::string &port, int count, int spreadMs, long long boundMs)
{
    for (int i = 0; i < count; i++) {
        long long t = statusRequest(sb, port);
        EXPECT_GE(t, 0) << "request " << i << " got no answer";
        EXPECT_LT(t, boundMs) << "request " << i;
        sb.pump(spreadMs);
    }
}

// The numbers of the relayed lines "W: <prefix>N\n", in arrival order.
static std::vector<long> numbered(const Lines &texts, const std::string &prefix)
{
    std::vector<long> out;
    for (const std::string &t : texts) {
        if (t.rfind("W: " + prefix, 0) == 0)
            out.push_back(atol(t.c_str() + 3 + prefix.size()));
    }
    return out;
}

static void expectAllInOrder(const std::vector<long> &got, long count)
{
    ASSERT_EQ(static_cast<size_t>(count), got.size());
    for (long i = 0; i < count; i++)
        ASSERT_EQ(i + 1, got[static_cast<size_t>(i)]) << "position " << i;
}

// A console that is a FIFO in the scratch folder, for a runner started
// with opts; its reader, or -1.
static int fifoConsole(Sandbox &sb, StartOptions &opts)
{
    opts.consolePath = sb.scratchDir() + "/console";
    if (mkfifo(opts.consolePath.c_str(), 0600) != 0)
        return -1;
    return open(opts.consolePath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

TEST(RelayLines, ZeroByteNeitherEndsNorJoinsLines)
{
    Sandbox sb;
    sb.writeWorker("printf 'ab\\000cd\\nnext\\n'\n");
    RunResult r = sb.run("lanternhill", {});
    Lines t = r.texts();
    ASSERT_GE(t.size(), 5u);
    EXPECT_EQ("W: ab#000cd\n", t[3]);
    EXPECT_EQ("W: next\n", t[4]);
}

struct StopCase {
    const char *name, *worker;
};

// A figure of /proc/PID/status, in kB.
static long statusKb(pid_t pid, const char *key)
{
    for (const std::string &l : readLines("/proc/" + std::to_string(pid) + "/status")) {
        if (l.rfind(key, 0) == 0)
            return atol(l.c_str() + strlen(key));
    }
    return -1;
}

TEST(RelayLines, EveryLineItsWriterFinishesWithinASecondIsWhole)
{
    // Each line ends 0.4 s after it began and the next begins at once: the
    // pipe ends in the middle of a line at every pass.
    Sandbox sb;
    sb.writeWorker("i=0; while [ $i -lt 8 ]; do printf 'line %d head ' $i; sleep 0.4; printf 'tail\\n'; "
                   "i=$((i+1)); done\n");
    RunResult r = sb.run("lanternhill", {}, 30000);
    EXPECT_EQ(0, r.status);
    Lines got;
    for (const std::string &t : r.texts()) {
        if (t.rfind("W: ", 0) == 0)
            got.push_back(t);
    }
    ASSERT_EQ(8u, got.size()) << testing::PrintToString(got);
    for (size_t i = 0; i < got.size(); i++)
        EXPECT_EQ("W: line " + std::to_string(i) + " head tail\n", got[i]);
}

TEST(RelayWorker, FloodingWorkerLeavesTheLoopFree)
{
    const StopCase cases[] = {
        {"worker", "exec seq 1 1000000000\n"},
        // A writer the worker started and left behind keeps the pipe open.
        {"leftover", "trap 'exit 0' TERM\nseq 1 1000000000 | sed 's/^/n /' &\nwait\n"},
        // Never runs dry: only the bound of a pass gives the loop its turn.
        {"yes", "exec yes\n"},
    };
    for (const StopCase &c : cases) {
        Sandbox sb;
        sb.writeWorker(c.worker);
        StartOptions opts;
        opts.logKept = 1000;
        opts.stdoutPath = "/dev/null";
        std::string port = sb.startServing("lanternhill", opts);
        ASSERT_FALSE(port.empty()) << c.name;
        [[maybe_unused]] long before = statusKb(sb.pid(), "VmRSS:");
        sb.pump(500);
        expectAnswered(sb, port, 5, 100, 3000);
#if !defined(__SANITIZE_ADDRESS__)
        // What a pass queues is bounded too. (The sanitizer's quarantine
        // keeps freed memory: there the size says nothing.)
        EXPECT_LT(statusKb(sb.pid(), "VmHWM:") - before, 32 << 10) << c.name;
#endif
        sb.signal(SIGTERM);
        // Then what was in the pipe when the worker exited.
        RunResult r = sb.finish(30000);
        EXPECT_FALSE(r.timedOut) << c.name;
        EXPECT_GT(r.logCount, 10000u) << c.name;
    }
}

TEST(RelayWorker, DrippingWorkerLeavesTheLoopFree)
{
    // A character every few ms, the line's end after about 3 s: a progress
    // display.
    Sandbox sb;
    sb.writeWorker("trap 'exit 0' TERM\ni=0\nwhile [ $i -lt 800 ]; do printf x; sleep 0.002; i=$((i+1)); done\n"
                    "echo\necho done\nwhile :; do sleep 0.1; done\n");
    std::string port = sb.startServing("lanternhill");
    ASSERT_FALSE(port.empty());
    expectAnswered(sb, port, 8, 300, 1000);
    ASSERT_TRUE(sb.waitForLog("W: done\n", 20000));
    sb.signal(SIGTERM);
    long long t0 = nowMs();
    RunResult r = sb.finish();
    EXPECT_LT(nowMs() - t0, 2000);
    // Cut into pieces as it arrived, nothing lost.
    std::string whole;
    for (const std::string &t : r.texts()) {
        if (t.rfind("W: ", 0) == 0 && t != "W: done\n")
            whole += t.substr(3);
    }
    EXPECT_EQ(std::string(800, 'x') + "\n", whole);
}

TEST(RelayLog, StalledLogHoldsTheLinesAndNotTheLoop)
{
    Sandbox sb;
    sb.writeWorker("trap 'exit 0' TERM\necho ready\nsleep 0.5\nseq -f 'n %g' 1 3000\nwhile :; do sleep 0.1; done\n");
    std::string port = sb.startServing("lanternhill");
    ASSERT_FALSE(port.empty());
    ASSERT_TRUE(sb.waitForLog("W: ready\n", 10000));
    // The daemon stops reading for 5 s while the worker writes.
    sb.pauseLog(true);
    long long t0 = nowMs();
    while (nowMs() - t0 < 5000) {
        long long t = statusRequest(sb, port);
        EXPECT_GE(t, 0);
        EXPECT_LT(t, 1000);
        sb.pump(250);
    }
    sb.pauseLog(false);
    sb.pump(1500);
    sb.signal(SIGTERM);
    RunResult r = sb.finish();
    EXPECT_EQ(0, r.status);
    expectAllInOrder(numbered(r.texts(), "n "), 3000);
}

TEST(RelayLog, StopWithAStalledLogIsNotHeldUp)
{
    Sandbox sb;
    ASSERT_TRUE(startRunnerReady(sb, "trap 'echo bye; exit 0' TERM\necho ready\nwhile :; do echo tick; sleep 0.001; done\n"));
    sb.pauseLog(true);
    sb.pump(1000);
    sb.signal(SIGTERM);
    long long t0 = nowMs();
    RunResult r = sb.finish();
    // The log is waited for within the stop's bound, should it come back.
    EXPECT_LT(nowMs() - t0, 5000);
    EXPECT_EQ(0, r.status);
    // What the log could not take went to the console, of which there is
    // none: the echo has it all, and says how many lines went nowhere.
    Lines out = r.outLines();
    EXPECT_NE(out.end(), std::find(out.begin(), out.end(), "W: bye"));
    ASSERT_GE(out.size(), 2u);
    EXPECT_EQ("lhr, 1.0.812, axis, Stopped.", out[out.size() - 2]);
    unsigned left = 0, unread = 1;
    EXPECT_EQ(2, sscanf(out.back().c_str(), "lhr, At the stop, %u lines left out, %u bytes of lhw unread", &left, &unread))
        << out.back();
    EXPECT_GT(left, 0u);
    EXPECT_EQ(0u, unread);
}

TEST(RelayLog, DaemonRestartLosesNoLine)
{
    // BusyBox's syslogd owns this sandbox's /dev/log; the worker restarts
    // it halfway, with a second without any log.
    Sandbox sb;
    sb.writeWorker("busybox syslogd -n -O ./syslog.txt &\nsd=$!\nsleep 0.5\ni=1\n"
                    "while [ $i -le 400 ]; do\n"
                    "  echo \"line $i\"\n"
                    "  if [ $i = 200 ]; then kill $sd; wait $sd; sleep 1; busybox syslogd -n -O ./syslog.txt & sd=$!; fi\n"
                    "  i=$((i+1)); sleep 0.005\n"
                    "done\nsleep 1.5\nkill $sd\nwait $sd\n");
    StartOptions opts;
    opts.noLogSocket = true;
    RunResult r = sb.run("lanternhill", {}, 60000, opts);
    EXPECT_FALSE(r.timedOut);
    std::ifstream f(sb.pkgDir() + "/syslog.txt");
    std::vector<long> got;
    std::regex line(".*lanternhill\\[[0-9]+\\]: W: line ([0-9]+).*");
    std::smatch m;
    for (std::string s; std::getline(f, s);) {
        if (std::regex_match(s, m, line))
            got.push_back(atol(m[1].str().c_str()));
    }
    expectAllInOrder(got, 400);
}

TEST(RelayStop, AllTheWorkerWroteBeforeItsExitIsRelayed)
{
    // More than the pipe holds, written after SIGTERM to a log that takes
    // them slowly: the worker has long exited when the last lines go, to
    // the log or, once the stop's bound nears, to the console.
    Sandbox sb;
    const std::string console = sb.fileConsole();
    ASSERT_FALSE(console.empty());
    StartOptions opts;
    opts.consolePath = console;
    sb.writeWorker("trap 'seq -f \"bye %g\" 1 150000; exit 0' TERM\necho ready\nwhile :; do sleep 0.1; done\n");
    ASSERT_TRUE(sb.start("lanternhill", {}, opts));
    ASSERT_TRUE(sb.waitForLog("W: ready\n", 10000));
    sb.slowLog(50000);
    sb.signal(SIGTERM);
    RunResult r = sb.finish(120000);
    EXPECT_EQ(0, r.status);
    EXPECT_TRUE(togetherOnceInOrder(numbered(r.texts(), "bye "), consoleNumbers(console, "bye "), 150000));
    expectAllInOrder(numbered(r.outLines(), "bye "), 150000);
}

static void waitStopped(pid_t pid)
{
    for (int i = 0; i < 200; i++) {
        std::string stat;
        std::ifstream(("/proc/" + std::to_string(pid) + "/stat").c_str()) >> stat >> stat >> stat;
        if (stat == "T" || stat == "t")
            return;
        usleep(5000);
    }
}

// The runner's own lines standard output showed that neither the log nor
// the console got; its notes aside.
static long ownNotLogged(const RunResult &r, const std::string &console)
{
    const Lines texts = r.texts();
    long missing = 0;
    for (const std::string &l : r.outLines())
        missing += l.rfind("lhr, ", 0) == 0 && l.rfind("lhr, Log ", 0) != 0 && l.rfind("lhr, At the stop, ", 0) != 0 &&
                   std::find(texts.begin(), texts.end(), l) == texts.end() &&
                   console.find("]: " + l + "\r\n") == std::string::npos;
    return missing;
}

// The log stops taking at SIGTERM; the console (a FIFO) is read a page
// every 100 ms, or for a second only. What neither took is said on
// standard output: the lines the outputs left out, and the bytes the stop's
// bound left unread. Returns the console's bytes.
static std::string stopWithASlowConsole(bool readerLeaves)
{
    Sandbox sb;
    StartOptions opts;
    int reader = fifoConsole(sb, opts);
    EXPECT_GE(reader, 0);
    const long count = 10000;
    sb.writeWorker("trap 'seq -f \"bye %g\" 1 " + std::to_string(count) +
                   "; exit 3' TERM\necho ready\nwhile :; do sleep 0.1; done\n");
    if (reader < 0 || !sb.start("lanternhill", {}, opts) || !sb.waitForLog("W: ready\n", 10000)) {
        ADD_FAILURE() << "no start";
        return "";
    }
    sb.pauseLog(true);
    sb.signal(SIGTERM);
    std::string shown;
    char page[4096];
    for (long long t0 = nowMs(); sb.running() && nowMs() - t0 < 30000;) {
        ssize_t n = reader >= 0 ? read(reader, page, sizeof page) : 0;
        if (n > 0)
            shown.append(page, static_cast<size_t>(n));
        if (readerLeaves && reader >= 0 && nowMs() - t0 > 1000) {
            // The runner held while its reader takes what the FIFO has and
            // leaves: nothing it wrote is lost there unseen.
            kill(sb.pid(), SIGSTOP);
            waitStopped(sb.pid());
            for (ssize_t k; (k = read(reader, page, sizeof page)) > 0;)
                shown.append(page, static_cast<size_t>(k));
            close(reader);
            reader = -1;
            kill(sb.pid(), SIGCONT);
        }
        sb.pump(100);
    }
    // What the paused daemon's socket holds is the log's.
    sb.pauseLog(false);
    RunResult r = sb.finish();
    for (ssize_t n; reader >= 0 && (n = read(reader, page, sizeof page)) > 0;)
        shown.append(page, static_cast<size_t>(n));
    if (reader >= 0)
        close(reader);
    EXPECT_EQ(3, r.status);
    // A record its reader left in the middle of is the runner's to count.
    if (readerLeaves)
        shown.resize(shown.rfind("\r\n") == std::string::npos ? 0 : shown.rfind("\r\n") + 2);
    sb.writeFile("shown", shown);
    std::vector<long> logged = numbered(r.texts(), "bye ");
    std::vector<long> onConsole = consoleNumbers(sb.pkgDir() + "/shown", "bye ");
    EXPECT_TRUE(togetherOnceInOrder(logged, onConsole, static_cast<long>(logged.size() + onConsole.size())));
    const long missing = count - static_cast<long>(logged.size() + onConsole.size());
    EXPECT_GT(missing, 0);
    // Lines left out, and the lines in the bytes unread at the end.
    size_t lines = 0, unread = 0;
    Lines out = r.outLines();
    EXPECT_FALSE(out.empty());
    EXPECT_EQ(2, out.empty() ? 0 : sscanf(out.back().c_str(), "lhr, At the stop, %zu lines left out, %zu bytes of lhw unread", &lines, &unread))
        << (out.empty() ? "" : out.back());
    std::string all;
    for (long i = 1; i <= count; i++)
        all += "bye " + std::to_string(i) + "\n";
    EXPECT_LE(unread, all.size());
    unread = std::min(unread, all.size());
    // A line the bound cut in two counts once: among the lines, its head.
    const auto from = all.end() - static_cast<long>(unread);
    const long starting = unread == 0 ? 0 : std::count(from - 1, all.end() - 1, '\n');
    // The runner's own lines neither got are among them.
    const long own = ownNotLogged(r, shown);
    EXPECT_EQ(missing + own, static_cast<long>(lines) + starting) << lines << " lines left out, " << unread << " bytes unread";
    return shown;
}

TEST(RelayStop, WhatTheBoundLeavesOutIsCountedAndNoRecordIsLeftCut)
{
    std::string shown = stopWithASlowConsole(false);
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ("\r\n", shown.substr(shown.size() - 2)) << shown.substr(shown.size() - std::min<size_t>(shown.size(), 60));
    // A console whose reader leaves: what it took and couldn't write counts.
    stopWithASlowConsole(true);
}

TEST(RelayStop, LogBackWithinTheBoundGetsWhatAStalledConsoleLeft)
{
    // The log refuses past its hold, so the console has the lines; its
    // reader takes a little and stalls in the middle of a record. The worker
    // writes a few FIFOs' worth and exits, the log comes back within the
    // bound, the reader a moment later: nothing was past keeping.
    Sandbox sb;
    StartOptions opts;
    const int reader = fifoConsole(sb, opts);
    ASSERT_GE(reader, 0);
    const std::string pad(90, 'x');
    sb.writeWorker("i=0\ntrap 'seq -f \"bye %g " + pad + "\" $((i+1)) $((i+2000)); echo $((i+2000)) >count; exit 3' TERM\n"
                   "echo ready\nwhile :; do i=$((i+1)); echo \"bye $i " + pad + "\"; sleep 0.1; done\n");
    ASSERT_TRUE(sb.start("lanternhill", {}, opts));
    ASSERT_TRUE(sb.waitForLog("W: ready\n", 10000));
    sb.pauseLog(true);
    std::string shown;
    char buf[65536];
    auto readConsole = [&](size_t most) {
        for (ssize_t n; most > 0 && (n = read(reader, buf, std::min(most, sizeof buf))) > 0; most -= static_cast<size_t>(n))
            shown.append(buf, static_cast<size_t>(n));
    };
    for (const long long t0 = nowMs(); shown.empty() && nowMs() - t0 < 20000; sb.pump(10))
        readConsole(200);
    ASSERT_FALSE(shown.empty()) << "the console got nothing";
    sb.signal(SIGTERM);
    // The worker's last act is its count.
    std::string count;
    for (const long long t0 = nowMs(); !sb.readFile("count", &count) && nowMs() - t0 < 5000;)
        sb.pump(10);
    sb.pump(500);
    sb.pauseLog(false);
    sb.pump(300);
    for (const long long t0 = nowMs(); sb.running() && nowMs() - t0 < 10000; sb.pump(10))
        readConsole(sizeof buf);
    RunResult r = sb.finish(5000);
    readConsole(SIZE_MAX);
    close(reader);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(3, r.status);
    ASSERT_TRUE(sb.readFile("count", &count));
    sb.writeFile("shown", shown);
    std::vector<long> logged;
    size_t pieces = 0;
    for (const std::string &t : r.texts()) {
        const long k = t.rfind("W: bye ", 0) == 0 ? atol(t.c_str() + 7) : 0;
        if (k > 0 && t == "W: bye " + std::to_string(k) + " " + pad + "\n")
            logged.push_back(k);
        else
            pieces += k > 0;
    }
    EXPECT_EQ(0u, pieces) << "lines cut in the log";
    EXPECT_TRUE(togetherOnceInOrder(logged, consoleNumbers(sb.pkgDir() + "/shown", "bye "), atol(count.c_str())));
    for (const std::string &l : r.outLines()) {
        unsigned left = 0, unread = 0;
        if (sscanf(l.c_str(), "lhr, At the stop, %u lines left out, %u bytes", &left, &unread) >= 1) {
            EXPECT_EQ(0u, left + unread) << l;
        }
    }
}

TEST(RelayStop, StatusIsAnsweredUntilTheRunnersEnd)
{
    // The worker's last lines fill the log's queue of 10 around the
    // runner's own last lines: waiting for the log is served while the
    // handler still answers, and nothing is waited for after it is gone.
    for (int k = 7; k <= 10; k++) {
        SCOPED_TRACE("last lines: " + std::to_string(k));
        Sandbox sb;
        sb.writeWorker("trap 'seq -f \"bye %g\" 1 " + std::to_string(k) +
                       "; exit 0' TERM\necho ready\nwhile :; do sleep 0.1; done\n");
        const std::string port = sb.startServing("lanternhill");
        ASSERT_FALSE(port.empty());
        ASSERT_TRUE(sb.waitForLog("W: ready\n", 10000));
        sb.pump(300);
        sb.pauseLog(true);
        sb.signal(SIGTERM);
        long long answered = nowMs();
        for (const long long t0 = nowMs(); sb.running() && nowMs() - t0 < 15000; sb.pump(50)) {
            if (statusRequest(sb, port) >= 0)
                answered = nowMs();
        }
        const long long end = nowMs();
        sb.pauseLog(false);
        RunResult r = sb.finish(5000);
        EXPECT_EQ(0, r.status);
        EXPECT_LT(end - answered, 1000) << "no status answer in the runner's last ms";
    }
}

TEST(RelayStop, StreamLogThatStallsAfterTheExitCantHoldTheStop)
{
    // A stream log takes half of what the worker wrote and then nothing:
    // the rest goes to the console, and the stop ends.
    Sandbox sb;
    StartOptions opts;
    opts.streamLog = true;
    sb.writeWorker("trap 'seq -f \"bye %g\" 1 60000; exit 0' TERM\necho ready\nwhile :; do sleep 0.1; done\n");
    ASSERT_TRUE(sb.start("lanternhill", {}, opts));
    ASSERT_TRUE(sb.waitForLog("W: ready\n", 10000));
    sb.signal(SIGTERM);
    ASSERT_TRUE(sb.waitForLog("W: bye 30000\n", 30000));
    sb.pauseLog(true);
    RunResult r = sb.finish(30000);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(0, r.status);
    expectAllInOrder(numbered(r.outLines(), "bye "), 60000);
}

TEST(RelayLog, RunnersOwnLinesAreBoundedAndDontHoldTheWorkersBack)
{
    // Without lh.config every status request logs an error: two clients
    // that ask without a pause, and a log that takes 200 records a second
    // (the kernel's queue of 512 datagrams ahead of it is 2.5 s).
    Sandbox sb;
    sb.writeWorker("trap 'exit 0' TERM\ni=0\nwhile :; do i=$((i+1)); echo \"tick $i\"; sleep 0.1; done\n");
    sb.slowLog(200);
    std::string port = sb.startServing("lanternhill");
    ASSERT_FALSE(port.empty());
    [[maybe_unused]] long before = statusKb(sb.pid(), "VmHWM:");
    sb.hostCommand("wrk -t1 -c2 -d6s http://127.0.0.1:" + port + "/local/lanternhill/status >/dev/null 2>&1");
    // The worker's lines went on meanwhile.
    EXPECT_TRUE(sb.waitForLog("W: tick 10\n", 1));
#if !defined(__SANITIZE_ADDRESS__)
    if (!Sandbox::emulated()) {
        EXPECT_LT(statusKb(sb.pid(), "VmHWM:") - before, 8 << 10);
    }
#endif
    sb.signal(SIGTERM);
    long long t0 = nowMs();
    RunResult r = sb.finish(30000);
    EXPECT_LT(nowMs() - t0, 6000);
    EXPECT_EQ(0, r.status);
    // Never one of the worker's: they waited in the pipe.
    std::vector<long> ticks = numbered(r.texts(), "tick ");
    ASSERT_FALSE(ticks.empty());
    expectAllInOrder(ticks, ticks.back());
    std::regex note("lhr, Log refused, ([0-9]+) own lines left out");
    long leftOut = 0;
    std::smatch m;
    for (const std::string &t : r.texts()) {
        if (std::regex_match(t, m, note))
            leftOut += atol(m[1].str().c_str());
    }
    EXPECT_GT(leftOut, 0);
}

TEST(RelayLog, LogPausedForGoodGetsTheConsoleAtFullSpeed)
{
    // The console a FIFO that nobody reads until 1.5 s after the hold:
    // the lines wait for it, then flow at once; a line after a quiet while
    // in console mode follows within a second, with no second hold.
    Sandbox sb;
    StartOptions opts;
    int reader = fifoConsole(sb, opts);
    ASSERT_GE(reader, 0);
    sb.writeWorker("seq -f 'n %g' 1 3000\nsleep 13\necho late\nexit 3\n");
    sb.pauseLog(true);
    long long t0 = nowMs();
    ASSERT_TRUE(sb.start("lanternhill", {}, opts));
    sb.pump(12500);
    std::string shown;
    char buf[65536];
    for (ssize_t n = 0; nowMs() - t0 < 30000 && (n = read(reader, buf, sizeof buf)) != 0;) {
        if (n > 0)
            shown.append(buf, static_cast<size_t>(n));
        else
            sb.pump(20);
    }
    close(reader);
    RunResult r = sb.finish();
    // A console that got a slice a second, or a hold after the quiet
    // while, takes 10 s more.
    EXPECT_LT(nowMs() - t0, 17000);
    EXPECT_EQ(3, r.status);
    expectAllInOrder(numbered(r.outLines(), "n "), 3000);
    std::vector<long> got;
    for (size_t w = 0; (w = shown.find(": W: n ", w)) != std::string::npos; w++)
        got.push_back(atol(shown.c_str() + w + 7));
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(3000, got.back());
    for (size_t i = 1; i < got.size(); i++)
        ASSERT_EQ(got[i - 1] + 1, got[i]);
    EXPECT_NE(std::string::npos, shown.find(": W: late\n\r\n"));
}

static long cpuTicks(pid_t pid)
{
    std::ifstream stat(("/proc/" + std::to_string(pid) + "/stat").c_str());
    std::string field;
    long ticks = 0;
    for (int i = 1; i <= 15 && stat >> field; i++)
        ticks += i >= 14 ? atol(field.c_str()) : 0;
    return ticks;
}

TEST(RelayLog, LogBackAfterTwiceTheHoldGetsWhatThePipeHeld)
{
    // A log that refuses for 20 s while the worker writes a tenth of what
    // the pipe holds, with no console or one that fails every write: the
    // lines wait there, none is given up, and the wait costs no CPU.
    for (const char *console : {"", "/dev/full"}) {
        SCOPED_TRACE(*console ? console : "no console");
        Sandbox sb;
        sb.writeWorker("trap 'exit 0' TERM\ni=0\nwhile [ $i -lt 20 ]; do\n"
                       "  seq -f 'n %g " + std::string(40, 'x') + "' $((i*100+1)) $((i*100+100)); sleep 0.9; i=$((i+1))\n"
                       "done\nwhile :; do sleep 0.1; done\n");
        sb.pauseLog(true);
        StartOptions opts;
        opts.consolePath = console;
        ASSERT_TRUE(sb.start("lanternhill", {}, opts));
        sb.pump(5000);
        const long ticks = cpuTicks(sb.pid());
        sb.pump(15000);
        EXPECT_LT(cpuTicks(sb.pid()) - ticks, 100) << "CPU ticks while the log refused";
        sb.pauseLog(false);
        EXPECT_TRUE(sb.waitForLog("W: n 2000 " + std::string(40, 'x') + "\n", 10000));
        sb.signal(SIGTERM);
        RunResult r = sb.finish(10000);
        EXPECT_EQ(0, r.status);
        expectAllInOrder(numbered(r.texts(), "n "), 2000);
        for (const std::string &t : r.texts())
            EXPECT_NE(0u, t.rfind("lhr, Log and console refused", 0)) << t;
    }
}

TEST(RelayLog, FullRecordsWaitingForAnOutputCostNoCpu)
{
    // More than the records hold, written at once while the log refuses:
    // the rest waits in the pipe behind the lines read but not yet kept,
    // and the wait costs no CPU, within the log's hold and past it.
    Sandbox sb;
    ASSERT_TRUE(startRunnerReady(sb, "trap 'exit 0' TERM\necho ready\nsleep 1\nseq -f 'n %g' 1 50000\n"
                                     "while :; do sleep 0.1; done\n"));
    sb.pauseLog(true);
    sb.pump(3000);
    const long ticks = cpuTicks(sb.pid());
    sb.pump(12000);
    EXPECT_LT(cpuTicks(sb.pid()) - ticks, 100) << "CPU ticks while the records were full";
    sb.pauseLog(false);
    EXPECT_TRUE(sb.waitForLog("W: n 50000\n", 20000));
    sb.signal(SIGTERM);
    RunResult r = sb.finish(10000);
    EXPECT_EQ(0, r.status);
    expectAllInOrder(numbered(r.texts(), "n "), 50000);
}

TEST(RelayLog, ConsoleStalledInARecordHoldsNeitherTheWorkerNorTheLog)
{
    // The log refuses past its hold; the console is a FIFO nobody reads,
    // so it stalls in a record and is passed by past its own hold. The
    // worker writes more than the records and its pipe hold: it is never
    // blocked, what can't be kept is left out and counted, and the log,
    // back, gets what follows.
    Sandbox sb;
    StartOptions opts;
    const int reader = fifoConsole(sb, opts);
    ASSERT_GE(reader, 0);
    sb.writeWorker("trap 'exit 0' TERM\necho ready\nsleep 0.5\nseq -f 'n %g " + std::string(300, 'x') +
                   "' 1 10000\necho done >finished\necho last\nwhile :; do sleep 0.1; done\n");
    ASSERT_TRUE(sb.start("lanternhill", {}, opts));
    ASSERT_TRUE(sb.waitForLog("W: ready\n", 10000));
    sb.pauseLog(true);
    std::string finished;
    for (const long long t0 = nowMs(); !(sb.readFile("finished", &finished) && !finished.empty()) && nowMs() - t0 < 45000;)
        sb.pump(100);
    EXPECT_EQ("done\n", finished) << "the worker was blocked";
    sb.pauseLog(false);
    EXPECT_TRUE(sb.waitForLog("W: last\n", 10000));
    sb.signal(SIGTERM);
    RunResult r = sb.finish(10000);
    close(reader);
    EXPECT_EQ(0, r.status);
    unsigned counted = 0;
    for (const std::string &t : r.texts())
        counted += t.rfind("lhr, Log and console refused, ", 0) == 0 ? atoi(t.c_str() + 30) : 0;
    EXPECT_GT(counted, 0u);
}

TEST(RelayEcho, UnreadStandardOutputHoldsNothingAndLosesNothing)
{
    Sandbox sb;
    sb.writeWorker("trap 'exit 0' TERM\nseq -f 'n %g' 1 20000\nwhile :; do sleep 0.1; done\n");
    sb.pauseOut(true);
    long long t0 = nowMs();
    std::string port = sb.startServing("lanternhill");
    ASSERT_FALSE(port.empty());
    sb.pump(1200);
    expectAnswered(sb, port, 5, 100, 1000);
    // The stop while nobody reads: the echo waits, in order, until its
    // reader comes back 1.7 s later.
    sb.pump(static_cast<int>(std::max(0LL, 3300 - (nowMs() - t0))));
    sb.signal(SIGTERM);
    sb.pump(1700);
    sb.pauseOut(false);
    RunResult r = sb.finish();
    EXPECT_EQ(0, r.status);
    expectAllInOrder(numbered(r.texts(), "n "), 20000);
    expectAllInOrder(numbered(r.outLines(), "n "), 20000);
}

TEST(RelayLog, WithoutAWorkerTheRunnersLinesStillGetTheConsole)
{
    // Descriptors up to 300 taken: the worker's pipe can't be tracked, so
    // no worker starts; more lines than the paused log's queue holds.
    Sandbox sb;
    const std::string console = sb.fileConsole();
    ASSERT_FALSE(console.empty());
    StartOptions opts;
    opts.consolePath = console;
    opts.occupyFds = 300;
    sb.pauseLog(true);
    ASSERT_TRUE(sb.start("lanternhill", std::vector<std::string>(12, "x"), opts));
    sb.pump(12000);
    std::vector<std::string> shown = readLines(console);
    ASSERT_FALSE(shown.empty());
    EXPECT_NE(std::string::npos, shown.back().find("]: lhr, fp null..\r"));
    sb.signal(SIGTERM);
    EXPECT_EQ(0, sb.finish().status);
}

// The log refuses past its hold, so the console (a FIFO) has the lines; it
// fills in the middle of a record and its reader leaves, so the next write
// fails. The runner is held meanwhile; the worker then waits for "go".
static void consoleReaderLeavesInARecord(Sandbox &sb, StartOptions &opts)
{
    const int reader = fifoConsole(sb, opts);
    ASSERT_GE(reader, 0);
    sb.writeWorker("trap 'exit 0' TERM\necho ready\nsleep 0.5\nseq -f 'n %g " + std::string(300, 'x') +
                   "' 1 1000\nwhile [ ! -e go ]; do sleep 0.1; done\n"
                   "i=0\nwhile :; do i=$((i+1)); echo \"later $i\"; sleep 0.1; done\n");
    ASSERT_TRUE(sb.start("lanternhill", {}, opts));
    ASSERT_TRUE(sb.waitForLog("W: ready\n", 10000));
    sb.pauseLog(true);
    struct pollfd pfd = {reader, POLLIN, 0};
    for (const long long t0 = nowMs(); poll(&pfd, 1, 0) != 1 && nowMs() - t0 < 20000;)
        sb.pump(50);
    sb.pump(1000);
    kill(sb.pid(), SIGSTOP);
    waitStopped(sb.pid());
    std::string shown;
    char page[4096];
    for (ssize_t k; (k = read(reader, page, sizeof page)) > 0;)
        shown.append(page, static_cast<size_t>(k));
    close(reader);
    kill(sb.pid(), SIGCONT);
    ASSERT_GE(shown.size(), 2u) << "the console got nothing";
    ASSERT_NE("\r\n", shown.substr(shown.size() - 2)) << "the console stopped between two records";
    sb.pump(1000);
}

TEST(RelayLog, ConsoleWhoseReaderLeftInARecordIsOpenedAgainAndHoldsNoStop)
{
    for (bool readerBack : {true, false}) {
        SCOPED_TRACE(readerBack ? "a reader back" : "no reader back");
        Sandbox sb;
        StartOptions opts;
        consoleReaderLeavesInARecord(sb, opts);
        if (HasFatalFailure())
            return;
        const int reader = readerBack ? open(opts.consolePath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
        ASSERT_EQ(readerBack, reader >= 0);
        // Without a reader back, the log back takes everything.
        sb.pauseLog(readerBack);
        sb.writeFile("go", "");
        std::string again;
        char page[4096];
        for (const long long t0 = nowMs(); readerBack && again.find("W: later ") == std::string::npos && nowMs() - t0 < 8000;
             sb.pump(100)) {
            for (ssize_t k; (k = read(reader, page, sizeof page)) > 0;)
                again.append(page, static_cast<size_t>(k));
        }
        if (readerBack) {
            EXPECT_NE(std::string::npos, again.find("W: later ")) << "not opened again; it got: " << again.substr(0, 200);
            // The record it was cut in ends before anything newer.
            EXPECT_EQ(0u, again.rfind("\r\n", 0)) << again.substr(0, 80);
            sb.pauseLog(false);
        } else {
            ASSERT_TRUE(sb.waitForLog("W: later 5\n", 10000));
        }
        const long long t0 = nowMs();
        sb.signal(SIGTERM);
        RunResult r = sb.finish(10000);
        if (reader >= 0)
            close(reader);
        EXPECT_EQ(0, r.status);
        // A console that is gone doesn't hold the stop to its bound.
        if (!readerBack) {
            EXPECT_LT(nowMs() - t0, 2000) << "the stop waited for a console that is gone";
        }
    }
}
