#pragma once

#include <stddef.h>

// The worker's pipe cut into pieces: a line with its end, or 1023 bytes of
// a longer one, in _stdReadBuf.

enum PieceResult {
    PIECE_WHOLE, // a piece is ready to emit
    PIECE_NONE,  // nothing more for now (a piece may be waiting for its rest)
    PIECE_END,   // the end of the output, or a pipe that can't be read
};

// Reads from the pipe as needed.
PieceResult takePiece();
// Hands the piece on as "W: ..." (relayWorkerLine) and starts a new one;
// the bytes of the pipe it took.
size_t emitPiece();
// Emits what was read and not yet emitted, the piece cut short last; the
// bytes of the pipe they took.
size_t flushPieces();
bool pieceWaiting();
// Bytes read from the pipe and not yet emitted.
size_t inputHeld();

// Where the pieces go: the relay's.
void relayWorkerLine(const char *message, size_t len);
