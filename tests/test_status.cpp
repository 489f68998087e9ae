#include <gtest/gtest.h>

#include <glib.h>
#include <json-glib/json-glib.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "fake_log.h"
#include "globals.h"
#include "status.h"
#include "test_helpers.h"

using Lines = std::vector<std::string>;

static const std::string kHead = "Content-Type: application/json\r\nStatus: 200 OK\r\n\r\n";

class Status : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(nullptr, getcwd(oldCwd, sizeof oldCwd));
        ASSERT_EQ(0, chdir(tmp.path().c_str()));
        mkdir("localdata", 0755);
        mkdir("localdata/config", 0755);
        age = 3600;
        loggedLines.clear();
    }
    void TearDown() override
    {
        ASSERT_EQ(0, chdir(oldCwd));
    }
    static void version(const std::string &text) { put("localdata/config/lh.version.config", text); }
    static void config(const std::string &text) { put("localdata/config/lh.config", text); }
    static void put(const char *path, const std::string &text)
    {
        FILE *f = fopen(path, "wb");
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
    }

    // The whole response; the body must parse as JSON.
    std::string respond(const char *method = "GET", const char *path = "/local/lanternhill/status",
                        const char *query = nullptr)
    {
        GOutputStream *out = nullptr;
        GHashTable *params = g_hash_table_new(g_str_hash, g_str_equal);
        // The runner started `age` seconds ago by the monotonic clock; the
        // wall clock says `wallAge`.
        out = g_memory_output_stream_new_resizable();
        startedAt = time(nullptr) - wallAge;
        startedAtMonotonic = g_get_monotonic_time() - static_cast<gint64>(age) * G_USEC_PER_SEC;
        request_handler(path, method, query, params, out, nullptr);
        g_output_stream_close(out, nullptr, nullptr);
        GMemoryOutputStream *mem = G_MEMORY_OUTPUT_STREAM(out);
        std::string r(static_cast<const char *>(g_memory_output_stream_get_data(mem)),
                      g_memory_output_stream_get_data_size(mem));
        g_object_unref(out);
        g_hash_table_unref(params);
        EXPECT_EQ(0u, r.rfind(kHead, 0)) << r;
        body = r.substr(std::min(r.size(), kHead.size()));
        EXPECT_TRUE(parsesAsJson(body)) << body;
        return r;
    }
    // A member's value as a JSON parser reads it, or "<absent>".
    std::string member(const char *name)
    {
        JsonParser *parser = json_parser_new();
        std::string v = "<absent>";
        if (json_parser_load_from_data(parser, body.c_str(), -1, nullptr)) {
            JsonObject *o = json_node_get_object(json_parser_get_root(parser));
            if (json_object_has_member(o, name))
                v = json_object_get_string_member(o, name);
        }
        g_object_unref(parser);
        return v;
    }
    static std::string basic(const std::string &worker, long uptime = 3600)
    {
        return "\"runnerVersion\":\"1.0.812\", \"workerVersion\":\"" + worker + "\", \"uptime\":\"" +
               std::to_string(uptime) + "\"";
    }

    TempDir tmp{"lhstatus"};
    std::string body;
    long age = 3600;
    long wallAge = 3600;
    char oldCwd[4096];
};

TEST_F(Status, IdentityResponseBytes)
{
    version("{\"version\":\"W\"}");
    config("{\"vqId\":\"ID\"}");
    EXPECT_EQ(kHead + "{\"vqId\":\"ID\",\"runnerVersion\":\"1.0.812\", \"workerVersion\":\"W\", "
                      "\"uptime\":\"3600\"}",
              respond());
    EXPECT_TRUE(loggedLines.empty());
}

TEST_F(Status, EveryCaseOfTheBody)
{
    const std::string v = "{\"version\":\"2.0\"}";
    struct Case {
        const char *name;
        std::string config; // "" for no file
        std::string body;
        Lines log;
    } cases[] = {
        {"no config", "", "{" + basic("2.0") + "}", {"lhr, Error reading lh.config, 1"}},
        {"identity", "{\"vqId\":\"abc\"}", "{\"vqId\":\"abc\"," + basic("2.0") + "}", {}},
        {"pairing url", "{\"vqPd\":\"" + b64("{\"vqPairUrl\":\"https://p/x?a=%41\"}") + "\"}",
         "{\"vqPairUrl\":\"https://p/x?a=%41\"," + basic("2.0") + "}", {}},
        {"token lost", "{\"vqPd\":\"" + b64("{\"vqTokenLost\":true}") + "\"}", "{" + basic("2.0") + "}", {}},
        {"unusable vqPd", "{\"vqPd\":\"" + b64("{\"other\":1}") + "\"}", "{" + basic("2.0") + "}",
         {"lhr, lh.config vqPd, unexpected format: {\"other\":1}"}},
        {"neither key", "{\"x\":\"y\"}", "{" + basic("2.0") + "}", {"lhr, lh.config unexpected format."}},
        {"both keys, vqPd first", "{\"vqPd\":\"" + b64("{\"vqPairUrl\":\"u\"}") + "\",\"vqId\":\"I\"}",
         "{\"vqId\":\"I\"," + basic("2.0") + "}", {}},
        {"empty vqPd", "{\"vqPd\":\"\"}", "{" + basic("2.0") + "}", {"lhr, lh.config vqPd, unexpected format: "}},
        {"vqPd not base64", "{\"vqPd\":\"abc\"}", "{" + basic("2.0") + "}", {"lhr, lh.config vqPd, unexpected format: "}},
        {"url and token lost", "{\"vqPd\":\"" + b64("vqTokenLost {\"vqPairUrl\":\"u2\"}") + "\"}",
         "{\"vqPairUrl\":\"u2\"," + basic("2.0") + "}", {}},
    };
    for (const Case &c : cases) {
        version(v);
        unlink("localdata/config/lh.config");
        if (!c.config.empty())
            config(c.config);
        loggedLines.clear();
        EXPECT_EQ(kHead + c.body, respond()) << c.name;
        EXPECT_EQ(c.log, loggedLines) << c.name;
    }
}

