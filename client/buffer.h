// The asynchronous client's buffer: a bounded ring of whole messages in the order they were
// put, each stored as its length (4 bytes) and its bytes, either of which may wrap around
// the ring's end. Callers put at the tail; the sender copies whole messages from the head
// into one pipe message and then gives their room back.
//
// The ring has no lock of its own: the client's lock guards `head` and `used`. The sender
// may copy without holding it, from a head and used taken under it, since callers write only
// into the free room beyond those bytes.
#pragma once

#include <stddef.h>

namespace client {

struct Ring {
  char* bytes;
  size_t capacity;
  size_t head;  ///< Where the oldest message begins.
  size_t used;  ///< Bytes from head on that hold messages.
};

/// The room a message of `length` bytes takes.
constexpr size_t RecordBytes(size_t length) { return length + 4; }

/// A ring of `capacity` bytes; false when there is no memory for it.
bool InitRing(Ring* ring, size_t capacity);
void FreeRing(Ring* ring);

/// True when `bytes` more fit.
inline bool Fits(const Ring* ring, size_t bytes) { return ring->capacity - ring->used >= bytes; }

/// Appends a message; it must fit.
void Put(Ring* ring, const void* data, size_t length);

/// Copies the whole messages that begin at `head` (of the `used` bytes there) into `pack`,
/// one after the other, while they fit in `capacity` bytes; the first always fits when no
/// message is longer than `capacity`. Sets `*length` to the bytes copied and `*messages` to
/// their count, and returns how many bytes of the ring they took.
size_t Pack(const Ring* ring, size_t head, size_t used, char* pack, int capacity, int* length,
            int* messages);

/// Gives back the room of the oldest `bytes`, which Pack took.
void GiveBack(Ring* ring, size_t bytes);

/// Forgets every message.
void Empty(Ring* ring);

}  // namespace client
