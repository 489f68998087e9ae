// The floor of an idle runner: a GLib main loop with a one-second timer
// and nothing else, built with the same flags. With --http it also
// registers a handler with the platform's HTTP library, as the runner does.
#include <glib.h>
#include <string.h>

#include "axhttp.h"

static void answer(const gchar *, const gchar *, const gchar *, GHashTable *, GOutputStream *, gpointer)
{
}

static gboolean tick(gpointer)
{
    return TRUE;
}

int main(int argc, char **argv)
{
    GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
    g_timeout_add(1000, tick, nullptr);
    AXHttpHandler *handler = argc > 1 && strcmp(argv[1], "--http") == 0 ? ax_http_handler_new(answer, nullptr) : nullptr;
    g_main_loop_run(loop);
    ax_http_handler_free(handler);
    g_main_loop_unref(loop);
    return 0;
}
