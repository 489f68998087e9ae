// doer as built, on the simulated PTZ head: stdout, log, journal, pauses
// and exit code for each scenario.

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "sandbox.h"

using Lines = std::vector<std::string>;

struct DoerRun {
    RunResult r;
    Lines out;     // stdout lines
    Lines journal; // journal lines as written
    Lines calls;   // the call names of the journal
    Lines sleeps;  // one line per pause, its seconds
};

static DoerRun runDoer(const std::string &scenario, const Lines &args, StartOptions opts = {})
{
    Sandbox sb;
    std::string dir = sb.scratchDir();
    { std::ofstream(dir + "/scenario") << scenario; }
    sb.setEnv("SIMCAM_PTZ_SCENARIO", dir + "/scenario");
    sb.setEnv("SIMCAM_PTZ_JOURNAL", dir + "/journal");
    opts.sleepLog = dir + "/sleeps";
    DoerRun d;
    d.r = sb.run("doer", args, 60000, opts);
    d.out = d.r.outLines();
    d.journal = readLines(dir + "/journal");
    for (const std::string &j : d.journal) {
        size_t b = j.find("\"call\":\"") + 8;
        d.calls.push_back(j.substr(b, j.find('"', b) - b));
    }
    d.sleeps = readLines(dir + "/sleeps");
    return d;
}

// The lines after the start line and the argument lines.
static Lines body(const DoerRun &d, size_t args)
{
    return Lines(d.out.begin() + static_cast<long>(std::min(d.out.size(), 1 + args)), d.out.end());
}

static size_t count(const Lines &v, const std::string &s)
{
    return static_cast<size_t>(std::count(v.begin(), v.end(), s));
}

static const std::string kCreate = "ax_ptz_create", kGroup = "ax_ptz_control_queue_get_app_group_instance",
                         kQueue = "ax_ptz_control_queue_request",
                         kNumber = "ax_ptz_preset_handler_goto_preset_number",
                         kName = "ax_ptz_preset_handler_goto_preset_name",
                         kMoving = "ax_ptz_movement_handler_is_ptz_moving",
                         kCaps = "ax_ptz_movement_handler_get_move_capabilities",
                         kStatus = "ax_ptz_movement_handler_get_ptz_status", kDestroy = "ax_ptz_destroy";

static const Lines kGetGranted = {"PTZ: Queue request success AX_PTZ_CONTROL_QUEUE_GET:", "",
                                  "PTZ: queue_pos = 0", "", "PTZ: time_to_pos_one = 0", "",
                                  "PTZ: poll_time = 30", ""};
static const Lines kDrop = {"PTZ: Request AX_PTZ_CONTROL_QUEUE_DROP:", "PTZ: queue_pos = 0",
                            "PTZ: time_to_pos_one = 0", "PTZ: poll_time = 30"};

