// b64_decode on any text and capacity: nothing past outlen is touched, and
// a valid RFC 4648 text decodes to what GLib decodes.
#include <glib.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "config_text.h"

static const size_t kGuard = 16;

static bool validRfc4648(const std::string &s)
{
    if (s.size() % 4 != 0)
        return false;
    size_t pads = 0;
    while (pads < s.size() && pads < 3 && s[s.size() - 1 - pads] == '=')
        pads++;
    if (pads > 2)
        return false;
    for (size_t i = 0; i < s.size() - pads; i++) {
        char c = s[i];
        if (!(g_ascii_isalnum(c) || c == '+' || c == '/'))
            return false;
    }
    return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    size_t outlen = (data[0] | (data[1] << 8)) % 1100;
    std::string text(reinterpret_cast<const char *>(data + 2), size - 2);
    text = text.c_str(); // up to the first zero byte, as the decoder sees it

    unsigned char *out = static_cast<unsigned char *>(malloc(outlen + kGuard));
    memset(out, 0xA5, outlen + kGuard);
    (void)b64_decoded_size(text.c_str());
    int ok = b64_decode(text.c_str(), out, outlen);
    for (size_t i = outlen; i < outlen + kGuard; i++) {
        if (out[i] != 0xA5)
            abort();
    }
    if (validRfc4648(text) && b64_decoded_size(text.c_str()) <= outlen) {
        if (ok != 1)
            abort();
        gsize n = 0;
        guchar *expected = g_base64_decode(text.c_str(), &n);
        if (n != b64_decoded_size(text.c_str()) || (n > 0 && memcmp(expected, out, n) != 0))
            abort();
        g_free(expected);
    }
    free(out);
    return 0;
}
