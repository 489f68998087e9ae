#pragma once

// Small helpers shared by the unit and system tests.

#include <ftw.h>
#include <glib.h>
#include <json-glib/json-glib.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

inline std::string b64(const std::string &s)
{
    gchar *e = g_base64_encode(reinterpret_cast<const guchar *>(s.data()), s.size());
    std::string r = e;
    g_free(e);
    return r;
}

// True when s is one whole JSON document, as a real parser reads it.
inline bool parsesAsJson(const std::string &s)
{
    JsonParser *parser = json_parser_new();
    bool ok = json_parser_load_from_data(parser, s.c_str(), static_cast<gssize>(s.size()), nullptr);
    g_object_unref(parser);
    return ok;
}

// A folder under /tmp for one test, removed with everything in it.
class TempDir {
public:
    explicit TempDir(const char *prefix)
    {
        std::string tmpl = std::string("/tmp/") + prefix + ".XXXXXX";
        if (mkdtemp(tmpl.data()) == nullptr)
            abort();
        path_ = tmpl;
    }
    ~TempDir()
    {
        (void)nftw(path_.c_str(), [](const char *p, const struct stat *, int, struct FTW *) { return remove(p); },
                   16, FTW_DEPTH | FTW_PHYS);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};
