// Stand-in for the camera platform's HTTP library: a real HTTP/1.1 server
// (libsoup) on the default main context, on 127.0.0.1 unless told otherwise.

#include "axhttp.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <libsoup/soup.h>

struct _AXHttpHandler {
    SoupServer *server;
    GSocketService *service;
    AXHttpRequestHandler handler;
    gpointer user_data;
};

static void sendError(SoupServerMessage *msg)
{
    static const char body[] = "handler gave no valid header block\n";
    soup_server_message_set_status(msg, 500, "Internal Server Error");
    soup_server_message_set_response(msg, "text/plain", SOUP_MEMORY_STATIC, body, sizeof body - 1);
}

// Header lines up to the first empty line become the status and headers;
// the rest is the body. False when there is no valid header block.
static gboolean applyResponse(SoupServerMessage *msg, const char *data, gsize len)
{
    SoupMessageHeaders *headers = soup_server_message_get_response_headers(msg);
    gsize pos = 0;
    guint status = 200;
    GString *reason = g_string_new("OK");
    gboolean ended = FALSE;
    gboolean ok = TRUE;
    while (pos < len) {
        const char *nl = static_cast<const char *>(memchr(data + pos, '\n', len - pos));
        if (nl == nullptr) {
            ok = FALSE;
            break;
        }
        gsize end = static_cast<gsize>(nl - data);
        gsize lineEnd = end > pos && data[end - 1] == '\r' ? end - 1 : end;
        gchar *line = g_strndup(data + pos, lineEnd - pos);
        pos = end + 1;
        if (*line == '\0') {
            g_free(line);
            ended = TRUE;
            break;
        }
        gchar *colon = strchr(line, ':');
        if (colon == nullptr || colon == line) {
            g_free(line);
            ok = FALSE;
            break;
        }
        *colon = '\0';
        const gchar *value = colon + 1;
        while (*value == ' ')
            value++;
        if (g_ascii_strcasecmp(line, "Status") == 0) {
            char *rest = nullptr;
            unsigned long code = strtoul(value, &rest, 10);
            if (code < 100 || code > 599 || rest == value) {
                ok = FALSE;
            } else {
                status = static_cast<guint>(code);
                while (*rest == ' ')
                    rest++;
                g_string_assign(reason, rest);
            }
        } else {
            soup_message_headers_append(headers, line, value);
        }
        g_free(line);
        if (!ok)
            break;
    }
    if (ok && ended) {
        soup_server_message_set_status(msg, status, reason->str);
        soup_message_body_append(soup_server_message_get_response_body(msg), SOUP_MEMORY_COPY,
                                 data + pos, len - pos);
    }
    g_string_free(reason, TRUE);
    return ok && ended;
}

static void onRequest(SoupServer *, SoupServerMessage *msg, const char *path, GHashTable *query,
                      gpointer data)
{
    AXHttpHandler *h = static_cast<AXHttpHandler *>(data);
    GUri *uri = soup_server_message_get_uri(msg);
    GHashTable *params = query != nullptr ? g_hash_table_ref(query)
                                          : g_hash_table_new(g_str_hash, g_str_equal);
    GOutputStream *out = g_memory_output_stream_new_resizable();
    h->handler(path, soup_server_message_get_method(msg), g_uri_get_query(uri), params, out,
               h->user_data);
    (void)g_output_stream_close(out, nullptr, nullptr);
    GMemoryOutputStream *mem = G_MEMORY_OUTPUT_STREAM(out);
    if (!applyResponse(msg, static_cast<const char *>(g_memory_output_stream_get_data(mem)),
                       g_memory_output_stream_get_data_size(mem))) {
        soup_message_headers_clear(soup_server_message_get_response_headers(msg));
        sendError(msg);
    }
    // Debian 12's libsoup keeps idle keep-alive connections that the client
    // closed; one request per connection releases every socket.
    soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Connection",
                                 "close");
    g_object_unref(out);
    g_hash_table_unref(params);
}

static guint portFromEnvironment()
{
    const char *s = getenv("SIMCAM_HTTP_PORT");
    if (s == nullptr || *s == '\0')
        return 8080;
    char *end = nullptr;
    unsigned long v = strtoul(s, &end, 10);
    if (*end != '\0' || v > 65535) {
        fprintf(stderr, "simcam http: SIMCAM_HTTP_PORT '%s' is not a port number; using 8080\n", s);
        return 8080;
    }
    return static_cast<guint>(v);
}

