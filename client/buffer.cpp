// The ring of whole messages behind the asynchronous client.
#include "client/buffer.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace client {

namespace {

size_t Advance(const Ring* ring, size_t at, size_t bytes) {
  at += bytes;
  return at >= ring->capacity ? at - ring->capacity : at;
}

void CopyIn(Ring* ring, size_t at, const void* data, size_t length) {
  size_t first = ring->capacity - at < length ? ring->capacity - at : length;
  memcpy(ring->bytes + at, data, first);
  if (first < length) memcpy(ring->bytes, static_cast<const char*>(data) + first, length - first);
}

void CopyOut(const Ring* ring, size_t at, void* data, size_t length) {
  size_t first = ring->capacity - at < length ? ring->capacity - at : length;
  memcpy(data, ring->bytes + at, first);
  if (first < length) memcpy(static_cast<char*>(data) + first, ring->bytes, length - first);
}

// A message's length goes in and out with one 4-byte copy unless the ring's end splits it:
// the general copy, whose size the compiler cannot see, moved it a byte at a time, which was
// a sixth of the instructions a 100-byte message cost the caller and the sender together.
void WriteLength(Ring* ring, size_t at, uint32_t length) {
  if (ring->capacity - at >= sizeof(length))
    memcpy(ring->bytes + at, &length, sizeof(length));
  else
    CopyIn(ring, at, &length, sizeof(length));
}

uint32_t ReadLength(const Ring* ring, size_t at) {
  uint32_t length;
  if (ring->capacity - at >= sizeof(length))
    memcpy(&length, ring->bytes + at, sizeof(length));
  else
    CopyOut(ring, at, &length, sizeof(length));
  return length;
}

}  // namespace

bool InitRing(Ring* ring, size_t capacity) {
  ring->bytes = static_cast<char*>(malloc(capacity));
  ring->capacity = capacity;
  ring->head = 0;
  ring->used = 0;
  return ring->bytes != nullptr;
}

void FreeRing(Ring* ring) { free(ring->bytes); }

void Put(Ring* ring, const void* data, size_t length) {
  size_t tail = Advance(ring, ring->head, ring->used);
  WriteLength(ring, tail, static_cast<uint32_t>(length));
  CopyIn(ring, Advance(ring, tail, sizeof(uint32_t)), data, length);
  ring->used += RecordBytes(length);
}

size_t Pack(const Ring* ring, size_t head, size_t used, char* pack, int capacity, int* length,
            int* messages) {
  size_t taken = 0;
  size_t packed = 0;
  int count = 0;
  while (taken < used) {
    uint32_t header = ReadLength(ring, Advance(ring, head, taken));
    if (packed + header > static_cast<size_t>(capacity)) break;
    CopyOut(ring, Advance(ring, head, taken + sizeof(header)), pack + packed, header);
    packed += header;
    taken += RecordBytes(header);
    ++count;
  }
  *length = static_cast<int>(packed);
  *messages = count;
  return taken;
}

void GiveBack(Ring* ring, size_t bytes) {
  ring->head = Advance(ring, ring->head, bytes);
  ring->used -= bytes;
}

void Empty(Ring* ring) {
  ring->head = 0;
  ring->used = 0;
}

}  // namespace client
