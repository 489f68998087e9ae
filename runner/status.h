#pragma once

#include <gio/gio.h>
#include <glib.h>

// Answers every request with the status document (CGI-style: header lines,
// an empty line, one JSON object).
void request_handler(const gchar *path, const gchar *method, const gchar *query,
                     GHashTable *params, GOutputStream *output_stream, gpointer user_data);

void my_output_utility(GDataOutputStream *dos, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
