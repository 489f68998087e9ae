// The relay against a randomized adversary: each round draws a worker, a
// log daemon, a reader of standard output, a console and the moment of
// SIGTERM from its seed, and checks the relay's promises. A failing round
// names its seed; LH_CHAOS_SEED=N replays it (a fixed round's too),
// LH_CHAOS_SECONDS=T runs new seeds for T seconds (make relay-chaos).

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "chaos/chaos_lines.h"
#include "chaos/chaos_progress.h"
#include "sandbox.h"

namespace {

enum LogKind { LOG_KEEPS_UP, LOG_SLOW, LOG_PAUSED, LOG_GONE };
enum OutKind { OUT_FAST, OUT_SLOW, OUT_PAUSED, OUT_NONE };
enum ConsoleKind { CON_FILE, CON_FIFO, CON_NONE };

struct Round {
    uint64_t seed = 0;
    // The worker (chaos_worker's arguments).
    long long lines = 0; // 0: until SIGTERM
    bool thenWait = false, longLines = false, oddBytes = false, nonl = false;
    bool ignorePipe = false, leftover = false;
    long chunk = 0, pauseMs = 0;
    std::string term = "exit";
    long bye = 0, save = 0;
    int code = 0;
    // The log daemon.
    LogKind log = LOG_KEEPS_UP;
    bool stream = false;
    int logRate = 0, logFromMs = 0, logForMs = -1; // -1: for good
    // Standard output's reader.
    OutKind out = OUT_FAST;
    int outRate = 0, outFromMs = 0, outForMs = -1;
    // The console; a FIFO is read after its pause.
    ConsoleKind console = CON_NONE;
    int consolePauseMs = 0;
    // SIGTERM to the runner; a worker that ignores it is killed so long after.
    int termAtMs = 1000, killAfterMs = 0;
    // The outputs take again within the stop's bound: nothing may be lost.
    bool keepsAll = false;

    std::string describe() const
    {
        static const char *logs[] = {"keeps-up", "slow", "paused", "gone"};
        static const char *outs[] = {"fast", "slow", "paused", "none"};
        static const char *consoles[] = {"file", "fifo", "none"};
        std::ostringstream s;
        s << "seed " << seed << ": worker" << workerArgs() << "; log "
          << logs[log] << (stream ? "(stream)" : "") << " rate=" << logRate << " from=" << logFromMs
          << " for=" << logForMs << "; stdout " << outs[out] << " rate=" << outRate << " from=" << outFromMs
          << " for=" << outForMs << "; console " << consoles[console] << " pause=" << consolePauseMs
          << "; SIGTERM at " << termAtMs << " kill after " << killAfterMs << (keepsAll ? "; keeps all" : "");
        return s.str();
    }

    std::string workerArgs() const
    {
        std::ostringstream s;
        s << " seed=" << seed << " lines=" << lines << " chunk=" << chunk << " pause=" << pauseMs
          << " long=" << longLines << " odd=" << oddBytes << " nonl=" << nonl << " then=" << (thenWait ? "wait" : "exit")
          << " term=" << term << " bye=" << bye << " save=" << save << " code=" << code
          << " leftover=" << leftover << (ignorePipe ? " sigpipe=ignore" : "");
        return s.str();
    }

