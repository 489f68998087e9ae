#pragma once

// Scenario files and call journals shared by the simulated camera's
// libraries.

#include <map>
#include <string>
#include <vector>

namespace simcam {

// "key = value" lines; '#' starts a comment line.
class Scenario {
public:
    // Reads the file named by envVar (none: an empty scenario); keys outside
    // known make it invalid.
    Scenario(const char *envVar, const std::vector<std::string> &known);
    bool valid() const { return error_.empty(); }
    const std::string &error() const { return error_; }
    std::string get(const std::string &key, const std::string &fallback) const;
    // Every outcome given for key must be one of words, or a failure form
    // where words holds "FAIL"; a typo must not pass for a healthy camera.
    void checkOutcomes(const std::string &key, const std::vector<std::string> &words);

private:
    std::map<std::string, std::string> values_;
    std::string path_;
    std::string error_;
};

// A comma-separated sequence consumed one per call; the last repeats. A
// comma inside a quoted failure text belongs to the text.
class Outcomes {
public:
    explicit Outcomes(const std::string &sequence);
    std::string take();
    void restart() { next_ = 0; }

private:
    std::vector<std::string> items_;
    size_t next_ = 0;
};

// One outcome read as ok or one of the failure forms.
struct Outcome {
    enum Kind { Ok, Fail, FailNoMessage, FailNoError, Other } kind = Ok;
    std::string message; // for Fail
    std::string word;    // for Other (e.g. "moving", "still", "none")
};
Outcome parseOutcome(const std::string &text);

std::vector<std::string> splitTrimmed(const std::string &s, char sep);
std::vector<std::string> splitOutcomes(const std::string &s);

// One JSON object on one line, appended to the file named by envVar.
class JournalLine {
public:
    explicit JournalLine(const char *call);
    JournalLine &num(const char *name, long long v);
    JournalLine &str(const char *name, const std::string &v);
    JournalLine &boolean(const char *name, bool v);
    JournalLine &strings(const char *name, const std::vector<std::string> &v);
    void write(const char *envVar);

private:
    void key(const char *name);
    std::string text_;
};

std::string jsonQuote(const std::string &s);

} // namespace simcam
