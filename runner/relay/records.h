#pragma once

// The records: every message, the worker's and the runner's own, as the
// datagram syslog(3) would send for it, in order, each numbered. Each
// output keeps its own cursor into them; a record is released once every
// cursor has passed it. The worker's records lie in one arena of a fixed
// size; the runner's own have room of their own, so that neither holds
// the other back.

#include <stddef.h>
#include <stdint.h>

struct Record {
    const char *data; // "<14>Mmm dd hh:mm:ss ident[pid]: message", and a zero byte after len
    uint32_t len;
    uint16_t console; // where "ident[pid]: " begins: the console's part
    uint16_t message; // where the message begins: standard output's part
    uint32_t noted;   // a note of that many lines left out: the log's alone
    bool own;         // the runner's own, not the worker's
    bool ownNoted;    // the note counts the runner's own lines
};

// The identity and pid of every header.
void recordsOpen(const char *ident, int pid);
void recordsClose();

// The number the next record gets.
uint32_t recordsHead();
// Numbers are 32 bits, cheap on a 32-bit camera, and would wrap after a few
// billion lines: once the oldest kept passes from, every number goes down
// by a multiple of the ring's size (each record keeps its slot), at least
// the ring's size below the oldest. The caller moves its cursors by the
// amount returned (0: none), those of outputs long idle to 0.
uint32_t recordsRebase(uint32_t from);
// Inline: every output reads each record through it.
extern Record *recordsRing;
const size_t kRecordsRing = 8192; // numbers kept at once: more than the arena holds of the shortest lines
inline const Record &recordAt(uint32_t seq)
{
    return recordsRing[seq & (kRecordsRing - 1)];
}

// Starts a record of the worker's whose message takes at most most bytes,
// stamped now: where its message goes, or nullptr when there is no room.
char *recordsBegin(size_t most);
// Ends the record begun, its message len bytes long.
void recordsCommit(size_t len);
// Room for one more record of the worker's of this many message bytes,
// and for a pass after it.
bool recordsRoomFor(size_t most);
bool recordsRoomForPass();

// One of the runner's own messages, longer ones cut; false when as many
// as the bound allows are waiting already.
bool recordsAddOwn(const char *message, size_t len, unsigned noted, bool ownNoted = false);
// The runner's own records kept.
size_t recordsOwn();

// Every record before upTo is done with.
void recordsRelease(uint32_t upTo);
