#pragma once

// The camera platform's HTTP handler library: routes HTTP requests for the
// package to one registered callback, which writes a CGI-style response.

#include <gio/gio.h>
#include <glib.h>

G_BEGIN_DECLS

typedef struct _AXHttpHandler AXHttpHandler;

typedef void (*AXHttpRequestHandler)(const gchar *path, const gchar *method, const gchar *query,
                                     GHashTable *params, GOutputStream *output_stream,
                                     gpointer user_data);

AXHttpHandler *ax_http_handler_new(AXHttpRequestHandler handler, gpointer user_data);
void ax_http_handler_free(AXHttpHandler *handler);

G_END_DECLS
