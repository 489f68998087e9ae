// The floor of an idle runner: a GLib main loop with a one-second timer
// and nothing else, built with the same flags. Built as bench_idle_http it
// also registers a handler with the platform's HTTP library, as the runner
// does.
#include <glib.h>

#ifdef LH_WITH_HTTP
#include "axhttp.h"

static void answer(const gchar *, const gchar *, const gchar *, GHashTable *, GOutputStream *, gpointer)
{
}
#endif

static gboolean tick(gpointer)
{
    return TRUE;
}

int main()
{
    GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
    g_timeout_add(1000, tick, nullptr);
#ifdef LH_WITH_HTTP
    AXHttpHandler *handler = ax_http_handler_new(answer, nullptr);
#endif
    g_main_loop_run(loop);
#ifdef LH_WITH_HTTP
    ax_http_handler_free(handler);
#endif
    g_main_loop_unref(loop);
    return 0;
}
