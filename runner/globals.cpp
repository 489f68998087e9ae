#include "version.h"
#include "globals.h"

GMainLoop *_loop = nullptr;
FILE *_fp = nullptr;
time_t startedAt = 0;
static_assert(sizeof(time_t) >= 8, "the start time and the uptime must count past 2038");
gint64 startedAtMonotonic = 0;
volatile pid_t lhwPid = 0;
