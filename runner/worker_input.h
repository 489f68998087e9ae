#pragma once

#include <stddef.h>

// The worker's pipe cut into pieces: a line with its end, or 1023 bytes of
// a longer one, in _stdReadBuf.

enum PieceResult {
    PIECE_WHOLE, // a piece is ready to emit
    PIECE_NONE,  // nothing more for now (a piece may be waiting for its rest)
    PIECE_END,   // the end of the output, or a pipe that can't be read
};

// Reads from the pipe as needed; *got counts the bytes read from it.
PieceResult takePiece(size_t *got);
// Logs the piece as "W: ..." and starts a new one.
void emitPiece();
// Emits what was read and not yet emitted, the piece cut short last.
void flushPieces();
bool pieceWaiting();