// Null, with a line on standard error, when SIMCAM_HTTP_ADDRESS is set to
// anything but an IPv4 address.
static GInetAddress *addressFromEnvironment()
{
    const char *s = getenv("SIMCAM_HTTP_ADDRESS");
    if (s == nullptr || *s == '\0')
        return g_inet_address_new_loopback(G_SOCKET_FAMILY_IPV4);
    GInetAddress *a = g_inet_address_new_from_string(s);
    if (a != nullptr && g_inet_address_get_family(a) == G_SOCKET_FAMILY_IPV4)
        return a;
    fprintf(stderr, "simcam http: SIMCAM_HTTP_ADDRESS '%s' is not an IPv4 address; no handler\n", s);
    if (a != nullptr)
        g_object_unref(a);
    return nullptr;
}

static void writePortFile(int port)
{
    const char *path = getenv("SIMCAM_HTTP_PORT_FILE");
    if (path == nullptr || *path == '\0')
        return;
    gchar *tmp = g_strdup_printf("%s.tmp", path);
    gchar *text = g_strdup_printf("%d\n", port);
    // Written whole, then renamed, so a reader never sees half a number.
    if (g_file_set_contents(tmp, text, -1, nullptr))
        (void)rename(tmp, path);
    g_free(text);
    g_free(tmp);
}

// Connections are accepted here and handed to libsoup as streams: its own
// listener leaks a socket object per connection (Debian 12's 3.2).
static gboolean onIncoming(GSocketService *, GSocketConnection *connection, GObject *, gpointer data)
{
    AXHttpHandler *h = static_cast<AXHttpHandler *>(data);
    GSocketAddress *local = g_socket_connection_get_local_address(connection, nullptr);
    GSocketAddress *remote = g_socket_connection_get_remote_address(connection, nullptr);
    GError *error = nullptr;
    if (!soup_server_accept_iostream(h->server, G_IO_STREAM(connection), local, remote, &error)) {
        fprintf(stderr, "simcam http: %s\n", error != nullptr ? error->message : "connection refused");
        g_clear_error(&error);
    }
    if (local != nullptr)
        g_object_unref(local);
    if (remote != nullptr)
        g_object_unref(remote);
    return TRUE;
}

AXHttpHandler *ax_http_handler_new(AXHttpRequestHandler handler, gpointer user_data)
{
    if (handler == nullptr)
        return nullptr;
    GInetAddress *listenOn = addressFromEnvironment();
    if (listenOn == nullptr)
        return nullptr;
    AXHttpHandler *h = g_new0(AXHttpHandler, 1);
    h->handler = handler;
    h->user_data = user_data;
    h->server = soup_server_new("server-header", "lanternhill-simcam", nullptr);
    soup_server_add_handler(h->server, nullptr, onRequest, h, nullptr);

    guint port = portFromEnvironment();
    GSocketAddress *addr = g_inet_socket_address_new(listenOn, static_cast<guint16>(port));
    GSocketAddress *bound = nullptr;
    GError *error = nullptr;
    h->service = g_socket_service_new();
    gboolean listening = g_socket_listener_add_address(G_SOCKET_LISTENER(h->service), addr,
                                                       G_SOCKET_TYPE_STREAM, G_SOCKET_PROTOCOL_TCP,
                                                       nullptr, &bound, &error);
    g_object_unref(addr);
    if (!listening) {
        gchar *where = g_inet_address_to_string(listenOn);
        fprintf(stderr, "simcam http: cannot listen on %s:%u: %s (set SIMCAM_HTTP_PORT to a free port)\n",
                where, port, error != nullptr ? error->message : "unknown error");
        g_free(where);
        g_clear_error(&error);
        g_object_unref(listenOn);
        g_object_unref(h->service);
        g_object_unref(h->server);
        g_free(h);
        return nullptr;
    }
    g_object_unref(listenOn);
    g_signal_connect(h->service, "incoming", G_CALLBACK(onIncoming), h);
    writePortFile(g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(bound)));
    g_object_unref(bound);
    g_socket_service_start(h->service);
    return h;
}

void ax_http_handler_free(AXHttpHandler *handler)
{
    if (handler == nullptr)
        return;
    g_socket_service_stop(handler->service);
    g_socket_listener_close(G_SOCKET_LISTENER(handler->service));
    g_object_unref(handler->service);
    soup_server_disconnect(handler->server);
    g_object_unref(handler->server);
    g_free(handler);
}
