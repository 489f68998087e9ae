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
}

static void BM_RequestHandler(benchmark::State &state)
{
    setUp();
    // The output stream is the platform's: made once, rewound per request.
    GOutputStream *out = g_memory_output_stream_new_resizable();
    for (auto _ : state) {
        g_seekable_seek(G_SEEKABLE(out), 0, G_SEEK_SET, nullptr, nullptr);
        request_handler("/", "GET", nullptr, nullptr, out, nullptr);
        loggedLines.clear();
    }
    g_object_unref(out);
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
