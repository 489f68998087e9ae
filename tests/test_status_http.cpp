// The status document over real HTTP: the runner as built, asked with curl.

#include <gtest/gtest.h>

#include <dirent.h>
#include <glib.h>
#include <json-glib/json-glib.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <string>

#include "sandbox.h"
#include "test_helpers.h"

class StatusHttp : public testing::Test {
protected:
    // Starts the runner with a worker that runs until told to stop, and
    // waits for its port.
    void startRunner(const std::string &workerBody = "while :; do sleep 0.1; done\n", const StartOptions &opts = {})
    {
        sb.writeFile("lanternhillworker", "#!/bin/sh\ntrap 'exit 0' TERM\n" + workerBody, 0755);
        port = sb.startServing("lanternhill", opts);
        ASSERT_FALSE(port.empty());
    }
    std::string url(const std::string &path = "/local/lanternhill/status")
    {
        return "http://127.0.0.1:" + port + path;
    }
    // The body of one GET (or another method).
    std::string get(const std::string &path = "/local/lanternhill/status", const char *method = "GET")
    {
        std::string r = sb.hostCommand(std::string("curl -s --max-time 10 -X ") + method + " '" + url(path) + "'");
        EXPECT_TRUE(parsesAsJson(r)) << r;
        return r;
    }
    // The uptime of one status document, or a value no uptime has.
    long uptime()
    {
        std::string body = get();
        std::smatch m;
        if (!std::regex_search(body, m, std::regex("\"uptime\":\"(-?[0-9]+)\"")))
            return -999999;
        return atol(m[1].str().c_str());
    }
    static std::string withoutUptime(const std::string &body)
    {
        return std::regex_replace(body, std::regex("\"uptime\":\"-?[0-9]+\""), "\"uptime\":\"N\"");
    }
    RunResult stop()
    {
        sb.signal(SIGTERM);
        return sb.finish();
    }

    Sandbox sb;
    std::string port;
};

TEST_F(StatusHttp, ResponseBytes)
{
    sb.writeFile("localdata/config/lh.version.config", "{\"version\":\"4.5.6\"}");
    sb.writeFile("localdata/config/lh.config", "{\"vqId\":\"cam-1\"}");
    startRunner();
    std::string r = sb.hostCommand("curl -si --max-time 10 '" + url() + "'");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(
        r, m,
        std::regex("^HTTP/1\\.1 200 OK\r\n(.*\r\n)*\r\n(\\{\"vqId\":\"cam-1\",\"runnerVersion\":\"1\\.0\\.812\", "
                   "\"workerVersion\":\"4\\.5\\.6\", \"uptime\":\"[0-9]+\"\\})$")))
        << r;
    std::string body = m[2];
    EXPECT_NE(std::string::npos, r.find("\r\nContent-Type: application/json\r\n")) << r;
    EXPECT_NE(std::string::npos, r.find("\r\nContent-Length: " + std::to_string(body.size()) + "\r\n")) << r;
    EXPECT_EQ(std::string::npos, r.find("Status:")) << r;
    RunResult res = stop();
    EXPECT_EQ(0, res.status);
    for (const std::string &t : res.texts())
        EXPECT_EQ(std::string::npos, t.find("lh.config")) << t;
}

TEST_F(StatusHttp, UptimeCountsPast2038)
{
    // June 2038: a 32-bit time_t wrapped in January.
    StartOptions opts;
    opts.clockOffset = 2160000000LL - static_cast<long long>(time(nullptr));
    startRunner("while :; do sleep 0.1; done\n", opts);
    sb.pump(2200);
    long up = uptime();
    EXPECT_GE(up, 2);
    EXPECT_LE(up, 30);
    RunResult r = stop();
    ASSERT_FALSE(r.log.empty());
    for (const Datagram &d : r.log)
        EXPECT_EQ(0u, d.raw.rfind("<14>Jun ", 0)) << d.raw;
}

TEST_F(StatusHttp, UptimeCountsOnWhileTheClockIsStepped)
{
    // As NTP steps a camera's clock once it reaches its time server: a year
    // forward, then a day back, while the runner runs.
    StartOptions opts;
    opts.faultTrace = sb.scratchDir() + "/trace"; // brings in the clock shim
    const std::string step = sb.scratchDir() + "/clock-step";
    sb.setEnv("LH_CLOCK_STEP_FILE", step);
    startRunner("while :; do sleep 0.1; done\n", opts);
    long before = uptime();
    for (long long by : {365LL * 86400, 364LL * 86400}) {
        std::ofstream(step) << by << "\n";
        sb.pump(1100);
        long now = uptime();
        EXPECT_GE(now, before + 1) << by;
        EXPECT_LE(now, before + 10) << by;
        before = now;
    }
    EXPECT_EQ(0, stop().status);
}

TEST_F(StatusHttp, SameAnswerForEveryMethodPathAndQuery)
{
    sb.writeFile("localdata/config/lh.config", "{\"vqId\":\"x\"}");
    startRunner();
    std::string first = withoutUptime(get());
    EXPECT_EQ(first, withoutUptime(get("/local/lanternhill/status", "POST")));
    EXPECT_EQ(first, withoutUptime(get("/anything/else?a=1&b", "PUT")));
    EXPECT_EQ(first, withoutUptime(get("/", "DELETE")));
}

