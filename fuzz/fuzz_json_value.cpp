// getJsonValue on any text and key, into buffers of every small size: it
// never writes past the buffer and always terminates what it writes.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "config_text.h"

static const size_t kGuard = 16;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    size_t capacity = data[0] % 65;
    size_t keyLen = data[1] % 16;
    if (keyLen > size - 2)
        keyLen = size - 2;
    std::string key(reinterpret_cast<const char *>(data + 2), keyLen);
    std::string text(reinterpret_cast<const char *>(data + 2 + keyLen), size - 2 - keyLen);

    unsigned char *buf = static_cast<unsigned char *>(malloc(capacity + kGuard));
    memset(buf, 0xA5, capacity + kGuard);
    int found = getJsonValue(text.c_str(), key.c_str(), reinterpret_cast<char *>(buf), capacity);
    for (size_t i = capacity; i < capacity + kGuard; i++) {
        if (buf[i] != 0xA5)
            abort();
    }
    if (found == 1 && capacity > 0 && memchr(buf, '\0', capacity) == nullptr)
        abort();
    if (found != 0 && found != 1)
        abort();
    free(buf);
    return 0;
}
