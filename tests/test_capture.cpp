// capture2 as built, on the simulated camera.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include <turbojpeg.h>

#include "sandbox.h"

using Lines = std::vector<std::string>;

struct CaptureRun {
    RunResult r;
    Lines journal;
};

class Capture : public testing::Test {
protected:
    void SetUp() override
    {
        journalPath = sb.scratchDir() + "/journal";
        sb.setEnv("SIMCAM_CAPTURE_JOURNAL", journalPath);
    }
    void scenario(const std::string &text)
    {
        std::string path = sb.scratchDir() + "/scenario";
        std::ofstream(path) << text;
        sb.setEnv("SIMCAM_CAPTURE_SCENARIO", path);
    }
    std::string frameFile(size_t size)
    {
        std::string bytes(size, '\0');
        for (size_t i = 0; i < size; i++)
            bytes[i] = static_cast<char>((i * 2654435761u) >> 13);
        bytes[0] = '\xff';
        bytes[1] = '\xd8';
        std::string path = sb.scratchDir() + "/frame.jpg";
        std::ofstream(path, std::ios::binary) << bytes;
        sb.setEnv("SIMCAM_CAPTURE_FRAME", path);
        return bytes;
    }
    CaptureRun run(const Lines &args, const StartOptions &opts = {})
    {
        CaptureRun c;
        c.r = sb.run("capture2", args, 30000, opts);
        c.journal = readLines(journalPath);
        return c;
    }
    Sandbox sb;
    std::string journalPath;
};

static std::string openLine(const std::string &props, bool ok = true)
{
    return "{\"call\":\"capture_open_stream\",\"media_type\":\"image/jpeg\",\"media_props\":\"" + props +
           "\",\"result\":" + (ok ? "true" : "false") + "}";
}

TEST_F(Capture, PropertiesDefaultToQuestionMark)
{
    for (const Lines &args : {Lines{}, Lines{""}}) {
        CaptureRun c = run(args);
        EXPECT_EQ(0, c.r.status);
        ASSERT_FALSE(c.journal.empty());
        EXPECT_EQ(openLine("?"), c.journal[0]);
        std::remove(journalPath.c_str());
    }
    CaptureRun c = run({"resolution=320x240&fps=5", "second"});
    EXPECT_EQ(openLine("resolution=320x240&fps=5"), c.journal.at(0));
    EXPECT_EQ((Lines{"capture_get_frame", "capture_frame_size", "capture_frame_data", "capture_frame_free",
                     "capture_close_stream"}),
              [&] {
                  Lines calls;
                  for (size_t i = 1; i < c.journal.size(); i++) {
                      size_t b = c.journal[i].find("\"call\":\"") + 8;
                      calls.push_back(c.journal[i].substr(b, c.journal[i].find('"', b) - b));
                  }
                  return calls;
              }());
    EXPECT_TRUE(c.r.err.empty());
}

TEST_F(Capture, ServedFrameComesOutByteForByte)
{
    for (size_t size : {static_cast<size_t>(1000), static_cast<size_t>(6 << 20)}) {
        std::string bytes = frameFile(size);
        CaptureRun c = run({});
        EXPECT_EQ(0, c.r.status);
        EXPECT_EQ(bytes.size(), c.r.out.size());
        EXPECT_TRUE(bytes == c.r.out) << size;
        EXPECT_TRUE(c.r.err.empty());
    }
}

TEST_F(Capture, GeneratedFrameIsAJpegOfTheAskedSize)
{
    struct Case {
        std::string props;
        int w, h;
    } cases[] = {{"?", 640, 480}, {"resolution=320x180", 320, 180}, {"fps=2&resolution=64x48", 64, 48}};
    for (const Case &c : cases) {
        CaptureRun r = run({c.props});
        ASSERT_EQ(0, r.r.status);
        tjhandle tj = tjInitDecompress();
        int w = 0, h = 0, sub = 0, cs = 0;
        auto *jpeg = reinterpret_cast<unsigned char *>(r.r.out.data());
        ASSERT_EQ(0, tjDecompressHeader3(tj, jpeg, r.r.out.size(), &w, &h, &sub, &cs)) << c.props;
        std::vector<unsigned char> rgb(static_cast<size_t>(w) * h * 3);
        EXPECT_EQ(0, tjDecompress2(tj, jpeg, r.r.out.size(), rgb.data(), w, 0, h, TJPF_RGB, 0)) << c.props;
        tjDestroy(tj);
        EXPECT_EQ(c.w, w) << c.props;
        EXPECT_EQ(c.h, h) << c.props;
    }
}

