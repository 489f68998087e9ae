#include "sandbox.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <fstream>
#include <set>
#include <sstream>

#ifndef LH_BIN_DIR
#error LH_BIN_DIR must name the program folder of the build
#endif
#ifndef LH_FAULT_SHIM
#define LH_FAULT_SHIM ""
#endif
#ifndef LH_EMULATOR
#define LH_EMULATOR ""
#endif

static const char kPackageDir[] = "/usr/local/packages/lanternhill";

// Sandboxes of this test that still run: their processes are not leftovers
// of another one.
static std::set<pid_t> liveSandboxes;

long long nowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

static std::vector<std::string> splitList(const std::string &s, char sep)
{
    std::vector<std::string> out;
    std::string cur;
    for (char c : s) {
        if (c == sep) {
            if (!cur.empty())
                out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty())
        out.push_back(cur);
    return out;
}

static void removeTree(const std::string &path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return;
    if (S_ISDIR(st.st_mode)) {
        (void)chmod(path.c_str(), 0700);
        if (DIR *d = opendir(path.c_str())) {
            while (struct dirent *e = readdir(d)) {
                if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                    removeTree(path + "/" + e->d_name);
            }
            closedir(d);
        }
        (void)rmdir(path.c_str());
    } else {
        (void)unlink(path.c_str());
    }
}

std::vector<std::string> readLines(const std::string &path)
{
    std::vector<std::string> out;
    std::ifstream f(path);
    for (std::string line; std::getline(f, line);)
        out.push_back(line);
    return out;
}

std::vector<long> consoleNumbers(const std::string &path, const std::string &prefix)
{
    std::vector<long> out;
    const std::string mark = "]: W: " + prefix;
    for (const std::string &l : readLines(path)) {
        size_t k = l.find(mark);
        // A record cut short, that the runner ended at its close, lacks the
        // worker's newline.
        if (k != std::string::npos && l.back() != '\r')
            out.push_back(atol(l.c_str() + k + mark.size()));
    }
    return out;
}

testing::AssertionResult togetherOnceInOrder(const std::vector<long> &logged, const std::vector<long> &shown,
                                             long count)
{
    if (!std::is_sorted(logged.begin(), logged.end()))
        return testing::AssertionFailure() << "the log's lines out of order";
    if (!std::is_sorted(shown.begin(), shown.end()))
        return testing::AssertionFailure() << "the console's lines out of order";
    std::vector<long> all = logged;
    all.insert(all.end(), shown.begin(), shown.end());
    std::sort(all.begin(), all.end());
    for (size_t i = 0; i < all.size() || static_cast<long>(i) < count; i++) {
        if (i >= all.size() || all[i] != static_cast<long>(i) + 1)
            return testing::AssertionFailure() << "line " << i + 1 << " of " << count << " missing or twice ("
                                               << logged.size() << " logged, " << shown.size() << " shown)";
    }
    return testing::AssertionSuccess();
}

int countFds(pid_t pid)
{
    int n = 0;
    if (DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (struct dirent *e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

bool processAlive(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(f, line))
        return false;
    size_t rp = line.rfind(')');
    return rp != std::string::npos && rp + 2 < line.size() && line[rp + 2] != 'Z';
}

std::string Sandbox::programPath(const std::string &program)
{
    return std::string(LH_BIN_DIR) + "/" + program;
}

std::string Sandbox::programCommand(const std::string &program)
{
    std::string cmd;
    for (const std::string &e : splitList(LH_EMULATOR, ' '))
        cmd += e + " ";
    return cmd + programPath(program);
}

bool Sandbox::emulated()
{
    return *LH_EMULATOR != '\0';
}

void Sandbox::closeLog()
{
    // Connected elsewhere, the socket refuses every other sender at once;
    // what it had queued is read, as a daemon finishes its queue.
    if (logFd_ >= 0) {
        std::string other = root_ + "/elsewhere.sock";
        int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof addr.sun_path, "%s", other.c_str());
        if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0)
            (void)connect(logFd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        logPaused_ = false;
        logRate_.perSecond = 0;
        drainLog();
        if (fd >= 0)
            close(fd);
    }
    for (int *fd : {&logFd_, &streamFd_, &streamListenFd_}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

Sandbox::Sandbox()
{
    // Processes that outlive the program come back to the test, so it can
    // see them and end them.
    (void)prctl(PR_SET_CHILD_SUBREAPER, 1);
    const char *tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/lhtest.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr)
        abort();
    root_ = buf.data();
    pkg_ = root_ + "/pkg";
    (void)mkdir(pkg_.c_str(), 0755);
    sockPath_ = root_ + "/log.sock";

    logFd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sockPath_.c_str());
    if (logFd_ < 0 || bind(logFd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        abort();
    // Any user the program runs as may log.
    (void)chmod(sockPath_.c_str(), 0666);
    int big = 4 << 20;
    (void)setsockopt(logFd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
}

Sandbox::~Sandbox()
{
    if (bwrapPid_ > 0)
        (void)finish(1000);
    for (int fd : {logFd_, outFd_, errFd_, inFd_, streamFd_, streamListenFd_}) {
        if (fd >= 0)
            close(fd);
    }
    removeTree(root_);
}

std::string Sandbox::fileConsole()
{
    const std::string path = root_ + "/console";
    return std::ofstream(path).good() ? path : "";
}

void Sandbox::writeFile(const std::string &rel, const std::string &content, mode_t mode)
{
    std::string path = pkg_ + "/" + rel;
    for (size_t i = pkg_.size() + 1; i < path.size(); i++) {
        if (path[i] == '/')
            (void)mkdir(path.substr(0, i).c_str(), 0755);
    }
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
    f.close();
    (void)chmod(path.c_str(), mode);
}

bool Sandbox::readFile(const std::string &rel, std::string *content) const
{
    std::ifstream f(pkg_ + "/" + rel, std::ios::binary);
    if (!f)
        return false;
    std::stringstream ss;
    ss << f.rdbuf();
    *content = ss.str();
    return true;
}

void Sandbox::setEnv(const std::string &name, const std::string &value)
{
    env_.emplace_back(name, value);
}

bool Sandbox::start(const std::string &program, const std::vector<std::string> &args,
                    const StartOptions &opts)
{
    std::vector<std::string> argv = {"bwrap", "--ro-bind", "/", "/", "--dev", "/dev",
                                     "--proc", "/proc", "--bind", "/tmp", "/tmp"};
    const char *tmp = getenv("TMPDIR");
    if (tmp != nullptr && *tmp && strcmp(tmp, "/tmp") != 0) {
        argv.insert(argv.end(), {"--bind", tmp, tmp});
    }
    // A fresh /usr/local keeps the host's untouched: only its existing
    // entries come back, read-only, and the package directory is ours.
    argv.insert(argv.end(), {"--tmpfs", "/usr/local"});
    if (DIR *d = opendir("/usr/local")) {
        while (struct dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n == "." || n == ".." || n == "packages")
                continue;
            argv.insert(argv.end(), {"--ro-bind", "/usr/local/" + n, "/usr/local/" + n});
        }
        closedir(d);
    }
    // Open to every user, as on the camera: a program may run as any.
    argv.insert(argv.end(), {"--perms", "0755", "--dir", "/usr/local/packages"});
    argv.insert(argv.end(), {"--bind", pkg_, kPackageDir});
    if (opts.streamLog) {
        std::string path = root_ + "/stream.sock";
        streamListenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        struct sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        if (streamListenFd_ < 0 || bind(streamListenFd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
            listen(streamListenFd_, 4) != 0)
            return false;
        (void)chmod(path.c_str(), 0666);
        argv.insert(argv.end(), {"--bind", path, "/dev/log"});
    } else if (!opts.noLogSocket) {
        argv.insert(argv.end(), {"--bind", sockPath_, "/dev/log"});
    }
    if (!opts.consolePath.empty())
        // A device standing for the console (/dev/full, say) must stay one.
        argv.insert(argv.end(), {"--dev-bind", opts.consolePath, "/dev/console"});
    argv.insert(argv.end(), {"--die-with-parent", "--info-fd", "3"});
    // Tests run side by side: each HTTP stand-in takes a free port unless
    // the test names one.
    argv.insert(argv.end(), {"--setenv", "SIMCAM_HTTP_PORT", "0"});
    for (const auto &kv : env_)
        argv.insert(argv.end(), {"--setenv", kv.first, kv.second});
    if (!opts.faults.empty() || !opts.faultTrace.empty() || !opts.sleepLog.empty() || opts.clockOffset != 0) {
        // Under the emulator the preload is for the emulated program only.
        if (*LH_EMULATOR)
            argv.insert(argv.end(), {"--setenv", "QEMU_SET_ENV", std::string("LD_PRELOAD=") + LH_FAULT_SHIM});
        else
            argv.insert(argv.end(), {"--setenv", "LD_PRELOAD", LH_FAULT_SHIM});
        argv.insert(argv.end(), {"--setenv", "ASAN_OPTIONS", "verify_asan_link_order=0",
                                 "--setenv", "LH_FAULTS", opts.faults});
        if (!opts.faultTrace.empty())
            argv.insert(argv.end(), {"--setenv", "LH_FAULT_TRACE", opts.faultTrace});
        if (!opts.sleepLog.empty())
            argv.insert(argv.end(), {"--setenv", "LH_SLEEP_LOG", opts.sleepLog});
        if (opts.clockOffset != 0)
            argv.insert(argv.end(), {"--setenv", "LH_CLOCK_OFFSET", std::to_string(opts.clockOffset)});
    }
    argv.push_back("--");
    if (opts.uid >= 0) {
        std::string id = std::to_string(opts.uid);
        argv.insert(argv.end(), {"setpriv", "--reuid", id, "--regid", id, "--clear-groups"});
    }
    const char *wrapper = getenv("LH_TEST_WRAPPER");
    if (wrapper != nullptr && !opts.noWrapper) {
        for (const std::string &w : splitList(wrapper, ' '))
            argv.push_back(w);
    }
    for (const std::string &e : splitList(LH_EMULATOR, ' '))
        argv.push_back(e);
    argv.push_back(programPath(program));
    argv.insert(argv.end(), args.begin(), args.end());

    int outP[2], errP[2], inP[2], infoP[2];
    if (pipe2(outP, O_CLOEXEC) || pipe2(errP, O_CLOEXEC) || pipe2(inP, O_CLOEXEC) ||
        pipe2(infoP, O_CLOEXEC))
        return false;
    std::vector<char *> cargv;
    for (std::string &a : argv)
        cargv.push_back(a.data());
    cargv.push_back(nullptr);

    int tty = -1;
    std::string ttyName;
    if (opts.ttyTostop) {
        tty = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (tty < 0 || grantpt(tty) != 0 || unlockpt(tty) != 0 || ptsname(tty) == nullptr)
            return false;
        ttyName = ptsname(tty);
    }

    pid_t pid = fork();
    if (pid == 0) {
        dup2(inP[0], 0);
        if (tty >= 0) {
            // The terminal of a session of its own, whose foreground group
            // the program starts in; its bytes as written.
            (void)setsid();
            int fd = open(ttyName.c_str(), O_RDWR | O_NOCTTY);
            (void)ioctl(fd, TIOCSCTTY, 0);
            struct termios t;
            (void)tcgetattr(fd, &t);
            t.c_lflag |= TOSTOP;
            t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
            (void)tcsetattr(fd, TCSANOW, &t);
            dup2(fd, 1);
        } else if (!opts.stdoutPath.empty()) {
            int fd = open(opts.stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
        } else {
            dup2(outP[1], 1);
        }
        dup2(errP[1], 2);
        dup2(infoP[1], 3);
        // Nothing of the test's own reaches the program, unless asked.
        for (int fd = 4; fd < 65536; fd++)
            (void)close(fd);
        for (int i = 0; i < opts.occupyFds; i++)
            (void)open("/dev/null", O_RDONLY);
        ::signal(SIGPIPE, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execvp("bwrap", cargv.data());
        _exit(127);
    }
    close(inP[0]);
    close(outP[1]);
    close(errP[1]);
    close(infoP[1]);
    if (pid < 0)
        return false;
    bwrapPid_ = pid;
    liveSandboxes.insert(pid);
    outFd_ = outP[0];
    if (tty >= 0) {
        close(outFd_);
        outFd_ = tty;
    }
    errFd_ = errP[0];
    inFd_ = inP[1];
    if (opts.stdoutClosed) {
        close(outFd_);
        outFd_ = -1;
    }
    logKept_ = opts.logKept;
    stdinData_ = opts.stdinData;
    stdinOff_ = 0;
    for (int fd : {outFd_, errFd_, inFd_}) {
        if (fd >= 0)
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    if (stdinData_.empty()) {
        close(inFd_);
        inFd_ = -1;
    }

    // bwrap tells the program's pid on the info descriptor once it runs.
    std::string info;
    char buf[256];
    ssize_t n;
    while ((n = read(infoP[0], buf, sizeof buf)) > 0)
        info.append(buf, static_cast<size_t>(n));
    close(infoP[0]);
    size_t k = info.find("\"child-pid\":");
    childPid_ = k == std::string::npos ? -1 : atoi(info.c_str() + k + 12);
    res_ = RunResult();
    return childPid_ > 0;
}

std::string Sandbox::startServing(const std::string &program, const StartOptions &opts)
{
    std::string portFile = root_ + "/port";
    setEnv("SIMCAM_HTTP_PORT_FILE", portFile);
    std::string port;
    if (!start(program, {}, opts))
        return port;
    for (int i = 0; i < 200 && port.empty() && !exited(); i++) {
        pump(50);
        std::ifstream f(portFile);
        std::getline(f, port);
    }
    return port;
}

bool Sandbox::exited()
{
    if (bwrapPid_ <= 0)
        return true;
    int st;
    pid_t r = waitpid(bwrapPid_, &st, WNOHANG);
    if (r == bwrapPid_) {
        liveSandboxes.erase(bwrapPid_);
        bwrapStatus_ = st;
        bwrapPid_ = -1;
        return true;
    }
    return false;
}

void Sandbox::collect(int timeoutMs)
{
    struct pollfd fds[6];
    int nfds = 0;
    // A slow log that has read its share waits a moment, not for data.
    const bool logReads = logRate_.budget(logPaused_) > 0;
    if (!logReads && !logPaused_)
        timeoutMs = std::min(timeoutMs, 2);
    fds[nfds++] = {logFd_, static_cast<short>(logReads ? POLLIN : 0), 0};
    // So does a slow reader of standard output.
    const long long outBudget = outRate_.budget(outPaused_);
    if (outBudget <= 0 && !outPaused_)
        timeoutMs = std::min(timeoutMs, 2);
    if (outFd_ >= 0 && outBudget > 0)
        fds[nfds++] = {outFd_, POLLIN, 0};
    if (errFd_ >= 0)
        fds[nfds++] = {errFd_, POLLIN, 0};
    if (inFd_ >= 0)
        fds[nfds++] = {inFd_, POLLOUT, 0};
    if (streamListenFd_ >= 0)
        fds[nfds++] = {streamFd_ >= 0 ? streamFd_ : streamListenFd_, static_cast<short>(logPaused_ ? 0 : POLLIN), 0};
    (void)poll(fds, static_cast<nfds_t>(nfds), timeoutMs);
    drainLog();
    drainStreamLog();
    char buf[65536];
    for (int *fd : {&outFd_, &errFd_}) {
        const long long budget = fd == &outFd_ ? outBudget : LLONG_MAX;
        if (*fd < 0 || budget <= 0)
            continue;
        ssize_t n;
        while ((n = read(*fd, buf, static_cast<size_t>(std::min<long long>(budget, sizeof buf)))) > 0) {
            (fd == &outFd_ ? res_.out : res_.err).append(buf, static_cast<size_t>(n));
            if (fd == &outFd_ && outRate_.perSecond > 0) {
                outRate_.taken += n;
                break;
            }
        }
        // A terminal whose other side is closed everywhere says EIO.
        if (n == 0 || (n < 0 && errno == EIO)) {
            if (fd == &outFd_)
                res_.outPipeSize = fcntl(*fd, F_GETPIPE_SZ);
            close(*fd);
            *fd = -1;
        }
    }
    if (inFd_ >= 0) {
        ssize_t n = write(inFd_, stdinData_.data() + stdinOff_, stdinData_.size() - stdinOff_);
        if (n > 0)
            stdinOff_ += static_cast<size_t>(n);
        if ((n < 0 && errno != EAGAIN) || stdinOff_ == stdinData_.size()) {
            close(inFd_);
            inFd_ = -1;
        }
    }
}

bool Sandbox::waitForLog(const std::string &text, int timeoutMs)
{
    long long deadline = nowMs() + timeoutMs;
    size_t seen = 0;
    for (;;) {
        for (; seen < res_.log.size(); seen++) {
            if (res_.log[seen].text == text)
                return true;
        }
        long long left = deadline - nowMs();
        if (left <= 0 || exited())
            return false;
        collect(static_cast<int>(left < 50 ? left : 50));
    }
}

bool Sandbox::waitForOutput(const std::string &text, int timeoutMs)
{
    long long deadline = nowMs() + timeoutMs;
    while (res_.out.find(text) == std::string::npos) {
        long long left = deadline - nowMs();
        if (left <= 0 || exited())
            return false;
        collect(static_cast<int>(std::min(left, 50LL)));
    }
    return true;
}

void Sandbox::pump(int ms)
{
    long long deadline = nowMs() + ms;
    for (long long left; (left = deadline - nowMs()) > 0;)
        collect(static_cast<int>(left < 50 ? left : 50));
}

std::string Sandbox::hostCommand(const std::string &cmd)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "re");
    if (p == nullptr)
        return out;
    int fd = fileno(p);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            out.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n == 0 || errno != EAGAIN)
            break;
        struct pollfd pfd = {fd, POLLIN, 0};
        (void)poll(&pfd, 1, 10);
        collect(0);
    }
    pclose(p);
    return out;
}

void Sandbox::signal(int sig)
{
    if (childPid_ > 0)
        (void)kill(childPid_, sig);
}

int Sandbox::killParentAndWait(int timeoutMs)
{
    if (bwrapPid_ > 0) {
        kill(bwrapPid_, SIGKILL);
        waitpid(bwrapPid_, &bwrapStatus_, 0);
        liveSandboxes.erase(bwrapPid_);
        bwrapPid_ = -1;
    }
    long long deadline = nowMs() + timeoutMs;
    int st = -1;
    while (nowMs() < deadline) {
        pid_t r = waitpid(childPid_, &st, WNOHANG);
        if (r == childPid_)
            return st;
        // Not ours to reap (no subreaper here): it ended, how is unknown.
        if (r < 0 && errno == ECHILD && !processAlive(childPid_))
            return -2;
        collect(10);
    }
    kill(childPid_, SIGKILL);
    waitpid(childPid_, &st, 0);
    return -1;
}

RunResult Sandbox::finish(int timeoutMs)
{
    outPaused_ = false;
    long long deadline = nowMs() + timeoutMs;
    while (!exited()) {
        if (nowMs() > deadline) {
            res_.timedOut = true;
            if (childPid_ > 0)
                kill(childPid_, SIGKILL);
            kill(bwrapPid_, SIGKILL);
            waitpid(bwrapPid_, &bwrapStatus_, 0);
            liveSandboxes.erase(bwrapPid_);
            bwrapPid_ = -1;
            break;
        }
        collect(20);
    }
    // What the program wrote before it ended may still be on its way.
    logRate_.perSecond = outRate_.perSecond = 0;
    long long grace = nowMs() + 2000;
    while ((outFd_ >= 0 || errFd_ >= 0) && nowMs() < grace)
        collect(20);
    if (outFd_ >= 0)
        res_.outPipeSize = fcntl(outFd_, F_GETPIPE_SZ);
    for (int *fd : {&outFd_, &errFd_, &inFd_}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
    drainLog();
    drainStreamLog();
    for (int *fd : {&streamFd_, &streamListenFd_}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
    // A sanitizer's report fails the test whatever the test itself checks.
    for (const char *mark : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", ": runtime error:"}) {
        if (res_.err.find(mark) != std::string::npos)
            ADD_FAILURE() << "sanitizer report from the program:\n" << res_.err;
    }
    if (WIFEXITED(bwrapStatus_))
        res_.status = WEXITSTATUS(bwrapStatus_);
    else if (WIFSIGNALED(bwrapStatus_))
        res_.status = 128 + WTERMSIG(bwrapStatus_);

    // Anything that came back to us is a process the program left behind.
    int st;
    if (DIR *d = opendir("/proc")) {
        while (struct dirent *e = readdir(d)) {
            pid_t p = atoi(e->d_name);
            if (p <= 0)
                continue;
            std::ifstream f(std::string("/proc/") + e->d_name + "/status");
            std::string line;
            while (std::getline(f, line)) {
                if (line.rfind("PPid:", 0) == 0) {
                    if (atoi(line.c_str() + 5) != getpid() || liveSandboxes.count(p))
                        break;
                    if (processAlive(p))
                        res_.leftovers.push_back(p);
                    else
                        (void)waitpid(p, &st, WNOHANG);
                    break;
                }
            }
        }
        closedir(d);
    }
    // A process in the middle of its exit is not one left behind.
    for (long long until = nowMs() + 1000; !res_.leftovers.empty() && nowMs() < until;) {
        auto gone = [](pid_t p) {
            int st;
            return !processAlive(p) && waitpid(p, &st, WNOHANG) >= 0;
        };
        res_.leftovers.erase(std::remove_if(res_.leftovers.begin(), res_.leftovers.end(), gone), res_.leftovers.end());
        std::ifstream f("/proc/" + std::to_string(res_.leftovers.empty() ? 0 : res_.leftovers[0]) + "/cmdline");
        std::string cmd;
        if (!res_.leftovers.empty() && std::getline(f, cmd) && !cmd.empty())
            break;
        usleep(10 * 1000);
    }
    for (pid_t p : res_.leftovers) {
        kill(p, SIGKILL);
        waitpid(p, &st, 0);
    }
    childPid_ = -1;
    return res_;
}

bool startRunnerReady(Sandbox &sb, const std::string &worker)
{
    sb.writeWorker(worker);
    return sb.start("lanternhill", {}) && sb.waitForLog("W: ready\n", 10000);
}

bool startWaitingWorker(Sandbox &sb, const std::string &onTerm)
{
    return startRunnerReady(sb, "trap '" + onTerm + "' TERM\necho ready\nwhile :; do sleep 0.1; done\n");
}

RunResult Sandbox::run(const std::string &program, const std::vector<std::string> &args,
                       int timeoutMs, const StartOptions &opts)
{
    if (!start(program, args, opts)) {
        RunResult r;
        r.status = -1;
        return r;
    }
    return finish(timeoutMs);
}
