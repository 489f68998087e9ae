#include "config_text.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static const int b64invs[] = {62, -1, -1, -1, 63, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, -1,
                              -1, -1, -1, -1, -1, -1, 0,  1,  2,  3,  4,  5,  6,  7,  8,  9,
                              10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25,
                              -1, -1, -1, -1, -1, -1, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35,
                              36, 37, 38, 39, 40, 41, 42, 43, 44, 45, 46, 47, 48, 49, 50, 51};

char *c_read_file(const char *f_name, int *err, size_t *f_size)
{
    // A FIFO without a writer would block the main loop for good, and a
    // device has no size to read: only regular files are opened as such.
    int fd = open(f_name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *err = FILE_NOT_EXIST;
        return nullptr;
    }
    struct stat st;
    int statted = fstat(fd, &st);
    if (statted != 0 || !S_ISREG(st.st_mode)) {
        // EOVERFLOW: a size that can't be told here.
        *err = statted != 0 && errno == EOVERFLOW ? FILE_TO_LARGE : FILE_NOT_EXIST;
        (void)close(fd);
        return nullptr;
    }
    // The size of a regular file is what a seek to its end would tell.
    size_t length = static_cast<size_t>(st.st_size);
    if (st.st_size < 0 || length > 1073741824) {
        *err = FILE_TO_LARGE;
        (void)close(fd);
        return nullptr;
    }
    char *buffer = static_cast<char *>(malloc(length + 1));
    if (buffer == nullptr) {
        *err = FILE_TO_LARGE;
        (void)close(fd);
        return nullptr;
    }
    size_t got = 0;
    while (got < length) {
        ssize_t n = read(fd, buffer + got, length - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    (void)close(fd);
    if (got != length) {
        *err = FILE_READ_ERROR;
        free(buffer);
        return nullptr;
    }
    *err = FILE_OK;
    buffer[length] = '\0';
    *f_size = length;
    return buffer;
}

int getJsonValue(const char *str, const char *propSubStr, char *buffer, size_t bufferLength)
{
    const char *start = strstr(str, propSubStr);
    if (start == nullptr)
        return 0;
    start += strlen(propSubStr);
    const char *end = strchr(start, '"');
    size_t len = end != nullptr ? static_cast<size_t>(end - start) : strlen(start);
    if (bufferLength == 0)
        return 1;
    // What the bounded "%.*s" copy gives, without the formatter's cost.
    if (len > bufferLength - 1)
        len = bufferLength - 1;
    memcpy(buffer, start, len);
    buffer[len] = '\0';
    return 1;
}

size_t b64_decoded_size(const char *in)
{
    if (in == nullptr)
        return 0;
    size_t len = strlen(in);
    size_t ret = len / 4 * 3;
    for (size_t i = len; i-- > 0;) {
        if (in[i] != '=')
            break;
        ret--;
    }
    return ret;
}

int b64_isvalidchar(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '+' ||
           c == '/' || c == '=';
}

static uint32_t sextet(char c)
{
    // '=' stands here with its table value -1: all bits set.
    return static_cast<uint32_t>(b64invs[static_cast<unsigned char>(c) - 43]);
}

int b64_decode(const char *in, unsigned char *out, size_t outlen)
{
    if (in == nullptr || out == nullptr)
        return 0;
    size_t len = strlen(in);
    if (outlen < b64_decoded_size(in) || len % 4 != 0)
        return 0;
    if (len == 0)
        return 1;
    for (size_t i = 0; i < len; i++) {
        if (!b64_isvalidchar(in[i]))
            return 0;
    }
    // With three or more trailing '=' the last group still writes its
    // first byte beyond the counted size: refuse what would not fit.
    size_t last = len - 4;
    size_t lastIndex = last / 4 * 3 + (in[last + 3] != '=' ? 2 : in[last + 2] != '=' ? 1 : 0);
    if (lastIndex >= outlen)
        return 0;

    for (size_t i = 0, j = 0; i < len; i += 4, j += 3) {
        uint32_t v = sextet(in[i]);
        v = (v << 6) | sextet(in[i + 1]);
        v = in[i + 2] == '=' ? v << 6 : (v << 6) | sextet(in[i + 2]);
        v = in[i + 3] == '=' ? v << 6 : (v << 6) | sextet(in[i + 3]);
        out[j] = static_cast<unsigned char>((v >> 16) & 0xff);
        if (in[i + 2] != '=')
            out[j + 1] = static_cast<unsigned char>((v >> 8) & 0xff);
        if (in[i + 3] != '=')
            out[j + 2] = static_cast<unsigned char>(v & 0xff);
    }
    return 1;
}
