// The runner's log writer against syslog(3): the same bytes, on a datagram
// socket and on a stream socket.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "relay/records.h"
#include "relay/state.h"
#include "relay/syslog_out.h"
#include "sandbox.h"

using Lines = std::vector<std::string>;

static int listenAt(const std::string &path, int type)
{
    int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        (type == SOCK_STREAM && listen(fd, 4) != 0))
        return -1;
    return fd;
}

// The writer's messages as received at its socket.
static Lines receive(int fd, int type)
{
    Lines got;
    char buf[65536];
    if (type == SOCK_DGRAM) {
        ssize_t n;
        while ((n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) >= 0)
            got.emplace_back(buf, static_cast<size_t>(n));
        return got;
    }
    int conn = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    std::string all;
    ssize_t n;
    while (conn >= 0 && (n = read(conn, buf, sizeof buf)) > 0)
        all.append(buf, static_cast<size_t>(n));
    if (conn >= 0)
        close(conn);
    // Each message ends with its zero byte, as syslog(3) frames them.
    for (size_t start = 0, end; (end = all.find('\0', start)) != std::string::npos; start = end + 1)
        got.push_back(all.substr(start, end - start));
    if (!all.empty() && all.back() != '\0')
        got.push_back("unterminated: " + all.substr(all.rfind('\0') + 1));
    return got;
}

// The time stamp: "<14>Mmm dd hh:mm:ss ".
static std::string stamp(const std::string &raw)
{
    return raw.substr(0, raw.find('>') + 17);
}

TEST(LogWriter, SameBytesAsSyslog)
{
    for (int type : {SOCK_DGRAM, SOCK_STREAM}) {
        // A second may tick between the two: then once more.
        for (int attempt = 0;; attempt++) {
            Sandbox sb;
            std::string path = sb.scratchDir() + "/writer.sock";
            int fd = listenAt(path, type);
            ASSERT_GE(fd, 0);
            RunResult r = sb.run("log_twin", {path});
            Lines got = receive(fd, type);
            close(fd);
            ASSERT_EQ(0, r.status) << type << r.err;
            ASSERT_EQ(5u, r.log.size()) << type;
            ASSERT_EQ(5u, got.size()) << type;
            bool sameSecond = true;
            for (size_t i = 0; i < got.size(); i++)
                sameSecond &= stamp(got[i]) == stamp(r.log[i].raw);
            if (!sameSecond && attempt < 3)
                continue;
            for (size_t i = 0; i < got.size(); i++)
                EXPECT_EQ(r.log[i].raw, got[i]) << type << " message " << i;
            EXPECT_EQ("W: a worker line\n", r.log[1].text);
            break;
        }
    }
    // A day of one digit is padded with a blank: the writer's clock on the
    // 5th of next month, syslog(3)'s where it is.
    time_t now = time(nullptr);
    struct tm day;
    localtime_r(&now, &day);
    day.tm_mday = 5;
    day.tm_mon += 1;
    day.tm_isdst = -1;
    time_t fifth = mktime(&day);
    char want[16];
    strftime(want, sizeof want, "%b %e ", localtime_r(&fifth, &day));
    Sandbox sb;
    std::string path = sb.scratchDir() + "/writer.sock";
    int fd = listenAt(path, SOCK_DGRAM);
    ASSERT_GE(fd, 0);
    StartOptions opts;
    opts.clockOffset = fifth - now;
    RunResult r = sb.run("log_twin", {path}, 20000, opts);
    Lines got = receive(fd, SOCK_DGRAM);
    close(fd);
    ASSERT_EQ(5u, r.log.size());
    ASSERT_EQ(5u, got.size());
    for (size_t i = 0; i < got.size(); i++) {
        EXPECT_EQ(want, got[i].substr(4, 7)) << i;
        EXPECT_EQ(r.log[i].raw.substr(stamp(r.log[i].raw).size()), got[i].substr(stamp(got[i]).size())) << i;
    }
}

