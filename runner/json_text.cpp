#include "json_text.h"

#include <glib.h>
#include <stdio.h>
#include <string.h>

static size_t validEscapeLength(const char *p)
{
    // p points at a backslash.
    switch (p[1]) {
    case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
        return 2;
    case 'u':
        for (int i = 2; i < 6; i++) {
            if (!g_ascii_isxdigit(p[i]))
                return 0;
        }
        return 6;
    default:
        return 0;
    }
}

static bool plainAscii(unsigned char c)
{
    return c >= 0x20 && c < 0x80 && c != '\\' && c != '"';
}

bool jsonStringContent(const char *in, char *out, size_t outlen)
{
    size_t o = 0;
    auto put = [&](const char *s, size_t n) {
        if (o + n >= outlen)
            return false;
        memcpy(out + o, s, n);
        o += n;
        return true;
    };
    bool fits = outlen > 0;
    const char *p = in;
    while (fits && *p != '\0') {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20) {
            char esc[8];
            (void)snprintf(esc, sizeof esc, "\\u%04x", c);
            fits = put(esc, 6);
            p++;
        } else if (c == '\\') {
            size_t n = validEscapeLength(p);
            fits = n > 0 ? put(p, n) : put("\\\\", 2);
            p += n > 0 ? n : 1;
        } else if (c == '"') {
            fits = put("\\\"", 2);
            p++;
        } else if (c < 0x80) {
            // A run of characters that need nothing goes in one copy.
            size_t n = 1;
            while (plainAscii(static_cast<unsigned char>(p[n])))
                n++;
            fits = put(p, n);
            p += n;
        } else {
            gunichar u = g_utf8_get_char_validated(p, -1);
            if (u == static_cast<gunichar>(-1) || u == static_cast<gunichar>(-2)) {
                fits = put("\xef\xbf\xbd", 3);
                p++;
            } else {
                size_t n = static_cast<size_t>(g_utf8_next_char(p) - p);
                fits = put(p, n);
                p += n;
            }
        }
    }
    if (!fits) {
        if (outlen > 0)
            out[0] = '\0';
        return false;
    }
    out[o] = '\0';
    return true;
}