    // Where the log refuses and no console takes, lines may go nowhere,
    // as syslog(3) drops them.
    bool mayLose() const
    {
        return !keepsAll && console != CON_FILE && (log != LOG_KEEPS_UP || out == OUT_SLOW || out == OUT_PAUSED);
    }
};

Round drawRound(uint64_t seed)
{
    std::mt19937_64 g(seed);
    auto pick = [&](int n) { return static_cast<int>(g() % static_cast<uint64_t>(n)); };
    auto between = [&](int lo, int hi) { return lo + pick(hi - lo + 1); };
    Round r;
    r.seed = seed;
    int shape = pick(10);
    if (shape < 4) {
        // Until SIGTERM: a drip, so that it writes for seconds.
        r.lines = 0;
        r.pauseMs = between(20, 300);
    } else {
        // A burst that exits or then waits: a flood when it has no pause.
        r.lines = pick(4) == 0 ? between(1, 3) : between(100, 30000);
        r.thenWait = shape < 7;
        r.pauseMs = pick(2) ? 0 : between(1, 300);
    }
    r.chunk = pick(2) ? 0 : (pick(2) ? 4096 : between(1, 8192));
    r.longLines = pick(10) < 3;
    r.oddBytes = pick(10) < 3;
    r.leftover = pick(5) == 0;
    r.nonl = !r.leftover && pick(5) == 0;
    r.ignorePipe = pick(10) < 3;
    r.code = pick(6);
    int term = pick(10);
    r.term = term < 5 ? "exit" : term < 7 ? "save" : "ignore";
    r.bye = pick(3) == 0 ? 0 : between(1, 3000);
    r.save = between(1, 8);
    if (r.term == "ignore") {
        r.killAfterMs = between(300, 6000);
        // It never stops by itself, or the kill comes too late to matter.
        if (r.lines > 0 && !r.thenWait)
            r.thenWait = true;
    }

    int log = pick(20);
    r.log = log < 8 ? LOG_KEEPS_UP : log < 12 ? LOG_SLOW : log < 17 ? LOG_PAUSED : LOG_GONE;
    r.stream = r.log != LOG_GONE && pick(4) == 0;
    static const int rates[] = {3, 20, 100, 1000};
    r.logRate = rates[pick(4)];
    r.logFromMs = between(0, 3000);
    r.logForMs = pick(10) < 3 ? -1 : between(300, 8000);

    int out = pick(20);
    r.out = out < 8 ? OUT_FAST : out < 12 ? OUT_SLOW : out < 17 ? OUT_PAUSED : OUT_NONE;
    r.outRate = between(1000, 50000);
    r.outFromMs = between(0, 3000);
    r.outForMs = pick(10) < 3 ? -1 : between(300, 8000);

    int console = pick(10);
    r.console = console < 4 ? CON_FILE : console < 7 ? CON_FIFO : CON_NONE;
    r.consolePauseMs = pick(2) ? 0 : between(100, 6000);
    r.termAtMs = between(300, 4000);
    return r;
}

// One status request over a connection of its own: its time in ms, or -1
// without a whole answer. The sandbox is served meanwhile.
long long statusMs(Sandbox &sb, const std::string &port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(atoi(port.c_str())));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const long long t0 = nowMs();
    std::string got;
    const std::string req = "GET /local/lanternhill/status HTTP/1.0\r\n\r\n";
    size_t sent = 0;
    bool ok = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 || errno == EINPROGRESS;
    while (ok && nowMs() - t0 < 3000) {
        struct pollfd p = {fd, static_cast<short>(sent < req.size() ? POLLOUT : POLLIN), 0};
        if (poll(&p, 1, 1) > 0) {
            if (sent < req.size()) {
                ssize_t n = send(fd, req.data() + sent, req.size() - sent, MSG_NOSIGNAL);
                ok = n > 0 || errno == EAGAIN;
                sent += n > 0 ? static_cast<size_t>(n) : 0;
            } else {
                char buf[4096];
                ssize_t n = read(fd, buf, sizeof buf);
                if (n == 0)
                    break;
                ok = n > 0 || errno == EAGAIN;
                if (n > 0)
                    got.append(buf, static_cast<size_t>(n));
            }
        }
        sb.pump(1);
    }
    close(fd);
    const bool answered = got.rfind("HTTP/1.", 0) == 0 && got.find(" 200 ") != std::string::npos &&
                          got.find("\"uptime\"") != std::string::npos;
    return answered ? nowMs() - t0 : -1;
}

long peakKb(pid_t pid)
{
    for (const std::string &l : readLines("/proc/" + std::to_string(pid) + "/status")) {
        if (l.rfind("VmHWM:", 0) == 0)
            return atol(l.c_str() + 6);
    }
    return -1;
}

