// The relay adversary's worker: writes the lines of chaos_lines.h to its
// standard output as its arguments say, and keeps in ./chaos.progress what
// it has written, so that the test knows what it owes the log.
//   seed=N lines=N      the lines it writes before "then" (0: no end)
//   long=1 odd=1        the kinds of lines
//   chunk=N             writes of N bytes that cut lines anywhere, as stdio
//                       does (0: one write a line)
//   pause=MS            now and then a pause of up to MS between writes
//   then=exit|wait      after its lines: exits, or waits for SIGTERM
//   term=exit|save|ignore  on SIGTERM: writes bye=N lines and exits; logs
//                       while it saves for save=N half-seconds, then exits;
//                       or goes on as if nothing came
//   code=N              its exit status
//   nonl=1              its last line without its end
//   sigpipe=ignore      a write to a closed pipe fails instead of ending it
//   leftover=1          a child that writes on after the worker's exit
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <string>

#include "chaos_lines.h"
#include "chaos_progress.h"

namespace {

volatile sig_atomic_t termed = 0;
ChaosProgress *progress = nullptr;

void onTerm(int)
{
    termed = 1;
}

long long monoMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

void sleepMs(long ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

[[noreturn]] void finish(int code)
{
    progress->exitMs = monoMs();
    _exit(code);
}

// A child that writes on once the worker has gone, until its writes fail.
void leaveWriter()
{
    const pid_t parent = getpid();
    if (fork() != 0)
        return;
    while (getppid() == parent)
        sleepMs(10);
    for (int k = 1; k < 2000; k++) {
        std::string x = "X" + std::to_string(k) + "\n";
        if (write(1, x.data(), x.size()) < 0)
            _exit(0);
        sleepMs(10);
    }
    _exit(0);
}

} // namespace

int main(int argc, char **argv)
{
    std::map<std::string, std::string> opt;
    for (int i = 1; i < argc; i++) {
        const char *eq = strchr(argv[i], '=');
        if (eq != nullptr)
            opt[std::string(argv[i], static_cast<size_t>(eq - argv[i]))] = eq + 1;
    }
    auto num = [&](const char *key, long long def) { return opt.count(key) ? atoll(opt[key].c_str()) : def; };
    const uint64_t seed = strtoull(opt["seed"].c_str(), nullptr, 10);
    const long long lines = num("lines", 0), chunk = num("chunk", 0), pause = num("pause", 0);
    const int code = static_cast<int>(num("code", 0));
    ChaosLineKinds kinds;
    kinds.longLines = num("long", 0) != 0;
    kinds.oddBytes = num("odd", 0) != 0;
    const std::string term = opt.count("term") ? opt["term"] : "exit";

    int fd = open("chaos.progress", O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ftruncate(fd, sizeof(ChaosProgress)) != 0)
        return 100;
    void *map = mmap(nullptr, sizeof(ChaosProgress), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED)
        return 100;
    close(fd);
    progress = static_cast<ChaosProgress *>(map);

    struct sigaction sa = {};
    sa.sa_handler = onTerm;
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    if (term == "ignore")
        signal(SIGTERM, SIG_IGN);
    if (opt["sigpipe"] == "ignore")
        signal(SIGPIPE, SIG_IGN);
    if (num("leftover", 0) != 0)
        leaveWriter();
    // Ready for SIGTERM: under an emulator the start takes a while.
    progress->pid = getpid();

    uint64_t rng = chaosMix(seed ^ 0x5eed);
    const bool waits = opt["then"] == "wait";
    std::string pending;     // made and not yet written, in order
    long long n = 0;         // lines made so far
    long long limit = lines; // the last line to make (0: no end)
    bool stopping = false, slow = false;
    for (;;) {
        if (termed && !stopping && term != "ignore") {
            stopping = true;
            slow = term == "save";
            limit = n + (slow ? num("save", 8) : num("bye", 0));
        }
        const bool final = !waits || stopping;
        auto atEnd = [&] { return limit > 0 && n >= limit; };
        while (!atEnd() && pending.size() < static_cast<size_t>(chunk > 0 ? chunk : 1)) {
            if (slow)
                sleepMs(500);
            std::string line = chaosLine(seed, static_cast<uint64_t>(++n), kinds);
            if (atEnd() && final && num("nonl", 0) != 0)
                line.pop_back();
            pending += line;
            if (slow)
                break;
        }
        if (pending.empty()) {
            if (atEnd() && final)
                finish(code);
            // Waits for SIGTERM.
            sleepMs(20);
            continue;
        }
        size_t want = chunk > 0 ? std::min(pending.size(), static_cast<size_t>(chunk)) : pending.size();
        ssize_t w = write(1, pending.data(), want);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            progress->epipe = 1;
            finish(code);
        }
        progress->bytes += w;
        pending.erase(0, static_cast<size_t>(w));
        rng = chaosMix(rng);
        if (pause > 0 && rng % 8 == 0)
            sleepMs(static_cast<long>((rng >> 8) % static_cast<uint64_t>(pause)));
    }
}
