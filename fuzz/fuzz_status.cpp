// The status handler over any contents of both configuration files: it
// never crashes, and its body always parses as JSON.
#include <json-glib/json-glib.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "fake_log.h"
#include "globals.h"
#include "status.h"

static const char kHead[] = "Content-Type: application/json\r\nStatus: 200 OK\r\n\r\n";

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    char tmpl[] = "/tmp/lhfuzz.XXXXXX";
    if (mkdtemp(tmpl) == nullptr || chdir(tmpl) != 0)
        abort();
    mkdir("localdata", 0755);
    mkdir("localdata/config", 0755);
    startedAt = time(nullptr);
    startedAtMonotonic = g_get_monotonic_time();
    return 0;
}

static void put(const char *path, const uint8_t *data, size_t size)
{
    FILE *f = fopen(path, "wb");
    if (f == nullptr)
        abort();
    fwrite(data, 1, size, f);
    fclose(f);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    size_t versionLen = (data[0] | (data[1] << 8)) % (size - 1);
    put("localdata/config/lh.version.config", data + 2, versionLen);
    put("localdata/config/lh.config", data + 2 + versionLen, size - 2 - versionLen);

    GOutputStream *out = g_memory_output_stream_new_resizable();
    request_handler("/", "GET", nullptr, nullptr, out, nullptr);
    g_output_stream_close(out, nullptr, nullptr);
    GMemoryOutputStream *mem = G_MEMORY_OUTPUT_STREAM(out);
    std::string r(static_cast<const char *>(g_memory_output_stream_get_data(mem)),
                  g_memory_output_stream_get_data_size(mem));
    g_object_unref(out);
    loggedLines.clear();

    if (r.compare(0, sizeof kHead - 1, kHead) != 0)
        abort();
    std::string body = r.substr(sizeof kHead - 1);
    JsonParser *parser = json_parser_new();
    GError *error = nullptr;
    if (!json_parser_load_from_data(parser, body.c_str(), static_cast<gssize>(body.size()), &error)) {
        fprintf(stderr, "not JSON: %s\n%s\n", error->message, body.c_str());
        abort();
    }
    if (!JSON_NODE_HOLDS_OBJECT(json_parser_get_root(parser)))
        abort();
    g_object_unref(parser);
    return 0;
}
