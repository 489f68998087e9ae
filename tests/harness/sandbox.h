#pragma once

// Runs a program of the build exactly as built, inside a private mount
// namespace in which a scratch directory stands at the package directory
// and a socket of the test's own stands at /dev/log.

#include <gtest/gtest.h>
#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

struct Datagram {
    std::string raw;   // the datagram as received
    int priority = -1; // the <N> at its start
    std::string ident; // e.g. "lanternhill"
    int pid = -1;      // -1 when the sender logged without LOG_PID
    std::string text;  // the message after "ident[pid]: "
};

struct RunResult {
    std::string out;
    std::string err;
    std::vector<Datagram> log;
    int status = -1;            // exit code; 128+N when ended by signal N
    bool timedOut = false;
    std::vector<pid_t> leftovers; // processes still running after the exit
    int outPipeSize = -1;       // size of the standard output pipe once the program ended
    size_t logCount = 0;        // every datagram received, kept or not

    std::vector<std::string> texts() const; // the log's message texts
    std::vector<std::string> outLines() const; // stdout split at '\n'
};

struct StartOptions {
    bool stdoutClosed = false;  // the reader of standard output is gone
    std::string stdoutPath;     // standard output goes to this file instead (e.g. /dev/full)
    bool ttyTostop = false;     // standard output a terminal set to tostop, as from a shell
    std::string stdinData;      // written to standard input, then closed
    bool noWrapper = false;     // run without LH_TEST_WRAPPER (valgrind)
    std::string faults;         // LH_FAULTS for the preloaded fault shim; "" for none
    std::string faultTrace;     // where the shim writes its trace
    std::string sleepLog;       // sleep() returns at once and is written here
    long long clockOffset = 0;  // time() reads this many seconds later
    int occupyFds = 0;          // the program inherits this many open descriptors from 4 on
    int uid = -1;               // run as this user and group, without supplementary groups
    bool noLogSocket = false;   // /dev/log is left for a daemon inside the sandbox
    std::string consolePath;    // stands at /dev/console (there is none otherwise)
    bool streamLog = false;     // /dev/log is a stream socket (records end with a zero byte)
    size_t logKept = SIZE_MAX;  // datagrams kept in the result; the rest are only counted
};

class Sandbox {
public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox &) = delete;
    Sandbox &operator=(const Sandbox &) = delete;

    // The scratch directory that stands at the package directory.
    const std::string &pkgDir() const { return pkg_; }
    // A private folder for the test's own files, outside the package.
    const std::string &scratchDir() const { return root_; }

    void writeFile(const std::string &rel, const std::string &content, mode_t mode = 0644);
    // An empty file to stand at /dev/console (StartOptions::consolePath);
    // its path, or "" when it can't be made.
    std::string fileConsole();
    // The worker: a shell script with this body.
    void writeWorker(const std::string &body) { writeFile("lanternhillworker", "#!/bin/sh\n" + body, 0755); }
    bool readFile(const std::string &rel, std::string *content) const;
    void setEnv(const std::string &name, const std::string &value);

    // Starts build/<preset>/bin/<program> with args; false if it couldn't.
    bool start(const std::string &program, const std::vector<std::string> &args,
               const StartOptions &opts = {});
    // Starts a program that serves HTTP on a free port, and waits for the
    // port; empty if it did not come.
    std::string startServing(const std::string &program, const StartOptions &opts = {});
    // The program's process id, as the host sees it.
    pid_t pid() const { return childPid_; }
    // Collects output until a log message with this text arrives.
    bool waitForLog(const std::string &text, int timeoutMs);
    // Collects output until standard output holds this text.
    bool waitForOutput(const std::string &text, int timeoutMs);
    // Collects output for this long.
    void pump(int ms);
    // While paused, the log socket is not read: a stalled log daemon.
    void pauseLog(bool paused) { logPaused_ = paused; }
    // A log daemon that reads at most this many datagrams a second (0: as
    // fast as they come).
    void slowLog(int perSecond);
    // The log daemon is gone for good: its socket refuses.
    void closeLog();
    // While paused, standard output is not read: a reader gone to sleep.
    void pauseOut(bool paused) { outPaused_ = paused; }
    // A reader of standard output that takes at most this many bytes a
    // second.
    void slowOut(int bytesPerSecond) { outRate_.set(bytesPerSecond); }
    void signal(int sig);
    // Runs a command of the host (curl, say) and hands back its standard
    // output, collecting the program's output and log all the while: a
    // program blocked on a full log socket could not answer it otherwise.
    std::string hostCommand(const std::string &cmd);
    // Kills the sandbox's own process, the program's parent; the program
    // then comes back to the test as an orphan. Returns its raw wait status
    // (-1 if it did not end within timeoutMs, -2 if it ended but was not
    // the test's to reap).
    int killParentAndWait(int timeoutMs);
    // False once the program has ended.
    bool running() { return !exited(); }
    // Waits for the program to end (killing it after timeoutMs).
    RunResult finish(int timeoutMs = 20000);

    RunResult run(const std::string &program, const std::vector<std::string> &args,
                  int timeoutMs = 20000, const StartOptions &opts = {});

    // The program's own path (build/<preset>/bin/<program>).
    static std::string programPath(const std::string &program);
    // How a shell runs it: behind the emulator for a camera target.
    static std::string programCommand(const std::string &program);
    // The programs run under an emulator.
    static bool emulated();

private:
    void collect(int timeoutMs);
    void drainLog();
    void drainStreamLog();
    bool exited();

    std::string root_, pkg_, sockPath_;
    std::vector<std::pair<std::string, std::string>> env_;
    int logFd_ = -1, outFd_ = -1, errFd_ = -1, inFd_ = -1;
    int streamListenFd_ = -1, streamFd_ = -1; // the stream log: one connection at a time
    std::string streamRest_;                  // a record not yet ended
    pid_t bwrapPid_ = -1, childPid_ = -1;
    int bwrapStatus_ = -1;
    bool logPaused_ = false, outPaused_ = false;
    // A reader's pace: what it may take now of what it was allowed since.
    struct Rate {
        int perSecond = 0; // 0: as fast as it comes
        long long since = 0, taken = 0;
        void set(int rate);
        long long budget(bool paused) const;
    };
    Rate logRate_, outRate_; // datagrams, bytes
    size_t logKept_ = SIZE_MAX;
    std::string stdinData_;
    size_t stdinOff_ = 0;
    RunResult res_;
};

// Starts the runner with this worker, whose first line is "ready", and
// waits for that line.
bool startRunnerReady(Sandbox &sb, const std::string &worker);
// The same with a worker that says "ready", then waits for SIGTERM, which
// runs onTerm.
bool startWaitingWorker(Sandbox &sb, const std::string &onTerm);

// Milliseconds of the monotonic clock.
long long nowMs();

// The lines of a text file (a journal, a trace); none if it is missing.
std::vector<std::string> readLines(const std::string &path);

// The numbers N of a console's records "ident[pid]: W: <prefix>N\n\r\n".
std::vector<long> consoleNumbers(const std::string &path, const std::string &prefix);
// Lines 1 to count reached the log and the console each in order, and the
// two together once.
testing::AssertionResult togetherOnceInOrder(const std::vector<long> &logged, const std::vector<long> &shown,
                                             long count);

// The number of open descriptors of a process.
int countFds(pid_t pid);

// True while pid names a live (not zombie) process.
bool processAlive(pid_t pid);
