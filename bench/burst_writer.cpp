// A worker's burst: writes 1 MiB of 80-byte lines to standard output and
// prints how long that took (milliseconds) to the file given. With
// --pipe-size=N it first sets the pipe's capacity itself (the "before").
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    const char *report = nullptr;
    for (int i = 1; i < argc; i++) {
        if (strncmp(argv[i], "--pipe-size=", 12) == 0)
            (void)fcntl(STDOUT_FILENO, F_SETPIPE_SZ, atoi(argv[i] + 12));
        else
            report = argv[i];
    }
    static char burst[1 << 20];
    for (size_t i = 0; i < sizeof burst; i += 80) {
        size_t n = sizeof burst - i < 80 ? sizeof burst - i : 80;
        memset(burst + i, 'b', n);
        burst[i + n - 1] = '\n';
    }
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    size_t off = 0;
    while (off < sizeof burst) {
        ssize_t w = write(STDOUT_FILENO, burst + off, sizeof burst - off);
        if (w <= 0)
            return 1;
        off += static_cast<size_t>(w);
    }
    clock_gettime(CLOCK_MONOTONIC, &t1);
    double ms = (t1.tv_sec - t0.tv_sec) * 1e3 + (t1.tv_nsec - t0.tv_nsec) / 1e6;
    if (FILE *f = fopen(report, "w")) {
        fprintf(f, "%.1f\n", ms);
        fclose(f);
    }
    return 0;
}
