#include "scenario.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <fstream>

namespace simcam {

static std::string trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return "";
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

std::vector<std::string> splitTrimmed(const std::string &s, char sep)
{
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t p = s.find(sep, start);
        out.push_back(trim(s.substr(start, p == std::string::npos ? std::string::npos : p - start)));
        if (p == std::string::npos)
            return out;
        start = p + 1;
    }
}

std::vector<std::string> splitOutcomes(const std::string &s)
{
    std::vector<std::string> out;
    std::string item;
    bool quoted = false;
    for (char c : s) {
        if (c == ',' && !quoted) {
            out.push_back(trim(item));
            item.clear();
            continue;
        }
        if (c == '"')
            quoted = !quoted;
        item += c;
    }
    out.push_back(trim(item));
    return out;
}

Scenario::Scenario(const char *envVar, const std::vector<std::string> &known)
{
    const char *path = getenv(envVar);
    if (path == nullptr || *path == '\0')
        return;
    path_ = path;
    std::ifstream f(path);
    if (!f) {
        error_ = std::string(envVar) + ": cannot read " + path;
        return;
    }
    int n = 0;
    for (std::string line; std::getline(f, line);) {
        n++;
        std::string t = trim(line);
        if (t.empty() || t[0] == '#')
            continue;
        size_t eq = t.find('=');
        std::string key = trim(t.substr(0, eq));
        if (eq == std::string::npos || std::find(known.begin(), known.end(), key) == known.end()) {
            error_ = std::string(path) + ":" + std::to_string(n) + ": unknown key '" + key + "'";
            return;
        }
        values_[key] = trim(t.substr(eq + 1));
    }
}

std::string Scenario::get(const std::string &key, const std::string &fallback) const
{
    auto it = values_.find(key);
    return it == values_.end() ? fallback : it->second;
}

void Scenario::checkOutcomes(const std::string &key, const std::vector<std::string> &words)
{
    auto it = values_.find(key);
    if (!error_.empty() || it == values_.end())
        return;
    bool failForms = std::find(words.begin(), words.end(), "FAIL") != words.end();
    for (const std::string &item : splitOutcomes(it->second)) {
        Outcome::Kind kind = parseOutcome(item).kind;
        bool isFailure = kind != Outcome::Ok && kind != Outcome::Other;
        bool known = std::find(words.begin(), words.end(), item) != words.end() || (failForms && isFailure);
        if (!known) {
            error_ = path_ + ": " + key + ": unknown outcome '" + item + "'";
            return;
        }
    }
}

Outcomes::Outcomes(const std::string &sequence) : items_(splitOutcomes(sequence)) {}

std::string Outcomes::take()
{
    std::string v = items_[std::min(next_, items_.size() - 1)];
    if (next_ < items_.size())
        next_++;
    return v;
}

Outcome parseOutcome(const std::string &text)
{
    Outcome o;
    if (text == "ok") {
        o.kind = Outcome::Ok;
    } else if (text == "fail") {
        o.kind = Outcome::Fail;
        o.message = "simulated failure";
    } else if (text == "fail:nomessage") {
        o.kind = Outcome::FailNoMessage;
    } else if (text == "fail:noerror") {
        o.kind = Outcome::FailNoError;
    } else if (text.rfind("fail:\"", 0) == 0 && text.size() >= 7 && text.back() == '"') {
        o.kind = Outcome::Fail;
        o.message = text.substr(6, text.size() - 7);
    } else {
        o.kind = Outcome::Other;
        o.word = text;
    }
    return o;
}

std::string jsonQuote(const std::string &s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

JournalLine::JournalLine(const char *call) : text_("{\"call\":" + jsonQuote(call)) {}

void JournalLine::key(const char *name)
{
    text_ += ",";
    text_ += jsonQuote(name);
    text_ += ":";
}

JournalLine &JournalLine::num(const char *name, long long v)
{
    key(name);
    text_ += std::to_string(v);
    return *this;
}

JournalLine &JournalLine::str(const char *name, const std::string &v)
{
    key(name);
    text_ += jsonQuote(v);
    return *this;
}

JournalLine &JournalLine::boolean(const char *name, bool v)
{
    key(name);
    text_ += v ? "true" : "false";
    return *this;
}

JournalLine &JournalLine::strings(const char *name, const std::vector<std::string> &v)
{
    key(name);
    text_ += "[";
    for (size_t i = 0; i < v.size(); i++)
        text_ += (i ? "," : "") + jsonQuote(v[i]);
    text_ += "]";
    return *this;
}

void JournalLine::write(const char *envVar)
{
    const char *path = getenv(envVar);
    if (path == nullptr || *path == '\0')
        return;
    // Opened and closed per line: every line is on disk when the call returns.
    if (FILE *f = fopen(path, "ae")) {
        fprintf(f, "%s}\n", text_.c_str());
        fclose(f);
    }
}

} // namespace simcam
