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
  uint32_t header = static_cast<uint32_t>(length);
  CopyIn(ring, tail, &header, sizeof(header));
  CopyIn(ring, Advance(ring, tail, sizeof(header)), data, length);
  ring->used += RecordBytes(length);
}

size_t Pack(const Ring* ring, size_t head, size_t used, char* pack, int capacity, int* length,
            int* messages) {
  size_t taken = 0;
  size_t packed = 0;
  int count = 0;
  while (taken < used) {
    uint32_t header;
    CopyOut(ring, Advance(ring, head, taken), &header, sizeof(header));
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
