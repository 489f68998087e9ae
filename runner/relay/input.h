#pragma once

// The worker's pipe into records: each line with its end, or kPieceMax
// bytes of a longer one, becomes "W: " and the piece, a zero byte written
// as "#000". A pass returns what ended it; it never calls up.

#include <stddef.h>

enum PassEnd {
    PASS_EMPTY, // nothing more for now (a piece may wait for its rest)
    PASS_BOUND, // the pass's bound: more may wait
    PASS_FULL,  // no room in the records: the rest waits in the pipe
    PASS_END,   // the end of the output, and nothing read is left
};

struct Pass {
    PassEnd end;
    size_t took;  // bytes of the pipe now in the records
    int pieces;   // records made
};

// Reads the pipe fd as far as the records have room; at its end, a piece
// cut short goes as it is.
Pass inputPass(int fd);
// The piece waiting for its rest goes as it is; the bytes it took (0: no
// room, or none waits).
size_t inputCut();
// Bytes read and not yet in the records; a piece waits for its rest.
size_t inputHeld();
bool inputPieceWaits();
