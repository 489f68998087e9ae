#pragma once

#include <stddef.h>

enum { FILE_OK = 0, FILE_NOT_EXIST = 1, FILE_TO_LARGE = 2, FILE_READ_ERROR = 3 };

// The whole file as a new zero-terminated buffer (free it), or null with
// *err set. Only regular files are read.
char *c_read_file(const char *f_name, int *err, size_t *f_size);

// Copies the text after the first propSubStr, up to the next double quote,
// into buffer (cut to bufferLength-1). 1 found, 0 not found.
int getJsonValue(const char *str, const char *propSubStr, char *buffer, size_t bufferLength);

size_t b64_decoded_size(const char *in);
int b64_isvalidchar(char c);
// 1 decoded, 0 refused (out untouched); never writes past outlen.
int b64_decode(const char *in, unsigned char *out, size_t outlen);