TEST_F(Status, WorkerVersionForms)
{
    config("{\"vqId\":\"I\"}");
    struct Case {
        const char *file, *shown;
    } cases[] = {
        {"{\"version\":\"\"}", ""},
        {"{\"version\": \"1.2\"}", "(unknown)"},
        {"{\"subversion\":\"9\",\"version\":\"1\"}", "9"},
        {"{\"Version\":\"1\"}", "(unknown)"},
    };
    for (const Case &c : cases) {
        version(c.file);
        respond();
        EXPECT_EQ(c.shown, member("workerVersion")) << c.file;
    }
    unlink("localdata/config/lh.version.config");
    respond();
    EXPECT_EQ("(unknown)", member("workerVersion"));
}

TEST_F(Status, SameAnswerForEveryMethodPathAndQuery)
{
    version("{\"version\":\"1\"}");
    config("{\"vqId\":\"I\"}");
    std::string get = respond();
    EXPECT_EQ(get, respond("POST"));
    EXPECT_EQ(get, respond("DELETE", "/other", "a=b&c"));
}

TEST_F(Status, UptimeIsNotTheWallClock)
{
    version("{\"version\":\"1\"}");
    config("{\"vqId\":\"I\"}");
    for (long wall : {-100L, 3600L + 366 * 86400L}) { // set back; a year ahead
        wallAge = wall;
        respond();
        EXPECT_EQ("3600", member("uptime")) << wall;
    }
}

TEST_F(Status, ValuesStayAsStoredWhereValidJson)
{
    version("{\"version\":\"1\"}");
    config("{\"vqId\":\"a\\/b\\u00e9%s%n\"}");
    respond();
    EXPECT_NE(std::string::npos, body.find("\"vqId\":\"a\\/b\\u00e9%s%n\""));
    EXPECT_EQ("a/b\xc3\xa9%s%n", member("vqId"));
}

TEST_F(Status, WhatWouldBreakTheDocumentIsEscaped)
{
    // No closing quote: the value runs to the end, line break included.
    version("{\"version\":\"1.2}\n");
    config("{\"vqId\":\"tab\there\\x\\\"\"}");
    respond();
    EXPECT_EQ("1.2}\n", member("workerVersion"));
    EXPECT_NE(std::string::npos, body.find("\"workerVersion\":\"1.2}\\u000a\""));
    // The value ends at the escaped quote and keeps a lone backslash.
    EXPECT_EQ("tab\there\\x\\", member("vqId"));

    config(std::string("{\"vqId\":\"bad\xff\xc3(utf8 \xe2\x82\xac\"}"));
    respond();
    EXPECT_EQ("bad\xef\xbf\xbd\xef\xbf\xbd(utf8 \xe2\x82\xac", member("vqId"));
}

TEST_F(Status, LogLinesKeepTheRawText)
{
    version("{\"version\":\"1\"}");
    config("{\"vqPd\":\"" + b64("raw\x01\\q") + "\"}");
    respond();
    EXPECT_EQ(Lines{"lhr, lh.config vqPd, unexpected format: raw\x01\\q"}, loggedLines);
}

TEST_F(Status, TooLongValuesAreLeftOutNotCut)
{
    std::string b = basic("1");
    version("{\"version\":\"1\"}");
    // 12 characters of the form around the identity and the basic members.
    size_t fits = 511 - 12 - b.size();
    config("{\"vqId\":\"" + std::string(fits, 'i') + "\"}");
    respond();
    EXPECT_EQ(std::string(fits, 'i'), member("vqId"));
    EXPECT_TRUE(loggedLines.empty());

    for (size_t n : {fits + 1, static_cast<size_t>(1500)}) {
        loggedLines.clear();
        config("{\"vqId\":\"" + std::string(n, 'i') + "\"}");
        EXPECT_EQ(kHead + "{" + b + "}", respond()) << n;
        EXPECT_EQ(Lines{"lhr, vqId too long, left out"}, loggedLines);
    }
    // Escaping counts: 100 control characters take 600.
    loggedLines.clear();
    config("{\"vqId\":\"" + std::string(100, '\x02') + "\"}");
    respond();
    EXPECT_EQ("<absent>", member("vqId"));

    loggedLines.clear();
    config("{\"vqPd\":\"" + b64("{\"vqPairUrl\":\"" + std::string(600, 'u') + "\"}") + "\"}");
    respond();
    EXPECT_EQ("<absent>", member("vqPairUrl"));
    EXPECT_EQ(Lines{"lhr, vqPairUrl too long, left out"}, loggedLines);

    loggedLines.clear();
    version("{\"version\":\"" + std::string(80, 'w') + "\"}");
    config("{\"vqId\":\"I\"}");
    respond();
    EXPECT_EQ("<absent>", member("workerVersion"));
    EXPECT_EQ("I", member("vqId"));
    EXPECT_EQ("1.0.812", member("runnerVersion"));
    EXPECT_EQ(Lines{"lhr, workerVersion too long, left out"}, loggedLines);
}

TEST_F(Status, ConfigThatIsNotARegularFile)
{
    version("{\"version\":\"1\"}");
    ASSERT_EQ(0, mkfifo("localdata/config/lh.config", 0644));
    EXPECT_EQ(kHead + "{" + basic("1") + "}", respond());
    EXPECT_EQ(Lines{"lhr, Error reading lh.config, 1"}, loggedLines);
}
