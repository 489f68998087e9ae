#include "split.h"

#include <glib.h>

int split(const char *txt, char delim, char ***tokens)
{
    int count = 1;
    for (const char *p = txt; *p != '\0'; p++)
        count += *p == delim;

    size_t *lengths = g_new0(size_t, count);
    int field = 0;
    for (const char *p = txt; *p != '\0'; p++) {
        if (*p == delim)
            field++;
        else
            lengths[field]++;
    }

    char **fields = g_new0(char *, count);
    field = 0;
    fields[0] = g_new0(char, lengths[0] + 1);
    size_t at = 0;
    for (const char *p = txt; *p != '\0'; p++) {
        if (*p == delim) {
            field++;
            fields[field] = g_new0(char, lengths[field] + 1);
            at = 0;
        } else {
            fields[field][at++] = *p;
        }
    }
    g_free(lengths);
    *tokens = fields;
    return count;
}