// The relayed pieces of an output, in its order, zero bytes restored.
std::vector<std::string> pieces(const std::vector<std::string> &texts)
{
    std::vector<std::string> out;
    for (const std::string &t : texts) {
        if (t.rfind("W: ", 0) != 0 || t.rfind("W: X", 0) == 0)
            continue;
        std::string p;
        for (size_t i = 3; i < t.size(); i++) {
            if (t.compare(i, 4, "#000") == 0) {
                p += '\0';
                i += 3;
            } else {
                p += t[i];
            }
        }
        out.push_back(p);
    }
    return out;
}

// The console's records: "ident[pid]: text\r\n".
std::vector<std::string> consoleTexts(const std::string &shown)
{
    std::vector<std::string> out;
    for (size_t start = 0, end; (end = shown.find("\r\n", start)) != std::string::npos; start = end + 2) {
        std::string rec = shown.substr(start, end - start);
        size_t k = rec.find("]: ");
        if (k != std::string::npos)
            out.push_back(rec.substr(k + 3));
    }
    return out;
}

struct Timeline {
    long long workerExitMs = 0, runnerExitMs = 0, killMs = 0;
    long long statusMax = 0;
    int statusCount = 0, unanswered = 0;
    long peakGrowthKb = 0;
};

// The promise is 50 ms, measured in the benchmarks; here a machine's load
// must not fail a round, a loop held up for a pass or a wait must.
long long statusBoundMs()
{
#if defined(__SANITIZE_ADDRESS__)
    return 500;
#else
    return Sandbox::emulated() ? 1000 : 250;
#endif
}