TEST_F(StatusHttp, EachRequestSeesTheFilesAsTheyAreNow)
{
    sb.writeFile("localdata/config/lh.config",
                 "{\"vqPd\":\"" + b64("{\"vqPairUrl\":\"https://pair.example/a%20b\"}") + "\"}");
    startRunner();
    EXPECT_NE(std::string::npos, get().find("\"vqPairUrl\":\"https://pair.example/a%20b\""));
    sb.writeFile("localdata/config/lh.config", "{\"vqId\":\"paired\"}");
    EXPECT_NE(std::string::npos, get().find("\"vqId\":\"paired\""));
    unlink((sb.pkgDir() + "/localdata/config/lh.config").c_str());
    get();
    RunResult r = stop();
    bool logged = false;
    for (const std::string &t : r.texts())
        logged |= t == "lhr, Error reading lh.config, 1";
    EXPECT_TRUE(logged);
}

TEST_F(StatusHttp, AnsweredWhileTheWorkerKeepsWriting)
{
    sb.writeFile("localdata/config/lh.config", "{\"vqId\":\"x\"}");
    startRunner("i=0\nwhile :; do i=$((i+1)); echo line $i; sleep 0.05; done\n");
    for (int i = 0; i < 10; i++) {
        get();
        sb.pump(150);
    }
    RunResult r = stop();
    EXPECT_EQ(0, r.status);
    int relayed = 0;
    for (const std::string &t : r.texts()) {
        if (t.rfind("W: line ", 0) == 0) {
            relayed++;
            EXPECT_EQ("W: line " + std::to_string(relayed) + "\n", t);
        }
    }
    EXPECT_GT(relayed, 10);
}

TEST_F(StatusHttp, NoDescriptorLeftPerRequest)
{
    sb.writeFile("localdata/config/lh.version.config", "{\"version\":\"1\"}");
    sb.writeFile("localdata/config/lh.config", "{\"vqId\":\"x\"}");
    startRunner();
    get();
    sb.pump(200);
    int before = countFds(sb.pid());
    std::string urls;
    for (int i = 0; i < 300; i++)
        urls += " '" + url() + "'";
    std::string all = sb.hostCommand("curl -s --max-time 60" + urls);
    EXPECT_EQ(300u, static_cast<size_t>(std::count(all.begin(), all.end(), '}')));
    sb.pump(300);
    EXPECT_EQ(before, countFds(sb.pid()));
    EXPECT_EQ(0, stop().status);
}

TEST_F(StatusHttp, FifoAtAConfigPathDoesNotStallTheRunner)
{
    mkdir((sb.pkgDir() + "/localdata").c_str(), 0755);
    mkdir((sb.pkgDir() + "/localdata/config").c_str(), 0755);
    ASSERT_EQ(0, mkfifo((sb.pkgDir() + "/localdata/config/lh.version.config").c_str(), 0644));
    ASSERT_EQ(0, mkfifo((sb.pkgDir() + "/localdata/config/lh.config").c_str(), 0644));
    startRunner("echo tick; sleep 1.5; echo tock\n");
    EXPECT_NE(std::string::npos, get().find("\"workerVersion\":\"(unknown)\""));
    RunResult r = sb.finish();
    bool tock = false;
    for (const std::string &t : r.texts())
        tock |= t == "W: tock\n";
    EXPECT_TRUE(tock);
}

TEST_F(StatusHttp, BusyPortIsReportedAndTheRunnerGoesOn)
{
    startRunner();
    Sandbox second;
    second.setEnv("SIMCAM_HTTP_PORT", port);
    second.writeFile("lanternhillworker", "#!/bin/sh\nexit 6\n", 0755);
    RunResult r = second.run("lanternhill", {});
    EXPECT_EQ(6, r.status);
    EXPECT_NE(std::string::npos, r.err.find("simcam http: cannot listen on 127.0.0.1:" + port)) << r.err;
    stop();
}

TEST_F(StatusHttp, ListensOnTheAddressItIsGiven)
{
    // Another address of this machine's loopback, not the default one.
    sb.setEnv("SIMCAM_HTTP_ADDRESS", "127.0.0.2");
    startRunner();
    auto code = [&](const std::string &host) {
        return sb.hostCommand("curl -s -o /dev/null -w '%{http_code}' --max-time 10 'http://" + host + ":" +
                              port + "/local/lanternhill/status'");
    };
    EXPECT_EQ("200", code("127.0.0.2"));
    EXPECT_EQ("000", code("127.0.0.1"));
    EXPECT_EQ(0, stop().status);
}

TEST_F(StatusHttp, AnAddressThatIsNotIPv4IsAnErrorAndNoHandler)
{
    for (const char *bad : {"10.0.0.300", "::1", "localhost", "127.0.0"}) {
        Sandbox one;
        one.setEnv("SIMCAM_HTTP_ADDRESS", bad);
        one.setEnv("SIMCAM_HTTP_PORT_FILE", one.scratchDir() + "/port");
        one.writeWorker("exit 5\n");
        RunResult r = one.run("lanternhill", {});
        EXPECT_EQ(5, r.status) << bad;
        EXPECT_NE(std::string::npos,
                  r.err.find(std::string("simcam http: SIMCAM_HTTP_ADDRESS '") + bad + "' is not an IPv4 address"))
            << bad << ": " << r.err;
        EXPECT_TRUE(readLines(one.scratchDir() + "/port").empty()) << bad;
    }
}
