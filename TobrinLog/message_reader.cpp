#include "message_reader.h"

const MessageBatch& MessageReader::ReadNext() {
  ReleaseArea();
  int lengths[kMaxBlocksPerWrite];
  int read = ReadMessages(lengths);
  batch_.client_ended = read == 0;
  if (read == 0) ReleaseArea();
  batch_.count = 0;
  for (int i = 0; i < read; ++i) {
    const char* data = i == 0 ? first_ : area_->slots[i - 1];
    if (lengths[i] > 0) batch_.blocks[batch_.count++] = Block{data, lengths[i]};
  }
  return batch_;
}

// An area taken before waiting lets one system call read the message and what is queued
// behind it; a thread that gets none reads the message alone and then looks for an area.
int MessageReader::ReadMessages(int* lengths) {
  batch_.read_failed = false;
  // Where reads take one message at a time, no area would ever be filled.
  bool batches = platform::QueuedReadLimit() >= kQueuedPerRead;
  area_ = batches ? TakeBatchArea(true) : nullptr;
  area_waited_ = area_ != nullptr;
  if (area_)
    return platform::ReadPipeMessages(client_, first_, area_->slots[0], kQueuedPerRead, lengths,
                                      &batch_.read_failed);
  if (!platform::ReadPipeMessage(client_, first_, platform::kMaxMessage, &lengths[0])) return 0;
  area_ = batches ? TakeBatchArea(false) : nullptr;
  if (!area_) return 1;
  return 1 + platform::ReadQueuedMessages(client_, area_->slots[0], kQueuedPerRead, lengths + 1,
                                          &batch_.read_failed);
}

void MessageReader::ReleaseArea() {
  ReturnBatchArea(area_, area_waited_);
  area_ = nullptr;
}