TEST(LogWriter, StreamRecordCutByAStallGoesToTheConsoleBeforeAnythingNewer)
{
    Sandbox sb;
    std::string path = sb.scratchDir() + "/writer.sock";
    const std::string console = sb.fileConsole();
    ASSERT_FALSE(console.empty());
    int fd = listenAt(path, SOCK_STREAM);
    ASSERT_GE(fd, 0);
    StartOptions opts;
    opts.consolePath = console;
    ASSERT_TRUE(sb.start("log_twin", {"--cut", path}, opts));
    ASSERT_TRUE(sb.waitForOutput("cut\n", 30000));
    // The stalled connection ends with a part of the record and no end.
    Lines first = receive(fd, SOCK_STREAM);
    Lines second = receive(fd, SOCK_STREAM);
    close(fd);
    RunResult r = sb.finish();
    EXPECT_EQ(0, r.status);
    ASSERT_EQ(1u, first.size());
    EXPECT_EQ(0u, first[0].rfind("unterminated: <14>", 0)) << first[0].substr(0, 80);
    ASSERT_EQ(1u, second.size());
    EXPECT_NE(std::string::npos, second[0].find("]: W: back")) << second[0];
    // Whole and in order on the console.
    std::vector<std::string> shown = readLines(console);
    ASSERT_EQ(3u, shown.size()) << (shown.empty() ? "" : shown.back());
    EXPECT_NE(std::string::npos, shown[0].find("]: W: " + std::string(240 << 10, 'a')));
    EXPECT_EQ("\r", shown[1]);
    EXPECT_NE(std::string::npos, shown[2].find("]: W: to the console\r"));
}

TEST(LogWriter, RefusedAgainAndAgainEveryLineIsShownOrCounted)
{
    // The log refuses three times, taking in between. A file standing for
    // the console is opened again each time and must keep what it showed;
    // without a console, what it would have shown waits for the log.
    for (bool withConsole : {true, false}) {
        SCOPED_TRACE(withConsole ? "file console" : "no console");
        Sandbox sb;
        StartOptions opts;
        opts.consolePath = withConsole ? sb.fileConsole() : "";
        RunResult r = sb.run("log_twin", {"--again", sb.scratchDir() + "/writer.sock"}, 20000, opts);
        ASSERT_EQ(0, r.status) << r.err;
        std::vector<long> fromLog, fromConsole;
        long counted = 0;
        for (const std::string &l : r.outLines()) {
            if (l.rfind("W: n ", 0) == 0)
                fromLog.push_back(atol(l.c_str() + 5));
            if (l.rfind("lhr, Log and console refused, ", 0) == 0)
                counted += atol(l.c_str() + 30);
        }
        if (withConsole)
            fromConsole = consoleNumbers(opts.consolePath, "n ");
        ASSERT_FALSE(fromLog.empty());
        if (withConsole)
            EXPECT_FALSE(fromConsole.empty());
        else
            EXPECT_EQ(0, counted);
        EXPECT_TRUE(std::is_sorted(fromLog.begin(), fromLog.end()));
        // The twin's last line is logged: every one before it shown,
        // logged or counted, once.
        EXPECT_EQ(fromLog.back(), static_cast<long>(fromLog.size() + fromConsole.size()) + counted);
        if (withConsole) {
            EXPECT_TRUE(togetherOnceInOrder(fromLog, fromConsole, fromLog.back()));
        }
    }
}

// With no console to show them, records too large for the socket are counted.
TEST(LogWriter, RecordsTooLargeForTheSocketAreCounted)
{
    Sandbox sb;
    StartOptions opts;
    opts.consolePath = "";
    RunResult r = sb.run("log_twin", {"--large", sb.scratchDir() + "/writer.sock"}, 20000, opts);
    ASSERT_EQ(0, r.status) << r.err;
    Lines logged;
    long counted = 0;
    const std::string note = "lhr, Log refused, ";
    for (const std::string &l : r.outLines()) {
        if (l.rfind(note, 0) == 0)
            counted += atol(l.c_str() + note.size());
        else
            logged.push_back(l);
    }
    EXPECT_EQ((Lines{"W: first", "lhr, mid", "W: last"}), logged);
    EXPECT_EQ(2, counted);
}

