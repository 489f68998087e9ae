#include "string_helpers.h"

#include <string.h>

gboolean startsWith(const char *str, const char *pre)
{
    size_t lenpre = strlen(pre);
    size_t lenstr = strlen(str);
    if (lenstr < lenpre)
        return FALSE;
    return memcmp(pre, str, lenpre) == 0 ? TRUE : FALSE;
}

void substring(char *s, char *sub, int p, int l)
{
    int c = 0;
    while (c < l) {
        sub[c] = s[p + c - 1];
        c++;
    }
    sub[c] = '\0';
}
