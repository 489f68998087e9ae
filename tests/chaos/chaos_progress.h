#pragma once

#include <stdint.h>

// What the adversary's worker has done, in a file it maps shared: it
// survives the worker's kill.
struct ChaosProgress {
    int64_t bytes;  // written to its standard output
    int64_t exitMs; // monotonic ms of its exit; 0 while it runs
    int32_t pid;    // once its handlers are in place
    int32_t epipe;  // a write failed: its reader was gone
};
