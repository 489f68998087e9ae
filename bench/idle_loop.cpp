// The floor of an idle runner: a GLib main loop with a one-second timer
// and nothing else, built with the same flags.
#include <glib.h>

static gboolean tick(gpointer)
{
    return TRUE;
}

int main()
{
    GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
    g_timeout_add(1000, tick, nullptr);
    g_main_loop_run(loop);
    g_main_loop_unref(loop);
    return 0;
}
