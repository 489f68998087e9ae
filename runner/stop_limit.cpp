#include "stop_limit.h"

namespace {

// The promise is 5 s from the worker's exit; the rest is slack for the
// last lines and the release.
const int kStopBoundMs = 4000;
// How long before the end each output stops being waited for.
const int kLeadMs[] = {1500, 1000, 0, 0};

gint64 deadline = 0; // monotonic us; 0 until the stop's bound starts

} // namespace

void stopLimitStart()
{
    if (deadline == 0)
        deadline = g_get_monotonic_time() + kStopBoundMs * G_GINT64_CONSTANT(1000);
}

gint64 stopLimit(StopOutput o)
{
    return deadline == 0 ? 0 : deadline - kLeadMs[o] * G_GINT64_CONSTANT(1000);
}
