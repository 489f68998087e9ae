// The status handler's cost per request against the floor: opening,
// reading and closing the same two files.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fake_log.h"
#include "globals.h"
#include "status.h"

static const char *const kFiles[] = {"./localdata/config/lh.version.config", "./localdata/config/lh.config"};

static void setUp()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    char tmpl[] = "/tmp/lhbench.XXXXXX";
    if (mkdtemp(tmpl) == nullptr || chdir(tmpl) != 0)
        abort();
    mkdir("localdata", 0755);
    mkdir("localdata/config", 0755);
    FILE *f = fopen(kFiles[0], "w");
    fputs("{\"name\":\"worker\",\"version\":\"2.3.4\",\"build\":\"release\"}\n", f);
    fclose(f);
    f = fopen(kFiles[1], "w");
    fputs("{\"vqPd\":\"eyJ2cVBhaXJVcmwiOiJodHRwczovL3BhaXIuZXhhbXBsZS9sYW50ZXJuaGlsbD9jb2RlPURFTU8lMkQ0MiJ9\"}\n", f);
    fclose(f);
    startedAt = time(nullptr);
    startedAtMonotonic = g_get_monotonic_time();
}

static void BM_RequestHandler(benchmark::State &state)
{
    setUp();
    // A fresh stream per request, as the platform gives: releasing the
    // handler's data stream closes the stream under it. The streams are
    // the platform's cost, made ahead in batches outside the measured time.
    constexpr size_t kBatch = 1000;
    GOutputStream *streams[kBatch] = {};
    size_t next = kBatch;
    auto release = [&] {
        for (GOutputStream *&s : streams)
            g_clear_object(&s);
    };
    bool whole = true;
    for (auto _ : state) {
        if (next == kBatch) {
            state.PauseTiming();
            release();
            // Room for the whole response, so no growth is measured.
            for (GOutputStream *&s : streams)
                s = g_memory_output_stream_new(g_malloc(1024), 1024, g_realloc, g_free);
            next = 0;
            state.ResumeTiming();
        }
        request_handler("/", "GET", nullptr, nullptr, streams[next++], nullptr);
    }
    // The last response must be the whole document, or nothing was measured.
    if (next > 0) {
        GMemoryOutputStream *last = G_MEMORY_OUTPUT_STREAM(streams[next - 1]);
        const char *data = static_cast<const char *>(g_memory_output_stream_get_data(last));
        size_t size = g_memory_output_stream_get_data_size(last);
        whole = data != nullptr && g_strstr_len(data, static_cast<gssize>(size), "\"vqPairUrl\":\"https://pair.example/") != nullptr &&
                data[size - 1] == '}';
    }
    release();
    loggedLines.clear();
    if (!whole)
        state.SkipWithError("the handler did not write the whole response");
}
BENCHMARK(BM_RequestHandler);

static void BM_FloorReadBothFiles(benchmark::State &state)
{
    setUp();
    char buf[4096];
    for (auto _ : state) {
        for (const char *path : kFiles) {
            int fd = open(path, O_RDONLY | O_CLOEXEC);
            benchmark::DoNotOptimize(read(fd, buf, sizeof buf));
            close(fd);
        }
    }
}
BENCHMARK(BM_FloorReadBothFiles);

BENCHMARK_MAIN();
