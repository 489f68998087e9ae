#include "source.h"

namespace {

GSource *source = nullptr;
void (*onReady)() = nullptr;
int watched[FD_COUNT] = {-1, -1, -1, -1};
gpointer tags[FD_COUNT];
// Read by GLib at each turn of the loop, through prepare and check: a
// ready time set on the source would wake the loop up through its wake-up
// descriptor each time it changes, which is at nearly every step.
gint64 readyAt = -1; // monotonic us; 0: at once; -1: never

gboolean prepare(GSource *s, gint *timeout)
{
    *timeout = -1;
    if (readyAt < 0)
        return FALSE;
    const gint64 now = g_source_get_time(s);
    if (readyAt <= now) {
        *timeout = 0;
        return TRUE;
    }
    // Cut to about a quarter of an hour first: a 32-bit division, and the
    // loop's next turn looks again anyway.
    const gint32 us = static_cast<gint32>(MIN(readyAt - now, G_GINT64_CONSTANT(1) << 30));
    *timeout = (us + 999) / 1000;
    return FALSE;
}

gboolean check(GSource *s)
{
    return readyAt >= 0 && readyAt <= g_source_get_time(s);
}

gboolean dispatch(GSource *, GSourceFunc, gpointer)
{
    onReady();
    return G_SOURCE_CONTINUE;
}

GSourceFuncs funcs = {prepare, check, dispatch, nullptr, nullptr, nullptr};

} // namespace

void sourceWatch(Watched which, int fd, GIOCondition cond, void (*step)())
{
    if (source == nullptr) {
        onReady = step;
        source = g_source_new(&funcs, sizeof(GSource));
        g_source_set_priority(source, G_PRIORITY_LOW);
        // GLib takes a dispatching source's descriptors out of the poll
        // set and puts them back after, waking the loop twice per
        // dispatch; it is never dispatched recursively, so they can stay.
        g_source_set_can_recurse(source, TRUE);
        (void)g_source_attach(source, nullptr);
    }
    if (watched[which] == fd)
        return;
    if (watched[which] >= 0)
        g_source_remove_unix_fd(source, tags[which]);
    watched[which] = fd;
    if (fd >= 0)
        tags[which] = g_source_add_unix_fd(source, fd, cond);
}

void sourceReadyAt(gint64 at)
{
    readyAt = at;
}

bool sourceReady(Watched which)
{
    return watched[which] >= 0 && g_source_query_unix_fd(source, tags[which]) != 0;
}

void sourceDestroy()
{
    if (source != nullptr) {
        g_source_destroy(source);
        g_source_unref(source);
    }
    source = nullptr;
    for (int &fd : watched)
        fd = -1;
    readyAt = -1;
}