void playRound(const Round &rd)
{
    SCOPED_TRACE(rd.describe());
    printf("chaos %s\n", rd.describe().c_str());
    fflush(stdout);
    Sandbox sb;
    sb.writeWorker("exec " + Sandbox::programCommand("chaos_worker") + rd.workerArgs() + "\n");
    StartOptions opts;
    opts.streamLog = rd.stream;
    opts.stdoutClosed = rd.out == OUT_NONE;
    opts.logKept = 2000000;
    std::string console = sb.scratchDir() + "/console";
    int fifo = -1;
    if (rd.console == CON_FILE) {
        ASSERT_TRUE(std::ofstream(console).good());
    } else if (rd.console == CON_FIFO) {
        ASSERT_EQ(0, mkfifo(console.c_str(), 0666));
        fifo = open(console.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(fifo, 0);
    }
    if (rd.console != CON_NONE)
        opts.consolePath = console;
    if (rd.log == LOG_SLOW)
        sb.slowLog(rd.logRate);
    if (rd.out == OUT_SLOW)
        sb.slowOut(rd.outRate);

    std::string shown; // the FIFO console's bytes
    auto readConsole = [&] {
        char buf[65536];
        for (ssize_t n; fifo >= 0 && (n = read(fifo, buf, sizeof buf)) > 0;)
            shown.append(buf, static_cast<size_t>(n));
    };
    const long long t0 = nowMs();
    const std::string port = sb.startServing("lanternhill", opts);
    ASSERT_FALSE(port.empty());
    const bool measureMemory = !Sandbox::emulated()
#if defined(__SANITIZE_ADDRESS__)
                               && false
#endif
        ;
    const long startKb = measureMemory ? peakKb(sb.pid()) : 0;
    auto progress = [&] {
        ChaosProgress p = {};
        std::string s;
        if (sb.readFile("chaos.progress", &s) && s.size() >= sizeof p)
            memcpy(&p, s.data(), sizeof p);
        return p;
    };

    Timeline tl;
    std::vector<long long> failedAt; // requests without an answer
    bool termed = false, killed = false, logChanged = false, logRestored = false;
    long long termedAt = 0;
    long long nextStatus = t0 + 100;
    for (;;) {
        const long long now = nowMs(), at = now - t0;
        if (!sb.running()) {
            tl.runnerExitMs = now;
            break;
        }
        if (rd.log == LOG_PAUSED || rd.log == LOG_GONE) {
            if (!logChanged && at >= rd.logFromMs) {
                logChanged = true;
                if (rd.log == LOG_GONE)
                    sb.closeLog();
                else
                    sb.pauseLog(true);
            }
            if (rd.log == LOG_PAUSED && logChanged && !logRestored && rd.logForMs >= 0 &&
                at >= rd.logFromMs + rd.logForMs) {
                logRestored = true;
                sb.pauseLog(false);
            }
        }
        if (rd.out == OUT_PAUSED)
            sb.pauseOut(at >= rd.outFromMs && (rd.outForMs < 0 || at < rd.outFromMs + rd.outForMs));
        ChaosProgress p = progress();
        // The moment counts once the worker is ready for it.
        if (!termed && p.pid > 0 && at >= rd.termAtMs) {
            termed = true;
            termedAt = at;
            sb.signal(SIGTERM);
        }
        if (tl.workerExitMs == 0 && p.exitMs != 0)
            tl.workerExitMs = p.exitMs;
        // A worker held back by a slow log may take minutes to stop: the
        // platform ends it too, later.
        const int killAfter = rd.term == "ignore" ? rd.killAfterMs : 15000;
        if (termed && !killed && tl.workerExitMs == 0 && at >= termedAt + killAfter) {
            // The platform ends a package that doesn't stop.
            killed = true;
            (void)kill(p.pid, SIGKILL);
            tl.killMs = nowMs();
            tl.workerExitMs = tl.killMs;
        }
        const long long ended = tl.workerExitMs;
        if (ended != 0 && now - ended > 10000) {
            ADD_FAILURE() << "the runner still runs 10 s after its worker's exit";
            break;
        }
        if (at > 90000) {
            ADD_FAILURE() << "the round did not end";
            break;
        }
        if (now >= nextStatus) {
            const long long asked = nowMs();
            long long ms = statusMs(sb, port);
            tl.statusCount++;
            if (ms < 0)
                failedAt.push_back(asked);
            tl.statusMax = std::max(tl.statusMax, ms);
            nextStatus = nowMs() + 250;
            if (measureMemory && sb.running())
                tl.peakGrowthKb = std::max(tl.peakGrowthKb, peakKb(sb.pid()) - startKb);
        }
        if (at >= rd.consolePauseMs)
            readConsole();
        sb.pump(5);
    }
    // A daemon paused for good reads its queue after the runner's exit.
    sb.pauseLog(false);
    RunResult r = sb.finish(5000);
    readConsole();
    if (fifo >= 0)
        close(fifo);
    if (rd.console == CON_FILE) {
        std::ifstream f(console, std::ios::binary);
        shown.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
    // The handler goes a moment before the runner's exit: a request asked
    // then may go unanswered.
    for (long long t : failedAt)
        tl.unanswered += tl.runnerExitMs - t > 1000;
    const ChaosProgress p = progress();
    if (tl.workerExitMs == 0)
        tl.workerExitMs = p.exitMs;

    // The exit code is the worker's, which was never cut off.
    EXPECT_EQ(0, p.epipe) << "the worker's pipe was closed while it wrote";
    EXPECT_EQ(killed ? 254 : rd.code, r.status);
    // It ran as long as its worker, and not much longer.
    ASSERT_NE(0, tl.workerExitMs) << "the worker never exited";
    EXPECT_GE(tl.runnerExitMs + 5, tl.workerExitMs) << "the runner ended before its worker";
    EXPECT_LE(tl.runnerExitMs - tl.workerExitMs, 5000) << "the stop's bound";
    // Served throughout.
    EXPECT_EQ(0, tl.unanswered) << "status requests without an answer, of " << tl.statusCount;
    EXPECT_LE(tl.statusMax, statusBoundMs()) << "the slowest status answer";
    if (measureMemory) {
        EXPECT_LT(tl.peakGrowthKb, 8 << 10) << "peak memory growth in kB";
    }

    // The console's last record is whole where its reader was there to
    // take its end.
    if (rd.console == CON_FILE || (rd.console == CON_FIFO && t0 + rd.consolePauseMs + 500 < tl.runnerExitMs)) {
        EXPECT_TRUE(shown.empty() || shown.compare(shown.size() - 2, 2, "\r\n") == 0)
            << "the console ends in " << testing::PrintToString(shown.substr(shown.size() - std::min<size_t>(shown.size(), 40)));
    }

    // Every byte the worker wrote before its exit, once, in order, in the
    // log or on the console.
    ChaosLineKinds kinds;
    kinds.longLines = rd.longLines;
    kinds.oddBytes = rd.oddBytes;
    std::string stream;
    for (uint64_t n = 1; stream.size() < static_cast<size_t>(p.bytes) + 70000; n++)
        stream += chaosLine(rd.seed, n, kinds);
    std::vector<std::string> fromLog = pieces(r.texts());
    std::vector<std::string> fromConsole = pieces(consoleTexts(shown));
    const bool boundReached = tl.runnerExitMs - tl.workerExitMs > 3000;
    size_t pos = 0, i = 0, j = 0, lost = 0;
    auto at = [&](const std::string &piece, size_t where) { return stream.compare(where, piece.size(), piece) == 0; };
    while (i < fromLog.size() || j < fromConsole.size()) {
        const std::string *next = nullptr;
        if (i < fromLog.size() && at(fromLog[i], pos))
            next = &fromLog[i++];
        else if (j < fromConsole.size() && at(fromConsole[j], pos))
            next = &fromConsole[j++];
        if (next == nullptr && killed && rd.leftover) {
            // Killed in the middle of a line: the writer it left behind
            // ends that line with its own.
            auto workerBytes = [&](const std::string &piece) {
                size_t m = 0;
                while (m < piece.size() && pos + m < stream.size() && piece[m] == stream[pos + m])
                    m++;
                return pos + m >= static_cast<size_t>(p.bytes) && m < piece.size() && piece[m] == 'X' ? m : 0;
            };
            size_t m = 0;
            if (i < fromLog.size() && (m = workerBytes(fromLog[i])) > 0)
                i++;
            else if (j < fromConsole.size() && (m = workerBytes(fromConsole[j])) > 0)
                j++;
            pos += m;
            if (m > 0)
                continue;
        }
        if (next == nullptr && rd.mayLose()) {
            // Lost lines: the next piece must still come later, in order.
            size_t a = i < fromLog.size() ? stream.find(fromLog[i], pos) : std::string::npos;
            size_t b = j < fromConsole.size() ? stream.find(fromConsole[j], pos) : std::string::npos;
            size_t skip = std::min(a, b);
            if (skip != std::string::npos) {
                if (getenv("LH_CHAOS_VERBOSE"))
                    printf("lost %zu bytes at %zu: %s\n", skip - pos, pos,
                           testing::PrintToString(stream.substr(pos, std::min<size_t>(skip - pos, 120))).c_str());
                lost += skip - pos;
                pos = skip;
                continue;
            }
        }
        if (next == nullptr) {
            ADD_FAILURE() << "at byte " << pos << " of " << p.bytes << " the relay has neither log piece "
                          << (i < fromLog.size() ? testing::PrintToString(fromLog[i].substr(0, 60)) : "(none)")
                          << " nor console piece "
                          << (j < fromConsole.size() ? testing::PrintToString(fromConsole[j].substr(0, 60)) : "(none)")
                          << "; the worker wrote " << testing::PrintToString(stream.substr(pos, 60));
            return;
        }
        // A line of a record's size whose writer finished it is one record.
        const bool lineStart = pos == 0 || stream[pos - 1] == '\n';
        const size_t lineEnd = stream.find('\n', pos);
        if (lineStart && lineEnd - pos < 1023 && lineEnd < static_cast<size_t>(p.bytes) && !boundReached &&
            !rd.mayLose() && !killed) {
            EXPECT_EQ(lineEnd + 1 - pos, next->size())
                << "line cut: " << testing::PrintToString(next->substr(0, 60));
        }
        pos += next->size();
    }
    if (!rd.mayLose()) {
        EXPECT_GE(pos, static_cast<size_t>(p.bytes)) << "the relay ends before what the worker wrote";
    }
    if (!killed) {
        EXPECT_LE(pos, static_cast<size_t>(p.bytes)) << "more relayed than the worker wrote";
    }
    printf("chaos seed %llu: %lld bytes written, %zu relayed (%zu lost), %zu log and %zu console pieces, "
           "stop %lld ms, status max %lld ms of %d\n",
           static_cast<unsigned long long>(rd.seed), static_cast<long long>(p.bytes), pos - lost, lost,
           fromLog.size(), fromConsole.size(), tl.runnerExitMs - tl.workerExitMs, tl.statusMax, tl.statusCount);
}

} // namespace

// Rounds the adversary's draws stand for, each one a fault it found.
TEST(RelayChaos, FaultsFoundBefore)
{
    Round base;
    base.lines = 1;
    base.thenWait = true;
    base.termAtMs = 500;
    base.code = 3;
    // A worker that logs for 4 s while it saves its state: never cut off.
    Round saving = base;
    saving.term = "save";
    saving.save = 8;
    // One that ignores SIGTERM and writes nothing: served until the
    // platform kills it 6 s later.
    Round deaf = base;
    deaf.term = "ignore";
    deaf.killAfterMs = 6000;
    // 2,000 lines on SIGTERM to a log that takes 3 a second: the stop is
    // bounded, and the console has what the log didn't take.
    Round slowLog = base;
    slowLog.bye = 2000;
    slowLog.log = LOG_SLOW;
    slowLog.logRate = 3;
    slowLog.console = CON_FILE;
    // 3,000 short lines to a log at 100 a second: the drain counts what it
    // relayed, not what it read.
    Round drain = slowLog;
    drain.bye = 3000;
    drain.logRate = 100;
    // A stdio writer whose 4 KiB chunks cut lines anywhere, pausing up to
    // 300 ms between two: every line whole.
    Round chunks = base;
    chunks.lines = 3000;
    chunks.chunk = 4096;
    chunks.pauseMs = 300;
    chunks.termAtMs = 4000;
    chunks.console = CON_FILE;
    // A log that refuses past its hold (the status requests' own lines fill
    // it), a console FIFO left unread until the runner's write into it is
    // cut, 2,000 lines and the exit; the log comes back half a second
    // later, the console's reader after it.
    Round stalled = base;
    stalled.lines = 100;
    stalled.bye = 2000;
    stalled.log = LOG_PAUSED;
    stalled.logForMs = 14500;
    stalled.console = CON_FIFO;
    stalled.consolePauseMs = 15000;
    stalled.termAtMs = 14000;
    stalled.keepsAll = true;
    // LH_CHAOS_SEED replays one of them too.
    const char *one = getenv("LH_CHAOS_SEED");
    uint64_t seed = 1000;
    for (Round r : {saving, deaf, slowLog, drain, chunks, stalled}) {
        r.seed = seed++;
        if (one != nullptr && r.seed != strtoull(one, nullptr, 10))
            continue;
        playRound(r);
    }
}

TEST(RelayChaos, RandomRounds)
{
    // Under an emulator a round takes longer and finds what the host's do.
    std::vector<uint64_t> seeds = {1, 2, 3, 4, 5, 6};
    if (Sandbox::emulated())
        seeds.resize(3);
    if (const char *one = getenv("LH_CHAOS_SEED"))
        seeds = {strtoull(one, nullptr, 10)};
    const char *secs = getenv("LH_CHAOS_SECONDS");
    if (secs != nullptr) {
        const long long until = nowMs() + atoll(secs) * 1000;
        std::random_device rnd;
        int rounds = 0, failed = 0;
        while (nowMs() < until) {
            const uint64_t seed = rnd();
            const int before = testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
            playRound(drawRound(seed));
            rounds++;
            if (testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count() != before) {
                failed++;
                printf("chaos FAILED seed %llu\n", static_cast<unsigned long long>(seed));
            }
        }
        printf("relay-chaos: %d rounds run, %d broke an invariant\n", rounds, failed);
        return;
    }
    for (uint64_t seed : seeds)
        playRound(drawRound(seed));
}
