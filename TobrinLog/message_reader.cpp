#include "message_reader.h"

#include <cstring>

const MessageBatch& MessageReader::ReadNext() {
  batch_.count = 0;
  batch_.read_failed = false;
  batch_.client_ended = false;
  // A client that had queued more behind the last message read has most likely queued more
  // since: one read that does not wait takes it into the area still held, where a blocking
  // read and a second one for what is queued behind would take two calls.
  if (area_ && client_ahead_) {
    ReadQueued(area_->bytes, kMaxBlocksPerWrite);
    if (batch_.count > 0 || batch_.read_failed) return batch_;
  }
  // The area is given back before the wait and taken again only once a message is in hand,
  // so that idle clients hold none.
  ReleaseArea();
  client_ahead_ = false;
  int length = 0;
  batch_.client_ended = !platform::ReadPipeMessage(client_, first_, platform::kMaxMessage, &length);
  if (batch_.client_ended) return batch_;
  AddBlock(first_, length);
  area_ = TakeBatchArea();
  if (area_) ReadQueuedBehindFirst(length);
  return batch_;
}

// Where a write needs the batch in one run of memory (Windows), the queued messages are read
// behind the first one's place in the area, and it is copied there once any are found.
void MessageReader::ReadQueuedBehindFirst(int first_length) {
  int first_blocks = batch_.count;
  int offset = platform::kWriteNeedsOneRun ? first_length : 0;
  ReadQueued(area_->bytes + offset, kMaxBlocksPerWrite - 1);
  client_ahead_ = batch_.count > first_blocks;
  if (offset > 0 && client_ahead_) {
    std::memcpy(area_->bytes, first_, static_cast<size_t>(first_length));
    batch_.blocks[0].data = area_->bytes;
  }
}

void MessageReader::ReadQueued(char* storage, int most) {
  platform::ReceivedMessage queued[platform::kMaxMessagesPerRead];
  int room = static_cast<int>(area_->bytes + sizeof(area_->bytes) - storage);
  int count =
      platform::ReadQueuedMessages(client_, storage, room, most, queued, &batch_.read_failed);
  for (int i = 0; i < count; ++i) AddBlock(queued[i].data, queued[i].length);
}

void MessageReader::AddBlock(const char* data, int length) {
  if (length > 0) batch_.blocks[batch_.count++] = Block{data, length};
}

void MessageReader::ReleaseArea() {
  ReturnBatchArea(area_);
  area_ = nullptr;
}