// The runner's own lines the console had in its share: a long one cut
// there, and one too large for the socket when the log takes again, are
// counted; the rest is logged.
TEST(LogWriter, OwnLinesInTheConsolesShareAreLoggedOrCounted)
{
    Sandbox sb;
    StartOptions opts;
    opts.consolePath = sb.scratchDir() + "/console";
    ASSERT_EQ(0, mkfifo(opts.consolePath.c_str(), 0600));
    RunResult r = sb.run("log_twin", {"--share", sb.scratchDir() + "/writer.sock"}, 30000, opts);
    ASSERT_EQ(0, r.status) << r.err;
    Lines want;
    for (int n = 1; n <= 64; n++)
        want.push_back("W: n " + std::to_string(n));
    const std::string note = "lhr, Log refused, 1 own lines left out";
    want.insert(want.end(), {"lhr, mid", note, "W: after", note});
    EXPECT_EQ(want, r.outLines());
}

TEST(Records, NumbersGoDownAndEachRecordKeepsItsSlot)
{
    recordsOpen("t", 1);
    auto add = [](uint32_t n) {
        char *dst = recordsBegin(16);
        ASSERT_NE(nullptr, dst);
        recordsCommit(static_cast<size_t>(snprintf(dst, 16, "n %u", n)));
    };
    auto message = [](uint32_t seq) {
        const Record &r = recordAt(seq);
        return std::string(r.data + r.message, r.len - r.message);
    };
    // Ten kept of three rings' worth.
    const uint32_t total = recordsHead() + 3 * kRecordsRing + 5;
    for (uint32_t n = recordsHead(); n < total; n++) {
        add(n);
        recordsRelease(recordsHead() > 10 ? recordsHead() - 10 : 0);
    }
    ASSERT_EQ(total, recordsHead());
    EXPECT_EQ(0u, recordsRebase(UINT32_MAX));
    const uint32_t by = recordsRebase(1000);
    ASSERT_NE(0u, by);
    EXPECT_EQ(0u, by % kRecordsRing);
    EXPECT_EQ(total - by, recordsHead());
    // At least a ring below the oldest, so that an idle cursor moved to 0
    // stays behind every live one.
    EXPECT_GE(recordsHead() - 10, kRecordsRing);
    for (uint32_t seq = recordsHead() - 10; seq < recordsHead(); seq++)
        EXPECT_EQ("n " + std::to_string(seq + by), message(seq));
    add(total);
    EXPECT_EQ("n " + std::to_string(total), message(recordsHead() - 1));
    recordsClose();
}

TEST(LogWriter, LinesANoteLeftOutCarriedAreCountedAgain)
{
    char dir[] = "/tmp/lhnote.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    const std::string path = std::string(dir) + "/log";
    int receiver = listenAt(path, SOCK_DGRAM);
    ASSERT_GE(receiver, 0);
    recordsOpen("t", 1);
    logOpen(path.c_str());
    // The log takes until its socket is full, and never reads.
    for (int n = 0; R.log.state != LOG_WAITING && n < 100000; n++) {
        char *dst = recordsBegin(16);
        ASSERT_NE(nullptr, dst);
        recordsCommit(static_cast<size_t>(snprintf(dst, 16, "W: n %d\n", n)));
        logPush(g_get_monotonic_time());
    }
    ASSERT_EQ(LOG_WAITING, R.log.state);
    const unsigned waiting = recordsHead() - R.log.at.seq;
    // Lines left out earlier: their notes queue behind what waits.
    R.refused = 3;
    R.ownLeftOut = 2;
    logPush(g_get_monotonic_time());
    ASSERT_EQ(0u, R.refused);
    ASSERT_EQ(0u, R.ownLeftOut);
    logLeaveOut(recordsHead());
    EXPECT_EQ(2u, R.ownLeftOut);
    EXPECT_EQ(waiting + 3 + 2, logClose());
    recordsClose();
    close(receiver);
    unlink(path.c_str());
    rmdir(dir);
}
