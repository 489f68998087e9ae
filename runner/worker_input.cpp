#include "worker_input.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "globals.h"

namespace {

char inbuf[16384];
size_t inLen = 0, inPos = 0;
size_t pieceLen = 0; // the piece in _stdReadBuf

enum Input { INPUT_GOT, INPUT_NONE, INPUT_END };

Input fillInput()
{
    inPos = inLen = 0;
    for (;;) {
        ssize_t n = read(fileno(_fp), inbuf, sizeof inbuf);
        if (n > 0) {
            inLen = static_cast<size_t>(n);
            return INPUT_GOT;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return INPUT_NONE;
        // The end, or a pipe that can't be read any more.
        return INPUT_END;
    }
}

// Moves read bytes into the piece; true when it is whole (its line's end,
// or 1023 bytes).
bool fillPiece()
{
    const size_t room = sizeof _stdReadBuf - 1 - pieceLen;
    size_t n = MIN(inLen - inPos, room);
    const char *src = inbuf + inPos;
    const char *nl = static_cast<const char *>(memchr(src, '\n', n));
    if (nl != nullptr)
        n = static_cast<size_t>(nl - src) + 1;
    memcpy(_stdReadBuf + pieceLen, src, n);
    pieceLen += n;
    inPos += n;
    return nl != nullptr || pieceLen == sizeof _stdReadBuf - 1;
}

} // namespace

PieceResult takePiece()
{
    for (;;) {
        if (inPos == inLen) {
            Input in = fillInput();
            if (in != INPUT_GOT)
                return in == INPUT_END ? PIECE_END : PIECE_NONE;
        }
        if (fillPiece())
            return PIECE_WHOLE;
    }
}

size_t emitPiece()
{
    // A zero byte would end the message there: it is written as "#000", as
    // syslog daemons show control characters, and the line goes on.
    char message[3 + 4 * sizeof _stdReadBuf];
    memcpy(message, "W: ", 3);
    size_t n = 3;
    if (memchr(_stdReadBuf, '\0', pieceLen) == nullptr) {
        memcpy(message + n, _stdReadBuf, pieceLen);
        n += pieceLen;
    } else {
        for (size_t i = 0; i < pieceLen; i++) {
            if (_stdReadBuf[i] == '\0') {
                memcpy(message + n, "#000", 4);
                n += 4;
            } else {
                message[n++] = _stdReadBuf[i];
            }
        }
    }
    message[n] = '\0';
    relayWorkerLine(message, n);
    const size_t took = pieceLen;
    pieceLen = 0;
    return took;
}

size_t flushPieces()
{
    size_t took = 0;
    while (inPos < inLen) {
        if (fillPiece())
            took += emitPiece();
    }
    if (pieceLen > 0)
        took += emitPiece();
    return took;
}

size_t inputHeld()
{
    return inLen - inPos + pieceLen;
}

bool pieceWaiting()
{
    return pieceLen > 0;
}
