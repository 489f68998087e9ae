#include "version.h"
#include "globals.h"

GMainLoop *_loop = nullptr;
FILE *_fp = nullptr;
char _stdReadBuf[1024];
time_t startedAt = 0;
volatile pid_t lhwPid = 0;
