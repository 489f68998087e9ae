// The harness's log socket: datagrams as they arrive, and a stream log's
// records, read as fast or as slowly as a test asks.
#include "sandbox.h"

#include <climits>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

static Datagram parseDatagram(const std::string &raw)
{
    // "<14>Mmm dd hh:mm:ss ident[pid]: text", or "ident: text" without LOG_PID.
    Datagram d;
    d.raw = raw;
    size_t gt = raw.find('>');
    if (raw.empty() || raw[0] != '<' || gt == std::string::npos)
        return d;
    d.priority = atoi(raw.c_str() + 1);
    size_t p = gt + 1 + 16;
    if (p > raw.size())
        return d;
    size_t colon = raw.find(": ", p);
    if (colon == std::string::npos)
        return d;
    std::string tag = raw.substr(p, colon - p);
    size_t br = tag.find('[');
    if (br != std::string::npos && tag.back() == ']') {
        d.ident = tag.substr(0, br);
        d.pid = atoi(tag.c_str() + br + 1);
    } else {
        d.ident = tag;
    }
    d.text = raw.substr(colon + 2);
    return d;
}

std::vector<std::string> RunResult::texts() const
{
    std::vector<std::string> t;
    for (const Datagram &d : log)
        t.push_back(d.text);
    return t;
}

std::vector<std::string> RunResult::outLines() const
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < out.size()) {
        size_t nl = out.find('\n', start);
        if (nl == std::string::npos) {
            lines.push_back(out.substr(start));
            break;
        }
        lines.push_back(out.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

void Sandbox::Rate::set(int rate)
{
    perSecond = rate;
    since = nowMs();
    taken = 0;
}

long long Sandbox::Rate::budget(bool paused) const
{
    if (paused)
        return 0;
    if (perSecond == 0)
        return LLONG_MAX;
    return (nowMs() - since) * perSecond / 1000 - taken;
}

void Sandbox::slowLog(int perSecond)
{
    logRate_.set(perSecond);
}

void Sandbox::drainLog()
{
    char buf[65536];
    ssize_t n;
    for (long long budget = logRate_.budget(logPaused_); budget > 0 && (n = recv(logFd_, buf, sizeof buf, 0)) >= 0;
         budget--) {
        logRate_.taken++;
        if (res_.logCount++ < logKept_)
            res_.log.push_back(parseDatagram(std::string(buf, static_cast<size_t>(n))));
    }
}

// Records of the stream log, each ended by a zero byte, as datagrams.
void Sandbox::drainStreamLog()
{
    if (streamFd_ < 0 && streamListenFd_ >= 0)
        streamFd_ = accept4(streamListenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    char buf[65536];
    ssize_t n = -1;
    while (streamFd_ >= 0 && !logPaused_ && (n = read(streamFd_, buf, sizeof buf)) > 0) {
        streamRest_.append(buf, static_cast<size_t>(n));
        for (size_t end; (end = streamRest_.find('\0')) != std::string::npos; streamRest_.erase(0, end + 1)) {
            if (res_.logCount++ < logKept_)
                res_.log.push_back(parseDatagram(streamRest_.substr(0, end)));
        }
    }
    if (n == 0 && streamFd_ >= 0) {
        close(streamFd_);
        streamFd_ = -1;
        // A record the connection didn't finish is not one.
        streamRest_.clear();
    }
}
