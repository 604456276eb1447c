#include "message_reader.h"

#include <cstring>

const MessageBatch& MessageReader::ReadNext() {
  ReleaseArea();
  batch_.count = 0;
  batch_.read_failed = false;
  int length = 0;
  batch_.client_ended = !platform::ReadPipeMessage(client_, first_, platform::kMaxMessage, &length);
  if (batch_.client_ended) return batch_;
  platform::ReceivedMessage queued[platform::kMaxQueuedPerRead];
  int count = ReadQueuedBehind(length, queued);
  AddBlock(count > 0 ? area_->bytes : first_, length);
  for (int i = 0; i < count; ++i) AddBlock(queued[i].data, queued[i].length);
  return batch_;
}

// The area is taken only once a message is in hand, so that idle clients hold none. The
// first message goes in front of the others: where the system writes each run of memory
// with a call of its own (Windows), the whole batch is then one run.
int MessageReader::ReadQueuedBehind(int first_length, platform::ReceivedMessage* queued) {
  area_ = TakeBatchArea();
  if (!area_) return 0;
  int count = platform::ReadQueuedMessages(
      client_, area_->bytes + first_length, static_cast<int>(sizeof(area_->bytes)) - first_length,
      platform::kMaxQueuedPerRead, queued, &batch_.read_failed);
  if (count > 0) std::memcpy(area_->bytes, first_, static_cast<size_t>(first_length));
  return count;
}

void MessageReader::AddBlock(const char* data, int length) {
  if (length > 0) batch_.blocks[batch_.count++] = Block{data, length};
}

void MessageReader::ReleaseArea() {
  ReturnBatchArea(area_);
  area_ = nullptr;
}
