#pragma once

#include <stddef.h>

// Writes in as JSON string content into out: valid escapes and UTF-8 stay
// as they are; control characters become \u00XX, a backslash that begins
// no valid escape is doubled, an invalid UTF-8 sequence becomes U+FFFD.
// False when the result does not fit in outlen (out is then empty).
bool jsonStringContent(const char *in, char *out, size_t outlen);