TEST_F(Capture, NoStream)
{
    scenario("open = fail\n");
    CaptureRun c = run({});
    EXPECT_EQ(1, c.r.status);
    EXPECT_EQ("Capturev2: stream null", c.r.err);
    EXPECT_EQ(22u, c.r.err.size());
    EXPECT_TRUE(c.r.out.empty());
    EXPECT_EQ(Lines{openLine("?", false)}, c.journal);
}

TEST_F(Capture, NoFrame)
{
    scenario("frame = none\n");
    CaptureRun c = run({});
    EXPECT_EQ(2, c.r.status);
    EXPECT_EQ("Capturev2: frame null", c.r.err);
    EXPECT_TRUE(c.r.out.empty());
    ASSERT_EQ(3u, c.journal.size());
    EXPECT_NE(std::string::npos, c.journal[2].find("capture_close_stream"));
}

TEST_F(Capture, UnreadableFrameFileIsNoFrame)
{
    sb.setEnv("SIMCAM_CAPTURE_FRAME", sb.scratchDir() + "/missing.jpg");
    CaptureRun c = run({});
    EXPECT_EQ(2, c.r.status);
    EXPECT_NE(std::string::npos, c.r.err.find("Capturev2: frame null"));
    EXPECT_TRUE(c.r.out.empty());
}

TEST_F(Capture, ScenarioTypoOpensNoStream)
{
    scenario("frame = nope\n");
    CaptureRun c = run({});
    EXPECT_EQ(1, c.r.status);
    EXPECT_NE(std::string::npos, c.r.err.find("frame: unknown outcome 'nope'")) << c.r.err;
    EXPECT_TRUE(c.r.out.empty());
}

TEST_F(Capture, LeavesItsCallersPipeAsItIs)
{
    int p[2];
    ASSERT_EQ(0, pipe(p));
    int usual = fcntl(p[0], F_GETPIPE_SZ);
    close(p[0]);
    close(p[1]);
    frameFile(200000);
    CaptureRun c = run({});
    ASSERT_EQ(0, c.r.status);
    EXPECT_EQ(usual, c.r.outPipeSize);
}

TEST_F(Capture, FailedWriteIsReported)
{
    frameFile(200000);
    StartOptions closed;
    closed.stdoutClosed = true;
    CaptureRun c = run({}, closed);
    EXPECT_EQ(3, c.r.status);
    EXPECT_EQ("Capturev2: write failed", c.r.err);
    // Frame and stream are released all the same.
    ASSERT_GE(c.journal.size(), 2u);
    EXPECT_NE(std::string::npos, c.journal.back().find("capture_close_stream"));

    StartOptions full;
    full.stdoutPath = "/dev/full";
    c = run({}, full);
    EXPECT_EQ(3, c.r.status);
    EXPECT_EQ("Capturev2: write failed", c.r.err);
}

TEST_F(Capture, EndsWhenItsParentDies)
{
    scenario("frame_delay_ms = 10000\n");
    ASSERT_TRUE(sb.start("capture2", {}));
    sb.pump(500); // it now waits for its frame
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    int st = sb.killParentAndWait(5000);
    clock_gettime(CLOCK_MONOTONIC, &t1);
    ASSERT_NE(-1, st) << "still running after its parent died";
    EXPECT_LT(t1.tv_sec - t0.tv_sec, 4);
    if (st == -2)
        GTEST_SKIP() << "ended, but its status can't be collected: under qemu-user the test "
                        "can't become the orphan's reaper";
    EXPECT_TRUE(WIFSIGNALED(st));
    EXPECT_EQ(SIGTERM, WTERMSIG(st));
}