static Lines concat(std::initializer_list<Lines> parts)
{
    Lines out;
    for (const Lines &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(DoerEntry, NoCommandIsNotAnError)
{
    for (const Lines &args : {Lines{}, Lines{"PTZ:3;xxxxxWait"}, Lines{"hello", "ptz:1;xxxxxWait"}}) {
        DoerRun d = runDoer("", args);
        EXPECT_EQ(0, d.r.status);
        ASSERT_EQ(args.size() + 3, d.out.size());
        EXPECT_EQ("doer, 1.0.812, started. Args: " + std::to_string(args.size() + 1) + ", List:", d.out[0]);
        EXPECT_EQ("Arg0='" + Sandbox::programPath("doer") + "'", d.out[1]);
        EXPECT_EQ("doer, finish.. 0", d.out.back());
        EXPECT_TRUE(d.journal.empty()); // the PTZ library was not touched
        for (const Datagram &g : d.r.log) {
            EXPECT_EQ("lanternhill", g.ident);
            EXPECT_EQ(14, g.priority);
            EXPECT_GT(g.pid, 0);
        }
    }
}

TEST(DoerMove, QueueGrantedAtOnce)
{
    DoerRun d = runDoer("presets = 5\n", {"ptz:5;xxxxxWait"});
    EXPECT_EQ(0, d.r.status);
    EXPECT_EQ("Arg1='ptz:5;xxxxxWait'", d.out[2]);
    EXPECT_EQ(concat({{"PTZ: presetName: '5', queueMode: Wait"}, kGetGranted, {"PTZ: Move end"}, kDrop}),
              body(d, 2));
    EXPECT_EQ((Lines{kCreate, kGroup, kQueue, kNumber, kMoving, kMoving, kMoving, kQueue, kDestroy}), d.calls);
    EXPECT_EQ("{\"call\":\"ax_ptz_control_queue_request\",\"channel\":1,\"request\":\"GET\",\"result\":true,"
              "\"queue_pos\":0,\"time_to_pos_one\":0,\"poll_time\":30}",
              d.journal[2]);
    EXPECT_EQ("{\"call\":\"ax_ptz_preset_handler_goto_preset_number\",\"channel\":1,\"number\":5,"
              "\"speed\":65536,\"space\":0,\"invoke\":0,\"result\":true}",
              d.journal[3]);
    EXPECT_NE(std::string::npos, d.journal[7].find("\"request\":\"DROP\""));
    // Moving, moving, still: the second and third polls are each followed by a second.
    EXPECT_EQ((Lines{"1", "1"}), d.sleeps);
    // The finish line is written only for a failure.
    for (const std::string &t : d.r.texts())
        EXPECT_EQ(std::string::npos, t.find("finish"));
}

TEST(DoerQueue, RefusedTwiceThenGranted)
{
    DoerRun d = runDoer("get = fail, fail, ok\nmoving = still\n", {"ptz:2;xxxxxWait"});
    EXPECT_EQ(0, d.r.status);
    Lines refusal = {"PTZ: Queue request failure AX_PTZ_CONTROL_QUEUE_GET:", "", "PTZ: Error, simulated failure",
                     "PTZ: queue_pos = 0", "PTZ: time_to_pos_one = 0", "PTZ: poll_time = 30"};
    EXPECT_EQ(concat({{"PTZ: presetName: '2', queueMode: Wait"}, refusal, {"PTZ: Retry wait.. 0"}, refusal,
                      {"PTZ: Retry wait.. 1"}, kGetGranted, {"PTZ: Move end"}, kDrop}),
              body(d, 2));
    EXPECT_EQ((Lines{"30", "30"}), d.sleeps);

    // A quoted failure text keeps its commas.
    d = runDoer("get = fail:\"busy, try later\", ok\nmoving = still\n", {"ptz:2;xxxxxWait"});
    EXPECT_EQ(0, d.r.status);
    EXPECT_EQ(1u, count(d.out, "PTZ: Error, busy, try later"));
    EXPECT_EQ((Lines{"30"}), d.sleeps);
}

TEST(DoerQueue, ReaderGoneStillMovesAndGivesTheQueueBack)
{
    StartOptions closed;
    closed.stdoutClosed = true;
    DoerRun d = runDoer("moving = still\n", {"ptz:2;xxxxxWait"}, closed);
    EXPECT_EQ(0, d.r.status) << d.r.err;
    EXPECT_EQ(2u, count(d.calls, kQueue)); // GET and DROP
    EXPECT_NE(std::string::npos, d.journal.at(d.journal.size() - 2).find("\"request\":\"DROP\""));
    EXPECT_EQ(kDestroy, d.calls.back());
}

TEST(DoerQueue, RefusedSixTimes)
{
    DoerRun d = runDoer("get = fail:\"queue busy\"\n", {"ptz:2;xxxxxWait"});
    EXPECT_EQ(123, d.r.status);
    EXPECT_EQ(6u, count(d.calls, kQueue));
    EXPECT_EQ(0u, count(d.calls, kNumber));
    for (const std::string &j : d.journal)
        EXPECT_EQ(std::string::npos, j.find("DROP"));
    Lines b = body(d, 2);
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(1u, count(b, "PTZ: Retry wait.. " + std::to_string(i)));
    EXPECT_EQ(0u, count(b, "PTZ: Retry wait.. 5"));
    EXPECT_EQ(6u, count(b, "PTZ: Error, queue busy"));
    EXPECT_EQ((Lines{"PTZ: Queue required aborting.", "PTZ: Error: Ended with errors:", "PTZ: queue busy",
                     "doer, ptz, finish.. 123"}),
              Lines(b.end() - 4, b.end()));
    EXPECT_EQ(Lines(5, "30"), d.sleeps);
    // Written after the log was closed: the system library's own identity.
    const Datagram &last = d.r.log.back();
    EXPECT_EQ("doer, ptz, finish.. 123", last.text);
    EXPECT_EQ("doer", last.ident);
    EXPECT_EQ("lanternhill", d.r.log.front().ident);
}

TEST(DoerMove, PresetByNumberOrByName)
{
    struct Case {
        std::string text;
        const char *call;
        std::string arg;
    } cases[] = {{"1", "number", "1"},     {"99", "number", "99"},  {"0", "name", "0"},
                 {"100", "name", "100"},   {"-3", "name", "-3"},    {"Home", "name", "Home"},
                 {"", "name", ""},         {"7abc", "number", "7"}, {"07", "number", "7"},
                 {" 7", "number", "7"}};
    for (const Case &c : cases) {
        DoerRun d = runDoer("presets = 1, 99, 0, 100, -3, Home, , 7\nmoving = still\n",
                            {"ptz:" + c.text + ";xxxxx"});
        EXPECT_EQ(0, d.r.status) << c.text;
        ASSERT_GE(d.journal.size(), 3u) << c.text;
        std::string want = std::string(c.call) == "number"
                               ? "\"number\":" + c.arg + ","
                               : "\"name\":\"" + c.arg + "\",";
        EXPECT_NE(std::string::npos, d.journal[2].find(want)) << c.text << " " << d.journal[2];
        EXPECT_EQ(0u, count(d.calls, kQueue)) << c.text;
    }
}

TEST(DoerQueue, OnlyWaitTakesTheQueue)
{
    for (const char *cmd : {"ptz:3;xxxxxwait", "ptz:3;xxxxx", "ptz:3;xxxxxWait ", "ptz:3;Wait"}) {
        DoerRun d = runDoer("moving = still\n", {cmd});
        EXPECT_EQ(0, d.r.status) << cmd;
        EXPECT_EQ(0u, count(d.calls, kQueue)) << cmd;
    }
    DoerRun d = runDoer("moving = still\n", {"ptz:3;Wait"});
    EXPECT_EQ("PTZ: presetName: '3', queueMode: ", d.out[3]);
    d = runDoer("moving = still\n", {"ptz:3;xxxxxWait;extra", "second"});
    EXPECT_EQ(0, d.r.status);
    EXPECT_EQ("Arg2='second'", d.out[3]);
    EXPECT_EQ("PTZ: presetName: '3', queueMode: Wait", d.out[4]);
    EXPECT_EQ(2u, count(d.calls, kQueue));
}

TEST(DoerEntry, MalformedCommands)
{
    DoerRun d = runDoer("", {"ptz:3"});
    EXPECT_EQ(123, d.r.status);
    EXPECT_EQ((Lines{"PTZ: too few args error", "PTZ: Error: Unknown error.", "doer, ptz, finish.. 123"}),
              body(d, 2));
    EXPECT_EQ(Lines{kDestroy}, d.calls);

    // Longer than the 255-character fields: refused, never cut.
    d = runDoer("", {"ptz:" + std::string(256, 'p') + ";xxxxxWait"});
    EXPECT_EQ(123, d.r.status);
    EXPECT_EQ((Lines{"PTZ: too long args error", "PTZ: Error: Unknown error.", "doer, ptz, finish.. 123"}),
              body(d, 2));
    d = runDoer("", {"ptz:3;xxxxx" + std::string(256, 'w')});
    EXPECT_EQ(123, d.r.status);
    std::string longest(255, 'p');
    d = runDoer("presets = " + longest + "\nmoving = still\n", {"ptz:" + longest + ";xxxxx"});
    EXPECT_EQ(0, d.r.status);
    EXPECT_EQ("PTZ: presetName: '" + longest + "', queueMode: ", d.out[3]);
}

TEST(DoerStatusPass, RefusedPresetWithTheQueue)
{
    DoerRun d = runDoer("goto = fail:\"preset refused\"\nposition = 65536, -131072, 7\n"
                        "capabilities = PTZ: AX_PTZ_MOVE_ABS_PAN|PTZ: AX_PTZ_MOVE_REL_ZOOM|other\n",
                        {"ptz:2;xxxxxWait"});
    EXPECT_EQ(123, d.r.status);
    EXPECT_EQ(concat({{"PTZ: presetName: '2', queueMode: Wait"}, kGetGranted,
                      {"PTZ: ax_ptz_preset_handler_goto_preset_number error"}, kDrop,
                      {"PTZ: Error: Ended with errors:", "PTZ: preset refused",
                       "PTZ: Caps, APan: 1, ATilt: 0, AZoom: 0, RPan: 0, RTilt: 0, RZoom: 1",
                       "PTZ: State (65536,-131072,7), use queue.", "doer, ptz, finish.. 123"}}),
              body(d, 2));
    EXPECT_EQ((Lines{kCreate, kGroup, kQueue, kNumber, kQueue, kDestroy, kCreate, kGroup, kCaps, kCaps, kStatus,
                     kDestroy}),
              d.calls);
    EXPECT_TRUE(d.sleeps.empty());
}

TEST(DoerStatusPass, RefusedPresetWithoutTheQueueAndUnknownPreset)
{
    DoerRun d = runDoer("", {"ptz:Nowhere;xxxxx"});
    EXPECT_EQ(123, d.r.status);
    Lines b = body(d, 2);
    EXPECT_EQ(1u, count(b, "PTZ: ax_ptz_preset_handler_goto_preset_name error"));
    EXPECT_EQ(1u, count(b, "PTZ: unknown preset"));
    EXPECT_EQ(1u, count(b, "PTZ: State (0,0,0), skip queue."));
    EXPECT_EQ(0u, count(d.calls, kQueue));

    // Whatever the scenario says of the call.
    d = runDoer("goto = fail:\"jammed\"\n", {"ptz:Nowhere;xxxxx"});
    EXPECT_EQ(123, d.r.status);
    EXPECT_EQ(1u, count(body(d, 2), "PTZ: unknown preset"));
    EXPECT_EQ(0u, count(body(d, 2), "PTZ: jammed"));
}

TEST(DoerStatusPass, StatusReadFailuresEndTheRun)
{
    struct Case {
        const char *scenario, *line;
    } cases[] = {
        {"status = fail:\"no status\"", "PTZ: ax_ptz_movement_handler_get_ptz_status error: no status"},
        {"status = fail:nomessage", "PTZ: ax_ptz_movement_handler_get_ptz_status error: no msg"},
        {"status = fail:noerror", "PTZ: ax_ptz_movement_handler_get_ptz_status error: no err"},
        {"caps = fail", "PTZ: get_ptz_move_capabilities error"},
        {"caps = ok, fail", "PTZ: ax_ptz_movement_handler_get_move_capabilities error"},
    };
    for (const Case &c : cases) {
        DoerRun d = runDoer(std::string("goto = fail\n") + c.scenario + "\n", {"ptz:2;xxxxx"});
        EXPECT_EQ(123, d.r.status) << c.scenario;
        EXPECT_EQ(1u, count(body(d, 2), c.line)) << c.scenario;
        EXPECT_EQ(2u, count(d.calls, kCreate)) << c.scenario; // no third pass
        EXPECT_EQ(2u, count(d.calls, kDestroy)) << c.scenario;
    }
}

TEST(DoerMove, MovementTimeout)
{
    DoerRun d = runDoer("moving = moving\n", {"ptz:1;xxxxxWait"});
    EXPECT_EQ(123, d.r.status);
    EXPECT_EQ(31u, count(d.calls, kMoving));
    EXPECT_EQ(Lines(30, "1"), d.sleeps);
    EXPECT_EQ(concat({{"PTZ: wait_for_camera_movement_to_finish error"}, kDrop,
                      {"PTZ: Error: Unknown error.", "doer, ptz, finish.. 123"}}),
              Lines(d.out.end() - 7, d.out.end()));
    EXPECT_EQ(1u, count(d.calls, kCreate)); // no status pass
}

TEST(DoerMove, StillAtTheFirstPollAndFailedPoll)
{
    DoerRun d = runDoer("moving = still\n", {"ptz:1;xxxxx"});
    EXPECT_EQ(0, d.r.status);
    EXPECT_TRUE(d.sleeps.empty());
    EXPECT_EQ("PTZ: Move end", d.out.back());

    d = runDoer("moving = moving, fail\n", {"ptz:1;xxxxx"});
    EXPECT_EQ(123, d.r.status);
    EXPECT_EQ((Lines{"PTZ: wait_for_camera_movement_to_finish error", "PTZ: Error: Unknown error.",
                     "doer, ptz, finish.. 123"}),
              Lines(d.out.end() - 3, d.out.end()));
}

TEST(DoerQueue, DropRefused)
{
    DoerRun d = runDoer("moving = still\ndrop = fail:nomessage\n", {"ptz:1;xxxxxWait"});
    EXPECT_EQ(123, d.r.status);
    EXPECT_EQ((Lines{"PTZ: Move end", "PTZ: Error: Ended with no error message.", "doer, ptz, finish.. 123"}),
              Lines(d.out.end() - 3, d.out.end()));
    EXPECT_EQ(2u, count(d.calls, kQueue)); // never asked a second time

    d = runDoer("goto = fail\ndrop = fail:\"busy\"\n", {"ptz:1;xxxxxWait"});
    EXPECT_EQ(123, d.r.status);
    Lines b = body(d, 2);
    auto at = std::find(b.begin(), b.end(), "PTZ: Error release in failure:");
    ASSERT_NE(b.end(), at);
    EXPECT_EQ("PTZ: busy", *(at + 1));
    EXPECT_EQ("PTZ: Error: Ended with errors:", *(at + 2));
}

TEST(DoerErrors, ErrorRecordVariants)
{
    struct Case {
        const char *scenario;
        Lines tail;
    } cases[] = {
        {"create = fail:\"no head\"", {"PTZ: ax_ptz_create error", "PTZ: Error: Ended with errors:", "PTZ: no head"}},
        {"create = fail:nomessage", {"PTZ: ax_ptz_create error", "PTZ: Error: Ended with no error message."}},
        {"create = fail:noerror", {"PTZ: ax_ptz_create error", "PTZ: Error: Unknown error."}},
        {"group = fail", {"PTZ: ax_ptz_control_queue_get_app_group_instance error",
                          "PTZ: Error: Ended with errors:", "PTZ: simulated failure"}},
        {"destroy = fail\nmoving = still", {"PTZ: Move end"}},
    };
    for (const Case &c : cases) {
        DoerRun d = runDoer(std::string(c.scenario) + "\n", {"ptz:1;xxxxx"});
        Lines tail = c.tail;
        if (d.r.status != 0)
            tail.push_back("doer, ptz, finish.. 123");
        ASSERT_GE(d.out.size(), tail.size()) << c.scenario;
        EXPECT_EQ(tail, Lines(d.out.end() - static_cast<long>(tail.size()), d.out.end())) << c.scenario;
        EXPECT_EQ(kDestroy, d.calls.back()) << c.scenario;
    }
}

TEST(DoerErrors, ScenarioTyposAreNoHealthyCamera)
{
    struct Case {
        const char *scenario, *complaint;
    } cases[] = {
        {"speed = 3", "unknown key 'speed'"},
        {"get = nope", "get: unknown outcome 'nope'"},
        {"goto = fial", "goto: unknown outcome 'fial'"},
        {"moving = moving, ok, still", "moving: unknown outcome 'ok'"},
    };
    for (const Case &c : cases) {
        DoerRun d = runDoer(std::string(c.scenario) + "\n", {"ptz:1;xxxxxWait"});
        EXPECT_EQ(123, d.r.status) << c.scenario;
        EXPECT_NE(std::string::npos, d.r.err.find(c.complaint)) << d.r.err;
        ASSERT_GT(d.out.size(), 4u) << c.scenario;
        EXPECT_EQ("PTZ: ax_ptz_create error", d.out[3 + 1]) << c.scenario;
    }
}
